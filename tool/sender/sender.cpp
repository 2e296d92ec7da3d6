// The probe sender: sends numbered probes one at a time, waits for each
// reply, times both, then waits once more for the replies still missing.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"
#include "tool/echomarkcli-select.hpp"
#include "tool/record/long_run.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/sender/quiet_progress.hpp"
#include "tool/cli/run_options.hpp"
#include "tool/log/step_log.hpp"
#include "utillib/utils.hpp"

namespace {

// --- waits, sends and receives ---------------------------------------------------
//
// These call the platform directly rather than the library's UDP operations:
// the measurement is of exactly one select and one sendto or recvfrom per
// step, and the library's blocking receive would clear the whole 65536-byte
// buffer before every reply.

// Interrupted waits and refused transfers are repeated, but not for ever.
constexpr int retry_limit = 1000;

int wait_select(int sock, platform::socket_set* read_set, platform::socket_set* write_set,
                const platform::timeval* timeout) {
    std::fflush(stdout);
    int result = platform::select(sock + 1, read_set, write_set, nullptr, timeout);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEINTR && retry < retry_limit;
         retry++) {
        result = platform::select(sock + 1, read_set, write_set, nullptr, timeout);
    }
    return result;
}

int send_probe(int sock, const unsigned char* buffer, int length, const void* to, int to_length) {
    int result = platform::sendto(sock, buffer, length, 0, to, to_length);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK && retry < retry_limit;
         retry++) {
        result = platform::sendto(sock, buffer, length, 0, to, to_length);
    }
    return result;
}

// Also tells when the datagram arrived, on the monotonic clock.
int receive_reply(int sock, unsigned char* buffer, sockaddr_in6* from, platform::receive_time* arrival) {
    int fromlen = sizeof *from;
    int result = platform::recvfrom_stamped(sock, buffer, datagram_buffer_size, 0, from, &fromlen, arrival);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK && retry < retry_limit;
         retry++) {
        fromlen = sizeof *from;
        result = platform::recvfrom_stamped(sock, buffer, datagram_buffer_size, 0, from, &fromlen, arrival);
    }
    return result;
}

// --- the sender's state ------------------------------------------------------------

struct sender {
    int sock;
    sockaddr_in6 connaddr;  // either family: an IPv4 address fills the first 16 bytes
    int connaddr_length;
    double timeout;
    int sendsize;
    int recvsize;
    echomark_record* record;     // counts and per-probe times, read by the report
    probe_facts* facts;          // how each probe's reply came, for the opt-in figures
    const run_options* options;  // the clock, the pause
    unsigned char* buffer;       // one datagram buffer for probes and replies
};

// The clock of Stime and Rtime: milliseconds of wall-clock time, or with
// --precise the monotonic clock's nanoseconds.
double probe_clock(const sender* s) {
    return s->options->precise ? platform::monotonic_seconds() : utillib::getmicrotime();
}

// The pause after a good reply: 1 ms, or what --interval= asked for.
void pause_after_reply(const sender* s) {
    if (!s->options->interval_given) {
        platform::Sleep(1);
    } else if (s->options->interval > 0.0) {
        platform::pause_seconds(s->options->interval);
    }
}

// The send length stays within the buffer, whatever the caller asked.
int clamp_size(int size) {
    if (size < 0) return 0;
    return size > datagram_buffer_size ? datagram_buffer_size : size;
}

// A wait on the socket alone, for at most `seconds`.
int wait_socket(const sender* s, platform::socket_set* set, bool for_read, double seconds) {
    platform::socket_set_zero(set);
    platform::socket_set_add(s->sock, set);
    platform::timeval tv = platform::timeval_from_seconds(seconds);
    return for_read ? wait_select(s->sock, set, nullptr, &tv) : wait_select(s->sock, nullptr, set, &tv);
}

// What a datagram taken from the socket was.
struct taken {
    int received;           // the receive's result
    int error;              // the platform's code when the receive failed
    int probe;              // the probe number it carries, 0 when none arrived whole
    bool reply;             // from the destination, with a whole probe number
    reply_verdict verdict;  // for a reply: what it was to the run
    double rtt;             // round trip of a first reply, whatever its cycle, else -1
};

// Probe numbers the record and the facts have a slot for.
bool in_record(int probe) { return probe >= 0 && probe < echomark_slots; }

// Only the destination answers, and only a whole probe number names a
// probe: anything else in the socket is someone else's datagram.
bool from_destination(const sender* s, const sockaddr_in6& from) {
    if (from.sin6_family != s->connaddr.sin6_family) return false;
    if (from.sin6_family == AF_INET6) {
        return from.sin6_port == s->connaddr.sin6_port &&
               std::memcmp(&from.sin6_addr, &s->connaddr.sin6_addr, sizeof from.sin6_addr) == 0;
    }
    sockaddr_in got;
    sockaddr_in want;
    std::memcpy(&got, &from, sizeof got);
    std::memcpy(&want, &s->connaddr, sizeof want);
    return got.sin_port == want.sin_port && got.sin_addr.s_addr == want.sin_addr.s_addr;
}

// Takes one datagram and enters it in the facts (cycle: facts_drain_cycle in
// the drain).  The probe number is read from what arrived, never from what
// the buffer held before.
taken take_datagram(sender* s, int cycle, sockaddr_in6* from) {
    std::memset(from, 0, sizeof *from);
    platform::receive_time arrival;
    taken t;
    t.received = receive_reply(s->sock, s->buffer, from, &arrival);
    t.error = call_error(t.received);
    constexpr int probe_end = 8;  // the probe number's field ends here
    t.probe = t.received >= probe_end ? data_value_get(s->buffer, value_probe) : 0;
    t.reply = t.received >= probe_end && from_destination(s, *from);
    t.verdict = verdict_foreign;
    t.rtt = -1.0;
    long_run* run = &echomarklong;
    if (t.reply && t.probe >= echomark_slots && t.probe <= run->highest_sent) {
        // Beyond the record, in a long run: the run's own window tells a
        // first reply from a copy, and its own send time the round trip.
        t.verdict = long_run_first_beyond(run, t.probe) ? verdict_first : verdict_duplicate;
        if (t.verdict == verdict_first) t.rtt = arrival.seconds - long_run_leaving(run, t.probe);
    } else if (t.reply) {
        t.verdict = probe_facts_reply(s->facts, t.probe, cycle, arrival.seconds);
        if (t.verdict == verdict_first) t.rtt = s->facts->rtt[t.probe];
    } else if (t.received >= 0) {
        probe_facts_not_reply(s->facts);
    }
    return t;
}

// Builds probe i in the cleared buffer and sends it; Stime[i] spans the
// writability wait that began at `reference` and the send.
void send_one(sender* s, int i, double reference) {
    echomark_record* r = s->record;
    std::memset(s->buffer, 0, datagram_buffer_size);
    r->lastpkts = i;
    data_value_set(s->buffer, value_probe, i);
    data_value_set(s->buffer, value_probesize, s->sendsize);
    data_value_set(s->buffer, value_replysize, s->recvsize);
    // The round trip starts here, on the clock the arrival is read on.
    platform::clock_reading calendar = platform::realtime_now();
    double leaving = platform::monotonic_seconds();
    int sent = send_probe(s->sock, s->buffer, clamp_size(s->sendsize), &s->connaddr, s->connaddr_length);
    int error = call_error(sent);
    double stime = probe_clock(s) - reference;
    if (in_record(i)) r->Stime[i] = stime;
    char to[peer_text_size];
    cycle_log("echomark_connect():1", i, r->sendpkts, r->recvpkts,
              "sendsize=udp_send(%s): argssize=%d sendsize=%d time=%.6f\n", peer_text(&s->connaddr, to), s->sendsize,
              sent, stime);
    if (sent <= 0) {
        cycle_log("echomark_send():1", i, r->sendpkts, r->recvpkts,
                  "sendsize=udp_send(): sendsize=%d if (sendsize<=0): error=%d:%s\n", sent, error, error_text(error));
    } else {
        r->sendpkts += 1;
        probe_facts_sent(s->facts, i, static_cast<double>(calendar.seconds) + calendar.nanoseconds / 1e9, leaving);
        long_run_sent(&echomarklong, i, leaving);
    }
}

// The receive line of phase 1, its error line, and what the datagram does
// to the record.  True when it was probe i's first reply.
bool enter_cycle_reply(sender* s, int i, const taken& t, const sockaddr_in6& from, double waited) {
    echomark_record* r = s->record;
    if (t.reply) r->lastpkts = t.probe;
    // Rtime keeps the wait of every reply to a probe of this run, copies too.
    if (t.reply && t.verdict != verdict_foreign && in_record(t.probe)) r->Rtime[t.probe] = waited;
    // Beyond the record, the line shows the wait when the reply is probe i's own.
    double shown = in_record(i) ? r->Rtime[i] : (t.probe == i && t.verdict == verdict_first ? waited : 0.0);
    char peer[peer_text_size];
    cycle_log("echomark_connect():1", i, r->sendpkts, r->recvpkts,
              "sendsize=udp_recv(%s): recvsize=%d lastpkts=%06d time=%.6f\n", peer_text(&from, peer), t.received,
              t.probe, shown);
    if (t.received <= 0) {
        cycle_log("echomark_recv():1", i, r->sendpkts, r->recvpkts,
                  "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): error=%d:%s\n", t.received, t.error,
                  error_text(t.error));
    }
    if (t.verdict != verdict_first) return false;
    r->recvpkts += 1;
    long_run_received(&echomarklong, t.rtt);
    return t.probe == i;
}

// Phase 1, one cycle: wait for writability, send probe i, then take what
// arrives until probe i's reply has come or the time-out has passed.  Late
// replies, copies and strangers' datagrams are taken on the way, so none of
// them costs a later probe its own reply.  False when a wait failed.
bool probe_cycle(sender* s, int i) {
    echomark_record* r = s->record;
    char stamp[stamp_size];
    platform::socket_set set;
    double reference = probe_clock(s);

    int result = wait_socket(s, &set, false, s->timeout);
    if (result == 0) {
        step_log("%s echomark_connect():1 /%06d/%06d/%06d/ TIMEOUT: if (result==0) continue;\n", stamp_now(stamp), i,
                 r->sendpkts, r->recvpkts);
        return true;
    }
    if (result < 0) {
        step_log("%s echomark_connect():1 /%06d/%06d/%06d/ SOCKERR: if (result <0) return  ;\n", stamp_now(stamp), i,
                 r->sendpkts, r->recvpkts);
        return false;
    }
    if (platform::socket_set_has(s->sock, &set)) send_one(s, i, reference);

    reference = probe_clock(s);
    double deadline = platform::monotonic_seconds() + s->timeout;
    double wait = s->timeout;
    for (;;) {
        result = wait_socket(s, &set, true, wait);
        if (result == 0) break;
        if (result < 0) {
            cycle_log("echomark_connect():1", i, r->sendpkts, r->recvpkts,
                      "result=select(): SOCKERR: if (result <0) return  ;\n");
            return false;
        }
        if (!platform::socket_set_has(s->sock, &set)) {
            platform::Sleep(1);
            return true;
        }
        sockaddr_in6 from;
        taken t = take_datagram(s, i, &from);
        double waited = probe_clock(s) - reference;
        if (enter_cycle_reply(s, i, t, from, waited)) {
            pause_after_reply(s);
            return true;
        }
        // A receive that failed may fail again at once: no second try.
        if (t.received < 0) return true;
        // Written so that a time-out that is no number ends the cycle too.
        wait = deadline - platform::monotonic_seconds();
        if (!(wait > 0.0)) break;
    }
    cycle_log("echomark_connect():1", i, r->sendpkts, r->recvpkts,
              "result=select(): TIMEOUT: if (result==0) continue;\n");
    return true;
}

// Phase 2: waits for the probes still without a reply, up to the first
// silent wait.  Copies and strangers' datagrams do not end it, but it lasts
// no longer than one time-out per reply missing when it began.  False when a
// wait failed.
bool drain(sender* s) {
    echomark_record* r = s->record;
    double deadline = platform::monotonic_seconds() + s->timeout * (r->sendpkts - r->recvpkts);
    double wait = s->timeout;
    const int first = r->recvpkts;
    for (int i = first; r->recvpkts < r->sendpkts; i++) {
        platform::socket_set set;
        // The first wait is the time-out as given; later ones end the drain
        // once its time is up (or the time-out is no number).
        int result = i == first || wait > 0.0 ? wait_socket(s, &set, true, wait) : 0;
        if (result == 0) {
            cycle_log("echomark_connect():2", i, r->sendpkts, r->recvpkts, "TIMEOUT: if (result==0) continue;\n");
            return true;
        }
        if (result < 0) {
            cycle_log("echomark_connect():2", i, r->sendpkts, r->recvpkts, "SOCKERR: if (result <0) return;\n");
            return false;
        }
        if (platform::socket_set_has(s->sock, &set)) {
            sockaddr_in6 from;
            taken t = take_datagram(s, facts_drain_cycle, &from);
            if (t.reply) r->lastpkts = t.probe;
            char peer[peer_text_size];
            cycle_log("echomark_connect():2", i, r->sendpkts, r->recvpkts,
                      "sendsize=udp_recv(%s): recvsize=%d lastpkts=%06d\n", peer_text(&from, peer), t.received,
                      t.probe);
            if (t.received <= 0) {
                cycle_log("echomark_connect():2", i, r->sendpkts, r->recvpkts,
                          "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): recvsize=%d:%s\n", t.received, t.error,
                          error_text(t.error));
            }
            if (t.verdict == verdict_first) {
                r->recvpkts += 1;
                long_run_received(&echomarklong, t.rtt);
            }
        }
        double left = deadline - platform::monotonic_seconds();
        wait = left < s->timeout ? left : s->timeout;
    }
    return true;
}

// The destination's set-up lines and address; IPv6 text (it has a colon,
// dotted IPv4 never has) selects IPv6.  Returns the family.
int destination(const char* ipaddr, const char* port, sender* s) {
    std::memset(&s->connaddr, 0, sizeof s->connaddr);
    if (std::strchr(ipaddr, ':') != nullptr) {
        std::printf("echomark_connect(): connaddr=create_sockaddr6in(AF_INET6, ipaddr=%s, ipport=%s):\n", ipaddr, port);
        s->connaddr = socketlib::create_sockaddr6in(AF_INET6, ipaddr, port);
        s->connaddr_length = sizeof s->connaddr;
        char numeric[socketlib::IPV6_TEXT_SIZE];
        if (socketlib::inet_ntop(AF_INET6, &s->connaddr.sin6_addr, numeric, sizeof numeric) == nullptr) {
            numeric[0] = '\0';
        }
        std::printf("echomark_connect(): connaddr.sin6_addr=%s connaddr.sin6_port=%d\n", numeric,
                    ntohs(s->connaddr.sin6_port));
        return AF_INET6;
    }
    std::printf("echomark_connect(): connaddr=create_sockaddrin(AF_INET, ipaddr=%s, ipport=%s):\n", ipaddr, port);
    sockaddr_in connaddr = socketlib::create_sockaddrin(AF_INET, ipaddr, port);
    address_parts to = parts_of(connaddr);
    std::printf("echomark_connect(): connaddr.sin_addr.s_addr=%08X (%d.%d.%d.%d) connaddr.sin_port=%d\n",
                memory_word(connaddr), to.a, to.b, to.c, to.d, to.port);
    std::memcpy(&s->connaddr, &connaddr, sizeof connaddr);
    s->connaddr_length = sizeof connaddr;
    return AF_INET;
}

// --tos= and --ttl=: the IP header fields of every probe.  A value the
// system refuses is said once; the probes then leave with its own.
void set_probe_header(int sock, int family, const run_options* options) {
    struct field {
        int value;
        int option;
        const char* name;
    };
    bool six = family == AF_INET6;
    const field fields[] = {
        {options->tos, six ? socketlib::SOCK_OPT_TCLASS : socketlib::SOCK_OPT_TOS, six ? "TCLASS" : "TOS"},
        {options->ttl, six ? socketlib::SOCK_OPT_HOPS : socketlib::SOCK_OPT_TTL, six ? "HOPS" : "TTL"},
    };
    for (const field& f : fields) {
        if (f.value == run_options_unset) continue;
        int result = socketlib::udp_sockoptset(sock, f.option, f.value);
        if (result < 0) {
            std::printf(
                "echomark_connect(): result=udp_sockoptset(SOCK_OPT_%s, %d): result=%d if (result<0): "
                "error=%d:%s\n",
                f.name, f.value, result, -result, error_text(-result));
        }
    }
}

// The closing lines: elapsed time, then the counters and the ratio.
void print_closing(const echomark_record* record, double start) {
    double now = utillib::getmicrotime();
    std::printf("echomark_connect(): difftime=%f [s] (%f - %f)\n", now - start, now, start);
    print_summary("echomark_connect():", record);
    std::fflush(stdout);
}

}  // namespace

void echomark_connect(const char* ipaddr, int ipport, double timeout, int count, int sendsize, int recvsize,
                      echomark_record* record) {
    std::memset(record, 0, sizeof *record);
    // The record has one slot per probe; a long run (--count=, --duration=)
    // goes on beyond them.
    bool long_active = runopts.count > 0 || runopts.duration > 0.0;
    if (count > echomark_slots && !long_active) count = echomark_slots;
    probe_facts_reset(&echomarkfacts, count);
    long_run_begin(&echomarklong, long_active, runopts.duration, runopts.every, platform::monotonic_seconds());

    char port[6];
    port_text(ipport, port);
    sender s;
    int family = destination(ipaddr, port, &s);
    s.sock = socketlib::udp_open(family);
    // Replies are timed from the kernel's receive stamps where it gives them.
    platform::receive_stamps_on(s.sock);
    set_probe_header(s.sock, family, &runopts);
    s.timeout = timeout;
    s.sendsize = sendsize;
    s.recvsize = recvsize;
    s.record = record;
    s.facts = &echomarkfacts;
    s.options = &runopts;
    unsigned char buffer[datagram_buffer_size];
    std::memset(buffer, 0, sizeof buffer);
    s.buffer = buffer;

    double start = utillib::getmicrotime();
    std::puts("echomark_connect(): echomark_send(void *arg):/echomark_recv(void *arg):");

    quiet_progress progress;
    quiet_progress_begin(&progress, s.options->quiet);
    for (int i = 0; i < count; i++) {
        double now = platform::monotonic_seconds();
        long_run_tick(&echomarklong, now, stdout);
        if (long_run_over(&echomarklong, now)) break;
        if (platform::stop_requested()) {
            quiet_progress_end(&progress);
            std::printf("echomark_connect(): stopped by signal %d at i=%06d\n", platform::stop_request_signal(), i);
            break;
        }
        echomarklong.cycles += 1;
        if (!probe_cycle(&s, i)) {
            quiet_progress_end(&progress);
            std::fflush(stdout);
            return;
        }
        quiet_progress_update(&progress, i + 1, count, record->sendpkts, record->recvpkts);
    }
    quiet_progress_end(&progress);
    // A long run's facts, table and files cover the cycles it ran, not the
    // count it was allowed (a --duration= run has no count of its own).
    if (long_active && echomarklong.cycles < s.facts->count) s.facts->count = static_cast<int32_t>(echomarklong.cycles);
    if (record->recvpkts < record->sendpkts && !drain(&s)) {
        std::fflush(stdout);
        return;
    }
    print_closing(record, start);
}
