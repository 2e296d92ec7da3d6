#include "tool/responder/stamp_reflector.hpp"

#include <netinet/in.h>

#include <cstring>

namespace {

// The session key of an address record: a 16-byte address (IPv4 mapped)
// and the port.  False for another family or a record too short.
bool session_key(const sockaddr* source, int length, uint8_t address[16], uint16_t* port) {
    if (source == nullptr || length < static_cast<int>(sizeof(sa_family_t))) return false;
    if (source->sa_family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6))) {
        sockaddr_in6 six;
        std::memcpy(&six, source, sizeof six);
        std::memcpy(address, &six.sin6_addr, 16);
        *port = six.sin6_port;
        return true;
    }
    if (source->sa_family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in four;
        std::memcpy(&four, source, sizeof four);
        std::memset(address, 0, 10);
        address[10] = 0xFF;
        address[11] = 0xFF;
        std::memcpy(address + 12, &four.sin_addr, 4);
        *port = four.sin_port;
        return true;
    }
    return false;
}

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}

uint64_t session_hash(uint64_t seed, const uint8_t address[16], uint16_t port, uint16_t ssid) {
    uint64_t high;
    uint64_t low;
    std::memcpy(&high, address, 8);
    std::memcpy(&low, address + 8, 8);
    uint64_t h = mix(seed ^ high);
    h = mix(h ^ low);
    return mix(h ^ (static_cast<uint64_t>(port) << 16 | ssid));
}

static_assert((stamp_session_capacity & (stamp_session_capacity - 1)) == 0);

}  // namespace

void stamp_sessions_reset(stamp_session_table* table, uint64_t seed) {
    std::memset(table->sessions, 0, sizeof table->sessions);
    table->seed = seed;
    table->tick = 0;
}

bool stamp_session_next(stamp_session_table* table, const sockaddr* source, int source_length, uint16_t ssid,
                        uint32_t* sequence, bool* evicted) {
    *evicted = false;
    uint8_t address[16];
    uint16_t port;
    if (!session_key(source, source_length, address, &port)) return false;
    table->tick++;
    uint64_t first = session_hash(table->seed, address, port, ssid);
    stamp_session* chosen = nullptr;
    for (int i = 0; i < stamp_session_neighbourhood; i++) {
        stamp_session* s = &table->sessions[(first + static_cast<uint64_t>(i)) & (stamp_session_capacity - 1)];
        if (s->last_use != 0 && s->port == port && s->ssid == ssid && std::memcmp(s->address, address, 16) == 0) {
            chosen = s;
            break;
        }
        // Otherwise the first free place, or the least recently used.
        if (chosen == nullptr || (chosen->last_use != 0 && s->last_use < chosen->last_use)) chosen = s;
    }
    if (chosen->last_use == 0 || chosen->port != port || chosen->ssid != ssid ||
        std::memcmp(chosen->address, address, 16) != 0) {
        *evicted = chosen->last_use != 0;
        std::memcpy(chosen->address, address, 16);
        chosen->port = port;
        chosen->ssid = ssid;
        chosen->next_sequence = 0;
    }
    chosen->last_use = table->tick;
    *sequence = chosen->next_sequence++;
    return true;
}

namespace {

// A request from port 0 cannot be answered, and one from the reflector's
// own port comes from another reflector: answering it would start a loop.
bool answerable_source(const stamp_reflector* r, const sockaddr* source, int length) {
    uint8_t address[16];
    uint16_t port;
    if (!session_key(source, length, address, &port)) return false;
    uint16_t host_port = ntohs(port);
    return host_port != 0 && host_port != r->own_port;
}

}  // namespace

int stamp_reflect(stamp_reflector* r, const stamp_arrival* arrival, const unsigned char* request, int request_length,
                  unsigned char* reply, int reply_size) {
    stamp_request parsed;
    int result = stamp_parse_request(request, request_length, &parsed);
    if (result == 0 && !answerable_source(r, arrival->source, arrival->source_length)) result = stamp_refused_source;
    int length = request_length > stamp_packet_length ? request_length : stamp_packet_length;
    // Checked before a stateful session counts the packet, so its count
    // has no gap for an answer never sent.
    if (result == 0 && (reply == nullptr || reply_size < length)) result = stamp_no_room;
    if (result < 0) {
        stamp_count_request(&r->counts, result, &parsed);
        return result;
    }
    stamp_reflection reflection;
    reflection.sequence = parsed.sequence;
    reflection.received_ns = arrival->received_ns;
    reflection.error_estimate = r->error_estimate;
    reflection.ttl = arrival->ttl;
    if (r->sessions != nullptr) {
        bool evicted = false;
        stamp_session_next(r->sessions, arrival->source, arrival->source_length, parsed.ssid, &reflection.sequence,
                           &evicted);
        if (evicted) r->counts.sessions_evicted++;
    }
    result = stamp_build_reply(&parsed, request, &reflection, reply, reply_size);
    stamp_count_request(&r->counts, result, &parsed);
    return result;
}
