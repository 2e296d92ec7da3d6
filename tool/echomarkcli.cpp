// Command line, program entry and run report of echomark.
//
// The entry owns the run: it parses the command line, builds the run
// context, holds the large records a run needs, runs the responder or the
// sender with their settings, and writes the reports.  It is the only code
// that prints option errors and ends the process.
#include "tool/echomarkcli.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/clock.hpp"
#include "platform/random.hpp"
#include "platform/stdout_route.hpp"
#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "tool/cli/help_text.hpp"
#include "tool/cli/host_address.hpp"
#include "tool/cli/run_context.hpp"
#include "tool/cli/target_list.hpp"
#include "tool/echomarkcli-select.hpp"
#include "tool/fleet_run.hpp"
#include "tool/record/recorder.hpp"
#include "tool/report/oneway_picture.hpp"
#include "tool/report/oneway_report.hpp"
#include "tool/report/fail_checks.hpp"
#include "tool/report/picture_from_run.hpp"
#include "tool/report/results_file.hpp"
#include "tool/report/run_report.hpp"
#include "tool/report/schedule_report.hpp"
#include "tool/report/statistics.hpp"
#include "tool/report/svg_picture.hpp"
#include "tool/sender/scheduled_sender.hpp"
#include "tool/sender/sender_watch.hpp"
#include "tool/wire/stamp_packet.hpp"

alignas(8) cmdargs_table cmdargs;

namespace {

// The options beyond the table, filled by args_parse.
run_options runopts;

// The records, figures and buffers of one run, far too large for the stack:
// set up once, before the measurement starts.
struct run_storage {
    probe_facts facts;
    long_run whole;
    beyond_record beyond;
    run_statistics stats;
    statistics_scratch stats_scratch;
    picture_run picture;
    picture_scratch picture_space;
    responder listener;
    scheduled_probes scheduled;
    schedule_figures schedule;
    oneway_figures oneway;
    // --metrics= of a sender: the endpoint, and for a run of one target the
    // record of its one flow and the page.
    metrics_endpoint endpoint;
    run_target watched_target;
    run_flow watched_flow;
    run_targets watched_targets;
    sender_flow_metrics watched_series;
    char watched_page[sender_watch_page_base + sender_watch_page_per_flow];
};
run_storage storage;

[[noreturn]] void refuse_and_exit(const char* progname, const option_error* error) {
    option_error_print(progname, error);
    std::exit(-1);
}

}  // namespace

int cmdargs_int(int slot) { return slot_int(cmdargs, slot); }
double cmdargs_double(int slot) { return slot_double(cmdargs, slot); }
const char* cmdargs_text(int slot) { return slot_text(cmdargs, slot); }

void args_init() {
    command_line_defaults(cmdargs);
    run_options_init(&runopts);
}

int args_parse(const char* progname, int argc, char** argv) {
    command_line_result result;
    command_line_parse(argc, argv, cmdargs, &runopts, &result);
    if (result.error.kind != option_ok) refuse_and_exit(progname, &result.error);
    // Skipped, but named, so a typo does not run a default measurement in
    // silence.
    for (int k = 0; k < result.unknown_count && k < command_line_unknown_kept; k++) {
        std::fprintf(stderr, "%s: ignoring unknown argument '%s'\n", progname, argv[result.unknown[k]]);
    }
    if (result.unknown_count > command_line_unknown_kept) {
        std::fprintf(stderr, "%s: ignoring %d more unknown arguments\n", progname,
                     result.unknown_count - command_line_unknown_kept);
    }
    return result.examined;
}

const run_options* args_options() { return &runopts; }

namespace {

const char* program_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
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
std::FILE* route_documents(const run_options* options) {
    if (std::strcmp(options->csv_path, "-") != 0 && std::strcmp(options->json_path, "-") != 0 &&
        std::strcmp(options->svg_path, "-") != 0) {
        return nullptr;
    }
    return platform::stdout_to_stderr();
}

// Opens one result file; a path that cannot be written ends the program.
void open_result(const char* progname, const char* option, const char* path, std::FILE* documents, results_file* out) {
    int error = results_open(path, out);
    if (error != 0) {
        option_error refusal = {option_unwritable, option, path, error};
        refuse_and_exit(progname, &refusal);
    }
    if (out->is_stdout && documents != nullptr) out->file = documents;
}

void open_results(const char* progname, const report_settings* report, result_targets* targets, std::FILE* documents) {
    targets->want_csv = report->csv_path[0] != '\0';
    targets->want_json = report->json_path[0] != '\0';
    targets->want_svg = report->svg_path[0] != '\0';
    if (targets->want_csv) open_result(progname, "--csv", report->csv_path, documents, &targets->csv);
    refuse_shared(progname, "--json", report->json_path, {report->csv_path});
    if (targets->want_json) open_result(progname, "--json", report->json_path, documents, &targets->json);
    refuse_shared(progname, "--svg", report->svg_path, {report->csv_path, report->json_path});
    if (targets->want_svg) open_result(progname, "--svg", report->svg_path, documents, &targets->svg);
}

// A result file that could not be written: said on standard error; -1.
int write_failed(const char* progname, const char* option, const char* path, int error) {
    option_error failure = {option_unwritable, option, path, error};
    option_error_print(progname, &failure);
    return -1;
}

// The statistics block, the result files and the picture after the report.
// Returns 0, or -1 when a file could not be written.
int report_extras(const char* progname, const run_context* context, result_targets* targets, const recorder* rec) {
    const report_settings* report = &context->report;
    const bool judged = report->fail.rtt_given || report->fail.jitter_given;
    if (!report->stats && !targets->want_csv && !targets->want_json && !targets->want_svg && !judged) return 0;
    run_statistics* stats = &storage.stats;
    statistics_compute(rec->facts, stats, &storage.stats_scratch);
    schedule_results schedule = {rec->scheduled, rec->schedule};
    if (rec->oneway != nullptr) oneway_figures_finish(rec->oneway);
    if (report->stats) {
        // A long run's figures are of every probe, not only those in the record.
        statistics_print(stats, rec->whole, stdout);
        if (rec->schedule != nullptr) schedule_statistics_print(&schedule, stdout);
        if (rec->oneway != nullptr) oneway_statistics_print(rec->oneway, stdout);
        std::fflush(stdout);
    }
    const sender_settings& sender = context->sender;
    run_settings settings = {cmdargs_text(cmdargs_ipaddr),
                             sender.ipport,
                             cmdargs_int(cmdargs_count),
                             sender.sendsize,
                             sender.recvsize,
                             sender.timeout,
                             sender.interval,
                             sender.precise};
    run_results results = {&settings, rec->record, rec->facts, stats, rec->schedule != nullptr ? &schedule : nullptr,
                           rec->oneway};
    int status = 0;
    if (targets->want_csv) {
        int error = results_write_csv(&targets->csv, &results);
        if (error != 0) status = write_failed(progname, "--csv", report->csv_path, error);
    }
    if (targets->want_json) {
        int error = results_write_json(&targets->json, &results);
        if (error != 0) status = write_failed(progname, "--json", report->json_path, error);
    }
    if (targets->want_svg) {
        picture_from_run(&settings, rec->facts, stats, rec->whole->active ? rec->whole : nullptr, &storage.picture);
        if (rec->oneway != nullptr) oneway_picture_from_run(rec->oneway, &storage.picture);
        int error = svg_picture_write(targets->svg.file, &storage.picture, &storage.picture_space);
        int closed = results_close(&targets->svg);
        if (error == 0) error = closed;
        if (error != 0) status = write_failed(progname, "--svg", report->svg_path, error);
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
    if (host_resolve(typed, runopts.ipv6, host) != 0) {
        option_error refusal = {option_invalid, "-h", typed, 0};
        refuse_and_exit(progname, &refusal);
    }
    if (host->kind != host_name) return typed;
    std::printf("main(): %s(%s)=%s\n", host->family == AF_INET6 ? "gethostbynamestr6" : "gethostbynamestr", typed,
                host->text);
    return host->text;
}

// The largest UDP payload of a family: what one datagram can carry.
constexpr int ipv4_payload_max = 65507;
constexpr int ipv6_payload_max = 65527;

// A probe or a reply that cannot travel as one datagram to the destination
// would fail at every send: refused before the run, as a bad value.
void refuse_untravelable(const char* progname, const char* address) {
    int largest = std::strchr(address, ':') != nullptr ? ipv6_payload_max : ipv4_payload_max;
    const struct {
        const char* option;
        int slot;
        const char* typed;
    } sizes[] = {
        {"--sendsize", cmdargs_sendsize, runopts.sendsize_argument},
        {"--recvsize", cmdargs_recvsize, runopts.recvsize_argument},
    };
    for (const auto& size : sizes) {
        if (cmdargs_int(size.slot) <= largest || size.typed == nullptr) continue;
        option_error refusal = {option_invalid, size.option, size.typed, 0};
        refuse_and_exit(progname, &refusal);
    }
}

// --fail-loss: 2 when more than the given percentage of the probes sent got
// no reply (all of them when none was sent), else `status` as it is.
int loss_status(int status, const report_settings* report, const echomark_record* record) {
    if (!report->fail_loss_given || status != 0) return status;
    double loss = 100.0;
    if (record->sendpkts > 0) {
        loss = 100.0 - static_cast<double>(record->recvpkts) * 100.0 / static_cast<double>(record->sendpkts);
    }
    return loss > report->fail_loss ? exit_loss : status;
}

// --fail-rtt= and --fail-jitter=: 2 when a figure is above its limit (or
// does not exist), else `status` as it is.  The figures are those of the
// statistics block: of the probes the record holds, or of every probe in a
// long or scheduled run, where the delay variation is the mean |IPDV|.
int limits_status(int status, const report_settings* report, const recorder* rec) {
    const fail_limits* limits = &report->fail;
    if (status != 0 || !(limits->rtt_given || limits->jitter_given)) return status;
    judged_figures figures;
    if (rec->schedule != nullptr) {
        fail_rtt_from_stream(limits, &rec->schedule->rtt, &figures);
        figures.jitter_present = rec->schedule->ipdv.count > 0;
        figures.jitter = rec->schedule->ipdv.mean;
    } else if (rec->whole->active) {
        const rtt_stream& total = rec->whole->total;
        fail_rtt_from_stream(limits, &total, &figures);
        figures.jitter_present = total.jitter_pairs > 0;
        if (figures.jitter_present) figures.jitter = total.jitter_sum / static_cast<double>(total.jitter_pairs);
    } else {
        const rtt_figures& rtt = storage.stats.rtt;
        fail_rtt_from_sorted(limits, storage.stats_scratch.sorted, rtt.count, rtt.median, &figures);
        figures.jitter_present = rtt.jitter_pairs > 0;
        figures.jitter = rtt.jitter;
    }
    return fail_limits_passed(limits, &figures) ? status : exit_loss;
}

// --metrics= in a scheduled run of one target: its one flow, named as typed
// with its port, and the endpoint opened.  False when it could not be.
bool watch_single(const sender_settings* sender, sender_watch* watch, scheduled_run_parts* parts) {
    run_target* target = &storage.watched_target;
    if (target_text_read(cmdargs_text(cmdargs_ipaddr), sender->ipport, target) != target_text_ok) {
        std::snprintf(target->label, sizeof target->label, "%s:%d", sender->ipaddr, sender->ipport);
    }
    storage.watched_flow = run_flow{};
    storage.watched_targets = {1, 1, target, &storage.watched_flow};
    parts->targets = &storage.watched_targets;
    parts->watch = watch;
    return sender_watch_open(watch, sender->metrics_address, sender->metrics_port, &storage.endpoint,
                             storage.watched_page, static_cast<int>(sizeof storage.watched_page),
                             &storage.watched_series, parts->targets) == 0;
}

// The sender run and everything after it: result files opened first, the
// run, the report, the extras.  Returns the exit status.
int run_sender(const char* progname, const run_context* context, std::FILE* documents) {
    result_targets targets;
    open_results(progname, &context->report, &targets, documents);
    recorder rec = {echomarkinfo, &storage.facts, &storage.whole, &storage.beyond};
    const sender_settings* sender = &context->sender;
    if (sender->wire != sender_wire_probe) rec.oneway = &storage.oneway;
    // A scheduled run's window and the send clocks beside it are set aside
    // once, before the first probe.
    scheduled_run_parts parts;
    sender_watch watch = {};
    if (sender->scheduled) {
        rec.scheduled = &storage.scheduled;
        rec.schedule = &storage.schedule;
        parts.slots = scheduled_sender_slots(sender);
        parts.windows = static_cast<probe_slot*>(std::calloc(static_cast<std::size_t>(parts.slots), sizeof(probe_slot)));
        parts.sent_clocks = static_cast<platform::clock_pair*>(
            std::calloc(static_cast<std::size_t>(parts.slots), sizeof(platform::clock_pair)));
        if (parts.windows == nullptr || parts.sent_clocks == nullptr) {
            std::free(parts.windows);
            std::free(parts.sent_clocks);
            std::fprintf(stderr, "%s: no memory for a window of %d probes\n", progname, parts.slots);
            return -1;
        }
        if (sender->metrics_port != nullptr && !watch_single(sender, &watch, &parts)) {
            std::free(parts.windows);
            std::free(parts.sent_clocks);
            return -1;
        }
    }
    // Ctrl-C or a kill now ends the sending, not the process: the drain, the
    // report and the result files still follow.
    platform::stop_request_catch();
    if (sender->scheduled) {
        scheduled_sender_run(sender, &rec, &parts);
    } else {
        sender_run(sender, &rec);
    }
    sender_watch_close(&watch);
    std::free(parts.windows);
    std::free(parts.sent_clocks);
    // A long or scheduled run's table and files hold the probes it ran, up
    // to the record's slots.
    if (sender->long_run || sender->scheduled) {
        slot_set_int(cmdargs, cmdargs_count, static_cast<int>(rec.whole->cycles));
    }
    print_report(echomarkinfo, cmdargs_int(cmdargs_count));
    int status = report_extras(progname, context, &targets, &rec);
    platform::stop_request_release();
    status = loss_status(status, &context->report, echomarkinfo);
    return limits_status(status, &context->report, &rec);
}

// A scheduled run whose window no memory of the program's holds (a rate
// too high for its time-out) is refused before any probe leaves; a Poisson
// schedule without --seed= gets one from the system, printed by the run.
void settle_schedule(const char* progname, sender_settings* sender) {
    if (!sender->scheduled) return;
    if (scheduled_sender_slots(sender) < 0) {
        const char* argument = runopts.measure.interval_argument;
        option_error refusal = {option_invalid, std::strncmp(argument, "--rate", 6) == 0 ? "--rate" : "--send-interval",
                                argument, 0};
        refuse_and_exit(progname, &refusal);
    }
    if (sender->poisson && !runopts.measure.seed_given) {
        uint64_t seed = 0;
        // Without the system's source the clock still differs from run to run.
        if (!platform::random_bytes(&seed, sizeof seed)) {
            seed = static_cast<uint64_t>(platform::monotonic_seconds() * 1e9) ^ static_cast<uint64_t>(platform::process_id());
        }
        sender->seed = seed;
    }
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
    std::FILE* documents = route_documents(&runopts);
    if (cmdargs_int(cmdargs_mode) != mode_listen && fleet_asked(&runopts.fleet)) {
        fleet_run_storage fleet = {{echomarkinfo, &storage.facts, &storage.whole, nullptr}, &storage.endpoint};
        return fleet_run_main(progname, cmdargs, &runopts, documents, &fleet);
    }
    if (arguments <= 2) {
        print_usage(argv0);
        return 1;
    }
    bool missing = false;
    if (cmdargs_text(cmdargs_ipaddr)[0] == '\0') {
        std::printf("%s: host needed: -h\n", argv0);
        missing = true;
    }
    // STAMP has a port of its own.
    if (runopts.stamp != run_stamp_off && cmdargs_int(cmdargs_ipport) <= 0) {
        slot_set_int(cmdargs, cmdargs_ipport, stamp_default_port);
    }
    if (cmdargs_int(cmdargs_ipport) <= 0) {
        std::printf("%s: port needed: -p\n", argv0);
        missing = true;
    }
    if (missing) return 1;
    host_address host;
    const char* ipaddr = host_to_use(progname, &host);
    if (cmdargs_int(cmdargs_mode) != mode_listen) refuse_untravelable(progname, ipaddr);

    platform::WSADATA wsadata;
    if (platform::WSAStartup(0x0202, &wsadata) != 0) {
        std::puts("sockWSASockInit(): Couldn't find usable socket driver.");
        return -1;
    }
    run_context context;
    run_context_build(cmdargs, &runopts, ipaddr, &context);
    if (context.mode != mode_listen) settle_schedule(progname, &context.sender);
    // The sender serves its page between the sends of a schedule; a run
    // that waits for each reply has no such slack.
    if (context.mode != mode_listen && context.sender.metrics_port != nullptr && !context.sender.scheduled) {
        std::fprintf(stderr, "%s: option --metrics needs a scheduled sender run: add --rate= or --send-interval=\n",
                     progname);
        return -1;
    }
    // 10000 is the capacity of the record's per-probe arrays; a long run
    // goes beyond it in its figures and keeps its first 10000 probes.
    if (!context.sender.long_run && cmdargs_int(cmdargs_count) > echomark_slots) {
        slot_set_int(cmdargs, cmdargs_count, echomark_slots);
    }

    if (context.mode == mode_listen) {
        // The responder comes back when asked to stop (status 0) or when its
        // socket could not be set up.
        responder_init(&storage.listener, &context.responder);
        int result = responder_listen(&storage.listener, ipaddr, cmdargs_int(cmdargs_ipport));
        std::fflush(stdout);
        return result == 0 ? 0 : -1;
    }
    return run_sender(progname, &context, documents);
}
