// Estimates of the cost of the sending loop's side work.
#include "tool/sender/work_cost.hpp"

#include <cmath>

void work_cost_begin(work_cost* cost, double seconds, double now) {
    cost->longest = seconds > work_cost_floor ? seconds : work_cost_floor;
    cost->at = now;
}

double work_cost_now(work_cost* cost, double now) {
    if (now > cost->at) {
        cost->longest *= std::exp2(-(now - cost->at) / work_cost_half_life);
        cost->at = now;
    }
    if (cost->longest < work_cost_floor) cost->longest = work_cost_floor;
    return cost->longest;
}

bool work_cost_fits(work_cost* cost, double now, double until, int units) {
    return until - now >= work_cost_now(cost, now) * units;
}

void work_cost_took(work_cost* cost, double seconds, int units) {
    const double each = units > 0 ? seconds / units : seconds;
    if (each > cost->longest) cost->longest = each;
}
