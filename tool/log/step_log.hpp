// The pieces every log line of the measurement loops is made of: the time
// stamp, the peer's address, the error text of a failed call, and the
// per-step lines that --quiet leaves out.  A line's shape is written here
// once, so the loops only say what happened.
#pragma once

#include "platform/winsock.hpp"
#include "tool/record/measurement_record.hpp"

// Text of a time stamp: "%Y/%m/%d %H:%M:%S" and up to six digits of fraction.
constexpr int stamp_size = 36;
// Text of an address and port: "a.b.c.d:port" or "[v6]:port".
constexpr int peer_text_size = 64;

// Local time stamp of a fresh clock reading, written into `buffer`
// (stamp_size bytes).
const char* stamp_now(char* buffer);
// The same of a reading taken earlier with utillib::getmicrotime(), for a
// line written some time after the moment it tells of.
const char* stamp_of(double reading, char* buffer);

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

// A line about one datagram or one wait; --quiet leaves them all out.
[[gnu::format(printf, 1, 2)]] void step_log(const char* format, ...);

// A sender line about cycle i: "<stamp> <who> i=%06d S=%06d R=%06d " and then
// the rest; `sent` and `received` are the counters at the time of printing.
[[gnu::format(printf, 5, 6)]] void cycle_log(const char* who, int i, int sent, int received, const char* format, ...);

// The summary of a sender run, each line under `who`: probes sent, replies
// received, the last probe number plus one, and the ratio in percent.  The
// sender closes with it and the run report repeats it.
void print_summary(const char* who, const echomark_record* record);
