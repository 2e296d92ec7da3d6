// The probe sender: sends numbered probes one at a time, waits for each
// reply, times both, then waits once more for the replies still missing.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"
#include "tool/echomarkcli-select.hpp"
#include "tool/probe_facts.hpp"
#include "tool/quiet_progress.hpp"
#include "tool/run_options.hpp"
#include "tool/step_log.hpp"
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

int receive_reply(int sock, unsigned char* buffer, sockaddr_in6* from) {
    int fromlen = sizeof *from;
    int result = platform::recvfrom(sock, buffer, datagram_buffer_size, 0, from, &fromlen);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK && retry < retry_limit;
         retry++) {
        fromlen = sizeof *from;
        result = platform::recvfrom(sock, buffer, datagram_buffer_size, 0, from, &fromlen);
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

// Probe numbers outside the record come from foreign datagrams.
bool in_record(int probe) { return probe >= 0 && probe < echomark_slots; }

// The send length stays within the buffer, whatever the caller asked.
int clamp_size(int size) {
    if (size < 0) return 0;
    return size > datagram_buffer_size ? datagram_buffer_size : size;
}

// A wait on the socket alone, with the time-out set afresh.
int wait_socket(const sender* s, platform::socket_set* set, bool for_read) {
    platform::timeval tv = platform::timeval_from_seconds(s->timeout);
    return for_read ? wait_select(s->sock, set, nullptr, &tv) : wait_select(s->sock, nullptr, set, &tv);
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
    int sent = send_probe(s->sock, s->buffer, clamp_size(s->sendsize), &s->connaddr, s->connaddr_length);
    r->Stime[i] = probe_clock(s) - reference;
    char to[peer_text_size];
    cycle_log("echomark_connect():1", i, r->sendpkts, r->recvpkts,
              "sendsize=udp_send(%s): argssize=%d sendsize=%d time=%.6f\n", peer_text(&s->connaddr, to), s->sendsize,
              sent, r->Stime[i]);
    if (sent <= 0) {
        cycle_log("echomark_send():1", i, r->sendpkts, r->recvpkts,
                  "sendsize=udp_send(): sendsize=%d if (sendsize<=0): error=%d:%s\n", sent, -sent, error_text(sent));
    } else {
        r->sendpkts += 1;
        probe_facts_sent(s->facts, i);
    }
}

// Phase 1, one cycle: wait for writability, send probe i, wait for
// readability, take one reply.  False when a wait failed.
bool probe_cycle(sender* s, int i) {
    echomark_record* r = s->record;
    char stamp[stamp_size];
    platform::socket_set set;
    platform::socket_set_zero(&set);
    platform::socket_set_add(s->sock, &set);
    double reference = probe_clock(s);

    int result = wait_socket(s, &set, false);
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
    result = wait_socket(s, &set, true);
    if (result == 0) {
        cycle_log("echomark_connect():1", i, r->sendpkts, r->recvpkts,
                  "result=select(): TIMEOUT: if (result==0) continue;\n");
        return true;
    }
    if (result < 0) {
        cycle_log("echomark_connect():1", i, r->sendpkts, r->recvpkts,
                  "result=select(): SOCKERR: if (result <0) return  ;\n");
        return false;
    }
    if (!platform::socket_set_has(s->sock, &set)) {
        platform::Sleep(1);
        return true;
    }

    // Not cleared first: beyond what arrives the buffer still holds the probe.
    sockaddr_in6 from;
    std::memset(&from, 0, sizeof from);
    int received = receive_reply(s->sock, s->buffer, &from);
    int probe = data_value_get(s->buffer, value_probe);
    r->lastpkts = probe;
    double waited = probe_clock(s) - reference;
    if (in_record(probe)) r->Rtime[probe] = waited;
    char peer[peer_text_size];
    cycle_log("echomark_connect():1", i, r->sendpkts, r->recvpkts,
              "sendsize=udp_recv(%s): recvsize=%d lastpkts=%06d time=%.6f\n", peer_text(&from, peer), received, probe,
              r->Rtime[i]);
    if (received <= 0) {
        cycle_log("echomark_recv():1", i, r->sendpkts, r->recvpkts,
                  "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): error=%d:%s\n", received, -received,
                  error_text(received));
        return true;
    }
    if (in_record(probe)) r->recvpkts += 1;
    probe_facts_reply(s->facts, probe, i, waited);
    pause_after_reply(s);
    return true;
}

// Phase 2: waits for the replies still missing, up to the first silent wait.
// False when a wait failed.
bool drain(sender* s) {
    echomark_record* r = s->record;
    for (int i = r->recvpkts; i < r->sendpkts; i++) {
        platform::socket_set set;
        platform::socket_set_zero(&set);
        platform::socket_set_add(s->sock, &set);
        int result = wait_socket(s, &set, true);
        if (result == 0) {
            cycle_log("echomark_connect():2", i, r->sendpkts, r->recvpkts, "TIMEOUT: if (result==0) continue;\n");
            return true;
        }
        if (result < 0) {
            cycle_log("echomark_connect():2", i, r->sendpkts, r->recvpkts, "SOCKERR: if (result <0) return;\n");
            return false;
        }
        if (!platform::socket_set_has(s->sock, &set)) continue;

        sockaddr_in6 from;
        std::memset(&from, 0, sizeof from);
        int received = receive_reply(s->sock, s->buffer, &from);
        int probe = data_value_get(s->buffer, value_probe);
        r->lastpkts = probe;
        char peer[peer_text_size];
        cycle_log("echomark_connect():2", i, r->sendpkts, r->recvpkts,
                  "sendsize=udp_recv(%s): recvsize=%d lastpkts=%06d\n", peer_text(&from, peer), received, probe);
        if (received <= 0) {
            cycle_log("echomark_connect():2", i, r->sendpkts, r->recvpkts,
                      "recvsize=udp_recv(): recvsize=%d if (recvsize<=0): recvsize=%d:%s\n", received, -received,
                      error_text(received));
        } else {
            if (in_record(probe)) r->recvpkts += 1;
            probe_facts_reply(s->facts, probe, facts_drain_cycle, 0.0);
        }
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
                f.name, f.value, result, -result, error_text(result));
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
    // The record has one slot per probe.
    if (count > echomark_slots) count = echomark_slots;
    probe_facts_reset(&echomarkfacts, count);

    char port[6];
    port_text(ipport, port);
    sender s;
    int family = destination(ipaddr, port, &s);
    s.sock = socketlib::udp_open(family);
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
        if (platform::stop_requested()) {
            quiet_progress_end(&progress);
            std::printf("echomark_connect(): stopped by signal %d at i=%06d\n", platform::stop_request_signal(), i);
            break;
        }
        if (!probe_cycle(&s, i)) {
            quiet_progress_end(&progress);
            std::fflush(stdout);
            return;
        }
        quiet_progress_update(&progress, i + 1, count, record->sendpkts, record->recvpkts);
    }
    quiet_progress_end(&progress);
    if (record->recvpkts < record->sendpkts && !drain(&s)) {
        std::fflush(stdout);
        return;
    }
    print_closing(record, start);
}
