// UDP round-trip measurement: the probe datagram, the measurement record,
// the echo responder and the probe sender, as the program's entry and other
// callers see them.  The datagram lives in wire/, the record in record/, the
// loops in responder/ and sender/; these are their plain forms, with the
// settings a run has without any opt-in option.
#pragma once

#include "tool/record/measurement_record.hpp"
#include "tool/wire/probe_datagram.hpp"

// --- measurement record ----------------------------------------------------------

extern echomark_record echomarkdata;
extern echomark_record* echomarkinfo;

// --- echo responder --------------------------------------------------------------

// The responder: set-up, then answers datagrams until the process is asked
// to stop.  Returns 0 after a stop request, a negative code when the set-up
// failed (or its tables could not be had).
int echomark_listen(const char* ipaddr, int ipport);

// --- probe sender ------------------------------------------------------------------

// Sends count probes (at most echomark_slots) of sendsize bytes to ipaddr:ipport,
// each asking for recvsize bytes back, waits up to timeout seconds each time,
// and keeps counts and times in record.
void echomark_connect(const char* ipaddr, int ipport, double timeout, int count, int sendsize, int recvsize,
                      echomark_record* record);
