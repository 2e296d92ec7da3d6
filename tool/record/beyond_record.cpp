// Probes beyond the record's slots.
#include "tool/record/beyond_record.hpp"

#include <cstring>

#include "tool/record/measurement_record.hpp"

void beyond_reset(beyond_record* beyond) {
    std::memset(beyond, 0, sizeof *beyond);
    beyond->highest_sent = -1;
}

void beyond_sent(beyond_record* beyond, int probe, platform::clock_pair leaving) {
    if (probe < echomark_slots) return;
    beyond->highest_sent = probe;
    beyond->leaving[probe % beyond_window] = leaving;
    beyond->answered[(probe % beyond_window) / 32] &= ~(1U << (probe % 32));
}

bool beyond_knows(const beyond_record* beyond, int probe) {
    return probe >= echomark_slots && probe <= beyond->highest_sent;
}

bool beyond_first_reply(beyond_record* beyond, int probe) {
    if (!beyond_knows(beyond, probe) || beyond->highest_sent - probe >= beyond_window) return false;
    uint32_t& word = beyond->answered[(probe % beyond_window) / 32];
    uint32_t bit = 1U << (probe % 32);
    if ((word & bit) != 0) return false;
    word |= bit;
    return true;
}

platform::clock_pair beyond_leaving(const beyond_record* beyond, int probe) {
    return beyond->leaving[probe % beyond_window];
}
