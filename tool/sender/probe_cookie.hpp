// The responder's cookie on the sender's side.  A responder answers a source
// it cannot be sure of with at most probe_unproven_ratio times what it
// received; a run that asks for larger replies first sends a hello, takes
// the cookie from its reply and returns the newest cookie in every probe,
// showing that it receives at its address.
#pragma once

#include "tool/sender/probe_socket.hpp"
#include "tool/wire/probe_extension.hpp"

struct probe_cookie {
    bool wanted;  // the run's replies are more than probe_unproven_ratio times its probes
    bool known;   // a cookie came
    unsigned char value[probe_cookie_end - probe_cookie_offset];
};

// Starts with no cookie; `wanted` when `recvsize` is more than the ratio
// times `sendsize` and a probe is long enough to carry a cookie.
void probe_cookie_begin(probe_cookie* cookie, int sendsize, int recvsize);

// When wanted: sends the hello (probe number -1, as long as its reply) and
// waits up to `seconds` (at most one second) for the reply that carries the
// cookie, then prints one line saying whether it came.  Datagrams other
// than the hello's reply are dropped; a stop request ends the wait.
void probe_cookie_hello(probe_cookie* cookie, const probe_socket* ps, double seconds, unsigned char* buffer);

// Marks a probe about to leave as asking for the cookie and returns the
// newest one in it (when wanted).
void probe_cookie_present(const probe_cookie* cookie, unsigned char* probe);

// Keeps the cookie of a reply from the destination (`length` bytes), when
// it carries one: it changes every few minutes.
void probe_cookie_learn(probe_cookie* cookie, const unsigned char* reply, int length);
