// Command-line driver of echomark: the run configuration, its parser, and the
// program entry that runs the responder or the sender and prints the report.
#pragma once

// The run configuration: 50 slots of 1024 bytes, one per option.  A numeric
// value sits at the start of its slot, the host text fills its slot.
constexpr int cmdargs_slots = 50;
constexpr int cmdargs_slot_size = 1024;
alignas(8) extern unsigned char cmdargs[cmdargs_slots][cmdargs_slot_size];

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
// Exit status of a sender run whose loss is above --fail-loss=.
constexpr int exit_loss = 2;
// Datagram sizes beyond the 65536-byte buffers of both ends are refused.
constexpr int cmdargs_size_max = 65536;

// Typed access to the slots (the table itself is plain bytes).
int cmdargs_int(int slot);
void cmdargs_set_int(int slot, int value);
double cmdargs_double(int slot);
void cmdargs_set_double(int slot, double value);
const char* cmdargs_text(int slot);

// Clears the table and stores the defaults.
void args_init();
// Fills the table from argv[1..argc-1]; returns argc (1 when argc < 1).
// Any option error is written to stderr and ends the process with status -1.
int args_parse(const char* progname, int argc, char** argv);

// The program: returns the exit status (0, 1, 2 or -1); in responder mode it
// returns only when the responder's socket cannot be set up.
int echomark_main(int argc, char** argv);
