// Options beyond the basic run configuration: statistics, the precise clock,
// result files and the run picture, quiet runs, the pause between probes,
// the responder's reply limit, echo mode and amplification budget, help and
// version, IPv6 names, long runs and their interval lines, the loss that
// fails a run, the probes' IP header fields, STAMP, the Prometheus
// endpoint, and the targets and flows of a run of many.  All are off unless asked
// for: a run without them is the basic run.
#pragma once

#include "tool/cli/fleet_options.hpp"
#include "tool/cli/measure_options.hpp"
#include "tool/cli/option_errors.hpp"

// Longest path accepted for --csv=, --json= and --svg=, terminator included.
constexpr int run_options_path_size = 1024;
// Longest pause --interval= accepts, in seconds (one day).
constexpr double run_options_interval_max = 86400.0;
// The pause after a good reply when --interval= is not given.
constexpr double run_options_interval_default = 0.001;
// --maxreply= absent: every reply length the buffer holds is answered.
constexpr int run_options_no_reply_limit = -1;
// Longest run --duration= accepts, and the shortest and longest interval of
// --every=, in seconds: lines more often than a hundred a second are no
// monitoring, and would keep the sender from its probes.
constexpr double run_options_duration_max = 366.0 * 86400.0;
constexpr double run_options_every_min = 0.01;
constexpr double run_options_every_max = 86400.0;
// --tos= or --ttl= absent: the system's value.
constexpr int run_options_unset = -1;
// --stamp[=stateless|stateful]: STAMP (RFC 8762) test packets instead of probes.
enum run_stamp_mode { run_stamp_off, run_stamp_stateless, run_stamp_stateful };
// Room for --metrics='s numeric address (IPv6 text at most) and port text.
constexpr int run_options_metrics_address_size = 46;
constexpr int run_options_metrics_port_size = 6;

// The members start at the defaults, so code that never parsed a command
// line (a test calling the responder directly) runs as without the options.
struct run_options {
    bool stats = false;    // --stats: statistics block after the run report
    bool precise = false;  // --precise: Stime and Rtime from the monotonic clock
    bool quiet = false;    // --quiet: no per-step log lines
    bool interval_given = false;
    double interval = run_options_interval_default;  // --interval=: seconds of the pause after a good reply
    int maxreply = run_options_no_reply_limit;       // --maxreply=: longest reply the responder sends
    bool echo = false;                               // --echo: the responder answers every datagram with its own bytes
    bool nobudget = false;                           // --nobudget: replies to a source not limited by what it sent
    char csv_path[run_options_path_size] = {};       // --csv=: empty when not asked for, "-" for stdout
    char json_path[run_options_path_size] = {};      // --json=: likewise
    char svg_path[run_options_path_size] = {};       // --svg=: likewise, the run picture
    bool help = false;                               // --help: the usage line and these options, then exit 0
    bool version = false;                            // --version
    bool ipv6 = false;                               // -6: a host name is looked up for its IPv6 address
    bool count_given = false;                        // -c was given (the command line's walk notes it)
    const char* sendsize_argument = nullptr;         // --sendsize= as typed, for a refusal once the family is known
    const char* recvsize_argument = nullptr;         // --recvsize= likewise
    int count = 0;                                   // --count=: probes, beyond 10000 too; 0 when not given
    double duration = 0.0;                           // --duration=: seconds of sending; 0 when not given
    double every = 0.0;                              // --every=: seconds between interval lines; 0 when not given
    bool fail_loss_given = false;
    double fail_loss = 0.0;       // --fail-loss=: loss in percent above which the exit status is 2
    int tos = run_options_unset;  // --tos=: type of service (IPv6 traffic class) of the probes
    int ttl = run_options_unset;  // --ttl=: time to live (IPv6 hop limit) of the probes
    run_stamp_mode stamp = run_stamp_off;  // --stamp
    bool metrics = false;                  // --metrics=[ADDRESS:]PORT: a Prometheus endpoint
    char metrics_address[run_options_metrics_address_size] = {};  // numeric; empty: 127.0.0.1
    char metrics_port[run_options_metrics_port_size] = {};
    measure_options measure;                                      // --rate=, --send-interval=, --schedule=, --seed=, --fail-rtt=, --fail-jitter=
    fleet_options fleet;                                          // --target=, --targets=, --flows=
};

// The defaults: everything off, the 1 ms pause, no reply limit.
void run_options_init(run_options* options);

// What an argument was to run_options_parse.
enum run_option_match {
    option_not_known = 0,  // none of these options
    option_taken = 1,      // applied
    option_refused = 2,    // one of these options with a bad value: `error` says which
};

// Applies the argument when it is one of the options above.
run_option_match run_options_parse(const char* argument, run_options* options, option_error* error);
