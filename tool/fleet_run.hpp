// The entry's part for a sender run of many targets and flows (--target=,
// --targets=, --flows=): reading and looking up the targets, refusing what
// cannot run, setting aside the run's storage, the run itself on the
// scheduled engine, and its closing lines, statistics and files.
#pragma once

#include <cstdio>

#include "tool/cli/command_line.hpp"
#include "tool/cli/run_options.hpp"
#include "tool/metrics/http_endpoint.hpp"
#include "tool/record/recorder.hpp"

// What the entry lends the run from its own storage: the recorder's
// records (the run counts its flows together in them) and the metrics
// endpoint.
struct fleet_run_storage {
    recorder rec;  // record, facts, whole set; the others null
    metrics_endpoint* endpoint;
};

// Default rate of each target when a run of many asks for none, in probes
// per second.
constexpr double fleet_default_rate = 10.0;

// The run, from the parsed command line to its exit status (0, 1, 2, or -1
// when its storage or sockets could not be had); options it refuses end
// the process with status -1.
int fleet_run_main(const char* progname, const cmdargs_table& table, const run_options* options, std::FILE* documents,
                   fleet_run_storage* storage);
