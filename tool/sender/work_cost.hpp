// What a piece of the sending loop's side work (a metrics poll, a slice of
// a page, a name lookup) has recently cost, so the loop starts it only in a
// gap before its next send that it fits.  The estimate is the longest cost
// seen, halving every work_cost_half_life seconds toward a floor, so one
// slow turn on a busy machine makes the loop careful for a while and a
// piece that never fits is tried again once its estimate has come down.
#pragma once

constexpr double work_cost_half_life = 1.0;
constexpr double work_cost_floor = 2e-6;

struct work_cost {
    double longest;  // seconds
    double at;       // monotonic seconds of the latest decay
};

// Starts the estimate at `seconds` (a first guess on the careful side).
void work_cost_begin(work_cost* cost, double seconds, double now);
// The estimate at `now`.
double work_cost_now(work_cost* cost, double now);
// True when `units` pieces fit between `now` and `until`.
bool work_cost_fits(work_cost* cost, double now, double until, int units = 1);
// One piece of `units` units took `seconds`.
void work_cost_took(work_cost* cost, double seconds, int units = 1);
