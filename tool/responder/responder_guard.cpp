// Safety rules of the echo responder: own address, loops, amplification.
#include "tool/responder/responder_guard.hpp"

#include <cstring>

#include "platform/winsock.hpp"

bool guard_source_of(const sockaddr* address, int length, guard_source* out) {
    std::memset(out, 0, sizeof *out);
    if (address == nullptr || length < static_cast<int>(sizeof(sa_family_t))) return false;
    if (address->sa_family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in v4;
        std::memcpy(&v4, address, sizeof v4);
        out->family = AF_INET;
        out->port = ntohs(v4.sin_port);
        std::memcpy(out->address, &v4.sin_addr, 4);
        return true;
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6))) {
        sockaddr_in6 v6;
        std::memcpy(&v6, address, sizeof v6);
        out->family = AF_INET6;
        out->port = ntohs(v6.sin6_port);
        std::memcpy(out->address, &v6.sin6_addr, 16);
        return true;
    }
    return false;
}

namespace {

// The budget's credit is kept in millionths of a byte, so the refill of every
// microsecond counts exactly.
constexpr int64_t credit_unit = 1000000;

bool same_source(const guard_source& a, const guard_source& b) {
    return a.family == b.family && a.port == b.port && std::memcmp(a.address, b.address, 16) == 0;
}

uint32_t fnv1a(uint32_t hash, const unsigned char* data, int length) {
    for (int i = 0; i < length; i++) hash = (hash ^ data[i]) * 16777619U;
    return hash;
}

uint32_t source_hash(const guard_source& source) {
    uint32_t hash = fnv1a(2166136261U, source.address, 16);
    unsigned char rest[4] = {static_cast<unsigned char>(source.family), static_cast<unsigned char>(source.family >> 8),
                             static_cast<unsigned char>(source.port), static_cast<unsigned char>(source.port >> 8)};
    return fnv1a(hash, rest, 4);
}

bool all_zero(const unsigned char* bytes, int length) {
    for (int i = 0; i < length; i++) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// 127.0.0.0/8, ::1, and 127.0.0.0/8 mapped into IPv6.
bool is_loopback(const guard_source& source) {
    if (source.family == AF_INET) return source.address[0] == 127;
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(source.address, mapped, 12) == 0) return source.address[12] == 127;
    return all_zero(source.address, 15) && source.address[15] == 1;
}

// The responder's own address and port.  Bound to the wildcard address it
// cannot tell all its addresses; loopback ones with its port are surely its
// own, and a loop through any other is ended by the loop rule.
bool is_own(const responder_guard* guard, const guard_source& source) {
    if (!guard->own_known || source.port != guard->own.port) return false;
    if (guard->own_any) return is_loopback(source);
    return same_source(source, guard->own);
}

void entry_start(guard_entry* entry, const guard_source& source, int64_t now_us) {
    std::memset(entry, 0, sizeof *entry);
    entry->source = source;
    entry->used = true;
    entry->last_us = now_us;
    entry->window_us = now_us;
    entry->loop_until_us = now_us;
    entry->credit = guard_budget_bytes * credit_unit;
    entry->credit_us = now_us;
    entry->announced_us = -1;
}

// The place of a source: its own, a free one, or one idle for a whole
// window.  Sources that find none share the overflow place, so a flood of
// forged sources cannot buy fresh budgets by pushing others out.
guard_entry* entry_of(responder_guard* guard, const guard_source& source, uint32_t hash, int64_t now_us) {
    guard_entry* free_place = nullptr;
    guard_entry* idle_place = nullptr;
    for (int i = 0; i < guard_probe_places; i++) {
        guard_entry* entry = &guard->entries[(hash + static_cast<uint32_t>(i)) % guard_table_size];
        if (!entry->used) {
            if (free_place == nullptr) free_place = entry;
            continue;
        }
        if (same_source(entry->source, source)) return entry;
        if (idle_place == nullptr && now_us - entry->last_us >= guard_window_us) idle_place = entry;
    }
    guard_entry* place = free_place != nullptr ? free_place : idle_place;
    if (place == nullptr) {
        if (!guard->overflow.used) entry_start(&guard->overflow, source, now_us);
        return &guard->overflow;
    }
    entry_start(place, source, now_us);
    return place;
}

// Counts this copy of the datagram; true when it has come too often.
bool repeats_too_often(guard_entry* entry, uint32_t fingerprint, int64_t now_us) {
    if (now_us - entry->window_us >= guard_window_us) {
        entry->window_us = now_us;
        entry->tracked = 0;
    }
    for (int i = 0; i < entry->tracked; i++) {
        if (entry->fingerprints[i] != fingerprint) continue;
        if (entry->copies[i] < 255) entry->copies[i]++;
        return entry->copies[i] > guard_repeat_limit;
    }
    // Only the first datagrams of a window are followed: a loop keeps
    // repeating them, however many others run beside it.
    if (entry->tracked < guard_tracked) {
        entry->fingerprints[entry->tracked] = fingerprint;
        entry->copies[entry->tracked] = 0;
        entry->tracked++;
    }
    return false;
}

// Refills the credit for the time passed and for the bytes received, then
// takes the reply's excess over what was received if the credit covers it.
bool within_budget(guard_entry* entry, int received, int reply, int64_t now_us) {
    int64_t elapsed = now_us - entry->credit_us;
    if (elapsed > guard_window_us) elapsed = guard_window_us;
    if (elapsed > 0) entry->credit += elapsed * (guard_budget_bytes * credit_unit / guard_window_us);
    entry->credit_us = now_us;
    if (received > 0) entry->credit += guard_budget_ratio * received * credit_unit;
    if (entry->credit > guard_budget_bytes * credit_unit) entry->credit = guard_budget_bytes * credit_unit;
    int64_t excess = (static_cast<int64_t>(reply) - (received > 0 ? received : 0)) * credit_unit;
    if (excess <= 0) return true;
    if (excess > entry->credit) return false;
    entry->credit -= excess;
    return true;
}

// A refusal is said at most once per window and source, so a flood of
// refused datagrams cannot flood the log with the reason as well.
guard_decision refuse(guard_entry* entry, guard_verdict verdict, int64_t now_us) {
    bool announce = entry->announced_us < 0 || now_us - entry->announced_us >= guard_window_us;
    if (announce) entry->announced_us = now_us;
    return {verdict, announce};
}

}  // namespace

void guard_reset(responder_guard* guard, const sockaddr* own, int own_length, bool budget) {
    std::memset(guard, 0, sizeof *guard);
    guard->budget = budget;
    guard->own_known = guard_source_of(own, own_length, &guard->own);
    guard->own_any = guard->own_known && all_zero(guard->own.address, 16);
}

guard_decision guard_check(responder_guard* guard, const sockaddr* from, int from_length, uint32_t fingerprint,
                           int received, int reply, int64_t now_us) {
    guard_source source;
    guard_source_of(from, from_length, &source);
    uint32_t hash = source_hash(source);
    guard_entry* entry = entry_of(guard, source, hash, now_us);
    // Sources sharing the overflow place must not pass for each other's repeats.
    if (entry == &guard->overflow) fingerprint ^= hash;
    entry->last_us = now_us;

    if (is_own(guard, source)) return refuse(entry, guard_own_address, now_us);
    if (source.port == 0) return refuse(entry, guard_port_zero, now_us);
    bool looping = repeats_too_often(entry, fingerprint, now_us);
    // Once one datagram is found looping the whole source is refused for a
    // window: every loop through it dies at its next pass.
    if (looping) entry->loop_until_us = now_us + guard_window_us;
    if (now_us < entry->loop_until_us) return refuse(entry, guard_loop, now_us);
    if (guard->budget && !within_budget(entry, received, reply, now_us)) return refuse(entry, guard_budget, now_us);
    return {guard_answer, false};
}

uint32_t guard_fingerprint(const unsigned char* data, int length) {
    // The first bytes and the length tell datagrams apart well enough; a loop
    // repeats all of them.
    constexpr int head = 64;
    uint32_t hash = fnv1a(2166136261U, data, length < head ? length : head);
    unsigned char size[4] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                             static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    return fnv1a(hash, size, 4);
}

const char* guard_reason(guard_verdict verdict) {
    switch (verdict) {
        case guard_own_address: return "own address";
        case guard_port_zero: return "port 0";
        case guard_loop: return "loop";
        case guard_budget: return "budget";
        default: return "none";
    }
}
