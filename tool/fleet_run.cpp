// A sender run of many targets and flows, from the command line to the exit
// status.
#include "tool/fleet_run.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/clock.hpp"
#include "platform/random.hpp"
#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "tool/cli/host_address.hpp"
#include "tool/cli/run_context.hpp"
#include "tool/cli/target_list.hpp"
#include "tool/report/fail_checks.hpp"
#include "tool/report/fleet_report.hpp"
#include "tool/report/run_report.hpp"
#include "tool/sender/scheduled_sender.hpp"
#include "tool/sender/sender_watch.hpp"
#include "tool/sender/target_lookup.hpp"
#include "tool/wire/stamp_packet.hpp"

namespace {

// Exit status of a run whose loss or round trips are above their limits.
constexpr int exit_limits = 2;

// The largest UDP payload of a family: what one datagram can carry.
constexpr int ipv4_payload_max = 65507;
constexpr int ipv6_payload_max = 65527;

[[noreturn]] void refuse(const char* progname, const char* option, const char* value) {
    option_error error = {option_invalid, option, value, 0};
    option_error_print(progname, &error);
    std::exit(-1);
}

[[noreturn]] void refuse_because(const char* progname, const char* what, const char* value, const char* why) {
    std::fprintf(stderr, "%s: %s '%s': %s\n", progname, what, value, why);
    std::exit(-1);
}

// Everything the run sets aside before its first probe, freed after it.
struct fleet_storage {
    run_target* target;  // run_flows_max entries
    run_targets targets;
    probe_slot* windows;
    platform::clock_pair* sent_clocks;
    target_figures* figures;
    char* page;
    sender_flow_metrics* series;
    target_lookups* lookups;
};

void free_storage(fleet_storage* s, bool lookups_ended) {
    std::free(s->target);
    std::free(s->targets.flow);
    std::free(s->windows);
    std::free(s->sent_clocks);
    std::free(s->figures);
    std::free(s->page);
    std::free(s->series);
    // A lookup the system goes on with keeps its record to the end of the process.
    if (lookups_ended) std::free(s->lookups);
}

void read_one(const char* progname, const char* option, const char* text, int port, run_target* table, int* count) {
    char what[32];
    std::snprintf(what, sizeof what, "option %s", option);
    if (*count >= run_flows_max) refuse_because(progname, what, text, "more targets than a run holds (256)");
    const int result = target_text_read(text, port, &table[*count]);
    if (result == target_text_no_port) refuse_because(progname, what, text, "no port: give one, or -p");
    if (result != target_text_ok) refuse(progname, option, text);
    *count += 1;
}

// The targets in the order named: -h (with -p), every --target=, then the
// file's.
int read_targets(const char* progname, const cmdargs_table& table, const run_options* options, run_target* out) {
    const fleet_options& fleet = options->fleet;
    int port = slot_int(table, cmdargs_ipport);
    // STAMP has a port of its own.
    if (port <= 0 && options->stamp != run_stamp_off) port = stamp_default_port;
    int count = 0;
    const char* host = slot_text(table, cmdargs_ipaddr);
    if (host[0] != '\0') read_one(progname, "-h", host, port, out, &count);
    for (int i = 0; i < fleet.target_count; i++) read_one(progname, "--target", fleet.target[i], port, out, &count);
    if (fleet.targets_path != nullptr) {
        target_file_error error;
        const int result = target_file_read(fleet.targets_path, port, out, run_flows_max, &count, &error);
        if (result == -2) refuse_because(progname, "option --targets", fleet.targets_path, "more targets than a run holds (256)");
        if (result != 0 && error.line == 0) {
            refuse_because(progname, "option --targets cannot read", fleet.targets_path, std::strerror(error.error_number));
        }
        if (result != 0) {
            char why[96];
            std::snprintf(why, sizeof why, "line %d: %s", error.line,
                          error.result == target_text_no_port ? "a target without a port, and no -p" : "no target");
            refuse_because(progname, "option --targets", fleet.targets_path, why);
        }
    }
    return count;
}

// Looks each target up once before the run (a name is looked up again
// during it), and refuses one that names no address, one whose probes or
// replies no datagram of its family carries, and a target named twice.
void look_up_targets(const char* progname, const cmdargs_table& table, const run_options* options, run_target* target,
                     int count) {
    for (int t = 0; t < count; t++) {
        run_target* r = &target[t];
        host_address found;
        if (host_resolve(r->host, options->ipv6, &found) != 0) refuse_because(progname, "target", r->label, "names no address");
        r->named = found.kind == host_name;
        r->family = found.family;
        std::memcpy(r->address_text, found.text, sizeof r->address_text);
        r->address_text[sizeof r->address_text - 1] = '\0';
        char port[6];
        std::snprintf(port, sizeof port, "%d", r->port);
        std::memset(&r->address, 0, sizeof r->address);
        if (r->family == AF_INET6) {
            r->address = socketlib::create_sockaddr6in(AF_INET6, r->address_text, port);
            r->address_length = sizeof(sockaddr_in6);
        } else {
            sockaddr_in v4 = socketlib::create_sockaddrin(AF_INET, r->address_text, port);
            std::memcpy(&r->address, &v4, sizeof v4);
            r->address_length = sizeof v4;
        }
        const int largest = r->family == AF_INET6 ? ipv6_payload_max : ipv4_payload_max;
        if (slot_int(table, cmdargs_sendsize) > largest && options->sendsize_argument != nullptr) {
            refuse(progname, "--sendsize", options->sendsize_argument);
        }
        if (slot_int(table, cmdargs_recvsize) > largest && options->recvsize_argument != nullptr) {
            refuse(progname, "--recvsize", options->recvsize_argument);
        }
        for (int u = 0; u < t; u++) {
            if (target[u].family == r->family && target[u].port == r->port &&
                std::strcmp(target[u].address_text, r->address_text) == 0) {
                refuse_because(progname, "target", r->label, "the same address and port as an earlier target");
            }
        }
    }
}

// A run of many is a scheduled run: without --rate= or --send-interval=
// each target gets the default rate.  A window no memory holds is refused,
// and a Poisson schedule without --seed= gets one from the system.
void settle_schedule(const char* progname, const run_options* options, int flows, sender_settings* sender) {
    if (!sender->scheduled) {
        sender->scheduled = true;
        sender->send_interval = 1.0 / fleet_default_rate;
    }
    const char* argument = options->measure.interval_argument;
    if (scheduled_sender_slots(sender, flows) < 0) {
        if (argument[0] == '\0') {
            // The default rate: the time-out is what no window can hold.
            char timeout[32];
            std::snprintf(timeout, sizeof timeout, "%g", sender->timeout);
            refuse(progname, "-t", timeout);
        }
        refuse(progname, std::strncmp(argument, "--rate", 6) == 0 ? "--rate" : "--send-interval", argument);
    }
    if (sender->poisson && !options->measure.seed_given) {
        uint64_t seed = 0;
        if (!platform::random_bytes(&seed, sizeof seed)) {
            seed = static_cast<uint64_t>(platform::monotonic_seconds() * 1e9) ^ static_cast<uint64_t>(platform::process_id());
        }
        sender->seed = seed;
    }
}

// The result files, opened before the run so that a path that cannot be
// written is refused before any probe leaves.
struct fleet_files {
    results_file csv;
    results_file json;
    bool want_csv;
    bool want_json;
};

void open_file(const char* progname, const char* option, const char* path, std::FILE* documents, results_file* out) {
    const int error = results_open(path, out);
    if (error != 0) {
        option_error refusal = {option_unwritable, option, path, error};
        option_error_print(progname, &refusal);
        std::exit(-1);
    }
    if (out->is_stdout && documents != nullptr) out->file = documents;
}

int write_failed(const char* progname, const char* option, const char* path, int error) {
    option_error failure = {option_unwritable, option, path, error};
    option_error_print(progname, &failure);
    return -1;
}

// --fail-loss=, --fail-rtt=, --fail-jitter=: 2 when any target is above a limit.
int limits_status(const report_settings* report, const fleet_results* results) {
    const run_targets* targets = results->targets;
    const fail_limits* limits = &report->fail;
    for (int t = 0; t < targets->target_count; t++) {
        target_figures_of(targets, t, results->scratch);
        const schedule_figures* f = &results->scratch->figures;
        if (report->fail_loss_given) {
            const double loss = f->answered + f->lost > 0 ? schedule_figures_loss_percent(f) : 100.0;
            if (loss > report->fail_loss) return exit_limits;
        }
        if (limits->rtt_given || limits->jitter_given) {
            judged_figures figures;
            fail_rtt_from_stream(limits, &f->rtt, &figures);
            figures.jitter_present = f->ipdv.count > 0;
            figures.jitter = f->ipdv.mean;
            if (!fail_limits_passed(limits, &figures)) return exit_limits;
        }
    }
    return 0;
}

template <typename T>
T* allocate(std::size_t count) {
    return static_cast<T*>(std::calloc(count > 0 ? count : 1, sizeof(T)));
}

}  // namespace

int fleet_run_main(const char* progname, const cmdargs_table& table, const run_options* options, std::FILE* documents,
                   fleet_run_storage* storage) {
    if (options->svg_path[0] != '\0') {
        refuse_because(progname, "option --svg", options->svg_path,
                       "the picture is of a run of one target and one flow");
    }
    fleet_storage s = {};
    s.target = allocate<run_target>(run_flows_max);
    if (s.target == nullptr) {
        std::fprintf(stderr, "%s: no memory for the targets\n", progname);
        return -1;
    }
    const int count = read_targets(progname, table, options, s.target);
    if (count == 0) {
        std::printf("%s: target needed: -h, --target= or --targets=\n", progname);
        free_storage(&s, true);
        return 1;
    }
    const int flows = options->fleet.flows > 0 ? options->fleet.flows : 1;
    if (count * flows > run_flows_max) {
        char text[48];
        std::snprintf(text, sizeof text, "%d", flows);
        refuse_because(progname, "option --flows", text, "more targets times flows than a run holds (256)");
    }
    look_up_targets(progname, table, options, s.target, count);

    platform::WSADATA wsadata;
    if (platform::WSAStartup(0x0202, &wsadata) != 0) {
        std::puts("sockWSASockInit(): Couldn't find usable socket driver.");
        free_storage(&s, true);
        return -1;
    }
    run_context context;
    run_context_build(table, options, "", &context);
    sender_settings* sender = &context.sender;
    settle_schedule(progname, options, flows, sender);
    const int flow_count = count * flows;
    const int32_t slots = scheduled_sender_slots(sender, flows);
    if (static_cast<int64_t>(slots) * flow_count > probe_window_max_slots) {
        // The windows of all flows together are bounded as one window is.
        char text[48];
        std::snprintf(text, sizeof text, "%d", flow_count);
        refuse_because(progname, "flows", text, "their windows hold more probes than a run can (1048576)");
    }

    // Everything the run needs, set aside once before the first probe.
    const std::size_t slot_count = static_cast<std::size_t>(slots) * static_cast<std::size_t>(flow_count);
    s.targets = {count, flows, s.target, allocate<run_flow>(static_cast<std::size_t>(flow_count))};
    s.windows = allocate<probe_slot>(slot_count);
    s.sent_clocks = allocate<platform::clock_pair>(slot_count);
    s.figures = allocate<target_figures>(1);
    s.lookups = allocate<target_lookups>(1);
    const bool watched = sender->metrics_port != nullptr;
    const int page_size = sender_watch_page_size(flow_count);
    if (watched) {
        s.page = allocate<char>(static_cast<std::size_t>(page_size));
        s.series = allocate<sender_flow_metrics>(static_cast<std::size_t>(flow_count));
    }
    if (s.targets.flow == nullptr || s.windows == nullptr || s.sent_clocks == nullptr || s.figures == nullptr ||
        s.lookups == nullptr || (watched && (s.page == nullptr || s.series == nullptr))) {
        std::fprintf(stderr, "%s: no memory for %d flows with windows of %d probes\n", progname, flow_count, slots);
        free_storage(&s, true);
        return -1;
    }
    for (int g = 0; g < flow_count; g++) {
        s.targets.flow[g].target = g / flows;
        s.targets.flow[g].flow = g % flows;
    }

    fleet_files files = {};
    const report_settings* report = &context.report;
    files.want_csv = report->csv_path[0] != '\0';
    files.want_json = report->json_path[0] != '\0';
    if (files.want_csv) open_file(progname, "--csv", report->csv_path, documents, &files.csv);
    if (files.want_json && files.want_csv && std::strcmp(report->json_path, report->csv_path) == 0 &&
        std::strcmp(report->json_path, "-") != 0) {
        refuse(progname, "--json", report->json_path);
    }
    if (files.want_json) open_file(progname, "--json", report->json_path, documents, &files.json);

    sender_watch watch = {};
    if (watched && sender_watch_open(&watch, sender->metrics_address, sender->metrics_port, storage->endpoint, s.page,
                                     page_size, s.series, &s.targets) != 0) {
        free_storage(&s, true);
        return -1;
    }

    // Ctrl-C or a kill now ends the sending, not the process: the drain, the
    // report and the result files still follow.
    platform::stop_request_catch();
    recorder* rec = &storage->rec;
    scheduled_run_parts parts;
    parts.targets = &s.targets;
    parts.many = true;
    parts.windows = s.windows;
    parts.sent_clocks = s.sent_clocks;
    parts.slots = slots;
    parts.watch = watched ? &watch : nullptr;
    parts.lookups = s.lookups;
    scheduled_sender_run(sender, rec, &parts);
    sender_watch_close(&watch);
    const bool lookups_ended = target_lookups_end(s.lookups);

    const fleet_run_settings settings = {sender->poisson, sender->send_interval, sender->seed, slots, sender->count,
                                         sender->sendsize, sender->recvsize, sender->timeout};
    const fleet_results results = {&settings, &s.targets, rec->record, rec->facts->foreign, s.figures};
    print_fleet_closing(&results, stdout);
    print_report(rec->record, 0);
    if (report->stats) {
        print_fleet_statistics(&results, stdout);
        std::fflush(stdout);
    }
    int status = 0;
    if (files.want_csv) {
        const int error = fleet_write_csv(&files.csv, &results);
        if (error != 0) status = write_failed(progname, "--csv", report->csv_path, error);
    }
    if (files.want_json) {
        const int error = fleet_write_json(&files.json, &results);
        if (error != 0) status = write_failed(progname, "--json", report->json_path, error);
    }
    platform::stop_request_release();
    if (status == 0) status = limits_status(report, &results);
    free_storage(&s, lookups_ended);
    return status;
}
