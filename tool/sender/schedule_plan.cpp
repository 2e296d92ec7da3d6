// Deadlines of a scheduled run.  A fixed-rate deadline is computed from its
// probe number, never by adding gaps, so a run of any length keeps to the
// rate as exactly as one multiplication allows.
#include "tool/sender/schedule_plan.hpp"

#include <cmath>
#include <cstring>

namespace {

bool usable_interval(double seconds) { return std::isfinite(seconds) && seconds > 0.0; }

uint64_t rotate_left(uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

}  // namespace

uint64_t schedule_splitmix64(uint64_t* state) {
    uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t schedule_xoshiro256(uint64_t state[4]) {
    const uint64_t result = rotate_left(state[1] * 5, 7) * 9;
    const uint64_t shifted = state[1] << 17;
    state[2] ^= state[0];
    state[3] ^= state[1];
    state[1] ^= state[2];
    state[0] ^= state[3];
    state[2] ^= shifted;
    state[3] = rotate_left(state[3], 45);
    return result;
}

double schedule_unit_interval(uint64_t bits) { return static_cast<double>((bits >> 11) + 1) * 0x1.0p-53; }

int schedule_plan_fixed(schedule_plan* plan, double start, double interval) {
    std::memset(plan, 0, sizeof *plan);
    if (!usable_interval(interval)) return -1;
    plan->kind = schedule_fixed;
    plan->start = start;
    plan->interval = interval;
    return 0;
}

int schedule_plan_poisson(schedule_plan* plan, double start, double mean, uint64_t seed) {
    std::memset(plan, 0, sizeof *plan);
    if (!usable_interval(mean)) return -1;
    plan->kind = schedule_poisson;
    plan->start = start;
    plan->interval = mean;
    plan->seed = seed;
    // splitmix64 spreads any seed, 0 included, over the whole state; its
    // outputs are distinct, so the state is never all zero.
    uint64_t spread = seed;
    for (uint64_t& word : plan->state) word = schedule_splitmix64(&spread);
    return 0;
}

double schedule_plan_next(schedule_plan* plan) {
    const int64_t probe = plan->next_probe++;
    if (plan->kind == schedule_fixed) return plan->start + static_cast<double>(probe) * plan->interval;
    // Gaps are added to the offset from the start, not to the clock reading,
    // so their sum keeps the precision of the run's length rather than of
    // the machine's uptime.
    const double deadline = plan->start + plan->offset;
    plan->offset += -plan->interval * std::log(schedule_unit_interval(schedule_xoshiro256(plan->state)));
    return deadline;
}
