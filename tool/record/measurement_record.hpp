// The record a sender run keeps its counts and per-probe times in, and from
// which the run report is printed.
#pragma once

#include <cstdint>

// Per-probe slots of the record; the run report's table has at most this many lines.
constexpr int echomark_slots = 10000;

struct echomark_record {
    int32_t lastpkts;              // probe number of the latest probe sent or reply received
    int32_t sendpkts;              // probes sent
    int32_t recvpkts;              // replies received
    double Stime[echomark_slots];  // per probe index: writability wait + send
    double Rtime[echomark_slots];  // per probe number: readability wait + receive
};
static_assert(sizeof(echomark_record) == 3 * 4 + 4 + 2 * echomark_slots * 8, "three counters, then two arrays");
