// Command line, program entry and run report of echomark.
#include "tool/echomarkcli.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/stdout_route.hpp"
#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "tool/echomarkcli-select.hpp"
#include "tool/cli/help_text.hpp"
#include "tool/cli/host_address.hpp"
#include "tool/record/long_run.hpp"
#include "tool/cli/option_errors.hpp"
#include "tool/report/picture_from_run.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/report/results_file.hpp"
#include "tool/cli/run_options.hpp"
#include "tool/report/statistics.hpp"
#include "tool/log/step_log.hpp"
#include "tool/report/svg_picture.hpp"

alignas(8) unsigned char cmdargs[cmdargs_slots][cmdargs_slot_size];

int cmdargs_int(int slot) {
    int value;
    std::memcpy(&value, cmdargs[slot], sizeof value);
    return value;
}

void cmdargs_set_int(int slot, int value) { std::memcpy(cmdargs[slot], &value, sizeof value); }

double cmdargs_double(int slot) {
    double value;
    std::memcpy(&value, cmdargs[slot], sizeof value);
    return value;
}

void cmdargs_set_double(int slot, double value) { std::memcpy(cmdargs[slot], &value, sizeof value); }

const char* cmdargs_text(int slot) { return reinterpret_cast<const char*>(cmdargs[slot]); }

void args_init() {
    std::memset(cmdargs, 0, sizeof cmdargs);
    cmdargs_set_int(cmdargs_mode, mode_connect);
    cmdargs_set_double(cmdargs_timeout, 0.25);
    cmdargs_set_int(cmdargs_sendsize, 8192);
    cmdargs_set_int(cmdargs_recvsize, 9192);
    cmdargs_set_int(cmdargs_count, 100);
    run_options_init(&runopts);
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

// Value of an option that takes the next argument; advances *index to it.
const char* next_value(const char* progname, const char* option, int argc, char** argv, int* index) {
    if (*index + 1 >= argc || argv[*index + 1] == nullptr) option_missing(progname, option);
    *index += 1;
    return argv[*index];
}

// Stores the host text cut to the slot, then refuses an empty text and one
// that did not fit with its terminator.
void parse_host(const char* progname, const char* value) {
    std::size_t length = strnlen(value, cmdargs_slot_size);
    unsigned char* slot = cmdargs[cmdargs_ipaddr];
    std::memset(slot, 0, cmdargs_slot_size);
    std::memcpy(slot, value, length < cmdargs_slot_size ? length : cmdargs_slot_size - 1);
    if (length == 0 || length >= cmdargs_slot_size) option_invalid(progname, "-h", value);
}

// --sendsize= and --recvsize=: the number after the key; 0 and sizes no
// datagram buffer can hold are refused, quoting the whole argument.
void parse_size(const char* progname, const char* option, int slot, const char* argument) {
    int size = to_int(argument + std::strlen(option) + 1);
    cmdargs_set_int(slot, size);
    if (size <= 0 || size > cmdargs_size_max) option_invalid(progname, option, argument);
}

}  // namespace

int args_parse(const char* progname, int argc, char** argv) {
    if (argc < 1) return 1;
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (argument == nullptr) continue;
        if (has_prefix(argument, "--listen")) {
            cmdargs_set_int(cmdargs_mode, mode_listen);
        } else if (has_prefix(argument, "-t")) {
            const char* value = next_value(progname, "-t", argc, argv, &i);
            double timeout = std::atof(value);
            cmdargs_set_double(cmdargs_timeout, timeout);
            // "nan" is no time at all; refuse it like a zero.
            if (timeout == 0.0 || std::isnan(timeout)) option_invalid(progname, "-t", value);
        } else if (has_prefix(argument, "-l")) {
            cmdargs_set_int(cmdargs_mode, mode_listen);
        } else if (has_prefix(argument, "-h")) {
            parse_host(progname, next_value(progname, "-h", argc, argv, &i));
        } else if (has_prefix(argument, "-p")) {
            const char* value = next_value(progname, "-p", argc, argv, &i);
            cmdargs_set_int(cmdargs_ipport, to_int(value));
            // No UDP port is above 65535; a larger number must not wrap onto another port.
            if (cmdargs_int(cmdargs_ipport) == 0 || cmdargs_int(cmdargs_ipport) > port_max) {
                option_invalid(progname, "-p", value);
            }
        } else if (has_prefix(argument, "--sendsize=")) {
            parse_size(progname, "--sendsize", cmdargs_sendsize, argument);
        } else if (has_prefix(argument, "--recvsize=")) {
            parse_size(progname, "--recvsize", cmdargs_recvsize, argument);
        } else if (has_prefix(argument, "-c")) {
            const char* value = next_value(progname, "-c", argc, argv, &i);
            cmdargs_set_int(cmdargs_count, to_int(value));
            runopts.count_given = true;
            if (cmdargs_int(cmdargs_count) == 0) option_invalid(progname, "-c", value);
        } else {
            run_options_parse(progname, argument, &runopts);
        }
    }
    return argc;
}

namespace {

const char* program_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

void print_report(const echomark_record* record, int count) {
    for (int i = 0; i < count && i < echomark_slots; i++) {
        std::printf("main(): i=%06d Stime=%.6f Rtime=%.6f\n", i, record->Stime[i], record->Rtime[i]);
    }
    print_summary("main():", record);
    std::fflush(stdout);
}

// The result files asked for, opened before the run so that a path that
// cannot be written is refused before any probe leaves.
struct result_targets {
    results_file csv;
    results_file json;
    results_file svg;
    bool want_csv;
    bool want_json;
    bool want_svg;
};

[[noreturn]] void file_refused(const char* progname, const char* option, const char* path, int error) {
    std::fprintf(stderr, "%s: option %s cannot write '%s': %s\n", progname, option, path, std::strerror(error));
    std::exit(-1);
}

// Two streams on one file would interleave into something no reader takes:
// a path already given to an earlier document is refused.
void refuse_shared(const char* progname, const char* option, const char* path,
                   std::initializer_list<const char*> earlier) {
    if (path[0] == '\0' || std::strcmp(path, "-") == 0) return;
    for (const char* other : earlier) {
        if (std::strcmp(path, other) == 0) {
            std::fprintf(stderr, "%s: option %s has invalid value: '%s=%s'\n", progname, option, option, path);
            std::exit(-1);
        }
    }
}

// With --csv=-, --json=- or --svg=-, standard output is kept for the documents and
// every other line goes to standard error.  Returns the documents' stream,
// or null when nothing is moved.
std::FILE* route_documents() {
    if (std::strcmp(runopts.csv_path, "-") != 0 && std::strcmp(runopts.json_path, "-") != 0 &&
        std::strcmp(runopts.svg_path, "-") != 0) {
        return nullptr;
    }
    return platform::stdout_to_stderr();
}

void open_results(const char* progname, result_targets* targets, std::FILE* documents) {
    targets->want_csv = runopts.csv_path[0] != '\0';
    targets->want_json = runopts.json_path[0] != '\0';
    targets->want_svg = runopts.svg_path[0] != '\0';
    if (targets->want_csv) {
        int error = results_open(runopts.csv_path, &targets->csv);
        if (error != 0) file_refused(progname, "--csv", runopts.csv_path, error);
        if (targets->csv.is_stdout && documents != nullptr) targets->csv.file = documents;
    }
    refuse_shared(progname, "--json", runopts.json_path, {runopts.csv_path});
    if (targets->want_json) {
        int error = results_open(runopts.json_path, &targets->json);
        if (error != 0) file_refused(progname, "--json", runopts.json_path, error);
        if (targets->json.is_stdout && documents != nullptr) targets->json.file = documents;
    }
    refuse_shared(progname, "--svg", runopts.svg_path, {runopts.csv_path, runopts.json_path});
    if (targets->want_svg) {
        int error = results_open(runopts.svg_path, &targets->svg);
        if (error != 0) file_refused(progname, "--svg", runopts.svg_path, error);
        if (targets->svg.is_stdout && documents != nullptr) targets->svg.file = documents;
    }
}

// The statistics block, the result files and the picture after the report.
// Returns 0, or -1 when a file could not be written.
int report_extras(const char* progname, result_targets* targets, const echomark_record* record) {
    if (!runopts.stats && !targets->want_csv && !targets->want_json && !targets->want_svg) return 0;
    static run_statistics stats;
    statistics_compute(&echomarkfacts, &stats);
    if (runopts.stats) {
        // A long run's figures are of every probe, not only those in the record.
        if (echomarklong.active) {
            long_run_print_stats(&echomarklong, stdout);
        } else {
            statistics_print(&stats, stdout);
        }
        std::fflush(stdout);
    }
    run_settings settings = {cmdargs_text(cmdargs_ipaddr),
                             cmdargs_int(cmdargs_ipport),
                             cmdargs_int(cmdargs_count),
                             cmdargs_int(cmdargs_sendsize),
                             cmdargs_int(cmdargs_recvsize),
                             cmdargs_double(cmdargs_timeout),
                             runopts.interval,
                             runopts.precise};
    run_results results = {&settings, record, &echomarkfacts, &stats};
    int status = 0;
    if (targets->want_csv) {
        int error = results_write_csv(&targets->csv, &results);
        if (error != 0) {
            std::fprintf(stderr, "%s: option --csv cannot write '%s': %s\n", progname, runopts.csv_path,
                         std::strerror(error));
            status = -1;
        }
    }
    if (targets->want_json) {
        int error = results_write_json(&targets->json, &results);
        if (error != 0) {
            std::fprintf(stderr, "%s: option --json cannot write '%s': %s\n", progname, runopts.json_path,
                         std::strerror(error));
            status = -1;
        }
    }
    if (targets->want_svg) {
        static picture_run picture;
        picture_from_run(&settings, &echomarkfacts, &stats, echomarklong.active ? &echomarklong : nullptr, &picture);
        int error = svg_picture_write(targets->svg.file, &picture);
        int closed = results_close(&targets->svg);
        if (error == 0) error = closed;
        if (error != 0) {
            std::fprintf(stderr, "%s: option --svg cannot write '%s': %s\n", progname, runopts.svg_path,
                         std::strerror(error));
            status = -1;
        }
    }
    return status;
}

// The usage line, with the values the run configuration holds now.
void print_usage(const char* argv0) {
    std::printf(
        "Usage: %s [-l|--listen] [--sendsize=<bytes|default=%d>] [--recvsize=<bytes|default=%d>] "
        "[-c <count|default=%d>] [-t <timeout|default=%f>] <-h ipaddr> <-p ipport>\n",
        argv0, cmdargs_int(cmdargs_sendsize), cmdargs_int(cmdargs_recvsize), cmdargs_int(cmdargs_count),
        cmdargs_double(cmdargs_timeout));
}

// The address text the responder or the sender goes on with: the typed text
// for dotted IPv4 and IPv6 text, the numeric text found for a name.  A text
// that names no address is refused as the parser refuses a bad value.
const char* host_to_use(const char* progname, host_address* host) {
    const char* typed = cmdargs_text(cmdargs_ipaddr);
    if (host_resolve(typed, runopts.ipv6, host) != 0) option_invalid(progname, "-h", typed);
    if (host->kind != host_name) return typed;
    std::printf("main(): %s(%s)=%s\n", host->family == AF_INET6 ? "gethostbynamestr6" : "gethostbynamestr", typed,
                host->text);
    return host->text;
}

// Probes to send: --count= when given; for --duration= without a count,
// as many as the time allows; else -c.
int run_length() {
    if (runopts.count > 0) return runopts.count;
    if (runopts.duration > 0.0 && !runopts.count_given) return INT_MAX;
    return cmdargs_int(cmdargs_count);
}

// --fail-loss: 2 when more than the given percentage of the probes sent got
// no reply (all of them when none was sent), else `status` unchanged.
int loss_status(int status, const echomark_record* record) {
    if (!runopts.fail_loss_given || status != 0) return status;
    double loss = 100.0;
    if (record->sendpkts > 0) {
        loss = 100.0 - static_cast<double>(record->recvpkts) * 100.0 / static_cast<double>(record->sendpkts);
    }
    return loss > runopts.fail_loss ? exit_loss : status;
}

}  // namespace

int echomark_main(int argc, char** argv) {
    // A process may be started without even argv[0].
    const char* argv0 = argc >= 1 && argv[0] != nullptr ? argv[0] : "echomark";
    const char* progname = program_name(argv0);

    args_init();
    int arguments = args_parse(progname, argc, argv);
    echomarkinfo = &echomarkdata;

    if (runopts.help) {
        print_usage(argv0);
        help_print_options(stdout);
        return 0;
    }
    if (runopts.version) {
        help_print_version(stdout);
        return 0;
    }
    std::FILE* documents = route_documents();
    if (arguments <= 2) {
        print_usage(argv0);
        return 1;
    }
    bool missing = false;
    if (cmdargs_text(cmdargs_ipaddr)[0] == '\0') {
        std::printf("%s: host needed: -h\n", argv0);
        missing = true;
    }
    if (cmdargs_int(cmdargs_ipport) <= 0) {
        std::printf("%s: port needed: -p\n", argv0);
        missing = true;
    }
    if (missing) return 1;
    host_address host;
    const char* ipaddr = host_to_use(progname, &host);

    platform::WSADATA wsadata;
    if (platform::WSAStartup(0x0202, &wsadata) != 0) {
        std::puts("sockWSASockInit(): Couldn't find usable socket driver.");
        return -1;
    }
    bool long_active = runopts.count > 0 || runopts.duration > 0.0;
    int count = run_length();
    if (!long_active && cmdargs_int(cmdargs_count) > echomark_slots) cmdargs_set_int(cmdargs_count, echomark_slots);

    if (cmdargs_int(cmdargs_mode) == mode_listen) {
        // The responder comes back when asked to stop (status 0) or when its
        // socket could not be set up.
        int result = echomark_listen(ipaddr, cmdargs_int(cmdargs_ipport));
        std::fflush(stdout);
        return result == 0 ? 0 : -1;
    }
    result_targets targets;
    open_results(progname, &targets, documents);
    // Ctrl-C or a kill now ends the sending, not the process: the drain, the
    // report and the result files still follow.
    platform::stop_request_catch();
    echomark_connect(ipaddr, cmdargs_int(cmdargs_ipport), cmdargs_double(cmdargs_timeout),
                     long_active ? count : cmdargs_int(cmdargs_count), cmdargs_int(cmdargs_sendsize),
                     cmdargs_int(cmdargs_recvsize), echomarkinfo);
    // A long run's table and files hold the cycles it ran, up to the record's slots.
    if (long_active) cmdargs_set_int(cmdargs_count, static_cast<int>(echomarklong.cycles));
    print_report(echomarkinfo, cmdargs_int(cmdargs_count));
    int status = report_extras(progname, &targets, echomarkinfo);
    platform::stop_request_release();
    return loss_status(status, echomarkinfo);
}
