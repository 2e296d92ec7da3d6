// The probes a run sends and how their replies are read, in the wire format
// the run asks for: the project's probe, the project's probe asking for the
// far end's times (--oneway), or a STAMP session-sender's test packet
// (--stamp, RFC 8762 unauthenticated mode, which TWAMP-Light reflectors
// answer too).  Each engine calls it where it builds a probe and where it
// reads a reply; with the project's plain probe it does exactly what the
// engines did by themselves.
#pragma once

#include <cstdint>

#include "platform/clock.hpp"
#include "tool/record/oneway_figures.hpp"
#include "tool/sender/probe_socket.hpp"
#include "tool/sender/sender.hpp"

struct probe_format {
    uint8_t wire;    // sender_wire
    bool far_asked;  // the replies can carry the far end's times
    uint16_t ssid;   // STAMP
    int sendsize;
    int recvsize;
    bool synchronized;        // our clock, as the kernel said at the latest look
    double error;             // seconds: the kernel's bound on our clock's error (infinity: unsynchronized)
    uint16_t error_estimate;  // STAMP: the same as the test packets carry it
    int64_t checked_ns;       // monotonic ns of the latest look; negative: never
    oneway_figures* figures;  // the run's four-time figures; null when it keeps none
};

// Sets the format up for a run of `settings` over `socket`: the set-up line
// of --oneway or --stamp, the socket's receive facts (the reply's TTL and
// TOS) and the figures cleared for `count` probes.  `figures` is null for
// the project's plain probe.
void probe_format_begin(probe_format* format, const sender_settings* settings, const probe_socket* socket,
                        oneway_figures* figures, int count);

// Writes the fields of every probe of the run into `probe` (a cleared
// buffer of datagram_buffer_size bytes), numbered `number`.
void probe_format_build(probe_format* format, unsigned char* probe, int64_t number);
// Numbers a probe built before; under STAMP also brings its clock's error
// estimate up to date (looked at about once a second).
void probe_format_number(probe_format* format, unsigned char* probe, int64_t number);
// Right before the send, with both clocks just read: STAMP's T1.
void probe_format_leaving(const probe_format* format, unsigned char* probe, const platform::clock_pair& clocks);

// Reads a datagram of `length` bytes (negative: a failed receive).  *number
// is the probe number it names (what the bytes hold where the number would
// be; 0 when too little arrived).  True when it came `from_destination` and
// is a whole reply of the format; then *reply has what it says of the far
// end, with `facts` (the kernel's, for the reply's TTL and TOS).  Replies
// from the destination that are no answer are counted in the figures.
bool probe_format_read(probe_format* format, const unsigned char* data, int length, bool from_destination,
                       const platform::receive_facts* facts, int32_t* number, oneway_reply* reply);
