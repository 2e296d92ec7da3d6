// Probes beyond the record's slots, in a run longer than the record: the send
// time of each and whether its reply was taken, over a window of the latest
// probes, so a first reply is told from a copy and gets its round trip.
#pragma once

#include <cstdint>

#include "platform/clock.hpp"

// Replies to probes beyond the record are told apart from copies over this
// many of the latest probes; an older reply counts as a copy.
constexpr int beyond_window = 65536;

struct beyond_record {
    int32_t highest_sent;                   // probe number of the latest probe beyond the record, -1: none
    platform::clock_pair leaving[beyond_window];  // by probe number modulo the window: both clocks before its send
    uint32_t answered[beyond_window / 32];  // by probe number modulo the window: reply taken
};

void beyond_reset(beyond_record* beyond);
// Probe `probe` left; `leaving` is both clocks just before its send.
// Probes within the record's slots are the record's business and ignored.
void beyond_sent(beyond_record* beyond, int probe, platform::clock_pair leaving);
// True when `probe` is beyond the record and has left (the window decides
// what it was).
bool beyond_knows(const beyond_record* beyond, int probe);
// A reply to a probe beyond the record's slots: true when it is the first
// reply to a probe that left within the window, false for a copy.
bool beyond_first_reply(beyond_record* beyond, int probe);
// Both clocks just before the send of a probe beyond the record that left
// within the window.
platform::clock_pair beyond_leaving(const beyond_record* beyond, int probe);
