// Parser of the options beyond the basic run configuration.
#include "tool/cli/run_options.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "tool/cli/option_errors.hpp"
#include "tool/wire/probe_datagram.hpp"

run_options runopts;

void run_options_init(run_options* options) { *options = run_options{}; }

namespace {

// The text after "key=" when the argument starts with it, else null.
const char* joined_value(const char* argument, const char* key) {
    std::size_t length = std::strlen(key);
    if (std::strncmp(argument, key, length) != 0 || argument[length] != '=') return nullptr;
    return argument + length + 1;
}

// A number that is the whole text: no leading blanks, nothing after it.
bool whole_double(const char* text, double* out) {
    if (text[0] == '\0' || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(value)) return false;
    *out = value;
    return true;
}

bool whole_int(const char* text, long minimum, long maximum, int* out) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || value < minimum || value > maximum) return false;
    *out = static_cast<int>(value);
    return true;
}

void parse_path(const char* progname, const char* option, const char* argument, const char* value, char* path) {
    std::size_t length = strnlen(value, run_options_path_size);
    if (length == 0 || length >= run_options_path_size) option_invalid(progname, option, argument);
    std::memcpy(path, value, length + 1);
}

// Seconds above 0 and at most `maximum`.
double positive_seconds(const char* progname, const char* option, const char* argument, const char* value,
                        double maximum) {
    double seconds = 0.0;
    if (!whole_double(value, &seconds) || !(seconds > 0.0) || seconds > maximum) {
        option_invalid(progname, option, argument);
    }
    return seconds;
}

// --count=, --duration=, --every= and --fail-loss=.
bool parse_long_run(const char* progname, const char* argument, run_options* options) {
    if (const char* value = joined_value(argument, "--count")) {
        if (!whole_int(value, 1, INT_MAX, &options->count)) option_invalid(progname, "--count", argument);
        return true;
    }
    if (const char* value = joined_value(argument, "--duration")) {
        options->duration = positive_seconds(progname, "--duration", argument, value, run_options_duration_max);
        return true;
    }
    if (const char* value = joined_value(argument, "--every")) {
        options->every = positive_seconds(progname, "--every", argument, value, run_options_every_max);
        return true;
    }
    if (const char* value = joined_value(argument, "--fail-loss")) {
        double percent = 0.0;
        if (!whole_double(value, &percent) || percent < 0.0 || percent > 100.0) {
            option_invalid(progname, "--fail-loss", argument);
        }
        options->fail_loss = percent;
        options->fail_loss_given = true;
        return true;
    }
    return false;
}

// --tos= and --ttl=: one byte of the IP header; a time to live of 0 would
// let no probe leave.
bool parse_probe_header(const char* progname, const char* argument, run_options* options) {
    if (const char* value = joined_value(argument, "--tos")) {
        if (!whole_int(value, 0, 255, &options->tos)) option_invalid(progname, "--tos", argument);
        return true;
    }
    if (const char* value = joined_value(argument, "--ttl")) {
        if (!whole_int(value, 1, 255, &options->ttl)) option_invalid(progname, "--ttl", argument);
        return true;
    }
    return false;
}

}  // namespace

bool run_options_parse(const char* progname, const char* argument, run_options* options) {
    // Switches are matched whole, so "--statsfile" is not --stats.
    if (std::strcmp(argument, "--stats") == 0) {
        options->stats = true;
        return true;
    }
    if (std::strcmp(argument, "--precise") == 0) {
        options->precise = true;
        return true;
    }
    if (std::strcmp(argument, "--quiet") == 0) {
        options->quiet = true;
        return true;
    }
    if (std::strcmp(argument, "--help") == 0) {
        options->help = true;
        return true;
    }
    if (std::strcmp(argument, "--version") == 0) {
        options->version = true;
        return true;
    }
    if (std::strcmp(argument, "-6") == 0) {
        options->ipv6 = true;
        return true;
    }
    if (std::strcmp(argument, "--echo") == 0) {
        options->echo = true;
        return true;
    }
    if (std::strcmp(argument, "--nobudget") == 0) {
        options->nobudget = true;
        return true;
    }
    // A value option written without its "=" would otherwise pass unnoticed
    // and leave its value to be skipped as a stray argument.
    for (const char* bare : {"--csv", "--json", "--svg", "--interval", "--maxreply", "--count", "--duration", "--every",
                             "--fail-loss", "--tos", "--ttl"}) {
        if (std::strcmp(argument, bare) == 0) option_missing(progname, bare);
    }
    if (const char* value = joined_value(argument, "--csv")) {
        parse_path(progname, "--csv", argument, value, options->csv_path);
        return true;
    }
    if (const char* value = joined_value(argument, "--json")) {
        parse_path(progname, "--json", argument, value, options->json_path);
        return true;
    }
    if (const char* value = joined_value(argument, "--svg")) {
        parse_path(progname, "--svg", argument, value, options->svg_path);
        return true;
    }
    if (const char* value = joined_value(argument, "--interval")) {
        double seconds = 0.0;
        if (!whole_double(value, &seconds) || seconds < 0.0 || seconds > run_options_interval_max) {
            option_invalid(progname, "--interval", argument);
        }
        options->interval = seconds;
        options->interval_given = true;
        return true;
    }
    if (const char* value = joined_value(argument, "--maxreply")) {
        if (!whole_int(value, 0, datagram_buffer_size, &options->maxreply)) {
            option_invalid(progname, "--maxreply", argument);
        }
        return true;
    }
    return parse_long_run(progname, argument, options) || parse_probe_header(progname, argument, options);
}
