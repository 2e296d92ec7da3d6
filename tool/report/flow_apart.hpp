// Whether one flow of a target stands apart from the target's other flows:
// the sign of a path the network's hashing sends that flow along (one
// member of an ECMP group or a port channel) that loses or delays what the
// other paths do not.
//
// Its loss stands apart when it is above the loss of the other flows taken
// together by at least apart_loss_points percentage points and by at least
// apart_loss_errors standard errors of a binomial count of the flow's own
// probes at the others' loss (a difference that chance would hardly make).
// Its delay stands apart when its median round trip is at least
// apart_delay_factor times the median of the other flows' medians and at
// least apart_delay_least seconds above it.  Each needs apart_least_probes
// probes with a verdict (answered or lost; answered for the delay) in the
// flow and in the others.
#pragma once

#include "tool/record/run_targets.hpp"

constexpr int64_t apart_least_probes = 20;
constexpr double apart_loss_points = 5.0;
constexpr double apart_loss_errors = 3.0;
constexpr double apart_delay_factor = 1.5;
constexpr double apart_delay_least = 0.0002;

struct flow_apart {
    bool loss;
    bool delay;
    double loss_percent;         // the flow's
    double others_loss_percent;  // the other flows' taken together
    double median;               // the flow's median round trip, seconds
    double others_median;        // the median of the other flows' medians
};

// Judges flow `j` of target `t` against the target's other flows (a target
// of one flow has none: nothing stands apart).
flow_apart flow_apart_judge(const run_targets* targets, int t, int j);
