// Refusals of command-line options.
#include "tool/cli/option_errors.hpp"

#include <cstdio>
#include <cstring>

bool option_refuse(option_error* error, int kind, const char* option, const char* value) {
    error->kind = kind;
    error->option = option;
    error->value = value;
    error->error_number = 0;
    return false;
}

void option_error_print(const char* progname, const option_error* error) {
    switch (error->kind) {
        case option_missing:
            std::fprintf(stderr, "%s: option: %s require an argument\n", progname, error->option);
            break;
        case option_invalid:
            std::fprintf(stderr, "%s: option %s has invalid value: '%s'\n", progname, error->option, error->value);
            break;
        case option_unwritable:
            std::fprintf(stderr, "%s: option %s cannot write '%s': %s\n", progname, error->option, error->value,
                         std::strerror(error->error_number));
            break;
        default: break;
    }
}
