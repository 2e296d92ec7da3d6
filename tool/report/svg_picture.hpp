// A picture of a sender run as one self-contained SVG document: the round
// trip of every probe over the run, lost probes marked on the axis, late
// replies and extra copies marked apart, the distribution of the round trips
// beside it on the same scale, and a title with the headline figures.
//
// The picture is drawn from a plain input of its own, so it does not change
// when the sender's bookkeeping does; a small adapter fills it after the run.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tool/record/measurement_record.hpp"

// Probes the input holds: the sender's per-probe table.
constexpr int picture_probes_max = echomark_slots;
// Up to this many probes each is drawn as its own mark; beyond, consecutive
// probes are drawn as picture_columns columns (spread, median, losses).
constexpr int picture_points_max = 2000;
constexpr int picture_columns = 500;
// Bins of the distribution beside the time plot.
constexpr int picture_bins = 40;

// How the first reply to a probe came.
enum picture_reply : uint8_t {
    picture_own = 0,    // in the probe's own wait
    picture_late = 1,   // while the sender waited for a later probe
    picture_drain = 2,  // in the wait for missing replies after the last probe
    picture_never = 3,  // no reply
};

struct picture_probe {
    double sent_at;   // seconds from the run's start when the probe left; negative: unknown
    double rtt;       // round trip in seconds; negative: none measured
    double out;       // the one-way panels' delay out and back, seconds; NaN: none (see picture_oneway)
    double back;
    int32_t index;    // probe number
    uint16_t copies;  // replies taken for the probe (more than 1: duplicates)
    uint8_t reply;    // picture_reply
    uint8_t sent;     // 0 when the probe never left
};

// The headline of the picture, as the run reported it.
struct picture_title {
    const char* destination;  // address or name as given (escaped when written)
    int port;
    int sendsize;
    int recvsize;
    int64_t count;       // probes of the run (may exceed the probes drawn)
    int64_t sent;        // probes that left
    int64_t received;    // probes that got a reply
    int64_t lost;        // probes that left and got none
    bool timed;          // median and p99 exist
    double median, p99;  // seconds
};

// What the one-way panels under the round trips show, when there are any.
enum picture_oneway : uint8_t {
    picture_oneway_none = 0,
    picture_oneway_delay = 1,     // one-way delays: both clocks synchronized
    picture_oneway_queueing = 2,  // queueing delays: the offset and the drift removed
};

struct picture_run {
    picture_title title;
    uint8_t oneway = picture_oneway_none;  // picture_oneway
    bool by_time;  // x axis: sent_at of every probe; otherwise the probe number
    int probes;    // entries of probe[] used, in the order they were sent
    picture_probe probe[picture_probes_max];
};

// Working space of one picture: where each probe lies along the x axis, the
// column of each probe, and the round trips of one column sorted for its median.
struct picture_scratch {
    double x_at[picture_probes_max];
    int column_of[picture_probes_max];
    double column_values[picture_probes_max];
};

// Writes the picture to `out`; 0, or the errno of a failed write.
int svg_picture_write(std::FILE* out, const picture_run* run, picture_scratch* scratch);
