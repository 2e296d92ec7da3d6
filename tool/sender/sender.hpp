// The probe sender: what a run is asked to do, and the stop-and-wait engine
// that sends numbered probes one at a time, waits for each reply, times
// both, then waits once more for the replies still missing.
#pragma once

#include <cstdint>

#include "tool/record/recorder.hpp"

// --tos= or --ttl= not given: the probes leave with the system's value.
constexpr int sender_header_unset = -1;
// The pause after a good reply when none is asked for, in milliseconds.
constexpr int sender_default_pause_ms = 1;

// What the probes are on the wire (tool/sender/probe_format.hpp).
enum sender_wire : uint8_t {
    sender_wire_probe = 0,   // the project's probe
    sender_wire_oneway = 1,  // the same, asking the far end for its times (--oneway)
    sender_wire_stamp = 2,   // STAMP test packets (--stamp)
};

struct sender_settings {
    const char* ipaddr = "";      // destination: dotted IPv4 or IPv6 text
    int ipport = 0;               // destination port
    double timeout = 0.25;        // seconds, the limit of every single wait
    int count = 0;                // probes; beyond the record's slots only in a long run
    int sendsize = 8192;          // bytes of each probe
    int recvsize = 9192;          // bytes of the reply each probe asks for
    bool precise = false;         // Stime and Rtime from the monotonic clock, not the millisecond clock
    bool interval_given = false;  // a pause other than the default 1 ms
    double interval = 0.0;        // seconds of that pause
    int tos = sender_header_unset;
    int ttl = sender_header_unset;
    bool long_run = false;  // --count= or --duration=: the run may go beyond the record's slots
    double duration = 0.0;  // seconds of sending; 0: no limit
    double every = 0.0;     // seconds between interval lines; 0: none
    bool quiet = false;     // no per-step lines; a progress line on a terminal
    // A scheduled run (scheduled_sender_run): probes leave on a schedule,
    // whatever the replies do.
    bool scheduled = false;      // --rate= or --send-interval= given
    bool poisson = false;        // exponential gaps of mean send_interval, else a fixed gap
    double send_interval = 0.0;  // seconds between probes, or their mean
    uint64_t seed = 0;           // of the Poisson gaps
    uint8_t wire = sender_wire_probe;  // sender_wire
    uint16_t ssid = 0;                 // STAMP: the session's SSID (RFC 8972); 0: none
    // --metrics=: the scheduled sender's Prometheus endpoint; null port: none.
    const char* metrics_address = nullptr;  // numeric; null or empty: 127.0.0.1
    const char* metrics_port = nullptr;
};

// Runs the stop-and-wait sender: clears the recorder's records, sends, and
// reports every event to it; stops sooner on a stop request (the drain and
// the closing lines still follow) or when a wait fails.
void sender_run(const sender_settings* settings, recorder* rec);
