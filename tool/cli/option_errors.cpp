// Refusals of command-line options.
#include "tool/cli/option_errors.hpp"

#include <cstdio>
#include <cstdlib>

void option_missing(const char* progname, const char* option) {
    std::fprintf(stderr, "%s: option: %s require an argument\n", progname, option);
    std::exit(-1);
}

void option_invalid(const char* progname, const char* option, const char* value) {
    std::fprintf(stderr, "%s: option %s has invalid value: '%s'\n", progname, option, value);
    std::exit(-1);
}
