// The pieces every log line of the measurement loops is made of: the time
// stamp, the peer's address, the error text of a failed call, and the
// per-step lines that a quiet run leaves out.  A line's shape is written
// here once, so the loops only say what happened.
#pragma once

#include "platform/winsock.hpp"

// Text of a time stamp: "%Y/%m/%d %H:%M:%S" and up to six digits of fraction.
constexpr int stamp_size = 36;
// Text of an address and port: "a.b.c.d:port" or "[v6]:port".
constexpr int peer_text_size = 64;

// Local time stamp of a fresh clock reading, written into `buffer`
// (stamp_size bytes).
const char* stamp_now(char* buffer);

// The texts of the two latest clock readings stamped.  A busy loop writes
// many lines within one millisecond, the clock's resolution, and the
// responder's lines take turns between the reading of a batch's receive and
// that of its replies: the kept texts are copied while the readings repeat.
struct stamp_memo {
    double reading[2] = {-1.0, -1.0};
    char text[2][stamp_size] = {};
    int newest = 0;
};
// The time stamp of a reading taken earlier with utillib::getmicrotime(),
// for a line written some time after the moment it tells of.
const char* stamp_of(double reading, char* buffer, stamp_memo* memo);

// "a.b.c.d:port" of an IPv4 address, "[v6]:port" of an IPv6 one, written into
// `text` (peer_text_size bytes).  A record a failed receive left cleared
// reads as 0.0.0.0:0.
const char* peer_text(const void* address, char* text);

// An IPv4 address as its four bytes, most significant first, and the port,
// for the set-up lines that print them apart.
struct address_parts {
    int a, b, c, d, port;
};
address_parts parts_of(const sockaddr_in& address);
// The address word as it lies in memory, read as a host integer.
unsigned int memory_word(const sockaddr_in& address);

// The port as decimal text of at most five characters.
void port_text(int ipport, char (&text)[6]);

// The error a failure line shows for a platform call that returned `result`:
// the platform's code for the failure (read at once, before another call
// replaces it), or 0 when the call did not fail (an empty datagram).
int call_error(int result);
// Text of such a code, or of a library result's negation: the platform's
// table of Windows Sockets and runtime texts, the system's text otherwise.
const char* error_text(int code);

// Where a loop's per-step lines go: standard output, or nowhere in a quiet
// run; and the texts of its latest time stamps.
struct step_lines {
    bool quiet = false;
    stamp_memo stamps;
};

// The time stamp of a fresh clock reading, for a line of this loop.
const char* step_stamp(step_lines* lines, char* buffer);

// A line about one datagram or one wait.
[[gnu::format(printf, 2, 3)]] void step_log(const step_lines* lines, const char* format, ...);

// A sender line about cycle i: "<stamp> <who> i=%06d S=%06d R=%06d " and then
// the rest; `sent` and `received` are the counters at the time of printing.
[[gnu::format(printf, 6, 7)]] void cycle_log(step_lines* lines, const char* who, int i, int sent, int received,
                                             const char* format, ...);
