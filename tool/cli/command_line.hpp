// The command line read into the run configuration: the table of slots the
// basic options fill, and the options beyond them.
#pragma once

#include "tool/cli/option_errors.hpp"
#include "tool/cli/run_options.hpp"

// The run configuration: 50 slots of 1024 bytes, one per option.  A numeric
// value sits at the start of its slot, the host text fills its slot.
constexpr int cmdargs_slots = 50;
constexpr int cmdargs_slot_size = 1024;
using cmdargs_table = unsigned char[cmdargs_slots][cmdargs_slot_size];

// Slot numbers of the values the program uses.
constexpr int cmdargs_mode = 2;      // int: 1 echo responder, anything else probe sender
constexpr int cmdargs_ipaddr = 3;    // text, zero-terminated within the slot
constexpr int cmdargs_ipport = 4;    // int
constexpr int cmdargs_sendsize = 5;  // int, bytes of each probe
constexpr int cmdargs_recvsize = 6;  // int, bytes of each reply asked for
constexpr int cmdargs_timeout = 7;   // double, seconds of each wait
constexpr int cmdargs_count = 8;     // int, number of probes

constexpr int mode_listen = 1;
constexpr int mode_connect = 2;
// The largest UDP port; -p beyond it is refused.
constexpr int port_max = 65535;
// Datagram sizes beyond the 65536-byte buffers of both ends are refused.
constexpr int cmdargs_size_max = 65536;

// Typed access to the slots (the table itself is plain bytes).
int slot_int(const cmdargs_table& table, int slot);
void slot_set_int(cmdargs_table& table, int slot, int value);
double slot_double(const cmdargs_table& table, int slot);
void slot_set_double(cmdargs_table& table, int slot, double value);
const char* slot_text(const cmdargs_table& table, int slot);

// Clears the table and stores the defaults.
void command_line_defaults(cmdargs_table& table);

// Arguments that matched no option, by their index in argv: the first few,
// and how many there were.
constexpr int command_line_unknown_kept = 16;

struct command_line_result {
    int examined = 1;    // argc, or 1 when argc < 1: the argument count the entry goes on with
    option_error error;  // the first refusal (the walk stops there); kind option_ok when none
    int unknown_count = 0;
    int unknown[command_line_unknown_kept] = {};
};

// Walks argv[1..argc-1] from left to right.  The basic options are matched
// by their leading bytes, in a fixed order, and stored into `table` before
// they are tested; every other argument goes to run_options_parse.  An
// argument that matches no option is skipped and noted.
void command_line_parse(int argc, char** argv, cmdargs_table& table, run_options* options, command_line_result* out);
