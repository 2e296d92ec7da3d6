// The STAMP session-reflector's work on one test packet: check it, count
// what was wrong with it, and build the answer the responder sends.
//
// Stateless (RFC 8762 4.3.1): the answer carries the sender's sequence
// number.  Stateful (4.3.2): it carries the reflector's own count of the
// packets of that session (source address and port, and SSID), so the
// sender can tell loss on the way out from loss on the way back.  Sessions
// live in a fixed table the caller owns: a new session takes a free place
// or the least recently used one near it, and a session pushed out starts
// counting from 0 again when it comes back.
#pragma once

#include <sys/socket.h>

#include <cstdint>

#include "tool/wire/stamp_packet.hpp"

constexpr int stamp_session_capacity = 4096;    // a power of two
constexpr int stamp_session_neighbourhood = 8;  // places a session may take, from its hash on

struct stamp_session {
    uint8_t address[16];  // IPv6, or IPv4 as a mapped address
    uint16_t port;        // network order, as in the address record
    uint16_t ssid;
    uint32_t next_sequence;
    uint64_t last_use;  // the table's tick at its latest packet; 0: free
};
static_assert(sizeof(stamp_session) == 32, "a session is 32 bytes");

struct stamp_session_table {
    uint64_t seed;  // mixed into the hash, so neighbourhoods differ between runs
    uint64_t tick;
    stamp_session sessions[stamp_session_capacity];
};

// Empties the table.  `seed` should differ between runs (any unpredictable
// value), so forged sources cannot aim at one neighbourhood.
void stamp_sessions_reset(stamp_session_table* table, uint64_t seed);

// The reflector's sequence number for the next packet of the session of
// `source` (IPv4 or IPv6 address record) and `ssid`, counting from 0.  False
// for a record of another family or too short.  *evicted is set when a
// session was pushed out to make room.
bool stamp_session_next(stamp_session_table* table, const sockaddr* source, int source_length, uint16_t ssid,
                        uint32_t* sequence, bool* evicted);

// The reflector: what it writes into every answer, and what it counted.
struct stamp_reflector {
    uint16_t error_estimate;        // of its clock (clock_sync); the Z bit picks the format of T2 and T3
    uint16_t own_port;              // host order: packets from this port (another reflector) get no answer
    stamp_session_table* sessions;  // stateful; null: stateless
    stamp_input_counts counts;
};

// One test packet as it arrived.
struct stamp_arrival {
    const sockaddr* source;
    int source_length;
    int64_t received_ns;  // T2: the kernel's receive stamp, else the calendar read as the receive returned
    int ttl;              // TTL or hop limit of the packet; -1 when not known
};

// Checks the packet of `request_length` bytes at `request` and writes the
// answer into `reply` of `reply_size` bytes (it may be the request's own
// buffer).  Returns the answer's length (at least 44, as long as the
// request otherwise), or a negative stamp_ code: no answer.  Either way the
// packet is counted in r->counts.  T3 is left for stamp_set_send_time,
// right before the send.
int stamp_reflect(stamp_reflector* r, const stamp_arrival* arrival, const unsigned char* request, int request_length,
                  unsigned char* reply, int reply_size);
