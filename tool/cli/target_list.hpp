// The targets of a run of many, as the command line and a targets file name
// them: "HOST", "HOST:PORT", "[IPV6]", "[IPV6]:PORT", or bare IPv6 text
// (which has no port).  A target without a port takes the run's -p.
#pragma once

#include "tool/record/run_targets.hpp"

enum target_text_result {
    target_text_ok = 0,
    target_text_bad = -1,      // no host, a bad port, a bad bracket, characters no host has
    target_text_no_port = -2,  // no port, and the run has none (-p) to give it
};

// Reads `text` into out->host, out->port and out->label ("host:port", IPv6
// in brackets); `default_port` (0: none) for a target without one.  The
// address is left to the look-up.
int target_text_read(const char* text, int default_port, run_target* out);

// Where a targets file was refused.
struct target_file_error {
    int line;          // 1-based line of the refusal; 0 when the file could not be read
    int error_number;  // line 0: the errno of the failure
    int result;        // a line: its target_text_result, or target_text_bad for a line too long
};

// Longest line of a targets file, terminator included.
constexpr int target_file_line_size = 1024;

// Reads the targets of the file at `path` after the `*count` already in
// `table` (`capacity` entries): one a line, blanks around it ignored,
// "#" to the end of the line a comment, blank lines skipped.  0, or -1
// with `error` set (a bad line, a line too long, the file unreadable), or
// -2 when the file holds more targets than the table has room for.
int target_file_read(const char* path, int default_port, run_target* table, int capacity, int* count,
                     target_file_error* error);
