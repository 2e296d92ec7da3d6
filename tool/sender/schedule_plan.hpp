// When each probe of a scheduled run is due: a fixed rate, or exponential
// gaps (a Poisson process) from a seeded generator, so that one seed gives
// the same deadlines on every run.  Times are monotonic seconds given by the
// caller; nothing here reads a clock.
#pragma once

#include <cstdint>

enum schedule_kind : uint8_t {
    schedule_fixed = 0,    // deadline k = start + k * interval
    schedule_poisson = 1,  // exponential gaps with mean `interval`
};

struct schedule_plan {
    schedule_kind kind;
    double start;        // monotonic seconds of probe 0's deadline
    double interval;     // the gap, or the mean gap
    uint64_t seed;       // as given; the caller prints it
    uint64_t state[4];   // xoshiro256** generator of the Poisson gaps
    int64_t next_probe;  // probe number whose deadline schedule_plan_next gives
    double offset;       // Poisson: next_probe's deadline minus start
};

// Starts a fixed-rate plan.  -1 when `interval` is not a positive finite
// number of seconds.
int schedule_plan_fixed(schedule_plan* plan, double start, double interval);
// Starts a Poisson plan with gaps of mean `mean`; probe 0 is due at `start`.
// -1 when `mean` is not a positive finite number of seconds.
int schedule_plan_poisson(schedule_plan* plan, double start, double mean, uint64_t seed);
// The deadline of probe plan->next_probe, which then moves on by one.
double schedule_plan_next(schedule_plan* plan);

// The generator's parts, for the record of what a seed means.
// One step of splitmix64 over *state (seeds the main generator).
uint64_t schedule_splitmix64(uint64_t* state);
// One output of xoshiro256** over state[4].
uint64_t schedule_xoshiro256(uint64_t state[4]);
// The top 53 bits of `bits` as a double in (0, 1]: (bits >> 11) + 1 over
// 2^53, exact, never 0, so its logarithm is always finite.
double schedule_unit_interval(uint64_t bits);
