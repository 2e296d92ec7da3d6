// Safety rules of the echo responder: which datagrams it must not answer.
//
// A responder answers whatever arrives, to a source address it cannot check.
// Left alone that lets one forged datagram start an endless exchange between
// two responders (or a responder and itself), and lets a small datagram buy a
// large reply towards someone else.  The rules here refuse exactly those
// datagrams and nothing this program's own sender or a plain echo client
// sends:
//   - a datagram from the responder's own address and port, or from port 0;
//   - loops: the same datagram from the same source again and again (the
//     sender never repeats a probe number within a run);
//   - amplification: replies to one source beyond what it sent, over a budget.
// Everything is kept in a fixed table: no allocation per datagram.
#pragma once

#include <cstdint>

struct sockaddr;

// Who sent a datagram, for IPv4 and IPv6 alike: the family, the address bytes
// (an IPv4 address in the first four, the rest zero) and the port.
struct guard_source {
    uint16_t family;
    uint16_t port;  // host order
    unsigned char address[16];
};

// Fills *out from a socket address of `length` bytes; false for a family
// other than IPv4 and IPv6 or a length too short for it.
bool guard_source_of(const sockaddr* address, int length, guard_source* out);

// Sources remembered at once; a source idle for a repeat window gives its
// place to a new one, and sources beyond the table share one overflow place.
constexpr int guard_table_size = 1024;
// Places looked at for one source before it goes to the overflow place.
constexpr int guard_probe_places = 8;
// Distinct datagrams per source and window whose repeats are counted.
constexpr int guard_tracked = 16;
// Copies of one datagram beyond the first that are still answered per window.
constexpr int guard_repeat_limit = 4;
// Length of the repeat window, of a loop refusal, and of the budget's refill.
constexpr int64_t guard_window_us = 1000000;
// Reply bytes beyond what the source sent that may go out at once, refilled
// at this many bytes per second: one largest datagram.
constexpr int64_t guard_budget_bytes = 65536;
// Each byte received earns this many bytes of reply beyond it, so a source
// asking at most (1 + this) times what it sends never touches the budget.
constexpr int64_t guard_budget_ratio = 7;

enum guard_verdict {
    guard_answer,
    guard_own_address,  // from the responder's own address and port
    guard_port_zero,    // from port 0, where no reply can go
    guard_loop,         // the same datagram again and again
    guard_budget,       // the reply would exceed the source's budget
};

struct guard_entry {
    guard_source source;
    bool used;
    int tracked;            // fingerprints[0..tracked) of this window
    int64_t last_us;        // latest datagram from the source
    int64_t window_us;      // start of the current repeat window
    int64_t loop_until_us;  // refused as a loop until then
    int64_t credit;         // reply beyond what was received still allowed, in millionths of a byte
    int64_t credit_us;      // when the credit was last refilled
    int64_t announced_us;   // latest refusal line, or -1
    uint32_t fingerprints[guard_tracked];
    uint8_t copies[guard_tracked];  // copies beyond the first, saturating
};

struct responder_guard {
    guard_source own;
    bool own_known;
    bool own_any;  // bound to the wildcard address: every local address is its own
    bool budget;   // false: replies are not limited by the budget
    guard_entry entries[guard_table_size];
    guard_entry overflow;
};

// Empties the table; `own` (may be null) is the responder's bound address.
void guard_reset(responder_guard* guard, const sockaddr* own, int own_length, bool budget);

struct guard_decision {
    guard_verdict verdict;
    // A refusal that deserves its line: at most one per source and window.
    bool announce;
};

// The rules for one datagram of `received` bytes from `from` asking for
// `reply` bytes, at `now_us` on a monotonic clock.  `fingerprint` stands for
// the datagram's content (its probe number); equal datagrams give equal ones.
// A reply allowed here is counted as sent.
guard_decision guard_check(responder_guard* guard, const sockaddr* from, int from_length, uint32_t fingerprint,
                           int received, int reply, int64_t now_us);

// Fingerprint of a datagram's bytes, for replies that echo them whole.
uint32_t guard_fingerprint(const unsigned char* data, int length);

// Words of a verdict for the refusal line ("loop", "budget", ...).
const char* guard_reason(guard_verdict verdict);
