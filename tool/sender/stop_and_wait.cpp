// The stop-and-wait sender: one probe at a time, each followed by a wait
// for its reply; then a drain for the replies still missing.
#include <cstdio>
#include <cstring>

#include "platform/stop_request.hpp"
#include "tool/log/step_log.hpp"
#include "tool/report/interval_line.hpp"
#include "tool/report/oneway_report.hpp"
#include "tool/report/run_report.hpp"
#include "tool/sender/probe_cookie.hpp"
#include "tool/sender/probe_format.hpp"
#include "tool/sender/probe_socket.hpp"
#include "tool/sender/quiet_progress.hpp"
#include "tool/sender/sender.hpp"
#include "tool/wire/probe_datagram.hpp"
#include "utillib/utils.hpp"

namespace {

struct sender {
    const sender_settings* settings;
    probe_socket socket;
    probe_cookie cookie;  // the responder's, where the replies asked for need one
    probe_format format;  // what the probes are on the wire
    oneway_reply reply;   // what the latest reply said of the far end
    recorder* rec;
    step_lines lines;
    unsigned char* buffer;  // one datagram buffer for probes and replies
};

// The clock of Stime and Rtime: milliseconds of wall-clock time, or with
// --precise the monotonic clock's nanoseconds.
double probe_clock(const sender* s) {
    return s->settings->precise ? platform::monotonic_seconds() : utillib::getmicrotime();
}

// The pause after a good reply: 1 ms, or what --interval= asked for.
void pause_after_reply(const sender* s) {
    if (!s->settings->interval_given) {
        platform::Sleep(sender_default_pause_ms);
    } else if (s->settings->interval > 0.0) {
        platform::pause_seconds(s->settings->interval);
    }
}

// The send length stays within the buffer, whatever the caller asked.
int clamp_size(int size) {
    if (size < 0) return 0;
    return size > datagram_buffer_size ? datagram_buffer_size : size;
}

bool in_record(int probe) { return probe >= 0 && probe < echomark_slots; }

// The counters a line shows: as they were before the event it tells of.
struct counts {
    int sent;
    int received;
};
counts counts_of(const sender* s) { return {s->rec->record->sendpkts, s->rec->record->recvpkts}; }

// A datagram taken from the socket.
struct taken {
    int received;  // the receive's result
    int error;     // the platform's code when the receive failed
    taken_event event;
    sockaddr_in6 from;
};

// Takes one datagram.  The probe number is read from what arrived, never
// from what the buffer held before; only the destination answers, and only
// a whole probe number names a probe.
taken take_datagram(sender* s, int cycle) {
    taken t;
    std::memset(&t.from, 0, sizeof t.from);
    t.received = probe_socket_receive(&s->socket, s->buffer, &t.from, &t.event.arrival);
    t.error = call_error(t.received);
    t.event.received = t.received;
    const bool from_destination = t.received >= 0 && probe_socket_from_destination(&s->socket, t.from);
    t.event.reply = probe_format_read(&s->format, s->buffer, t.received, from_destination, &t.event.arrival.facts,
                                      &t.event.probe, &s->reply);
    t.event.oneway = t.event.reply && s->rec->oneway != nullptr ? &s->reply : nullptr;
    if (t.event.reply) probe_cookie_learn(&s->cookie, s->buffer, t.received);
    t.event.cycle = cycle;
    t.event.waited = 0.0;
    return t;
}

// Builds probe i in the cleared buffer and sends it; Stime[i] spans the
// writability wait that began at `reference` and the send.
void send_one(sender* s, int i, double reference) {
    const sender_settings* settings = s->settings;
    std::memset(s->buffer, 0, datagram_buffer_size);
    probe_format_build(&s->format, s->buffer, i);
    probe_cookie_present(&s->cookie, s->buffer);
    // The round trip starts here, on the clock the kernel stamps the arrival with.
    platform::clock_pair leaving = platform::clock_pair_now();
    probe_format_leaving(&s->format, s->buffer, leaving);
    int sent = probe_socket_send(&s->socket, s->buffer, clamp_size(settings->sendsize));
    int error = call_error(sent);
    double stime = probe_clock(s) - reference;
    counts before = counts_of(s);
    sent_event event = {i, sent, stime, leaving};
    record_sent(s->rec, &event);
    char to[peer_text_size];
    cycle_log(&s->lines, "echomark_connect():1", i, before.sent, before.received,
              "sendsize=udp_send(%s): argssize=%d sendsize=%d time=%.6f\n", peer_text(&s->socket.connaddr, to),
              settings->sendsize, sent, stime);
    if (sent <= 0) {
        cycle_log(&s->lines, "echomark_send():1", i, before.sent, before.received,
                  "sendsize=udp_send(): sendsize=%d if (sendsize<=0): error=%d:%s\n", sent, error, error_text(error));
    }
}

// A datagram taken in cycle i: recorded, then its receive line (and error
// line).  True when it was probe i's first reply.
bool enter_cycle_reply(sender* s, int i, taken* t) {
    counts before = counts_of(s);
    taken_verdict verdict = record_taken(s->rec, &t->event);
    // Beyond the record, the line shows the wait when the reply is probe i's own.
    double shown = in_record(i) ? s->rec->record->Rtime[i]
                                : (t->event.probe == i && verdict.verdict == verdict_first ? t->event.waited : 0.0);
    char peer[peer_text_size];
    cycle_log(&s->lines, "echomark_connect():1", i, before.sent, before.received,
              "sendsize=udp_recv(%s): recvsize=%d lastpkts=%06d time=%.6f\n", peer_text(&t->from, peer), t->received,
              t->event.probe, shown);
    if (t->received <= 0) {
        cycle_log(&s->lines, "echomark_recv():1", i, before.sent, before.received,
                  "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): error=%d:%s\n", t->received, t->error,
                  error_text(t->error));
    }
    return verdict.verdict == verdict_first && t->event.probe == i;
}

// One cycle: wait for writability, send probe i, then take what arrives
// until probe i's reply has come or the time-out has passed.  Late replies,
// copies and strangers' datagrams are taken on the way, so none of them
// costs a later probe its own reply.  False when a wait failed.
bool probe_cycle(sender* s, int i) {
    const double timeout = s->settings->timeout;
    char stamp[stamp_size];
    platform::socket_set set;
    double reference = probe_clock(s);

    int result = probe_socket_wait(&s->socket, &set, false, timeout);
    if (result == probe_wait_stopped) return true;
    if (result == 0) {
        counts now = counts_of(s);
        step_log(&s->lines, "%s echomark_connect():1 /%06d/%06d/%06d/ TIMEOUT: if (result==0) continue;\n",
                 step_stamp(&s->lines, stamp), i, now.sent, now.received);
        return true;
    }
    if (result < 0) {
        counts now = counts_of(s);
        step_log(&s->lines, "%s echomark_connect():1 /%06d/%06d/%06d/ SOCKERR: if (result <0) return  ;\n",
                 step_stamp(&s->lines, stamp), i, now.sent, now.received);
        return false;
    }
    if (platform::socket_set_has(s->socket.sock, &set)) send_one(s, i, reference);

    reference = probe_clock(s);
    double deadline = platform::monotonic_seconds() + timeout;
    double wait = timeout;
    for (;;) {
        result = probe_socket_wait(&s->socket, &set, true, wait);
        if (result == probe_wait_stopped) return true;
        if (result == 0) break;
        if (result < 0) {
            counts now = counts_of(s);
            cycle_log(&s->lines, "echomark_connect():1", i, now.sent, now.received,
                      "result=select(): SOCKERR: if (result <0) return  ;\n");
            return false;
        }
        if (!platform::socket_set_has(s->socket.sock, &set)) {
            platform::Sleep(1);
            return true;
        }
        taken t = take_datagram(s, i);
        t.event.waited = probe_clock(s) - reference;
        if (enter_cycle_reply(s, i, &t)) {
            pause_after_reply(s);
            return true;
        }
        // A receive that failed may fail again at once: no second try.
        if (t.received < 0) return true;
        // Written so that a time-out that is no number ends the cycle too.
        wait = deadline - platform::monotonic_seconds();
        if (!(wait > 0.0)) break;
    }
    counts now = counts_of(s);
    cycle_log(&s->lines, "echomark_connect():1", i, now.sent, now.received,
              "result=select(): TIMEOUT: if (result==0) continue;\n");
    return true;
}

// The drain: waits for the probes still without a reply, up to the first
// silent wait.  Copies and strangers' datagrams do not end it, but it lasts
// no longer than one time-out per reply missing when it began.  After a stop
// request it only takes what has already arrived.  False when a wait failed.
bool drain(sender* s) {
    const echomark_record* r = s->rec->record;
    const double timeout = s->settings->timeout;
    double deadline = platform::monotonic_seconds() + timeout * (r->sendpkts - r->recvpkts);
    double wait = timeout;
    const int first = r->recvpkts;
    int interrupted = 0;
    for (int i = first; r->recvpkts < r->sendpkts; i++) {
        platform::socket_set set;
        // The first wait is the time-out as given; later ones end the drain
        // once its time is up (or the time-out is no number).  After a stop
        // request the waits take no time.
        bool stopped = platform::stop_requested();
        if (stopped) wait = 0.0;
        int result = i == first || wait > 0.0 || stopped ? probe_socket_wait(&s->socket, &set, true, wait) : 0;
        if (result == probe_wait_stopped) {
            // Stopped while it waited: look once more, without waiting.
            if (++interrupted <= 2) {
                i--;
                continue;
            }
            result = 0;
        }
        if (result == 0) {
            cycle_log(&s->lines, "echomark_connect():2", i, r->sendpkts, r->recvpkts,
                      "TIMEOUT: if (result==0) continue;\n");
            return true;
        }
        if (result < 0) {
            cycle_log(&s->lines, "echomark_connect():2", i, r->sendpkts, r->recvpkts,
                      "SOCKERR: if (result <0) return;\n");
            return false;
        }
        if (platform::socket_set_has(s->socket.sock, &set)) {
            taken t = take_datagram(s, facts_drain_cycle);
            counts before = counts_of(s);
            record_taken(s->rec, &t.event);
            char peer[peer_text_size];
            cycle_log(&s->lines, "echomark_connect():2", i, before.sent, before.received,
                      "sendsize=udp_recv(%s): recvsize=%d lastpkts=%06d\n", peer_text(&t.from, peer), t.received,
                      t.event.probe);
            if (t.received <= 0) {
                cycle_log(&s->lines, "echomark_connect():2", i, before.sent, before.received,
                          "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): recvsize=%d:%s\n", t.received, t.error,
                          error_text(t.error));
            }
        }
        double left = deadline - platform::monotonic_seconds();
        wait = left < timeout ? left : timeout;
    }
    return true;
}

// The closing lines: elapsed time, then the counters and the ratio.
void print_closing(const echomark_record* record, double start) {
    double now = utillib::getmicrotime();
    std::printf("echomark_connect(): difftime=%f [s] (%f - %f)\n", now - start, now, start);
    print_summary("echomark_connect():", record);
    std::fflush(stdout);
}

}  // namespace

void sender_run(const sender_settings* settings, recorder* rec) {
    // The record has one slot per probe; a long run goes on beyond them.
    int count = settings->count;
    if (count > echomark_slots && !settings->long_run) count = echomark_slots;
    recorder_plan plan = {count, settings->long_run, settings->duration, settings->every,
                          platform::monotonic_seconds()};
    recorder_begin(rec, &plan);

    sender s;
    s.settings = settings;
    s.rec = rec;
    s.lines.quiet = settings->quiet;
    probe_socket_open(&s.socket, settings->ipaddr, settings->ipport);
    probe_socket_header(&s.socket, settings->tos, settings->ttl);
    probe_format_begin(&s.format, settings, &s.socket, rec->oneway, count);
    unsigned char buffer[datagram_buffer_size];
    std::memset(buffer, 0, sizeof buffer);
    s.buffer = buffer;

    probe_cookie_begin(&s.cookie, settings->sendsize, settings->recvsize);
    probe_cookie_hello(&s.cookie, &s.socket, settings->timeout, buffer);

    double start = utillib::getmicrotime();
    std::puts("echomark_connect(): echomark_send(void *arg):/echomark_recv(void *arg):");

    echomark_record* record = rec->record;
    long_run* whole = rec->whole;
    quiet_progress progress;
    quiet_progress_begin(&progress, settings->quiet);
    for (int i = 0; i < count; i++) {
        double now = platform::monotonic_seconds();
        if (long_run_interval_due(whole, now)) {
            print_interval_line(whole, now, stdout);
            print_oneway_interval_line(rec->oneway, whole, now, stdout);
            long_run_interval_done(whole, now);
        }
        if (long_run_over(whole, now)) break;
        if (platform::stop_requested()) {
            quiet_progress_end(&progress);
            record_stop(rec, platform::stop_request_signal());
            std::printf("echomark_connect(): stopped by signal %d at i=%06d\n", whole->stopped_by, i);
            break;
        }
        record_cycle(rec);
        if (!probe_cycle(&s, i)) {
            quiet_progress_end(&progress);
            std::fflush(stdout);
            return;
        }
        quiet_progress_update(&progress, i + 1, count, record->sendpkts, record->recvpkts);
    }
    quiet_progress_end(&progress);
    record_sending_over(rec);
    if (record->recvpkts < record->sendpkts && !drain(&s)) {
        std::fflush(stdout);
        return;
    }
    print_closing(record, start);
}
