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
#include "tool/responder/responder_guard.hpp"
#include "tool/wire/probe_datagram.hpp"

// --maxreply= not given: every reply length the buffer holds is answered.
constexpr int responder_no_reply_limit = -1;

struct responder_settings {
    bool quiet = false;                       // no line per datagram
    bool echo = false;                        // every datagram back with its own bytes (plain echo clients)
    int maxreply = responder_no_reply_limit;  // longest reply sent
    bool budget = true;                       // replies limited by what each source sent (--nobudget: false)
};

// Datagrams taken and answered together: all those already waiting, up to
// this many, in one system call each way.
constexpr int responder_batch_size = 32;
// Room for the lines of one datagram that precede its reply lines.
constexpr int responder_slot_text_size = 768;

// One datagram of a batch, from its receive to its reply lines.
struct responder_slot {
    unsigned char* data;  // its buffer: zeros beyond what arrived
    int dirty;            // bytes the receive may have written there
    int recvsize;
    int replysize;  // bytes to send back, -1 for none
    int sent_at;    // its place in the list of replies
    int lastpkts;
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

struct responder {
    responder_settings settings;
    responder_guard guard;
    line_output log;  // lines go out whole, when the buffer is full or before the responder blocks
    stamp_memo stamps;
    responder_peer_memo last_peer;
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
