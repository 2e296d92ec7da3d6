// The run context built from the command line.
#include "tool/cli/run_context.hpp"

#include <climits>

#include "tool/wire/stamp_packet.hpp"

namespace {

// A long run: --count= or --duration=, which may go beyond the record's slots.
bool long_run_asked(const run_options* options) { return options->count > 0 || options->duration > 0.0; }

// Probes to send: --count= when given; for --duration= without a count,
// as many as the time allows; else -c.
int run_length(const cmdargs_table& table, const run_options* options) {
    if (options->count > 0) return options->count;
    if (options->duration > 0.0 && !options->count_given) return INT_MAX;
    return slot_int(table, cmdargs_count);
}

int header_field(int value) { return value == run_options_unset ? sender_header_unset : value; }

// STAMP test packets are 44 bytes unless --sendsize= pads them, and the
// answer is as long; the probe sizes stand for them.
void stamp_sizes(const run_options* options, sender_settings* sender) {
    if (options->sendsize_argument == nullptr || sender->sendsize < stamp_packet_length) {
        sender->sendsize = stamp_packet_length;
    }
    sender->recvsize = sender->sendsize;
}

}  // namespace

void run_context_build(const cmdargs_table& table, const run_options* options, const char* address, run_context* out) {
    *out = run_context{};
    out->mode = slot_int(table, cmdargs_mode) == mode_listen ? mode_listen : mode_connect;

    sender_settings& sender = out->sender;
    sender.ipaddr = address;
    sender.ipport = slot_int(table, cmdargs_ipport);
    sender.timeout = slot_double(table, cmdargs_timeout);
    sender.count = run_length(table, options);
    sender.sendsize = slot_int(table, cmdargs_sendsize);
    sender.recvsize = slot_int(table, cmdargs_recvsize);
    sender.precise = options->precise;
    sender.interval_given = options->interval_given;
    sender.interval = options->interval;
    sender.tos = header_field(options->tos);
    sender.ttl = header_field(options->ttl);
    sender.long_run = long_run_asked(options);
    sender.duration = options->duration;
    sender.every = options->every;
    sender.quiet = options->quiet;
    const measure_options& measure = options->measure;
    sender.scheduled = measure.send_interval > 0.0;
    sender.poisson = measure.poisson;
    sender.send_interval = measure.send_interval;
    sender.seed = measure.seed;
    sender.wire = options->stamp != run_stamp_off ? sender_wire_stamp
                  : measure.oneway                ? sender_wire_oneway
                                                  : sender_wire_probe;
    sender.ssid = static_cast<uint16_t>(measure.ssid);
    if (sender.wire == sender_wire_stamp) stamp_sizes(options, &sender);
    if (options->metrics) {
        sender.metrics_address = options->metrics_address;
        sender.metrics_port = options->metrics_port;
    }

    responder_settings& responder = out->responder;
    responder.quiet = options->quiet;
    responder.echo = options->echo;
    responder.maxreply = options->maxreply == run_options_no_reply_limit ? responder_no_reply_limit : options->maxreply;
    responder.budget = !options->nobudget;
    responder.stamp = options->stamp == run_stamp_stateful    ? responder_stamp_stateful
                      : options->stamp == run_stamp_stateless ? responder_stamp_stateless
                                                              : responder_stamp_off;
    if (options->metrics) {
        responder.metrics_address = options->metrics_address;
        responder.metrics_port = options->metrics_port;
    }

    report_settings& report = out->report;
    report.stats = options->stats;
    report.csv_path = options->csv_path;
    report.json_path = options->json_path;
    report.svg_path = options->svg_path;
    report.fail_loss_given = options->fail_loss_given;
    report.fail_loss = options->fail_loss;
    report.fail = measure.fail;
}
