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

#include "socketlib/socket.hpp"
#include "tool/wire/probe_datagram.hpp"

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

// The result of an option with a value: taken when `good`, else refused
// quoting the whole argument.
run_option_match judged(bool good, option_error* error, const char* option, const char* argument) {
    if (good) return option_taken;
    option_refuse(error, option_invalid, option, argument);
    return option_refused;
}

bool store_path(const char* value, char* path) {
    std::size_t length = strnlen(value, run_options_path_size);
    if (length == 0 || length >= run_options_path_size) return false;
    std::memcpy(path, value, length + 1);
    return true;
}

// Seconds above 0 (at least `minimum` when that is above 0) and at most `maximum`.
bool positive_seconds(const char* value, double minimum, double maximum, double* out) {
    double seconds = 0.0;
    if (!whole_double(value, &seconds) || !(seconds > 0.0) || seconds < minimum || seconds > maximum) return false;
    *out = seconds;
    return true;
}

// --count=, --duration=, --every= and --fail-loss=.
run_option_match parse_long_run(const char* argument, run_options* options, option_error* error) {
    if (const char* value = joined_value(argument, "--count")) {
        return judged(whole_int(value, 1, INT_MAX, &options->count), error, "--count", argument);
    }
    if (const char* value = joined_value(argument, "--duration")) {
        return judged(positive_seconds(value, 0.0, run_options_duration_max, &options->duration), error, "--duration",
                      argument);
    }
    if (const char* value = joined_value(argument, "--every")) {
        return judged(positive_seconds(value, run_options_every_min, run_options_every_max, &options->every), error, "--every", argument);
    }
    if (const char* value = joined_value(argument, "--fail-loss")) {
        double percent = 0.0;
        bool good = whole_double(value, &percent) && percent >= 0.0 && percent <= 100.0;
        if (good) {
            options->fail_loss = percent;
            options->fail_loss_given = true;
        }
        return judged(good, error, "--fail-loss", argument);
    }
    return option_not_known;
}

// --tos= and --ttl=: one byte of the IP header; a time to live of 0 would
// let no probe leave.
run_option_match parse_probe_header(const char* argument, run_options* options, option_error* error) {
    if (const char* value = joined_value(argument, "--tos")) {
        return judged(whole_int(value, 0, 255, &options->tos), error, "--tos", argument);
    }
    if (const char* value = joined_value(argument, "--ttl")) {
        return judged(whole_int(value, 1, 255, &options->ttl), error, "--ttl", argument);
    }
    return option_not_known;
}

// --metrics=PORT, ADDRESS:PORT or [IPV6]:PORT, with a numeric address.
bool store_metrics(const char* value, run_options* options) {
    const char* colon = std::strrchr(value, ':');
    const char* port = colon != nullptr ? colon + 1 : value;
    int number = 0;
    if (!whole_int(port, 1, 65535, &number)) return false;
    char address[run_options_metrics_address_size] = {};
    if (colon != nullptr) {
        const char* from = value;
        const char* to = colon;
        bool bracketed = value[0] == '[';
        if (bracketed) {
            if (to - from < 2 || to[-1] != ']') return false;
            from++;
            to--;
        }
        std::size_t length = static_cast<std::size_t>(to - from);
        if (length == 0 || length >= sizeof address) return false;
        std::memcpy(address, from, length);
        in6_addr parsed;
        // IPv6 text goes in brackets, so its colons are not taken for the port's.
        int family = bracketed ? AF_INET6 : AF_INET;
        if (socketlib::inet_pton(family, address, &parsed) != 1) return false;
    }
    std::memcpy(options->metrics_address, address, sizeof address);
    std::snprintf(options->metrics_port, sizeof options->metrics_port, "%d", number);
    options->metrics = true;
    return true;
}

// --stamp, --stamp=stateless, --stamp=stateful.
run_option_match parse_stamp(const char* argument, run_options* options, option_error* error) {
    if (std::strcmp(argument, "--stamp") == 0) {
        options->stamp = run_stamp_stateless;
        return option_taken;
    }
    const char* value = joined_value(argument, "--stamp");
    if (value == nullptr) return option_not_known;
    bool stateful = std::strcmp(value, "stateful") == 0;
    bool good = stateful || std::strcmp(value, "stateless") == 0;
    if (good) options->stamp = stateful ? run_stamp_stateful : run_stamp_stateless;
    return judged(good, error, "--stamp", argument);
}

// Switches, matched whole, so "--statsfile" is not --stats.
bool* switch_of(const char* argument, run_options* options) {
    const struct {
        const char* name;
        bool run_options::*flag;
    } switches[] = {
        {"--stats", &run_options::stats}, {"--precise", &run_options::precise},   {"--quiet", &run_options::quiet},
        {"--help", &run_options::help},   {"--version", &run_options::version},   {"-6", &run_options::ipv6},
        {"--echo", &run_options::echo},   {"--nobudget", &run_options::nobudget},
    };
    for (const auto& s : switches) {
        if (std::strcmp(argument, s.name) == 0) return &(options->*s.flag);
    }
    return nullptr;
}

}  // namespace

run_option_match run_options_parse(const char* argument, run_options* options, option_error* error) {
    if (bool* flag = switch_of(argument, options)) {
        *flag = true;
        return option_taken;
    }
    // A value option written without its "=" would otherwise pass unnoticed
    // and leave its value to be skipped as a stray argument.
    for (const char* bare : {"--csv", "--json", "--svg", "--interval", "--maxreply", "--count", "--duration", "--every",
                             "--fail-loss", "--tos", "--ttl", "--metrics"}) {
        if (std::strcmp(argument, bare) == 0) {
            option_refuse(error, option_missing, bare);
            return option_refused;
        }
    }
    if (const char* value = joined_value(argument, "--csv")) {
        return judged(store_path(value, options->csv_path), error, "--csv", argument);
    }
    if (const char* value = joined_value(argument, "--json")) {
        return judged(store_path(value, options->json_path), error, "--json", argument);
    }
    if (const char* value = joined_value(argument, "--svg")) {
        return judged(store_path(value, options->svg_path), error, "--svg", argument);
    }
    if (const char* value = joined_value(argument, "--interval")) {
        double seconds = 0.0;
        bool good = whole_double(value, &seconds) && seconds >= 0.0 && seconds <= run_options_interval_max;
        if (good) {
            options->interval = seconds;
            options->interval_given = true;
        }
        return judged(good, error, "--interval", argument);
    }
    if (const char* value = joined_value(argument, "--maxreply")) {
        return judged(whole_int(value, 0, datagram_buffer_size, &options->maxreply), error, "--maxreply", argument);
    }
    if (const char* value = joined_value(argument, "--metrics")) {
        return judged(store_metrics(value, options), error, "--metrics", argument);
    }
    run_option_match match = parse_long_run(argument, options, error);
    if (match == option_not_known) match = parse_stamp(argument, options, error);
    if (match == option_not_known) match = parse_probe_header(argument, options, error);
    if (match != option_not_known) return match;
    match = static_cast<run_option_match>(fleet_options_parse(argument, &options->fleet, error));
    if (match != option_not_known) return match;
    return static_cast<run_option_match>(measure_options_parse(argument, &options->measure, error));
}
