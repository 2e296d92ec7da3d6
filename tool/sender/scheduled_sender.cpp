// The scheduled sender.  One thread: each turn sends every probe that is
// due, of whichever flow (sending comes first, so nothing delays it), takes
// every reply already queued on the run's sockets without blocking,
// retires the probes whose wait is over, and then waits on the sockets
// until shortly before the next deadline, watching the clock for the last
// stretch.  The metrics endpoint and the name lookups get the gaps before a
// deadline, each piece of their work only when it fits.
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
#include "tool/report/fleet_report.hpp"
#include "tool/report/oneway_report.hpp"
#include "tool/report/run_report.hpp"
#include "tool/report/schedule_report.hpp"
#include "tool/sender/flow_sockets.hpp"
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
// The receive queue asked for (the system may hold it lower): the whole of
// it for a run of one socket, shared out among the sockets of a run of many.
constexpr int receive_queue_bytes = 4 << 20;
constexpr int receive_queue_least = 256 << 10;
// A wait longer than this writes out the log lines first.
constexpr double flush_before = 0.001;
// Seconds in which the wake margin halves.
constexpr double margin_half_life = 2.0;
// Sockets the loop waits on at most: the rest of the wait list is the
// metrics endpoint's (its listener and connections).  Sockets beyond these
// are still read at every turn; their replies carry the kernel's stamps,
// so a reply taken at the next turn is timed and judged as well.
constexpr int waited_sockets_most = platform::socket_set_capacity - metrics_max_connections - 1;
// Never in the future: no deadline.
constexpr double never = 1e300;
// Side work (the metrics endpoint, the name lookups) ends at least this
// long before the next wake, for the loop's own steps to it.
constexpr double side_work_spare = 20e-6;
// A first guess of a name lookup's start or look, before any is measured
// (the first start also starts the resolver's helper thread).
constexpr double lookup_guess = 200e-6;

// One flow: one target probed from one source port.  What the engine holds
// for it: its destination and socket, the responder's cookie, its schedule,
// its window of probes in flight and their send clocks, its record.
struct flow_state {
    int target;               // index in the run's targets; 0 in a run of one target
    int flow;                 // 0 .. flows-1 within the target
    int socket;               // index of its socket in the engine's list
    probe_socket to;          // that socket with this flow's destination
    probe_cookie cookie;      // the responder's, where the replies asked for need one
    probe_window window;
    platform::clock_pair* sent_clocks;  // by probe number modulo the window: both clocks just before its send
    schedule_plan plan;
    flow_record* record;  // its figures; null in a run of one target that is not watched
    int64_t count;        // probes to send
    int64_t next;         // number of the next probe
    double deadline;      // when it is due
    bool sending;
};

struct engine {
    const sender_settings* settings;
    recorder* rec;
    bool many;                  // a run of many flows: its lines, its sockets, its records
    run_targets* targets;       // every target and flow; null in a run of one target that is not watched
    flow_state* flows;          // the caller's: one per flow
    int flow_count;
    flow_sockets sockets;       // the run's sockets (one in a run of one target)
    double taken_up_to[flow_sockets_max];  // per socket: every datagram that arrived before this was taken
    sender_watch* watch;        // null: no metrics endpoint
    target_lookups* lookups;    // null: no names looked up again
    probe_format format;        // what the probes are on the wire, for every flow
    work_cost lookup_cost;      // of a step of the name lookups
    fleet_interval_scratch* interval;  // a run of many with --every=
    char destination[peer_text_size];  // a run of one target: its address and port
    step_lines lines;
    quiet_progress progress;
    unsigned char* probe;    // built once; each send changes only its number (and cookie)
    unsigned char* replies;  // room for a batch of datagrams, reply_room bytes each
    int reply_room;
    platform::datagram batch[datagrams_per_batch];
    int probe_length;
    int64_t count;     // probes to send, every flow together
    int64_t turns;     // probe turns so far, every flow together
    bool sending;      // some flow still sends
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

// --- a flow's events, reported to the records ----------------------------------------

void report_sent(engine* e, flow_state* f, const scheduled_sent_event* event) {
    if (e->many) {
        record_flow_sent(e->rec, f->record, event);
        return;
    }
    record_scheduled_sent(e->rec, event);
    if (f->record != nullptr) flow_record_sent(f->record, event->result > 0, event->leaving - event->scheduled);
}

void report_reply(engine* e, flow_state* f, const scheduled_reply_event* event) {
    if (e->many) {
        record_flow_reply(e->rec, f != nullptr ? f->record : nullptr, event);
        return;
    }
    record_scheduled_reply(e->rec, event);
    if (f != nullptr && f->record != nullptr) {
        flow_record_reply(f->record, event->reply ? event->verdict : window_unknown, event->probe, event->rtt);
    }
}

// A probe handed back by the window: recorded, then its line.
void retire(engine* e, flow_state* f, const probe_slot* slot) {
    if (!e->many) record_scheduled_retired(e->rec, slot);
    if (f->record != nullptr) flow_record_retired(f->record, slot);
    if (e->lines.quiet) return;
    char lag[32] = "-";
    char rtt[32] = "-";
    char order[32] = "-";
    if (slot->outcome != outcome_unsent) std::snprintf(lag, sizeof lag, "%.6f", slot->sent - slot->scheduled);
    if (slot->outcome == outcome_answered) {
        std::snprintf(rtt, sizeof rtt, "%.6f", slot->rtt);
        std::snprintf(order, sizeof order, "%06" PRId64, slot->arrival_order);
    }
    if (e->many) {
        probe_log(e, "echomark_connect():1", slot->probe,
                  "udp_probe(%s): flow=%d outcome=%s lag=%s rtt=%s copies=%u order=%s\n",
                  e->targets->target[f->target].label, f->flow, probe_outcome_name(slot->outcome), lag, rtt,
                  slot->copies, order);
        return;
    }
    probe_log(e, "echomark_connect():1", slot->probe, "udp_probe(%s): outcome=%s lag=%s rtt=%s copies=%u order=%s\n",
              e->destination, probe_outcome_name(slot->outcome), lag, rtt, slot->copies, order);
}

// --- sending ------------------------------------------------------------------------

// Builds probe f->next and sends it: the one place a probe is made.
void send_one(engine* e, flow_state* f) {
    probe_slot retired;
    while (probe_window_make_room(&f->window, &retired)) retire(e, f, &retired);
    probe_format_number(&e->format, e->probe, f->next);
    probe_cookie_present(&f->cookie, e->probe);
    // The round trip starts here, on the clock the kernel stamps the arrival with.
    const platform::clock_pair clocks = platform::clock_pair_now();
    probe_format_leaving(&e->format, e->probe, clocks);
    const double calendar =
        !e->many && f->next < e->rec->facts->count ? static_cast<double>(clocks.calendar_ns) / 1e9 : 0.0;
    const double leaving = static_cast<double>(clocks.monotonic_ns) / 1e9;
    f->sent_clocks[f->next & static_cast<int64_t>(f->window.size - 1)] = clocks;
    const int sent = probe_socket_send(&f->to, e->probe, e->probe_length);
    const int error = call_error(sent);
    const double now = platform::monotonic_seconds();
    scheduled_sent_event event = {f->next, sent, f->deadline, leaving, calendar, now - leaving, clocks.calendar_ns};
    report_sent(e, f, &event);
    if (sent > 0) {
        probe_window_sent(&f->window, f->next, f->deadline, leaving);
    } else {
        probe_window_send_failed(&f->window, f->next, f->deadline);
        probe_log(e, "echomark_send():1", f->next, "sendsize=udp_send(): sendsize=%d if (sendsize<=0): error=%d:%s\n",
                  sent, error, error_text(error));
    }
    f->next += 1;
    e->turns += 1;
    f->deadline = schedule_plan_next(&f->plan);
    // The flow's end is known as soon as its last probe has left.
    if (f->next >= f->count || long_run_over(e->rec->whole, f->deadline)) f->sending = false;
}

// The sending flow whose deadline comes first, or null when none sends.
flow_state* first_due(engine* e) {
    flow_state* first = nullptr;
    for (int g = 0; g < e->flow_count; g++) {
        flow_state* f = &e->flows[g];
        if (f->sending && (first == nullptr || f->deadline < first->deadline)) first = f;
    }
    return first;
}

// Sends every probe due at `now`, in the order of their deadlines, however
// late: a sender that fell behind catches up and never skips one (its lag
// shows it).
void send_due(engine* e, double now) {
    for (int turn = 0; turn < sends_per_turn; turn++) {
        flow_state* f = first_due(e);
        if (f == nullptr) {
            e->sending = false;
            break;
        }
        if (now < f->deadline) break;
        send_one(e, f);
        now = platform::monotonic_seconds();
        const int64_t done = e->turns;
        quiet_progress_update(&e->progress, static_cast<int>(done < INT_MAX ? done : INT_MAX),
                              static_cast<int>(e->count < INT_MAX ? e->count : INT_MAX), e->rec->record->sendpkts,
                              e->rec->record->recvpkts);
    }
    if (first_due(e) == nullptr) e->sending = false;
}

// --- receiving ----------------------------------------------------------------------

// The same address and port in two records of one family.
bool same_peer(const sockaddr_in6& a, const sockaddr_in6& b) {
    if (a.sin6_family != b.sin6_family || a.sin6_port != b.sin6_port) return false;
    if (a.sin6_family == AF_INET6) return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
    sockaddr_in x;
    sockaddr_in y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x.sin_addr.s_addr == y.sin_addr.s_addr;
}

// The flow a datagram on socket `k` from `from` belongs to, or null.
flow_state* flow_of(engine* e, int k, const sockaddr_in6& from) {
    if (!e->many) return probe_socket_from_destination(&e->flows[0].to, from) ? &e->flows[0] : nullptr;
    const flow_socket& socket = e->sockets.list[k];
    const run_targets* targets = e->targets;
    for (int t = 0; t < targets->target_count; t++) {
        if (targets->target[t].family != socket.family || !same_peer(from, targets->target[t].address)) continue;
        flow_state* f = &e->flows[t * targets->flows + socket.flow];
        return f->socket == k ? f : nullptr;
    }
    return nullptr;
}

// One datagram taken from socket `k`, arrived at `arrival` (monotonic;
// `facts` and `taken` give its round trip on one clock): the one place a
// reply is read.
void take_one(engine* e, int k, const unsigned char* data, int received, const sockaddr_in6& from, double arrival,
              const platform::receive_facts& facts, const platform::clock_pair& taken) {
    scheduled_reply_event event = {false, 0, -1, window_unknown, 0.0};
    flow_state* f = flow_of(e, k, from);
    oneway_reply oneway;
    event.reply = probe_format_read(&e->format, data, received, f != nullptr, &facts, &event.wire, &oneway);
    if (!event.reply) f = nullptr;
    if (event.reply && e->rec->oneway != nullptr) event.oneway = &oneway;
    if (f != nullptr) {
        probe_cookie_learn(&f->cookie, data, received);
        event.probe = probe_window_unwrap(&f->window, static_cast<uint32_t>(event.wire));
        double rtt = 0.0;
        if (probe_window_find(&f->window, event.probe) != nullptr) {
            const platform::clock_pair sent = f->sent_clocks[event.probe & static_cast<int64_t>(f->window.size - 1)];
            event.sent_ns = sent.calendar_ns;
            rtt = static_cast<double>(
                      platform::round_trip_between(sent, facts.stamp_known, facts.stamp_ns, taken).nanoseconds) /
                  1e9;
        }
        event.verdict = probe_window_reply_timed(&f->window, event.probe, arrival, rtt);
        const probe_slot* slot = probe_window_find(&f->window, event.probe);
        if (slot != nullptr) event.rtt = slot->rtt;
    }
    report_reply(e, f, &event);
    // A first reply within its wait shows in its probe's line; anything else
    // gets a line of its own.
    if (event.verdict != window_first) {
        static const char* const verdicts[] = {"unknown", "first", "copy", "late"};
        char peer[peer_text_size];
        probe_log(e, "echomark_connect():1", f != nullptr ? f->next : e->flows[0].next,
                  "sendsize=udp_recv(%s): recvsize=%d lastpkts=%06d reply=%s\n", peer_text(&from, peer), received,
                  event.wire, event.reply ? verdicts[event.verdict] : "none");
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

// Takes the datagrams queued on socket `k`, a batch per call, without
// waiting.  Returns the time up to which every datagram that arrived has
// been taken: `now` when the queue was found empty, else the arrival of the
// last one taken (the queue is in arrival order).
double take_queued(engine* e, int k, double now) {
    double taken_up_to = -1.0;
    const int sock = e->sockets.list[k].sock;
    const int64_t at = e->flows[0].next;
    platform::datagram* batch = e->batch;
    for (int round = 0; round < batches_per_turn; round++) {
        for (int d = 0; d < datagrams_per_batch; d++) {
            batch[d].data = e->replies + static_cast<std::size_t>(d) * static_cast<std::size_t>(e->reply_room);
            batch[d].size = e->reply_room;
        }
        const int taken = platform::recv_datagrams_with_facts(sock, batch, datagrams_per_batch, false);
        if (taken < 0) {
            const int error = platform::WSAGetLastError();
            if (error == platform::WSAEWOULDBLOCK) return now;
            probe_log(e, "echomark_recv():1", at, "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): error=%d:%s\n",
                      taken, error, error_text(error));
            return taken_up_to;
        }
        const platform::clock_pair after = clocks_after_receive();
        for (int d = 0; d < taken; d++) {
            const platform::datagram& got = batch[d];
            if (got.result < 0) {
                probe_log(e, "echomark_recv():1", at,
                          "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): error=%d:%s\n", got.result, got.error,
                          error_text(got.error));
                continue;
            }
            sockaddr_in6 from;
            std::memset(&from, 0, sizeof from);
            std::memcpy(&from, &got.address, sizeof from);
            const double arrival = arrival_of(got.facts, after);
            take_one(e, k, static_cast<const unsigned char*>(got.data), got.result, from, arrival, got.facts, after);
            if (arrival < now) taken_up_to = arrival;
        }
        // Fewer than asked for: the queue is empty.
        if (taken < datagrams_per_batch) return now;
    }
    return taken_up_to;
}

// Takes what every socket holds, then retires the probes whose wait is over
// as of the time up to which their socket's datagrams were taken.
void take_and_retire(engine* e) {
    const double now = platform::monotonic_seconds();
    for (int k = 0; k < e->sockets.count; k++) e->taken_up_to[k] = take_queued(e, k, now);
    for (int g = 0; g < e->flow_count; g++) {
        flow_state* f = &e->flows[g];
        probe_slot retired;
        while (probe_window_retire_due(&f->window, e->taken_up_to[f->socket], &retired)) retire(e, f, &retired);
    }
}

void retire_all(engine* e) {
    for (int g = 0; g < e->flow_count; g++) {
        flow_state* f = &e->flows[g];
        probe_slot retired;
        while (probe_window_retire_early(&f->window, &retired)) retire(e, f, &retired);
    }
}

int64_t unanswered(const engine* e) {
    int64_t waiting = 0;
    for (int g = 0; g < e->flow_count; g++) waiting += e->flows[g].window.unanswered;
    return waiting;
}

bool in_flight(const engine* e) {
    for (int g = 0; g < e->flow_count; g++) {
        if (e->flows[g].window.oldest < e->flows[g].window.next) return true;
    }
    return false;
}

// --- waiting ------------------------------------------------------------------------

// When the loop must look again: the next deadline, the end of the oldest
// probe's wait in any flow, the next interval line.
double next_wake(const engine* e) {
    double wake = never;
    for (int g = 0; g < e->flow_count; g++) {
        const flow_state* f = &e->flows[g];
        if (f->sending && f->deadline < wake) wake = f->deadline;
        const probe_slot* oldest = probe_window_find(&f->window, f->window.oldest);
        if (oldest != nullptr) {
            const double wait_over = oldest->outcome == outcome_unsent ? 0.0 : oldest->sent + f->window.timeout;
            if (wait_over < wake) wake = wait_over;
        }
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

// The gap before `wake` goes to the metrics endpoint and to the name
// lookups, each piece only when it fits (work_cost) and ends
// side_work_spare before the wake.
void side_work(engine* e, double wake) {
    const double until = wake - side_work_spare;
    if (e->watch != nullptr) sender_watch_work(e->watch, until);
    if (e->lookups == nullptr) return;
    const double now = platform::monotonic_seconds();
    if (!target_lookups_due(e->lookups, e->targets, now) || !work_cost_fits(&e->lookup_cost, now, until)) return;
    const int moved = target_lookups_work(e->lookups, e->targets, now);
    work_cost_took(&e->lookup_cost, platform::monotonic_seconds() - now);
    if (moved < 0) return;
    // The target's flows send to its new address from their next probe on.
    const run_target& target = e->targets->target[moved];
    for (int j = 0; j < e->targets->flows; j++) {
        flow_state* f = &e->flows[moved * e->targets->flows + j];
        f->to.connaddr = target.address;
        f->to.connaddr_length = target.address_length;
    }
}

// Waits until the next wake, a datagram or the endpoint's next turn,
// whichever comes first: on the sockets until the margin before the wake,
// then on the clock.  False when the wait itself failed.
bool wait_turn(engine* e) {
    const double wake = next_wake(e);
    double now = platform::monotonic_seconds();
    margin_decay(e, now);
    const double left = wake - now;
    if (!(left > 0.0)) return true;
    if (left > e->margin) {
        double seconds = left - e->margin;
        platform::socket_set readable;
        platform::socket_set writable;
        platform::socket_set_zero(&readable);
        platform::socket_set_zero(&writable);
        int own = 0;
        for (int k = 0; k < e->sockets.count && k < waited_sockets_most; k++) {
            platform::socket_set_add(e->sockets.list[k].sock, &readable);
            own++;
        }
        if (e->watch != nullptr) {
            // The endpoint's turn counts only when its work would fit then.
            const double by = sender_watch_sets(e->watch, now, &readable, &writable);
            const double at = by > now ? by : now;
            if (at - now < seconds && sender_watch_fits(e->watch, at, wake - side_work_spare)) seconds = at - now;
        }
        if (e->lookups != nullptr && e->lookups->target >= 0) {
            // A lookup running is looked at again within a few milliseconds.
            constexpr double lookup_look_again = 0.005;
            if (seconds > lookup_look_again) seconds = lookup_look_again;
        }
        if (seconds > flush_before) std::fflush(stdout);
        platform::timeval tv = platform::timeval_from_seconds(seconds);
        const int result = platform::select(0, &readable, &writable, nullptr, &tv);
        if (result == 0) margin_after(e, platform::monotonic_seconds() - (now + seconds));
        if (result > 0 && e->watch != nullptr) {
            int ready = 0;
            for (int k = 0; k < own; k++) ready += platform::socket_set_has(e->sockets.list[k].sock, &readable) ? 1 : 0;
            if (result > ready) sender_watch_ready(e->watch);
        }
        // Interrupted by a stop request: the loop looks at it at once.
        if (result >= 0 || platform::WSAGetLastError() == platform::WSAEINTR) return true;
        probe_log(e, "echomark_connect():1", e->flows[0].next, "result=select(): SOCKERR: if (result <0) return  ;\n");
        return false;
    }
    // The last stretch: a timed wait would wake too late, and the side work
    // that fits goes first.
    while (now < wake && !platform::stop_requested()) {
        side_work(e, wake);
        now = platform::monotonic_seconds();
    }
    return true;
}

// --- the run ------------------------------------------------------------------------

void end_sending(engine* e) {
    quiet_progress_end(&e->progress);
    record_sending_over(e->rec);
}

void interval_line(engine* e, double now) {
    long_run* whole = e->rec->whole;
    if (!long_run_interval_due(whole, now)) return;
    if (e->many) {
        print_fleet_interval_lines(e->targets, whole, now, e->interval, stdout);
        for (int g = 0; g < e->flow_count; g++) flow_record_interval_done(e->flows[g].record);
    } else {
        print_scheduled_interval_line(whole, e->rec->scheduled, now, stdout);
        print_oneway_interval_line(e->rec->oneway, whole, now, stdout);
        record_scheduled_interval_done(e->rec);
    }
    long_run_interval_done(whole, now);
}

// The turns of a run, from its first deadline to its end: each sends what
// is due, takes what has arrived, retires the probes whose wait is over,
// gives the gap to the side work and waits for the next.  False when a wait failed (the
// run ends there, its probes in flight stopped).
bool run_turns(engine* e) {
    recorder* rec = e->rec;
    for (;;) {
        double now = platform::monotonic_seconds();
        const bool stop = platform::stop_requested();
        if (stop && e->sending) {
            e->sending = false;
            for (int g = 0; g < e->flow_count; g++) e->flows[g].sending = false;
            record_stop(rec, platform::stop_request_signal());
            quiet_progress_end(&e->progress);
            std::printf("echomark_connect(): stopped by signal %d at i=%06" PRId64 "\n", rec->whole->stopped_by,
                        e->many ? e->turns : e->flows[0].next);
            end_sending(e);
        }
        if (e->sending) {
            send_due(e, now);
            if (!e->sending) end_sending(e);
        }
        // Replies taken now that are stamped within their wait count as
        // answered: the probes are retired as of before they were taken.
        take_and_retire(e);
        interval_line(e, platform::monotonic_seconds());
        if (stop || (!e->sending && unanswered(e) == 0)) {
            retire_all(e);
            return true;
        }
        if (!e->sending && !in_flight(e)) return true;
        side_work(e, next_wake(e));
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
    std::printf(" window=%d", e->flows[0].window.size);
    if (e->many) std::printf(" targets=%d flows=%d", e->targets->target_count, e->targets->flows);
    std::putchar('\n');
}

// --- set-up -------------------------------------------------------------------------

// A run of one target: its socket and destination, with the lines of such a run.
void open_single(engine* e, flow_state* f) {
    const sender_settings* settings = e->settings;
    probe_socket_open(&f->to, settings->ipaddr, settings->ipport);
    probe_socket_header(&f->to, settings->tos, settings->ttl);
    peer_text(&f->to.connaddr, e->destination);
    int queue = receive_queue_bytes;
    platform::setsockopt(f->to.sock, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
    e->sockets.count = 1;
    e->sockets.list[0] = {f->to.sock, f->to.family, 0, 0};
    f->socket = 0;
    f->record = e->targets != nullptr ? &e->targets->flow[0].record : nullptr;
}

// A run of many: a line for each target, the shared sockets, and each flow
// pointed at its target and socket.  False when a socket could not be had.
bool open_many(engine* e) {
    const sender_settings* settings = e->settings;
    run_targets* targets = e->targets;
    bool ipv4 = false;
    bool ipv6 = false;
    for (int t = 0; t < targets->target_count; t++) {
        const run_target& target = targets->target[t];
        std::printf("echomark_connect(): target=%s address=%s port=%d\n", target.label, target.address_text,
                    target.port);
        (target.family == AF_INET6 ? ipv6 : ipv4) = true;
    }
    const int sockets = targets->flows * ((ipv4 ? 1 : 0) + (ipv6 ? 1 : 0));
    int queue = receive_queue_bytes / (sockets > 0 ? sockets : 1);
    if (queue < receive_queue_least) queue = receive_queue_least;
    if (flow_sockets_open(&e->sockets, targets->flows, ipv4, ipv6, queue, settings->tos, settings->ttl) != 0) return false;
    for (int g = 0; g < e->flow_count; g++) {
        flow_state* f = &e->flows[g];
        run_flow* flow = &targets->flow[g];
        const run_target& target = targets->target[flow->target];
        f->target = flow->target;
        f->flow = flow->flow;
        f->socket = flow_sockets_find(&e->sockets, target.family, flow->flow);
        f->to.sock = e->sockets.list[f->socket].sock;
        f->to.family = target.family;
        f->to.connaddr = target.address;
        f->to.connaddr_length = target.address_length;
        f->record = &flow->record;
        flow->source_port = e->sockets.list[f->socket].port;
        flow_record_reset(f->record);
    }
    return true;
}

// The responder's cookie, where the replies need one: one hello for each
// target, its cookie given to every flow of the target.
void hello(engine* e) {
    const sender_settings* settings = e->settings;
    unsigned char buffer[datagram_buffer_size];
    const int flows = e->many ? e->targets->flows : 1;
    for (int g = 0; g < e->flow_count; g += flows) {
        probe_cookie_begin(&e->flows[g].cookie, settings->sendsize, settings->recvsize);
        probe_cookie_hello(&e->flows[g].cookie, &e->flows[g].to, settings->timeout, buffer);
        for (int j = 1; j < flows; j++) e->flows[g + j].cookie = e->flows[g].cookie;
    }
}

// Flow g's share of the run: a target's probes go to its flows in turn, its
// rate shared by them, so that every target is probed on the run's
// schedule; the flows of all targets are staggered over one gap.
void plan_flow(engine* e, flow_state* f, int g, double start) {
    const sender_settings* settings = e->settings;
    const int flows = e->many ? e->targets->flows : 1;
    const int target_count = e->many ? e->targets->target_count : 1;
    int64_t count = settings->count;
    if (count > echomark_slots && !settings->long_run) count = echomark_slots;
    if (count < 0) count = 0;
    f->count = count / flows + (f->flow < count % flows ? 1 : 0);
    const double gap = settings->send_interval * flows;
    const double offset =
        settings->send_interval * (static_cast<double>(f->flow) + static_cast<double>(f->target) / target_count);
    if (settings->poisson) {
        schedule_plan_poisson(&f->plan, start + offset, gap, settings->seed + static_cast<uint64_t>(g));
    } else {
        schedule_plan_fixed(&f->plan, start + offset, gap);
    }
    f->deadline = schedule_plan_next(&f->plan);
    f->sending = f->count > 0;
    e->count += f->count;
}

void close_sockets(engine* e) {
    if (e->many) flow_sockets_close(&e->sockets);
}

}  // namespace

int32_t scheduled_sender_slots(const sender_settings* settings, int flows) {
    return probe_window_slots_for(1.0 / (settings->send_interval * (flows > 0 ? flows : 1)), settings->timeout);
}

void scheduled_sender_run(const sender_settings* settings, recorder* rec, const scheduled_run_parts* parts) {
    engine e{};
    e.settings = settings;
    e.rec = rec;
    e.many = parts->many && parts->targets != nullptr;
    e.targets = parts->targets;
    e.watch = parts->watch;
    e.lookups = e.many ? parts->lookups : nullptr;
    e.lines.quiet = settings->quiet;
    e.margin = scheduled_margin_least;
    e.margin_at = platform::monotonic_seconds();
    e.flow_count = e.many ? e.targets->target_count * e.targets->flows : 1;

    // A flow's state is a few hundred bytes: one allocation before the run.
    e.flows = static_cast<flow_state*>(std::calloc(static_cast<std::size_t>(e.flow_count), sizeof(flow_state)));
    if (e.many) e.interval = static_cast<fleet_interval_scratch*>(std::calloc(1, sizeof(fleet_interval_scratch)));
    if (e.flows == nullptr || (e.many && e.interval == nullptr)) {
        std::free(e.flows);
        std::free(e.interval);
        std::printf("echomark_connect(): no memory for %d flows\n", e.flow_count);
        std::fflush(stdout);
        return;
    }
    if (e.many) {
        if (!open_many(&e)) {
            std::free(e.flows);
            std::free(e.interval);
            std::fflush(stdout);
            return;
        }
    } else {
        open_single(&e, &e.flows[0]);
        if (e.flows[0].record != nullptr) flow_record_reset(e.flows[0].record);
    }
    for (int g = 0; g < e.flow_count; g++) {
        flow_state* f = &e.flows[g];
        const std::size_t first = static_cast<std::size_t>(g) * static_cast<std::size_t>(parts->slots);
        f->sent_clocks = parts->sent_clocks + first;
        if (probe_window_init(&f->window, parts->windows + first, parts->slots, settings->timeout) != 0) {
            std::printf("echomark_connect(): window=%d timeout=%f: no window holds this run\n", parts->slots,
                        settings->timeout);
            std::fflush(stdout);
            close_sockets(&e);
            std::free(e.flows);
            std::free(e.interval);
            return;
        }
    }
    // Replies are as long as asked for, or as the probe from a plain echo.
    e.reply_room = clamp_size(settings->sendsize > settings->recvsize ? settings->sendsize : settings->recvsize);
    if (e.reply_room < datagram_header_size) e.reply_room = datagram_header_size;
    e.replies = static_cast<unsigned char*>(std::calloc(datagrams_per_batch, static_cast<std::size_t>(e.reply_room)));
    if (e.replies == nullptr) {
        std::printf("echomark_connect(): no memory for %d replies of %d bytes\n", datagrams_per_batch, e.reply_room);
        std::fflush(stdout);
        close_sockets(&e);
        std::free(e.flows);
        std::free(e.interval);
        return;
    }
    unsigned char probe[datagram_buffer_size];
    std::memset(probe, 0, sizeof probe);
    const int64_t asked = settings->count < 0 ? 0 : settings->count;
    const int64_t kept = asked > echomark_slots && !settings->long_run ? echomark_slots : asked;
    // A run of many keeps no far-end figures: its probes go in the format
    // asked for, their round trips measured.
    probe_format_begin(&e.format, settings, &e.flows[0].to, e.many ? nullptr : rec->oneway,
                       static_cast<int>(kept < INT_MAX ? kept : INT_MAX));
    probe_format_build(&e.format, probe, 0);
    e.probe = probe;
    hello(&e);
    print_schedule(&e);
    e.probe_length = clamp_size(settings->sendsize);
    platform::timer_slack_least();
    platform::short_time_slices();

    const double start_clock = utillib::getmicrotime();
    std::puts("echomark_connect(): echomark_send(void *arg):/echomark_recv(void *arg):");
    const int facts_count = e.many ? 0 : static_cast<int>(asked < echomark_slots ? asked : echomark_slots);
    const double cleared = platform::monotonic_seconds();
    recorder_plan plan = {facts_count, true, settings->duration, settings->every, cleared};
    if (e.many) {
        recorder_begin(rec, &plan);
    } else {
        schedule_setup setup = {settings->poisson ? schedule_shape_poisson : schedule_shape_fixed,
                                settings->send_interval, settings->seed, parts->slots, cleared};
        recorder_begin_scheduled(rec, &plan, &setup);
    }
    quiet_progress_begin(&e.progress, settings->quiet);
    const double start = platform::monotonic_seconds();
    if (e.many) {
        record_flows_start(rec, start);
    } else {
        record_scheduled_start(rec, start);
    }
    if (e.lookups != nullptr) target_lookups_begin(e.lookups, e.targets, start, target_lookup_every);
    work_cost_begin(&e.lookup_cost, lookup_guess, start);
    for (int g = 0; g < e.flow_count; g++) plan_flow(&e, &e.flows[g], g, start);
    e.sending = e.count > 0;

    const bool ended = run_turns(&e);
    std::free(e.replies);
    close_sockets(&e);
    std::free(e.flows);
    std::free(e.interval);
    if (!ended) {
        std::fflush(stdout);
        return;
    }
    const double end_clock = utillib::getmicrotime();
    std::printf("echomark_connect(): difftime=%f [s] (%f - %f)\n", end_clock - start_clock, end_clock, start_clock);
    print_summary("echomark_connect():", rec->record);
    std::fflush(stdout);
}
