// The far end's fields of a probe's reply, for a probe that asks with
// probe_ask_oneway: the responder writes them after the header (the layout
// is in probe_extension.hpp), the sender reads them.
#pragma once

#include <cstdint>

#include "tool/wire/probe_extension.hpp"

struct probe_far_end {
    int64_t received_ns;  // T2: the probe's arrival, ns since 1970 on the far end's calendar clock
    int64_t sent_ns;      // T3: just before the reply left
    uint32_t count;       // probes the far end received from this source, this one included
    uint8_t ttl;          // time to live (hop limit) the probe arrived with; 0: not known
    uint8_t tos;          // type of service (traffic class) it arrived with; 0: not known
    bool clock_synchronized;
};

// Writes every field into the reply of `length` bytes at `data` (the byte
// after the clock field as zero) and sets probe_did_oneway in its reserved
// field.  False, and nothing written, when the reply ends before
// probe_extension_end.
bool probe_far_end_write(unsigned char* data, int length, const probe_far_end* far);
// Writes T3 again, right before the send, into a reply written above.
void probe_far_end_set_sent(unsigned char* data, int length, int64_t sent_ns);
// Reads the fields of a reply of `length` bytes: true when the reply
// reaches probe_extension_end and carries probe_did_oneway.
bool probe_far_end_read(const unsigned char* data, int length, probe_far_end* out);
