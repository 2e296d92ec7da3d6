// Parser of the schedule and the round-trip limits.
#include "tool/cli/measure_options.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr int not_known = 0;
constexpr int taken = 1;
constexpr int refused = 2;

const char* joined_value(const char* argument, const char* key) {
    std::size_t length = std::strlen(key);
    if (std::strncmp(argument, key, length) != 0 || argument[length] != '=') return nullptr;
    return argument + length + 1;
}

// A finite number that is the whole of [text, end), starting with a digit
// or a point (no sign, no blanks, no words such as "inf").
bool number_of(const char* text, const char* end, double* out) {
    if (text == end || !(std::isdigit(static_cast<unsigned char>(*text)) || *text == '.')) return false;
    char* stop = nullptr;
    errno = 0;
    double value = std::strtod(text, &stop);
    if (stop != end || errno != 0 || !std::isfinite(value)) return false;
    *out = value;
    return true;
}

bool number(const char* text, double* out) { return number_of(text, text + std::strlen(text), out); }

// A whole number of 64 bits, digits only.
bool whole_u64(const char* text, uint64_t* out) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || errno != 0) return false;
    *out = value;
    return true;
}

// "p99:0.005", "median:0.01", "max:1" (p50 is the median, p100 the maximum).
bool rtt_limit(const char* text, fail_limits* limits) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) return false;
    double seconds = 0.0;
    if (!number(colon + 1, &seconds)) return false;
    const std::size_t name = static_cast<std::size_t>(colon - text);
    int figure = fail_rtt_percentile;
    double percent = 0.0;
    if (name == 6 && std::strncmp(text, "median", 6) == 0) {
        figure = fail_rtt_median;
    } else if (name == 3 && std::strncmp(text, "max", 3) == 0) {
        figure = fail_rtt_max;
    } else if (text[0] == 'p' && number_of(text + 1, colon, &percent) && percent > 0.0 && percent <= 100.0) {
        if (percent == 50.0) figure = fail_rtt_median;
        if (percent == 100.0) figure = fail_rtt_max;
    } else {
        return false;
    }
    limits->rtt_given = true;
    limits->rtt_figure = figure;
    limits->rtt_percent = percent;
    limits->rtt_seconds = seconds;
    return true;
}

int judged(bool good, option_error* error, const char* option, const char* argument) {
    if (good) return taken;
    option_refuse(error, option_invalid, option, argument);
    return refused;
}

// Seconds between probes from --rate= (probes per second) or --send-interval=.
bool gap(const char* value, bool is_rate, measure_options* options, const char* argument) {
    double number_given = 0.0;
    if (!number(value, &number_given) || !(number_given > 0.0)) return false;
    double seconds = is_rate ? 1.0 / number_given : number_given;
    if (!(seconds > 0.0) || seconds > measure_interval_max) return false;
    options->send_interval = seconds;
    options->interval_argument = argument;
    return true;
}

}  // namespace

int measure_options_parse(const char* argument, measure_options* options, option_error* error) {
    if (std::strcmp(argument, "--oneway") == 0) {
        options->oneway = true;
        return taken;
    }
    for (const char* bare :
         {"--rate", "--send-interval", "--schedule", "--seed", "--fail-rtt", "--fail-jitter", "--ssid"}) {
        if (std::strcmp(argument, bare) == 0) {
            option_refuse(error, option_missing, bare);
            return refused;
        }
    }
    if (const char* value = joined_value(argument, "--rate")) {
        return judged(gap(value, true, options, argument), error, "--rate", argument);
    }
    if (const char* value = joined_value(argument, "--send-interval")) {
        return judged(gap(value, false, options, argument), error, "--send-interval", argument);
    }
    if (const char* value = joined_value(argument, "--schedule")) {
        bool poisson = std::strcmp(value, "poisson") == 0;
        bool good = poisson || std::strcmp(value, "fixed") == 0;
        if (good) options->poisson = poisson;
        return judged(good, error, "--schedule", argument);
    }
    if (const char* value = joined_value(argument, "--seed")) {
        bool good = whole_u64(value, &options->seed);
        if (good) options->seed_given = true;
        return judged(good, error, "--seed", argument);
    }
    if (const char* value = joined_value(argument, "--ssid")) {
        uint64_t ssid = 0;
        bool good = whole_u64(value, &ssid) && ssid <= 65535;
        if (good) options->ssid = static_cast<int>(ssid);
        return judged(good, error, "--ssid", argument);
    }
    if (const char* value = joined_value(argument, "--fail-rtt")) {
        return judged(rtt_limit(value, &options->fail), error, "--fail-rtt", argument);
    }
    if (const char* value = joined_value(argument, "--fail-jitter")) {
        double seconds = 0.0;
        bool good = number(value, &seconds);
        if (good) {
            options->fail.jitter_given = true;
            options->fail.jitter_seconds = seconds;
        }
        return judged(good, error, "--fail-jitter", argument);
    }
    return not_known;
}
