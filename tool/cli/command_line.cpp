// The walk over the command line.
#include "tool/cli/command_line.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

int slot_int(const cmdargs_table& table, int slot) {
    int value;
    std::memcpy(&value, table[slot], sizeof value);
    return value;
}

void slot_set_int(cmdargs_table& table, int slot, int value) { std::memcpy(table[slot], &value, sizeof value); }

double slot_double(const cmdargs_table& table, int slot) {
    double value;
    std::memcpy(&value, table[slot], sizeof value);
    return value;
}

void slot_set_double(cmdargs_table& table, int slot, double value) { std::memcpy(table[slot], &value, sizeof value); }

const char* slot_text(const cmdargs_table& table, int slot) { return reinterpret_cast<const char*>(table[slot]); }

void command_line_defaults(cmdargs_table& table) {
    std::memset(table, 0, sizeof table);
    slot_set_int(table, cmdargs_mode, mode_connect);
    slot_set_double(table, cmdargs_timeout, 0.25);
    slot_set_int(table, cmdargs_sendsize, 8192);
    slot_set_int(table, cmdargs_recvsize, 9192);
    slot_set_int(table, cmdargs_count, 100);
}

namespace {

// atoi's reading of a number (leading blanks, a sign, the digits, the rest
// ignored), but one beyond int is held at INT_MIN or INT_MAX instead of
// wrapping: --sendsize=4294967297 must not pass as 1.
int to_int(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

bool has_prefix(const char* argument, const char* key) { return std::strncmp(argument, key, std::strlen(key)) == 0; }

// The walk's state: where it is, and what it found.
struct walk {
    int argc;
    char** argv;
    int index;
    cmdargs_table& table;
    command_line_result* out;
};

// Value of an option that takes the next argument, consumed; null (and the
// error noted) when there is none.
const char* next_value(walk* w, const char* option) {
    if (w->index + 1 >= w->argc || w->argv[w->index + 1] == nullptr) {
        option_refuse(&w->out->error, option_missing, option);
        return nullptr;
    }
    w->index += 1;
    return w->argv[w->index];
}

bool refuse(walk* w, const char* option, const char* value) {
    return option_refuse(&w->out->error, option_invalid, option, value);
}

// Stores the host text cut to the slot, then refuses an empty text and one
// that did not fit with its terminator.
bool parse_host(walk* w, const char* value) {
    std::size_t length = strnlen(value, cmdargs_slot_size);
    unsigned char* slot = w->table[cmdargs_ipaddr];
    std::memset(slot, 0, cmdargs_slot_size);
    std::memcpy(slot, value, length < cmdargs_slot_size ? length : cmdargs_slot_size - 1);
    return length != 0 && length < cmdargs_slot_size ? true : refuse(w, "-h", value);
}

// --sendsize= and --recvsize=: the number after the key; 0 and sizes no
// datagram buffer can hold are refused, quoting the whole argument.
bool parse_size(walk* w, const char* option, int slot, const char* argument, const char** typed) {
    *typed = argument;
    int size = to_int(argument + std::strlen(option) + 1);
    slot_set_int(w->table, slot, size);
    return size > 0 && size <= cmdargs_size_max ? true : refuse(w, option, argument);
}

// One of the basic options, in their order of matching; false when the
// argument is none of them (`*matched` false) or was refused.
bool parse_basic(walk* w, const char* argument, run_options* options, bool* matched) {
    *matched = true;
    if (has_prefix(argument, "--listen")) {
        slot_set_int(w->table, cmdargs_mode, mode_listen);
        return true;
    }
    if (has_prefix(argument, "-t")) {
        const char* value = next_value(w, "-t");
        if (value == nullptr) return false;
        double timeout = std::atof(value);
        slot_set_double(w->table, cmdargs_timeout, timeout);
        // "nan" is no time at all and "inf" a wait that never ends: refuse
        // them like a zero.
        return timeout == 0.0 || !std::isfinite(timeout) ? refuse(w, "-t", value) : true;
    }
    if (has_prefix(argument, "-l")) {
        slot_set_int(w->table, cmdargs_mode, mode_listen);
        return true;
    }
    if (has_prefix(argument, "-h")) {
        const char* value = next_value(w, "-h");
        return value != nullptr && parse_host(w, value);
    }
    if (has_prefix(argument, "-p")) {
        const char* value = next_value(w, "-p");
        if (value == nullptr) return false;
        int port = to_int(value);
        slot_set_int(w->table, cmdargs_ipport, port);
        // No UDP port is above 65535; a larger number must not wrap onto another port.
        return port == 0 || port > port_max ? refuse(w, "-p", value) : true;
    }
    if (has_prefix(argument, "--sendsize=")) {
        return parse_size(w, "--sendsize", cmdargs_sendsize, argument, &options->sendsize_argument);
    }
    if (has_prefix(argument, "--recvsize=")) {
        return parse_size(w, "--recvsize", cmdargs_recvsize, argument, &options->recvsize_argument);
    }
    if (has_prefix(argument, "-c")) {
        const char* value = next_value(w, "-c");
        if (value == nullptr) return false;
        int count = to_int(value);
        slot_set_int(w->table, cmdargs_count, count);
        options->count_given = true;
        return count == 0 ? refuse(w, "-c", value) : true;
    }
    *matched = false;
    return false;
}

}  // namespace

void command_line_parse(int argc, char** argv, cmdargs_table& table, run_options* options, command_line_result* out) {
    *out = command_line_result{};
    if (argc < 1) return;
    out->examined = argc;
    walk w = {argc, argv, 1, table, out};
    for (; w.index < argc; w.index++) {
        const char* argument = argv[w.index];
        if (argument == nullptr) continue;
        bool matched = false;
        bool good = parse_basic(&w, argument, options, &matched);
        if (matched) {
            if (!good) return;
            continue;
        }
        run_option_match match = run_options_parse(argument, options, &out->error);
        if (match == option_refused) return;
        if (match == option_not_known) {
            if (out->unknown_count < command_line_unknown_kept) out->unknown[out->unknown_count] = w.index;
            out->unknown_count += 1;
        }
    }
}
