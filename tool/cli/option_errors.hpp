// The ways a command-line option is refused.  The parsers fill an
// option_error and return; the program's entry prints it and ends the
// process with status -1.
#pragma once

enum option_error_kind {
    option_ok = 0,
    option_missing = 1,     // "<progname>: option: <option> require an argument"
    option_invalid = 2,     // "<progname>: option <option> has invalid value: '<value>'"
    option_unwritable = 3,  // "<progname>: option <option> cannot write '<value>': <error text>"
};

struct option_error {
    int kind = option_ok;
    const char* option = "";  // as the message names it: "-t", "--sendsize", ...
    const char* value = "";   // the text quoted (invalid), or the path (unwritable)
    int error_number = 0;     // unwritable: the errno of the failure
};

// Fills `error` and returns false, so a parser can `return refuse(...)`.
bool option_refuse(option_error* error, int kind, const char* option, const char* value = "");

// The message of `error` on standard error.
void option_error_print(const char* progname, const option_error* error);
