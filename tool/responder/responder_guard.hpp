// Safety rules of the echo responder: which datagrams it must not answer.
//
// A responder answers whatever arrives, to a source address it cannot check.
// Left alone that lets one forged datagram start an endless exchange between
// two responders (or a responder and itself), and lets a small datagram buy a
// large reply towards someone else.  The rules here refuse exactly those
// datagrams and nothing this program's own sender or a plain echo client
// sends:
//   - a datagram from the responder's own address and port, or from port 0;
//   - loops: the same datagram from the same source (address and port) again
//     and again (the sender never repeats a probe number within a run);
//   - amplification: towards an address that has not shown it receives
//     there, replies stay within probe_unproven_ratio times the bytes
//     received from that address, whatever its ports.
// An address shows it receives there by returning the responder's cookie,
// which only the responder can make and only replies carry; datagrams that
// carry a valid one are not limited (the other rules still hold).
// Everything is kept in fixed tables: no allocation per datagram.
#pragma once

#include <cstdint>

#include "tool/responder/siphash.hpp"
#include "tool/wire/probe_extension.hpp"

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

// Sources (address and port) whose loop state is remembered at once, and
// addresses whose reply credit is.  A new one takes a free place among those
// its hash allows, or the least recently used of them: a source pushed out
// starts its loop count again, an address its credit at zero.
constexpr int guard_table_size = 1024;
constexpr int guard_account_table_size = 1024;
// Places looked at for one source or address.
constexpr int guard_probe_places = 8;
// Distinct datagrams per source and window whose repeats are counted.
constexpr int guard_tracked = 16;
// Copies of one datagram beyond the first that are still answered per window.
constexpr int guard_repeat_limit = 4;
// Length of the repeat window, of a loop refusal, and of the pause between
// two refusal lines about one source.
constexpr int64_t guard_window_us = 1000000;
// Credit an address may hold at most: sixteen largest replies.
constexpr int64_t guard_credit_cap = int64_t{probe_unproven_ratio} * datagram_buffer_size;
// A cookie is the field the wire gives it.
constexpr int guard_cookie_size = probe_cookie_end - probe_cookie_offset;
// The cookie key turns over after this long; a cookie of the period before
// is still accepted, so one lives between one and two periods.
constexpr int64_t guard_cookie_period_us = 120 * int64_t{1000000};

enum guard_verdict {
    guard_answer,
    guard_own_address,  // from the responder's own address and port
    guard_port_zero,    // from port 0, where no reply can go
    guard_loop,         // the same datagram again and again
    guard_budget,       // the reply would exceed the address's credit
};

// Loop state and refusal lines of one source.
struct guard_entry {
    guard_source source;
    bool used;
    int tracked;            // fingerprints[0..tracked) of this window
    int64_t last_us;        // latest datagram from the source
    int64_t window_us;      // start of the current repeat window
    int64_t loop_until_us;  // refused as a loop until then
    int64_t announced_us;   // latest refusal line, or -1
    uint32_t received;      // datagrams from the source since it took its place
    uint32_t fingerprints[guard_tracked];
    uint8_t copies[guard_tracked];  // copies beyond the first, saturating
};

// Reply credit of one address, all its ports together.  Every byte received
// from it adds probe_unproven_ratio bytes, every reply takes its length; it
// starts at zero and nothing else refills it, so neither waiting, nor being
// new, nor forging many sources buys a reply.
struct guard_account {
    uint16_t family;
    bool used;
    unsigned char address[16];  // an IPv4-mapped IPv6 address counts as its IPv4 one
    int64_t last_us;
    int64_t credit;  // reply bytes still allowed, at most guard_credit_cap
};

struct responder_guard {
    guard_source own;
    bool own_known;
    bool own_any;  // bound to the wildcard address: every local address is its own
    bool budget;   // false: replies are not limited by the credit
    bool keyed;    // the key came from the system's random source: cookies work
    unsigned char key[siphash_key_size];
    // The places of the latest source and address: a burst mostly comes
    // from one, and finds them without hashing.
    int recent_entry;
    int recent_account;
    guard_entry entries[guard_table_size];
    guard_account accounts[guard_account_table_size];
};

// Empties the tables and draws a new key; `own` (may be null) is the
// responder's bound address.
void guard_reset(responder_guard* guard, const sockaddr* own, int own_length, bool budget);

struct guard_decision {
    guard_verdict verdict;
    // A refusal that deserves its line: at most one per source and window.
    bool announce;
    // Datagrams received from the source, this one included, since it took
    // its place in the table (wrapping after 2^32).
    uint32_t received;
};

// The rules for one datagram of `received` bytes from `from` asking for
// `reply` bytes, at `now_us` on a monotonic clock.  `fingerprint` stands for
// the datagram's content (its probe number); equal datagrams give equal ones.
// `cookie` is the cookie the datagram presents (guard_cookie_presented), or
// null.  A reply allowed here is counted as sent.
guard_decision guard_check(responder_guard* guard, const sockaddr* from, int from_length, uint32_t fingerprint,
                           int received, int reply, const unsigned char* cookie, int64_t now_us);

// True when a line about the datagram just checked (from `from`, at
// `now_us`) may be written: the same allowance as the refusal lines, at most
// one line per source and window, shared with them.
bool guard_may_say(responder_guard* guard, const sockaddr* from, int from_length, int64_t now_us);

// The responder's cookie for the address of `to` (its port plays no part) at
// `now_us`.  False, and zeros, for a family other than IPv4 and IPv6 or when
// no key could be drawn.
bool guard_cookie_make(const responder_guard* guard, const sockaddr* to, int to_length, int64_t now_us,
                       unsigned char (&cookie)[guard_cookie_size]);
// True when the guard_cookie_size bytes at `cookie` are the responder's
// cookie for the address of `from`, of this period or the one before.
bool guard_cookie_check(const responder_guard* guard, const sockaddr* from, int from_length,
                        const unsigned char* cookie, int64_t now_us);

// The cookie field of a received probe that asks with probe_ask_cookie and is
// long enough to hold one; null otherwise.
const unsigned char* guard_cookie_presented(const unsigned char* datagram, int received);
// For a reply of `reply` bytes at `data` (the probe's bytes, cut or padded)
// whose probe asks with probe_ask_cookie: writes the cookie for `to` into
// its cookie field and sets probe_did_cookie, when the reply reaches that
// far.  True when it wrote them.
bool guard_cookie_answer(const responder_guard* guard, const sockaddr* to, int to_length, unsigned char* data,
                         int reply, int64_t now_us);

// Fingerprint of a datagram's bytes, for replies that echo them whole.
uint32_t guard_fingerprint(const unsigned char* data, int length);

// Words of a verdict for the refusal line ("loop", "budget", ...).
const char* guard_reason(guard_verdict verdict);
