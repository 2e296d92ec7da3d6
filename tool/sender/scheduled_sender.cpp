// The scheduled sender.  One thread, one socket: each turn sends every probe
// that is due (sending comes first, so nothing delays it), takes every reply
// already queued without blocking, retires the probes whose wait is over,
// and then waits on the socket until shortly before the next deadline,
// watching the clock for the last stretch.
#include "tool/sender/scheduled_sender.hpp"

#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/batch.hpp"
#include "platform/stop_request.hpp"
#include "tool/log/step_log.hpp"
#include "tool/report/oneway_report.hpp"
#include "tool/report/run_report.hpp"
#include "tool/report/schedule_report.hpp"
#include "tool/sender/probe_cookie.hpp"
#include "tool/sender/probe_format.hpp"
#include "tool/sender/probe_socket.hpp"
#include "tool/sender/quiet_progress.hpp"
#include "tool/sender/schedule_plan.hpp"
#include "tool/wire/probe_datagram.hpp"
#include "utillib/utils.hpp"

namespace {

// Datagrams are taken in batches of one call each, a few batches in one turn
// at most, so that a flood of them cannot hold back the next send; and
// probes are sent in one turn at most a few, so that a sender catching up
// takes the replies in between and they do not fill the socket's queue.
constexpr int datagrams_per_batch = 16;
constexpr int batches_per_turn = 4;
constexpr int sends_per_turn = 16;
static_assert(datagrams_per_batch <= platform::batch_capacity);
// The receive queue asked for (the system may hold it lower).
constexpr int receive_queue_bytes = 4 << 20;
// A wait longer than this writes out the log lines first.
constexpr double flush_before = 0.001;
// Seconds in which the wake margin halves.
constexpr double margin_half_life = 2.0;

struct engine {
    const sender_settings* settings;
    recorder* rec;
    probe_socket socket;
    probe_cookie cookie;  // the responder's, where the replies asked for need one
    probe_format format;  // what the probes are on the wire
    char destination[peer_text_size];
    probe_window window;
    schedule_plan plan;
    step_lines lines;
    quiet_progress progress;
    unsigned char* probe;               // built once; each send changes only its number
    unsigned char* replies;             // room for a batch of datagrams, reply_room bytes each
    platform::clock_pair* sent_clocks;  // by probe number modulo the window: both clocks just before its send
    int reply_room;
    platform::datagram batch[datagrams_per_batch];
    int probe_length;
    int64_t count;    // probes to send
    int64_t next;     // number of the next probe
    double deadline;  // when it is due
    bool sending;
    double margin;     // the stretch before a wake-up watched on the clock
    double margin_at;  // when the margin was last brought up to date
};

int clamp_size(int size) {
    if (size < 0) return 0;
    return size > datagram_buffer_size ? datagram_buffer_size : size;
}

// A line about probe i: "<stamp> <who> i=%06lld S=%06d R=%06d " and the rest.
[[gnu::format(printf, 4, 5)]] void probe_log(engine* e, const char* who, int64_t i, const char* format, ...) {
    if (e->lines.quiet) return;
    char stamp[stamp_size];
    const echomark_record* r = e->rec->record;
    std::printf("%s %s i=%06" PRId64 " S=%06d R=%06d ", step_stamp(&e->lines, stamp), who, i, r->sendpkts, r->recvpkts);
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

// A probe handed back by the window: recorded, then its line.
void retire(engine* e, const probe_slot* slot) {
    record_scheduled_retired(e->rec, slot);
    if (e->lines.quiet) return;
    char lag[32] = "-";
    char rtt[32] = "-";
    char order[32] = "-";
    if (slot->outcome != outcome_unsent) std::snprintf(lag, sizeof lag, "%.6f", slot->sent - slot->scheduled);
    if (slot->outcome == outcome_answered) {
        std::snprintf(rtt, sizeof rtt, "%.6f", slot->rtt);
        std::snprintf(order, sizeof order, "%06" PRId64, slot->arrival_order);
    }
    probe_log(e, "echomark_connect():1", slot->probe, "udp_probe(%s): outcome=%s lag=%s rtt=%s copies=%u order=%s\n",
              e->destination, probe_outcome_name(slot->outcome), lag, rtt, slot->copies, order);
}

// Sends every probe due at `now`, in order, however late: a sender that
// fell behind catches up and never skips one (its lag shows it).
void send_due(engine* e, double now) {
    recorder* rec = e->rec;
    for (int turn = 0; turn < sends_per_turn && e->sending && now >= e->deadline; turn++) {
        probe_slot retired;
        while (probe_window_make_room(&e->window, &retired)) retire(e, &retired);
        probe_format_number(&e->format, e->probe, e->next);
        probe_cookie_present(&e->cookie, e->probe);
        // The round trip starts here, on the clock the kernel stamps the arrival with.
        const platform::clock_pair clocks = platform::clock_pair_now();
        probe_format_leaving(&e->format, e->probe, clocks);
        const double calendar = e->next < rec->facts->count ? static_cast<double>(clocks.calendar_ns) / 1e9 : 0.0;
        const double leaving = static_cast<double>(clocks.monotonic_ns) / 1e9;
        e->sent_clocks[e->next & static_cast<int64_t>(e->window.size - 1)] = clocks;
        const int sent = probe_socket_send(&e->socket, e->probe, e->probe_length);
        const int error = call_error(sent);
        now = platform::monotonic_seconds();
        scheduled_sent_event event = {e->next, sent, e->deadline, leaving, calendar, now - leaving, clocks.calendar_ns};
        record_scheduled_sent(rec, &event);
        if (sent > 0) {
            probe_window_sent(&e->window, e->next, e->deadline, leaving);
        } else {
            probe_window_send_failed(&e->window, e->next, e->deadline);
            probe_log(e, "echomark_send():1", e->next,
                      "sendsize=udp_send(): sendsize=%d if (sendsize<=0): error=%d:%s\n", sent, error,
                      error_text(error));
        }
        e->next += 1;
        e->deadline = schedule_plan_next(&e->plan);
        // The run's end is known as soon as its last probe has left.
        if (e->next >= e->count || long_run_over(rec->whole, e->deadline)) e->sending = false;
        quiet_progress_update(&e->progress, static_cast<int>(e->next < INT_MAX ? e->next : INT_MAX),
                              static_cast<int>(e->count), rec->record->sendpkts, rec->record->recvpkts);
    }
}

// One datagram taken from the socket, arrived at `arrival` (monotonic;
// `facts` and `taken` give its round trip on one clock).
void take_one(engine* e, const unsigned char* data, int received, const sockaddr_in6& from, double arrival,
              const platform::receive_facts& facts, const platform::clock_pair& taken) {
    scheduled_reply_event event = {false, 0, -1, window_unknown, 0.0};
    oneway_reply oneway;
    event.reply = probe_format_read(&e->format, data, received, probe_socket_from_destination(&e->socket, from), &facts,
                                    &event.wire, &oneway);
    if (event.reply && e->rec->oneway != nullptr) event.oneway = &oneway;
    if (event.reply) {
        probe_cookie_learn(&e->cookie, data, received);
        event.probe = probe_window_unwrap(&e->window, static_cast<uint32_t>(event.wire));
        double rtt = 0.0;
        if (probe_window_find(&e->window, event.probe) != nullptr) {
            const platform::clock_pair sent = e->sent_clocks[event.probe & static_cast<int64_t>(e->window.size - 1)];
            event.sent_ns = sent.calendar_ns;
            rtt = static_cast<double>(
                      platform::round_trip_between(sent, facts.stamp_known, facts.stamp_ns, taken).nanoseconds) /
                  1e9;
        }
        event.verdict = probe_window_reply_timed(&e->window, event.probe, arrival, rtt);
        const probe_slot* slot = probe_window_find(&e->window, event.probe);
        if (slot != nullptr) event.rtt = slot->rtt;
    }
    record_scheduled_reply(e->rec, &event);
    // A first reply within its wait shows in its probe's line; anything else
    // gets a line of its own.
    if (event.verdict != window_first) {
        static const char* const verdicts[] = {"unknown", "first", "copy", "late"};
        char peer[peer_text_size];
        probe_log(e, "echomark_connect():1", e->next, "sendsize=udp_recv(%s): recvsize=%d lastpkts=%06d reply=%s\n",
                  peer_text(&from, peer), received, event.wire, event.reply ? verdicts[event.verdict] : "none");
    }
}

// Both clocks read after a receive, the calendar between two monotonic
// readings taken close together (a pair the thread was preempted in the
// middle of is read again), so that a stamp moves across within about a
// microsecond.
platform::clock_pair clocks_after_receive() {
    constexpr int64_t close_ns = 2000;
    platform::clock_pair pair = {};
    for (int attempt = 0; attempt < 3; attempt++) {
        const int64_t before = platform::monotonic_ns();
        pair.calendar_ns = platform::realtime_ns();
        const int64_t after = platform::monotonic_ns();
        pair.monotonic_ns = before + (after - before) / 2;
        if (after - before < close_ns) break;
    }
    return pair;
}

// The arrival of a datagram on the monotonic clock: the kernel's stamp
// (calendar nanoseconds) moved across with both clocks read after the
// receive, or that reading itself when there is no stamp.
double arrival_of(const platform::receive_facts& facts, const platform::clock_pair& taken) {
    const double now = static_cast<double>(taken.monotonic_ns) / 1e9;
    if (!facts.stamp_known) return now;
    const int64_t age = taken.calendar_ns - facts.stamp_ns;
    // A calendar set back since the arrival would put it in the future.
    return age >= 0 ? now - static_cast<double>(age) / 1e9 : now;
}

// Takes the datagrams queued on the socket, a batch per call, without
// waiting.  Returns the time up to which every datagram that arrived has
// been taken: `now` when the queue was found empty, else the arrival of the
// last one taken (the queue is in arrival order).
double take_queued(engine* e, double now) {
    double taken_up_to = -1.0;
    platform::datagram* batch = e->batch;
    for (int round = 0; round < batches_per_turn; round++) {
        for (int k = 0; k < datagrams_per_batch; k++) {
            batch[k].data = e->replies + static_cast<std::size_t>(k) * static_cast<std::size_t>(e->reply_room);
            batch[k].size = e->reply_room;
        }
        const int taken = platform::recv_datagrams_with_facts(e->socket.sock, batch, datagrams_per_batch, false);
        if (taken < 0) {
            const int error = platform::WSAGetLastError();
            if (error == platform::WSAEWOULDBLOCK) return now;
            probe_log(e, "echomark_recv():1", e->next,
                      "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): error=%d:%s\n", taken, error,
                      error_text(error));
            return taken_up_to;
        }
        const platform::clock_pair after = clocks_after_receive();
        for (int k = 0; k < taken; k++) {
            const platform::datagram& d = batch[k];
            if (d.result < 0) {
                probe_log(e, "echomark_recv():1", e->next,
                          "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): error=%d:%s\n", d.result, d.error,
                          error_text(d.error));
                continue;
            }
            sockaddr_in6 from;
            std::memset(&from, 0, sizeof from);
            std::memcpy(&from, &d.address, sizeof from);
            const double arrival = arrival_of(d.facts, after);
            take_one(e, static_cast<const unsigned char*>(d.data), d.result, from, arrival, d.facts, after);
            if (arrival < now) taken_up_to = arrival;
        }
        // Fewer than asked for: the queue is empty.
        if (taken < datagrams_per_batch) return now;
    }
    return taken_up_to;
}

void retire_due(engine* e, double now) {
    probe_slot retired;
    while (probe_window_retire_due(&e->window, now, &retired)) retire(e, &retired);
}

void retire_all(engine* e) {
    probe_slot retired;
    while (probe_window_retire_early(&e->window, &retired)) retire(e, &retired);
}

// When the loop must look again: the next deadline, the end of the oldest
// probe's wait, the next interval line.
double next_wake(const engine* e) {
    double wake = e->sending ? e->deadline : 1e300;
    const probe_slot* oldest = probe_window_find(&e->window, e->window.oldest);
    if (oldest != nullptr) {
        const double wait_over = oldest->outcome == outcome_unsent ? 0.0 : oldest->sent + e->window.timeout;
        if (wait_over < wake) wake = wait_over;
    }
    const long_run* whole = e->rec->whole;
    if (whole->every > 0.0 && whole->next_line < wake) wake = whole->next_line;
    return wake;
}

// The margin at `now`: it halves every margin_half_life seconds, so a busy
// spell costs some spinning for a while, not late probes, and a quiet
// machine soon spins little.
void margin_decay(engine* e, double now) {
    e->margin *= std::exp2(-(now - e->margin_at) / margin_half_life);
    e->margin_at = now;
    if (e->margin < scheduled_margin_least) e->margin = scheduled_margin_least;
}

// A timed wait that ended `lateness` seconds after it was asked to: the
// margin grows at once to cover it, and a quarter more.
void margin_after(engine* e, double lateness) {
    if (lateness * 1.25 > e->margin) e->margin = lateness * 1.25;
    if (e->margin > scheduled_margin_most) e->margin = scheduled_margin_most;
}

// Waits until the next wake or a datagram, whichever comes first: on the
// socket until the margin before it, then on the clock.  False when the wait
// itself failed.
bool wait_turn(engine* e) {
    const double wake = next_wake(e);
    double now = platform::monotonic_seconds();
    margin_decay(e, now);
    const double left = wake - now;
    if (!(left > 0.0)) return true;
    if (left > e->margin) {
        const double seconds = left - e->margin;
        if (seconds > flush_before) std::fflush(stdout);
        platform::socket_set set;
        platform::socket_set_zero(&set);
        platform::socket_set_add(e->socket.sock, &set);
        platform::timeval tv = platform::timeval_from_seconds(seconds);
        const int result = platform::select(e->socket.sock + 1, &set, nullptr, nullptr, &tv);
        if (result == 0) margin_after(e, platform::monotonic_seconds() - (now + seconds));
        // Interrupted by a stop request: the loop looks at it at once.
        if (result >= 0 || platform::WSAGetLastError() == platform::WSAEINTR) return true;
        probe_log(e, "echomark_connect():1", e->next, "result=select(): SOCKERR: if (result <0) return  ;\n");
        return false;
    }
    // The last stretch: a timed wait would wake too late.
    while (now < wake && !platform::stop_requested()) now = platform::monotonic_seconds();
    return true;
}

void end_sending(engine* e) {
    quiet_progress_end(&e->progress);
    record_sending_over(e->rec);
}

void interval_line(engine* e, double now) {
    long_run* whole = e->rec->whole;
    if (!long_run_interval_due(whole, now)) return;
    print_scheduled_interval_line(whole, e->rec->scheduled, now, stdout);
    print_oneway_interval_line(e->rec->oneway, whole, now, stdout);
    long_run_interval_done(whole, now);
    record_scheduled_interval_done(e->rec);
}

// The turns of a run, from its first deadline to its end: each sends what
// is due, takes what has arrived, retires the probes whose wait is over and
// waits for the next.  False when a wait failed (the run ends there, its
// probes in flight stopped).
bool run_turns(engine* e) {
    recorder* rec = e->rec;
    for (;;) {
        double now = platform::monotonic_seconds();
        const bool stop = platform::stop_requested();
        if (stop && e->sending) {
            e->sending = false;
            record_stop(rec, platform::stop_request_signal());
            quiet_progress_end(&e->progress);
            std::printf("echomark_connect(): stopped by signal %d at i=%06" PRId64 "\n", rec->whole->stopped_by,
                        e->next);
            end_sending(e);
        }
        if (e->sending) {
            send_due(e, now);
            if (!e->sending) end_sending(e);
        }
        // Replies taken now that are stamped within their wait count as
        // answered: the probes are retired as of before they were taken.
        now = platform::monotonic_seconds();
        retire_due(e, take_queued(e, now));
        interval_line(e, now);
        if (stop || (!e->sending && e->window.unanswered == 0)) {
            retire_all(e);
            return true;
        }
        if (!e->sending && e->window.oldest >= e->window.next) return true;
        if (!wait_turn(e)) {
            if (e->sending) end_sending(e);
            retire_all(e);
            return false;
        }
    }
}

// The schedule's set-up line.
void print_schedule(const engine* e) {
    const sender_settings* settings = e->settings;
    std::printf("echomark_connect(): schedule=%s interval=%.9f rate=%.3f", settings->poisson ? "poisson" : "fixed",
                settings->send_interval, 1.0 / settings->send_interval);
    if (settings->poisson) std::printf(" seed=%" PRIu64, settings->seed);
    std::printf(" window=%d\n", e->window.size);
}

}  // namespace

int32_t scheduled_sender_slots(const sender_settings* settings) {
    return probe_window_slots_for(1.0 / settings->send_interval, settings->timeout);
}

void scheduled_sender_run(const sender_settings* settings, recorder* rec, probe_slot* storage, int32_t slots) {
    engine e{};
    e.settings = settings;
    e.rec = rec;
    e.lines.quiet = settings->quiet;
    e.count = settings->count;
    e.margin = scheduled_margin_least;
    e.margin_at = platform::monotonic_seconds();
    if (e.count > echomark_slots && !settings->long_run) e.count = echomark_slots;
    if (e.count < 0) e.count = 0;

    probe_socket_open(&e.socket, settings->ipaddr, settings->ipport);
    probe_socket_header(&e.socket, settings->tos, settings->ttl);
    peer_text(&e.socket.connaddr, e.destination);
    int queue = receive_queue_bytes;
    platform::setsockopt(e.socket.sock, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
    if (probe_window_init(&e.window, storage, slots, settings->timeout) != 0) {
        std::printf("echomark_connect(): window=%d timeout=%f: no window holds this run\n", slots, settings->timeout);
        std::fflush(stdout);
        return;
    }
    // Replies are as long as asked for, or as the probe from a plain echo.
    e.reply_room = clamp_size(settings->sendsize > settings->recvsize ? settings->sendsize : settings->recvsize);
    if (e.reply_room < datagram_header_size) e.reply_room = datagram_header_size;
    e.replies = static_cast<unsigned char*>(std::calloc(datagrams_per_batch, static_cast<std::size_t>(e.reply_room)));
    e.sent_clocks =
        static_cast<platform::clock_pair*>(std::calloc(static_cast<std::size_t>(slots), sizeof(platform::clock_pair)));
    if (e.replies == nullptr || e.sent_clocks == nullptr) {
        std::free(e.replies);
        std::free(e.sent_clocks);
        std::printf("echomark_connect(): no memory for %d replies of %d bytes\n", datagrams_per_batch, e.reply_room);
        std::fflush(stdout);
        return;
    }
    unsigned char probe[datagram_buffer_size];
    std::memset(probe, 0, sizeof probe);
    probe_format_begin(&e.format, settings, &e.socket, rec->oneway, static_cast<int>(e.count));
    probe_format_build(&e.format, probe, 0);
    e.probe = probe;
    {
        unsigned char hello[datagram_buffer_size];
        probe_cookie_begin(&e.cookie, settings->sendsize, settings->recvsize);
        probe_cookie_hello(&e.cookie, &e.socket, settings->timeout, hello);
    }
    print_schedule(&e);
    e.probe_length = clamp_size(settings->sendsize);
    platform::timer_slack_least();
    platform::short_time_slices();

    const double start_clock = utillib::getmicrotime();
    std::puts("echomark_connect(): echomark_send(void *arg):/echomark_recv(void *arg):");
    const int facts_count = e.count < echomark_slots ? static_cast<int>(e.count) : echomark_slots;
    const double cleared = platform::monotonic_seconds();
    recorder_plan plan = {facts_count, true, settings->duration, settings->every, cleared};
    schedule_setup setup = {settings->poisson ? schedule_shape_poisson : schedule_shape_fixed, settings->send_interval,
                            settings->seed, slots, cleared};
    recorder_begin_scheduled(rec, &plan, &setup);
    quiet_progress_begin(&e.progress, settings->quiet);
    const double start = platform::monotonic_seconds();
    record_scheduled_start(rec, start);
    if (settings->poisson) {
        schedule_plan_poisson(&e.plan, start, settings->send_interval, settings->seed);
    } else {
        schedule_plan_fixed(&e.plan, start, settings->send_interval);
    }

    e.deadline = schedule_plan_next(&e.plan);
    e.sending = e.count > 0;
    const bool ended = run_turns(&e);
    std::free(e.replies);
    std::free(e.sent_clocks);
    if (!ended) {
        std::fflush(stdout);
        return;
    }
    const double end_clock = utillib::getmicrotime();
    std::printf("echomark_connect(): difftime=%f [s] (%f - %f)\n", end_clock - start_clock, end_clock, start_clock);
    print_summary("echomark_connect():", rec->record);
    std::fflush(stdout);
}
