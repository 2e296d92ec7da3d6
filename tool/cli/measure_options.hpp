// Options of what a sender run measures and how it is judged: a schedule of
// probes (--rate=, --send-interval=, --schedule=, --seed=), the far end's
// times (--oneway, and --ssid= of STAMP test packets) and limits on the
// round trips and their variation (--fail-rtt=, --fail-jitter=).  All are
// off unless given.
#pragma once

#include <cstdint>

#include "tool/cli/option_errors.hpp"
#include "tool/report/fail_checks.hpp"

// Longest gap --send-interval= accepts (and so the lowest --rate=), in seconds.
constexpr double measure_interval_max = 86400.0;

struct measure_options {
    double send_interval = 0.0;          // --rate= (as its inverse) or --send-interval=; 0: not given
    const char* interval_argument = "";  // the argument that set it, quoted when the run is refused
    bool poisson = false;                // --schedule=poisson (fixed: the default)
    bool seed_given = false;
    uint64_t seed = 0;  // --seed=
    fail_limits fail;   // --fail-rtt=, --fail-jitter=
    bool oneway = false;  // --oneway: probes ask the far end for its times
    int ssid = 0;         // --ssid=: the STAMP session's SSID (RFC 8972), 0 to 65535
};

// What an argument was to measure_options_parse, as run_option_match says
// it: 0 none of these options, 1 applied, 2 refused (`error` says which).
int measure_options_parse(const char* argument, measure_options* options, option_error* error);
