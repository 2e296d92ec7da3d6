// The echo responder: answers every datagram, to its own source, with a
// reply of the length the datagram asks for, and logs both.
//
// Everything it keeps between datagrams lives in one `responder` struct:
// its settings, the table of its safety rules, its log buffer and the
// buffers of a batch.  One process may serve several sockets, each with a
// responder of its own.
#pragma once

#include <cstdint>

#include "platform/batch.hpp"
#include "tool/log/line_output.hpp"
#include "tool/log/step_log.hpp"
#include "tool/metrics/http_endpoint.hpp"
#include "tool/metrics/responder_metrics.hpp"
#include "tool/responder/responder_guard.hpp"
#include "tool/responder/stamp_reflector.hpp"
#include "tool/wire/probe_datagram.hpp"

// --maxreply= not given: every reply length the buffer holds is answered.
constexpr int responder_no_reply_limit = -1;

// --stamp: what the responder is to its senders.
enum responder_stamp_mode {
    responder_stamp_off,        // the probe responder (or --echo)
    responder_stamp_stateless,  // a STAMP session-reflector that copies each sender's sequence number
    responder_stamp_stateful,   // one that counts each session's packets itself
};

struct responder_settings {
    bool quiet = false;                       // no line per datagram
    bool echo = false;                        // every datagram back with its own bytes (plain echo clients)
    int maxreply = responder_no_reply_limit;  // longest reply sent
    bool budget = true;                       // replies limited by what each source sent (--nobudget: false)
    responder_stamp_mode stamp = responder_stamp_off;
    // --metrics=: the Prometheus endpoint's numeric address (null or empty:
    // 127.0.0.1) and port; no endpoint when the port is null.
    const char* metrics_address = nullptr;
    const char* metrics_port = nullptr;
};

// Datagrams taken and answered together: all those already waiting, up to
// this many, in one system call each way.
constexpr int responder_batch_size = 32;
// Room for the lines of one datagram that precede its reply lines.
constexpr int responder_slot_text_size = 768;

// What a reply needs written just before it is sent.
enum responder_send_time : unsigned char {
    send_time_none,
    send_time_stamp,   // T3 of a STAMP reflector packet
    send_time_oneway,  // T3 of a probe's far-end fields
};

// One datagram of a batch, from its receive to its reply lines.
struct responder_slot {
    unsigned char* data;  // its buffer: zeros beyond what arrived
    int dirty;            // bytes the receive may have written there
    int recvsize;
    int replysize;  // bytes to send back, -1 for none
    int sent_at;    // its place in the list of replies
    responder_send_time send_time;
    int64_t lastpkts;      // the number its lines show: the probe number, or the STAMP sequence number
    int64_t reply_number;  // the number of its send line: a stateful reflector's own count
    int counter;         // the [N] of its lines
    double received_at;  // clock reading for its receive line
    int text_used;
    int peer_length;
    char peer[peer_text_size];
    char text[responder_slot_text_size];  // its lines after the receive line, until its reply is sent
};

// The text of the latest source: a burst mostly comes from one.
struct responder_peer_memo {
    sockaddr_storage address;
    int length;
    char text[peer_text_size];
};

// The clock's state as the far end's fields tell it, read about once a second.
struct responder_clock {
    int64_t checked_us;  // monotonic time of the latest reading; negative before the first
    bool synchronized;
};

// The responder's Prometheus endpoint (--metrics=) and its page.
constexpr int responder_page_size = 65536;
struct responder_watch {
    bool on;
    int64_t polled_us;  // monotonic time of the latest poll
    metrics_endpoint endpoint;
    char page[responder_page_size];
};

struct responder {
    responder_settings settings;
    responder_guard guard;
    line_output log;  // lines go out whole, when the buffer is full or before the responder blocks
    stamp_memo stamps;
    responder_peer_memo last_peer;
    responder_metrics counts;  // what /metrics shows
    responder_clock clock;
    stamp_reflector reflector;  // --stamp
    // The socket whose datagrams come with the kernel's facts (receive
    // stamp, TTL, TOS); -1 for none.
    int facts_socket;
    int64_t batch_us;  // monotonic time of the latest batch
    responder_watch watch;
    stamp_session_table sessions;  // --stamp=stateful
    platform::datagram io[responder_batch_size];
    responder_slot slots[responder_batch_size];
    // Between batches every buffer reads as zeros.
    unsigned char buffers[responder_batch_size][datagram_buffer_size];
};

// Makes `r` ready to serve with `settings`; its safety rules start afresh
// on the socket it first serves.
void responder_init(responder* r, const responder_settings* settings);

// Set-up of the responder's socket: prints its address lines, opens a UDP
// socket and binds it.  Returns the socket, or a negative code (after a line
// saying so) when the socket cannot be opened or bound.
int responder_open(const char* ipaddr, int ipport);

// Takes one datagram from `sock` into `buffer` (datagram_buffer_size bytes)
// and answers it to its source; `counter` numbers the datagrams answered.
void responder_reply_one(responder* r, int sock, int* counter, unsigned char* buffer);

// Answers datagrams on `sock`: `datagrams` of them, or without end when
// negative; a stop request (SIGTERM, SIGINT, SIGHUP) ends it sooner.  Every
// line is written out when it returns.
void responder_serve(responder* r, int sock, long datagrams);

// The listen mode: set-up, then answers datagrams until the process is asked
// to stop.  Returns 0 after a stop request, a negative code when the set-up
// failed.
int responder_listen(responder* r, const char* ipaddr, int ipport);

// --- the far end's times (responder_far_end.cpp) ------------------------------------

// Reads the clock's synchronization when a second has passed since the
// latest reading, for the STAMP error estimate and the far-end clock byte.
void responder_clock_refresh(responder* r, int64_t now_us);
// The STAMP reflector's answer to slot `s`, which the safety rules let
// through, written in place: its length, or a negative stamp_ code (no
// answer; counted in r->reflector.counts).
int responder_stamp_answer(responder* r, responder_slot* s, const platform::datagram* io, int64_t now_us);
// For a probe that asks with probe_ask_oneway: the far-end fields written
// into its reply, when the reply reaches far enough; `received` is the
// count of probes from its source.  True when written.
bool responder_oneway_answer(responder* r, responder_slot* s, const platform::datagram* io, uint32_t received,
                             int64_t now_us);
// Writes the send time into the replies of the batch that need it
// (replies[0..count), each slot's sent_at its place there).
void responder_send_times(responder* r, int taken, platform::datagram* replies);

// --- the Prometheus endpoint (responder_watch.cpp) -----------------------------------

// Opens the endpoint that settings.metrics_port asks for, with its set-up
// line; 0, or the negative code of the failure after a line saying so.
int responder_watch_open(responder* r);
void responder_watch_close(responder* r);
// Answers what the endpoint has waiting, without waiting (the page made
// afresh when a request wants it).
void responder_watch_poll(responder* r, int64_t now_us);
// Waits, at most 0.1 s, until `sock` is readable or the endpoint has work,
// and does the endpoint's work.  1 when `sock` is readable, 0 when not yet,
// SOCKET_ERROR when the wait failed (WSAEINTR: a signal came).
int responder_watch_wait(responder* r, int sock);
