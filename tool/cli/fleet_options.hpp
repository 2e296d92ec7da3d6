// Options of a sender run over many targets and paths: --target= (given
// again for each target), --targets= (a file of them) and --flows= (source
// ports per target).  All are off unless given; any of them makes the run
// one of many flows.
#pragma once

#include "tool/cli/option_errors.hpp"
#include "tool/record/run_targets.hpp"

// Sockets a target is probed from at most.
constexpr int fleet_flows_max = run_flows_per_target_max;

struct fleet_options {
    const char* target[run_flows_max] = {};  // --target= values as typed, in order
    int target_count = 0;
    const char* targets_path = nullptr;  // --targets=
    int flows = 0;                       // --flows=; 0: not given (one flow)
};

// True when the command line asked for a run of many flows.
bool fleet_asked(const fleet_options* options);

// What an argument was to fleet_options_parse, as run_option_match says
// it: 0 none of these options, 1 applied, 2 refused (`error` says which).
int fleet_options_parse(const char* argument, fleet_options* options, option_error* error);
