// What an echo responder exports: datagrams and replies, bytes each way, and
// the datagrams its safety rules refused, by rule.  The responder fills this
// plain record from its counters when a page is wanted.
#pragma once

#include <cstdint>

#include "tool/metrics/prometheus_text.hpp"
#include "tool/responder/responder_guard.hpp"
#include "tool/wire/stamp_packet.hpp"

// The rules that refuse a datagram; each is one value of the label "reason".
enum responder_refusal {
    refusal_own_address,  // from the responder's own address and port
    refusal_port_zero,    // from port 0
    refusal_loop,         // the same datagram again and again
    refusal_budget,       // the reply would exceed the source's budget
    refusal_too_large,    // asks for a reply longer than a datagram buffer
    refusal_max_reply,    // asks for a reply longer than --maxreply
    refusal_unproven,     // asks for more than an address that has not shown it receives may get
    responder_refusal_kinds,
};

struct responder_metrics {
    uint64_t datagrams;       // datagrams received
    uint64_t replies;         // replies sent
    uint64_t received_bytes;  // bytes of the datagrams received
    uint64_t sent_bytes;      // bytes of the replies sent
    uint64_t receive_errors;  // receives that failed
    uint64_t send_errors;     // replies whose send failed
    uint64_t refused[responder_refusal_kinds];
};

// Every family of the responder; each refusal reason has its series, zero
// or not, so the series stay the same over a run.
void responder_metrics_write(prom_writer* writer, const responder_metrics* metrics);

// The families of a STAMP session-reflector: its test packets by what
// became of them (answered, or why not), and the answered ones that were
// short TWAMP-Light packets or had must-be-zero bytes set, and the sessions
// a stateful reflector pushed out of its table.
void responder_metrics_write_stamp(prom_writer* writer, const stamp_input_counts* counts);

// The refusal that a verdict of the guard stands for; responder_refusal_kinds
// for guard_answer.
responder_refusal responder_refusal_of(guard_verdict verdict);
// The label value of a refusal ("own_address", "loop", ...).
const char* responder_refusal_reason(responder_refusal refusal);
