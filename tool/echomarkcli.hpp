// Command-line driver of echomark: the run configuration, its parser, and the
// program entry that runs the responder or the sender and prints the report.
#pragma once

#include "tool/cli/command_line.hpp"
#include "tool/cli/run_options.hpp"

// The run configuration, filled by args_parse.
alignas(8) extern cmdargs_table cmdargs;

// Typed access to its slots.
int cmdargs_int(int slot);
double cmdargs_double(int slot);
const char* cmdargs_text(int slot);

// Exit status of a sender run whose loss is above --fail-loss=.
constexpr int exit_loss = 2;

// Clears the table and stores the defaults (and those of the options beyond it).
void args_init();
// Fills the table from argv[1..argc-1]; returns argc (1 when argc < 1).
// Any option error is written to stderr and ends the process with status -1;
// each argument that matched no option is named on stderr and skipped.
int args_parse(const char* progname, int argc, char** argv);
// The options beyond the table, as args_parse left them.
const run_options* args_options();

// The program: returns the exit status (0, 1, 2 or -1); in responder mode it
// returns only when asked to stop or when the responder's socket cannot be
// set up.
int echomark_main(int argc, char** argv);
