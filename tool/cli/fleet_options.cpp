// Parser of the options of a run over many targets and paths.
#include "tool/cli/fleet_options.hpp"

#include <cerrno>
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

int judged(bool good, option_error* error, const char* option, const char* argument) {
    if (good) return taken;
    option_refuse(error, option_invalid, option, argument);
    return refused;
}

bool flows_of(const char* text, int* out) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || value < 1 || value > fleet_flows_max) return false;
    *out = static_cast<int>(value);
    return true;
}

}  // namespace

bool fleet_asked(const fleet_options* options) {
    return options->target_count > 0 || options->targets_path != nullptr || options->flows > 0;
}

int fleet_options_parse(const char* argument, fleet_options* options, option_error* error) {
    for (const char* bare : {"--target", "--targets", "--flows"}) {
        if (std::strcmp(argument, bare) == 0) {
            option_refuse(error, option_missing, bare);
            return refused;
        }
    }
    if (const char* value = joined_value(argument, "--target")) {
        // The text is read once the default port is known; here only kept.
        bool good = value[0] != '\0' && options->target_count < run_flows_max;
        if (good) options->target[options->target_count++] = value;
        return judged(good, error, "--target", argument);
    }
    if (const char* value = joined_value(argument, "--targets")) {
        bool good = value[0] != '\0';
        if (good) options->targets_path = value;
        return judged(good, error, "--targets", argument);
    }
    if (const char* value = joined_value(argument, "--flows")) {
        return judged(flows_of(value, &options->flows), error, "--flows", argument);
    }
    return not_known;
}
