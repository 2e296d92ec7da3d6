// Safety rules of the echo responder: own address, loops, amplification, cookies.
#include "tool/responder/responder_guard.hpp"

#include <cstring>

#include "platform/random.hpp"
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

bool same_source(const guard_source& a, const guard_source& b) {
    return a.family == b.family && a.port == b.port && std::memcmp(a.address, b.address, 16) == 0;
}

uint32_t fnv1a(uint32_t hash, const unsigned char* data, int length) {
    for (int i = 0; i < length; i++) hash = (hash ^ data[i]) * 16777619U;
    return hash;
}

bool all_zero(const unsigned char* bytes, int length) {
    for (int i = 0; i < length; i++) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

const unsigned char v4_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// 127.0.0.0/8, ::1, and 127.0.0.0/8 mapped into IPv6.
bool is_loopback(const guard_source& source) {
    if (source.family == AF_INET) return source.address[0] == 127;
    if (std::memcmp(source.address, v4_mapped_prefix, 12) == 0) return source.address[12] == 127;
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

// The address as credit and cookies see it: an IPv4 peer of a dual-stack
// socket (::ffff:a.b.c.d) is the same host as a.b.c.d.
guard_source address_only(const guard_source& source) {
    guard_source address = source;
    address.port = 0;
    if (source.family == AF_INET6 && std::memcmp(source.address, v4_mapped_prefix, 12) == 0) {
        address.family = AF_INET;
        std::memset(address.address, 0, 16);
        std::memcpy(address.address, source.address + 12, 4);
    }
    return address;
}

// What the keyed hash is taken of: a purpose byte, a 64-bit number (the
// cookie period), and the source.
constexpr int keyed_input_size = 1 + 8 + 1 + 2 + 16;

uint64_t keyed_hash(const responder_guard* guard, unsigned char purpose, int64_t number, const guard_source& source) {
    unsigned char input[keyed_input_size];
    input[0] = purpose;
    for (int i = 0; i < 8; i++) input[1 + i] = static_cast<unsigned char>(static_cast<uint64_t>(number) >> (8 * i));
    input[9] = source.family == AF_INET ? 4 : source.family == AF_INET6 ? 6 : 0;
    input[10] = static_cast<unsigned char>(source.port >> 8);
    input[11] = static_cast<unsigned char>(source.port);
    std::memcpy(input + 12, source.address, 16);
    return siphash24(guard->key, input, keyed_input_size);
}

// Table places come from the keyed hash, so nobody outside can aim many
// sources at the places of one.
constexpr unsigned char purpose_source_place = 's';
constexpr unsigned char purpose_account_place = 'a';
constexpr unsigned char purpose_cookie = 'c';

void entry_start(guard_entry* entry, const guard_source& source, int64_t now_us) {
    std::memset(entry, 0, sizeof *entry);
    entry->source = source;
    entry->used = true;
    entry->last_us = now_us;
    entry->window_us = now_us;
    entry->loop_until_us = now_us;
    entry->announced_us = -1;
}

// Unused places come first, then the least recently used.
template <typename place>
bool older(const place* a, const place* b) {
    if (a->used != b->used) return !a->used;
    return a->last_us < b->last_us;
}

// The place of a source: its own, else a free or the least recently used
// one among those its hash allows.  Every source has a place of its own, so
// one forged source's repeats never count against another.
guard_entry* entry_of(responder_guard* guard, const guard_source& source, int64_t now_us) {
    guard_entry* recent = &guard->entries[guard->recent_entry];
    if (recent->used && same_source(recent->source, source)) return recent;
    uint64_t hash = keyed_hash(guard, purpose_source_place, 0, source);
    guard_entry* found = nullptr;
    guard_entry* oldest = nullptr;
    for (int i = 0; i < guard_probe_places && found == nullptr; i++) {
        guard_entry* entry = &guard->entries[(hash + static_cast<uint64_t>(i)) % guard_table_size];
        if (entry->used && same_source(entry->source, source)) found = entry;
        if (oldest == nullptr || older(entry, oldest)) oldest = entry;
    }
    if (found == nullptr) {
        found = oldest;
        entry_start(found, source, now_us);
    }
    guard->recent_entry = static_cast<int>(found - guard->entries);
    return found;
}

// The credit of an address, as entry_of; a new or re-made one holds nothing.
bool holds(const guard_account* account, const guard_source& address) {
    return account->used && account->family == address.family &&
           std::memcmp(account->address, address.address, 16) == 0;
}

guard_account* account_of(responder_guard* guard, const guard_source& address) {
    guard_account* recent = &guard->accounts[guard->recent_account];
    if (holds(recent, address)) return recent;
    uint64_t hash = keyed_hash(guard, purpose_account_place, 0, address);
    guard_account* found = nullptr;
    guard_account* oldest = nullptr;
    for (int i = 0; i < guard_probe_places && found == nullptr; i++) {
        guard_account* account = &guard->accounts[(hash + static_cast<uint64_t>(i)) % guard_account_table_size];
        if (holds(account, address)) found = account;
        if (oldest == nullptr || older(account, oldest)) oldest = account;
    }
    if (found == nullptr) {
        found = oldest;
        std::memset(found, 0, sizeof *found);
        found->used = true;
        found->family = address.family;
        std::memcpy(found->address, address.address, 16);
    }
    guard->recent_account = static_cast<int>(found - guard->accounts);
    return found;
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

// Credits the bytes received, then takes the reply from the credit if it
// covers it.  A datagram asking at most probe_unproven_ratio times its own
// length is always covered by what it brings.
bool within_credit(guard_account* account, int received, int reply) {
    if (received > 0) account->credit += int64_t{probe_unproven_ratio} * received;
    if (account->credit > guard_credit_cap) account->credit = guard_credit_cap;
    if (reply <= 0) return true;
    if (reply > account->credit) return false;
    account->credit -= reply;
    return true;
}

void cookie_bytes(uint64_t value, unsigned char* cookie) {
    for (int i = 0; i < guard_cookie_size; i++) cookie[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The cookie of an address in the period `now_us` falls in, or `back`
// periods before.
uint64_t cookie_of(const responder_guard* guard, const guard_source& source, int64_t now_us, int back) {
    int64_t period = now_us / guard_cookie_period_us - back;
    return keyed_hash(guard, purpose_cookie, period, address_only(source));
}

bool cookie_valid(const responder_guard* guard, const guard_source& source, const unsigned char* cookie,
                  int64_t now_us) {
    if (!guard->keyed || cookie == nullptr) return false;
    bool valid = false;
    for (int back = 0; back <= 1; back++) {
        unsigned char expected[guard_cookie_size];
        cookie_bytes(cookie_of(guard, source, now_us, back), expected);
        // Every byte is compared, so the time taken tells nothing of how
        // much of a guess was right.
        unsigned char differs = 0;
        for (int i = 0; i < guard_cookie_size; i++) differs |= static_cast<unsigned char>(expected[i] ^ cookie[i]);
        valid = valid || differs == 0;
    }
    return valid;
}

// A refusal is said at most once per window and source, so a flood of
// refused datagrams cannot flood the log with the reason as well.
guard_decision refuse(guard_entry* entry, guard_verdict verdict, int64_t now_us) {
    bool announce = entry->announced_us < 0 || now_us - entry->announced_us >= guard_window_us;
    if (announce) entry->announced_us = now_us;
    return {verdict, announce, 0};
}

uint32_t reserved_flags(const unsigned char* data) {
    return static_cast<uint32_t>(data_value_get(data, value_reserved));
}

// The rules, in order, for a datagram from the source of `entry`.
guard_decision judge_source(responder_guard* guard, guard_entry* entry, const guard_source& source,
                            uint32_t fingerprint, int received, int reply, const unsigned char* cookie,
                            int64_t now_us) {
    if (is_own(guard, source)) return refuse(entry, guard_own_address, now_us);
    if (source.port == 0) return refuse(entry, guard_port_zero, now_us);
    bool looping = repeats_too_often(entry, fingerprint, now_us);
    // Once one datagram is found looping the whole source is refused for a
    // window: every loop through it dies at its next pass.
    if (looping) entry->loop_until_us = now_us + guard_window_us;
    if (now_us < entry->loop_until_us) return refuse(entry, guard_loop, now_us);
    if (!guard->budget || cookie_valid(guard, source, cookie, now_us)) return {guard_answer, false, 0};
    guard_account* account = account_of(guard, address_only(source));
    account->last_us = now_us;
    if (!within_credit(account, received, reply)) return refuse(entry, guard_budget, now_us);
    return {guard_answer, false, 0};
}

}  // namespace

void guard_reset(responder_guard* guard, const sockaddr* own, int own_length, bool budget) {
    std::memset(guard, 0, sizeof *guard);
    guard->budget = budget;
    guard->own_known = guard_source_of(own, own_length, &guard->own);
    guard->own_any = guard->own_known && all_zero(guard->own.address, 16);
    guard->keyed = platform::random_bytes(guard->key, siphash_key_size);
}

guard_decision guard_check(responder_guard* guard, const sockaddr* from, int from_length, uint32_t fingerprint,
                           int received, int reply, const unsigned char* cookie, int64_t now_us) {
    guard_source source;
    guard_source_of(from, from_length, &source);
    guard_entry* entry = entry_of(guard, source, now_us);
    entry->last_us = now_us;
    entry->received++;
    guard_decision decision = judge_source(guard, entry, source, fingerprint, received, reply, cookie, now_us);
    decision.received = entry->received;
    return decision;
}

bool guard_may_say(responder_guard* guard, const sockaddr* from, int from_length, int64_t now_us) {
    guard_source source;
    guard_source_of(from, from_length, &source);
    return refuse(entry_of(guard, source, now_us), guard_answer, now_us).announce;
}

bool guard_cookie_make(const responder_guard* guard, const sockaddr* to, int to_length, int64_t now_us,
                       unsigned char (&cookie)[guard_cookie_size]) {
    std::memset(cookie, 0, sizeof cookie);
    guard_source source;
    if (!guard->keyed || !guard_source_of(to, to_length, &source)) return false;
    cookie_bytes(cookie_of(guard, source, now_us, 0), cookie);
    return true;
}

bool guard_cookie_check(const responder_guard* guard, const sockaddr* from, int from_length,
                        const unsigned char* cookie, int64_t now_us) {
    guard_source source;
    return guard_source_of(from, from_length, &source) && cookie_valid(guard, source, cookie, now_us);
}

const unsigned char* guard_cookie_presented(const unsigned char* datagram, int received) {
    if (received < probe_cookie_end || (reserved_flags(datagram) & probe_ask_cookie) == 0) return nullptr;
    return datagram + probe_cookie_offset;
}

bool guard_cookie_answer(const responder_guard* guard, const sockaddr* to, int to_length, unsigned char* data,
                         int reply, int64_t now_us) {
    if (reply < probe_cookie_end || (reserved_flags(data) & probe_ask_cookie) == 0) return false;
    unsigned char cookie[guard_cookie_size];
    if (!guard_cookie_make(guard, to, to_length, now_us, cookie)) return false;
    std::memcpy(data + probe_cookie_offset, cookie, guard_cookie_size);
    data_value_set(data, value_reserved, static_cast<int>(reserved_flags(data) | probe_did_cookie));
    return true;
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
