// UDP round-trip measurement: the probe datagram, the measurement record,
// the echo responder and the probe sender.
#pragma once

#include "tool/record/measurement_record.hpp"
#include "tool/wire/probe_datagram.hpp"

// --- measurement record ----------------------------------------------------------

extern echomark_record echomarkdata;
extern echomark_record* echomarkinfo;

// --- echo responder --------------------------------------------------------------

// Set-up of the responder: prints its address lines, opens a UDP socket and
// binds it.  Returns the socket, or a negative code (after a line saying so)
// when the socket cannot be opened or bound.
int echomark_listen_open(const char* ipaddr, int ipport);
// Takes one datagram from sock into buffer (datagram_buffer_size bytes) and
// answers it to its source; counter numbers the datagrams answered.
void echomark_listen_reply(int sock, int* counter, unsigned char* buffer);
// Answers datagrams on sock: `datagrams` of them, or without end when
// negative; a stop request (SIGTERM, SIGINT, SIGHUP) ends it sooner.  Every
// line is written out when it returns.
void echomark_listen_serve(int sock, long datagrams);
// The responder: set-up, then answers datagrams until the process is asked
// to stop.  Returns 0 after a stop request, a negative code when the set-up
// failed.
int echomark_listen(const char* ipaddr, int ipport);

// --- probe sender ------------------------------------------------------------------

// Sends count probes (at most echomark_slots) of sendsize bytes to ipaddr:ipport,
// each asking for recvsize bytes back, waits up to timeout seconds each time,
// and keeps counts and times in record.
void echomark_connect(const char* ipaddr, int ipport, double timeout, int count, int sendsize, int recvsize,
                      echomark_record* record);
