// The run context: everything the command line asked for, in the shape each
// part of the program takes it.  The entry builds it once from the parsed
// command line and passes each part its own settings; nothing below the
// entry reads the command line or a global option.
#pragma once

#include "tool/cli/command_line.hpp"
#include "tool/report/fail_checks.hpp"
#include "tool/responder/responder.hpp"
#include "tool/sender/sender.hpp"

// What is reported after a sender run, and how the exit status is judged.
struct report_settings {
    bool stats = false;         // the statistics block after the run report
    const char* csv_path = "";  // result files: empty when not asked for, "-" for standard output
    const char* json_path = "";
    const char* svg_path = "";
    bool fail_loss_given = false;
    double fail_loss = 0.0;  // loss in percent above which the exit status is 2
    fail_limits fail;        // round-trip and jitter limits above which the exit status is 2
};

struct run_context {
    int mode = mode_connect;  // mode_listen or mode_connect
    sender_settings sender;
    responder_settings responder;
    report_settings report;
};

// Builds the context from the slot table and the options beyond it.
// `address` is the numeric address text the run goes on with (the typed
// text, or the one found for a name); it and `options` must outlive the
// context.
void run_context_build(const cmdargs_table& table, const run_options* options, const char* address, run_context* out);
