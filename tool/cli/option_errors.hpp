// The two ways a command-line option is refused.  Both write the parser's
// message on standard error and end the process with status -1.
#pragma once

// "<progname>: option: <option> require an argument"
[[noreturn]] void option_missing(const char* progname, const char* option);
// "<progname>: option <option> has invalid value: '<value>'"
[[noreturn]] void option_invalid(const char* progname, const char* option, const char* value);
