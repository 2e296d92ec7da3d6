// Probe datagram, measurement record, echo responder and probe sender.
#include "tool/echomarkcli-select.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"
#include "tool/probe_facts.hpp"
#include "tool/quiet_progress.hpp"
#include "tool/run_options.hpp"
#include "utillib/utils.hpp"

echomark_record echomarkdata;
echomark_record* echomarkinfo = nullptr;

// --- probe datagram ------------------------------------------------------------

namespace {

// Byte offset of a header field, or -1 for a code that names none.
int value_offset(int code) {
    switch (code) {
        case value_reserved: return 0;
        case value_probe: return 4;
        case value_probesize: return 8;
        case value_replysize: return 12;
        default: return -1;
    }
}

}  // namespace

int data_value_get(const void* data, int code) {
    int offset = value_offset(code);
    if (offset < 0) return 0;
    const unsigned char* field = static_cast<const unsigned char*>(data) + offset;
    uint32_t value = static_cast<uint32_t>(field[0]) | static_cast<uint32_t>(field[1]) << 8 |
                     static_cast<uint32_t>(field[2]) << 16 | static_cast<uint32_t>(field[3]) << 24;
    return static_cast<int32_t>(value);
}

void data_value_set(void* data, int code, int value) {
    int offset = value_offset(code);
    if (offset < 0) return;
    unsigned char* field = static_cast<unsigned char*>(data) + offset;
    uint32_t bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; i++) field[i] = static_cast<unsigned char>(bits >> (8 * i));
}

// --- shared helpers of both loops ------------------------------------------------

namespace {

constexpr int stamp_size = 36;
constexpr int responder_receive_buffer = 4 << 20;
constexpr const char* stamp_format = "%Y/%m/%d %H:%M:%S";
// The header of a datagram must be readable even when fewer bytes arrived.
static_assert(datagram_buffer_size >= datagram_header_size);

// Local time stamp of a fresh clock reading.
const char* stamp_now(char* buffer) {
    return utillib::time2string(utillib::getmicrotime(), stamp_format, buffer, stamp_size, 6);
}

// An IPv4 address as its four bytes, most significant first, and the port.
struct address_parts {
    int a, b, c, d, port;
};

address_parts parts_of(const sockaddr_in& address) {
    uint32_t host = ntohl(address.sin_addr.s_addr);
    return {static_cast<int>(host >> 24 & 0xFF), static_cast<int>(host >> 16 & 0xFF),
            static_cast<int>(host >> 8 & 0xFF), static_cast<int>(host & 0xFF), ntohs(address.sin_port)};
}

// The address word as it lies in memory, read as a host integer.
unsigned int memory_word(const sockaddr_in& address) { return address.sin_addr.s_addr; }

// The port as text of at most five characters.
void port_text(int ipport, char (&text)[6]) { std::snprintf(text, sizeof text, "%d", ipport); }

// Error text for the negation of a failed call's result.
const char* error_text(int result) { return std::strerror(-result); }

// A line about one datagram or one wait; --quiet leaves them all out.
[[gnu::format(printf, 1, 2)]] void step_log(const char* format, ...) {
    if (runopts.quiet) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

}  // namespace

// --- echo responder --------------------------------------------------------------

int echomark_listen_open(const char* ipaddr, int ipport) {
    char port[6];
    port_text(ipport, port);
    std::printf("echomark_listen(): listaddr=create_sockaddrin(AF_INET, ipaddr=%s, ipport=%s):\n", ipaddr, port);
    sockaddr_in listaddr = socketlib::create_sockaddrin(AF_INET, ipaddr, port);
    address_parts at = parts_of(listaddr);
    std::printf("echomark_connect(): connaddr.sin_addr.s_addr=%08X (%d.%d.%d.%d) listaddr.sin_port=%d\n",
                memory_word(listaddr), at.a, at.b, at.c, at.d, at.port);
    // A responder that cannot open or bind its socket would wait for ever on
    // an unbound socket (or spin on a bad one), so say so and give up.
    int sock = socketlib::udp_open(AF_INET);
    if (sock < 0) {
        std::printf("echomark_listen(): sock=udp_open(AF_INET): sock=%d if (sock<0): error=%d:%s\n", sock, -sock,
                    error_text(sock));
        std::fflush(stdout);
        return sock;
    }
    int bound = socketlib::udp_bind(sock, &listaddr);
    if (bound < 0) {
        std::printf("echomark_listen(): result=udp_bind(%d.%d.%d.%d:%d): result=%d if (result<0): error=%d:%s\n",
                    at.a, at.b, at.c, at.d, at.port, bound, -bound, error_text(bound));
        std::fflush(stdout);
        socketlib::udp_close(sock);
        return bound;
    }
    // Bursts from many senders wait in the receive buffer instead of being
    // dropped while the responder logs; the system may grant less.
    socketlib::udp_sockoptset(sock, socketlib::SOCK_OPT_RCVBUF, responder_receive_buffer);
    return sock;
}

namespace {

// Takes the next datagram.  While more datagrams are already waiting the log
// stays in the output buffer; before the responder blocks, everything about
// the datagrams handled so far is written out, so a stop from outside loses
// none of it.
int receive_datagram(int sock, unsigned char* buffer, sockaddr_in* from) {
    int fromlen = sizeof *from;
    int recvsize = platform::recvfrom(sock, buffer, datagram_buffer_size, MSG_DONTWAIT, from, &fromlen);
    if (recvsize < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK) {
        std::fflush(stdout);
        fromlen = sizeof *from;
        recvsize = platform::recvfrom(sock, buffer, datagram_buffer_size, 0, from, &fromlen);
    }
    return recvsize;
}

// Answers one datagram.  `dirty` is how much of the buffer the previous
// datagram may have written; only that part is cleared, and the buffer still
// reads as zeros beyond what arrives.
void reply_one(int sock, int* counter, unsigned char* buffer, int* dirty) {
    char stamp[stamp_size];
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    std::memset(buffer, 0, static_cast<size_t>(*dirty));

    int recvsize = receive_datagram(sock, buffer, &from);
    // A failed receive may have left anything in the buffer.
    *dirty = recvsize >= 0 ? recvsize : datagram_buffer_size;
    int lastpkts = data_value_get(buffer, value_probe);
    address_parts peer = parts_of(from);
    step_log("%s echomark_listen(): [%06d] recvsize=udp_blockrecv(%d.%d.%d.%d:%d): recvsize=%d lastpkts=%06d\n",
             stamp_now(stamp), *counter, peer.a, peer.b, peer.c, peer.d, peer.port, recvsize, lastpkts);
    if (recvsize <= 0) {
        step_log("echomark_listen(): recvsize=udp_blockrecv(): recvsize=%d if (recvsize<=0): recvsize=%d:%s\n",
                 recvsize, -recvsize, error_text(recvsize));
        return;
    }
    // The reply length is the datagram's own request; one the buffer cannot
    // hold is not answered.
    int replysize = data_value_get(buffer, value_replysize);
    if (replysize < 0 || replysize > datagram_buffer_size) {
        step_log("echomark_listen(): [%06d] replysize=%d if (replysize<0 || replysize>%d): no reply\n", *counter,
                 replysize, datagram_buffer_size);
        return;
    }
    if (runopts.maxreply != run_options_no_reply_limit && replysize > runopts.maxreply) {
        // --maxreply: a small request must not buy a large reply towards a
        // source that may be forged.
        step_log("echomark_listen(): [%06d] replysize=%d if (replysize>maxreply=%d): no reply\n", *counter,
                 replysize, runopts.maxreply);
        return;
    }
    int sendsize = platform::sendto(sock, buffer, replysize, 0, &from, sizeof from);
    step_log("%s echomark_listen(): [%06d] sendsize=udp_send(%d.%d.%d.%d:%d): sendsize=%d lastpkts=%06d\n",
             stamp_now(stamp), *counter, peer.a, peer.b, peer.c, peer.d, peer.port, sendsize, lastpkts);
    if (sendsize <= 0) {
        step_log("echomark_listen(): sendsize=udp_send(): sendsize=%d if (sendsize<=0): sendsize=%d:%s\n", sendsize,
                 -sendsize, error_text(sendsize));
    }
    if (replysize != sendsize) {
        step_log("echomark_listen(): if (recvsize!=sendsize) recvsize=%d != sendsize=%d\n", replysize, sendsize);
    }
    // An endless responder may count past INT_MAX; wrap instead of overflowing.
    *counter = static_cast<int>(static_cast<uint32_t>(*counter) + 1U);
}

}  // namespace

void echomark_listen_reply(int sock, int* counter, unsigned char* buffer) {
    int dirty = datagram_buffer_size;
    reply_one(sock, counter, buffer, &dirty);
}

void echomark_listen_serve(int sock, long datagrams) {
    unsigned char buffer[datagram_buffer_size];
    int counter = 0;
    int dirty = datagram_buffer_size;
    for (long handled = 0; datagrams < 0 || handled < datagrams; handled++) {
        reply_one(sock, &counter, buffer, &dirty);
    }
    std::fflush(stdout);
}

void echomark_listen(const char* ipaddr, int ipport) {
    int sock = echomark_listen_open(ipaddr, ipport);
    if (sock < 0) return;
    echomark_listen_serve(sock, -1);
}

// --- probe sender ------------------------------------------------------------------

namespace {

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

int send_probe(int sock, const unsigned char* buffer, int length, const sockaddr_in* to) {
    int result = platform::sendto(sock, buffer, length, 0, to, sizeof *to);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK && retry < retry_limit;
         retry++) {
        result = platform::sendto(sock, buffer, length, 0, to, sizeof *to);
    }
    return result;
}

int receive_reply(int sock, unsigned char* buffer, sockaddr_in* from) {
    int fromlen = sizeof *from;
    int result = platform::recvfrom(sock, buffer, datagram_buffer_size, 0, from, &fromlen);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK && retry < retry_limit;
         retry++) {
        fromlen = sizeof *from;
        result = platform::recvfrom(sock, buffer, datagram_buffer_size, 0, from, &fromlen);
    }
    return result;
}

// The clock of Stime and Rtime: milliseconds of wall-clock time, or with
// --precise the monotonic clock's nanoseconds.
double probe_clock() { return runopts.precise ? platform::monotonic_seconds() : utillib::getmicrotime(); }

// The pause after a good reply: 1 ms, or what --interval= asked for.
void pause_after_reply() {
    if (!runopts.interval_given) {
        platform::Sleep(1);
    } else if (runopts.interval > 0.0) {
        platform::pause_seconds(runopts.interval);
    }
}

// Probe numbers outside the record come from foreign datagrams.
bool in_record(int probe) { return probe >= 0 && probe < echomark_slots; }

// The send length stays within the buffer, whatever the caller asked.
int clamp_size(int size) {
    if (size < 0) return 0;
    return size > datagram_buffer_size ? datagram_buffer_size : size;
}

struct sender {
    int sock;
    sockaddr_in connaddr;
    double timeout;
    int sendsize;
    int recvsize;
    echomark_record* record;
    unsigned char* buffer;
    char stamp[stamp_size];
};

// Phase 1, one cycle: wait for writability, send probe i, wait for
// readability, take one reply.  False when a wait failed.
bool probe_cycle(sender* s, int i) {
    echomark_record* r = s->record;
    platform::socket_set set;
    platform::socket_set_zero(&set);
    platform::socket_set_add(s->sock, &set);
    platform::timeval tv = platform::timeval_from_seconds(s->timeout);
    double reference = probe_clock();

    int result = wait_select(s->sock, nullptr, &set, &tv);
    if (result == 0) {
        step_log("%s echomark_connect():1 /%06d/%06d/%06d/ TIMEOUT: if (result==0) continue;\n",
                 stamp_now(s->stamp), i, r->sendpkts, r->recvpkts);
        return true;
    }
    if (result < 0) {
        step_log("%s echomark_connect():1 /%06d/%06d/%06d/ SOCKERR: if (result <0) return  ;\n",
                 stamp_now(s->stamp), i, r->sendpkts, r->recvpkts);
        return false;
    }
    if (platform::socket_set_has(s->sock, &set)) {
        std::memset(s->buffer, 0, datagram_buffer_size);
        r->lastpkts = i;
        data_value_set(s->buffer, value_probe, i);
        data_value_set(s->buffer, value_probesize, s->sendsize);
        data_value_set(s->buffer, value_replysize, s->recvsize);
        int sent = send_probe(s->sock, s->buffer, clamp_size(s->sendsize), &s->connaddr);
        r->Stime[i] = probe_clock() - reference;
        address_parts to = parts_of(s->connaddr);
        step_log("%s echomark_connect():1 i=%06d S=%06d R=%06d sendsize=udp_send(%d.%d.%d.%d:%d): argssize=%d "
                 "sendsize=%d time=%.6f\n",
                 stamp_now(s->stamp), i, r->sendpkts, r->recvpkts, to.a, to.b, to.c, to.d, to.port, s->sendsize,
                 sent, r->Stime[i]);
        if (sent <= 0) {
            step_log("%s echomark_send():1 i=%06d S=%06d R=%06d sendsize=udp_send(): sendsize=%d if (sendsize<=0): "
                     "error=%d:%s\n",
                     stamp_now(s->stamp), i, r->sendpkts, r->recvpkts, sent, -sent, error_text(sent));
        } else {
            r->sendpkts += 1;
            probe_facts_sent(&echomarkfacts, i);
        }
    }

    tv = platform::timeval_from_seconds(s->timeout);
    reference = probe_clock();
    result = wait_select(s->sock, &set, nullptr, &tv);
    if (result == 0) {
        step_log("%s echomark_connect():1 i=%06d S=%06d R=%06d result=select(): TIMEOUT: if (result==0) continue;\n",
                 stamp_now(s->stamp), i, r->sendpkts, r->recvpkts);
        return true;
    }
    if (result < 0) {
        step_log("%s echomark_connect():1 i=%06d S=%06d R=%06d result=select(): SOCKERR: if (result <0) return  ;\n",
                 stamp_now(s->stamp), i, r->sendpkts, r->recvpkts);
        return false;
    }
    if (!platform::socket_set_has(s->sock, &set)) {
        platform::Sleep(1);
        return true;
    }

    // Not cleared first: beyond what arrives the buffer still holds the probe.
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    int received = receive_reply(s->sock, s->buffer, &from);
    int probe = data_value_get(s->buffer, value_probe);
    r->lastpkts = probe;
    double waited = probe_clock() - reference;
    if (in_record(probe)) r->Rtime[probe] = waited;
    address_parts peer = parts_of(from);
    step_log("%s echomark_connect():1 i=%06d S=%06d R=%06d sendsize=udp_recv(%d.%d.%d.%d:%d): recvsize=%d "
             "lastpkts=%06d time=%.6f\n",
             stamp_now(s->stamp), i, r->sendpkts, r->recvpkts, peer.a, peer.b, peer.c, peer.d, peer.port, received,
             probe, r->Rtime[i]);
    if (received <= 0) {
        step_log("%s echomark_recv():1 i=%06d S=%06d R=%06d recvsize=udp_recv(): recvsize=%d if (recvsize<=0): "
                 "error=%d:%s\n",
                 stamp_now(s->stamp), i, r->sendpkts, r->recvpkts, received, -received, error_text(received));
        return true;
    }
    if (in_record(probe)) r->recvpkts += 1;
    probe_facts_reply(&echomarkfacts, probe, i, waited);
    pause_after_reply();
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
        platform::timeval tv = platform::timeval_from_seconds(s->timeout);
        int result = wait_select(s->sock, &set, nullptr, &tv);
        if (result == 0) {
            step_log("%s echomark_connect():2 i=%06d S=%06d R=%06d TIMEOUT: if (result==0) continue;\n",
                     stamp_now(s->stamp), i, r->sendpkts, r->recvpkts);
            return true;
        }
        if (result < 0) {
            step_log("%s echomark_connect():2 i=%06d S=%06d R=%06d SOCKERR: if (result <0) return;\n",
                     stamp_now(s->stamp), i, r->sendpkts, r->recvpkts);
            return false;
        }
        if (!platform::socket_set_has(s->sock, &set)) continue;

        sockaddr_in from;
        std::memset(&from, 0, sizeof from);
        int received = receive_reply(s->sock, s->buffer, &from);
        int probe = data_value_get(s->buffer, value_probe);
        r->lastpkts = probe;
        address_parts peer = parts_of(from);
        step_log("%s echomark_connect():2 i=%06d S=%06d R=%06d sendsize=udp_recv(%d.%d.%d.%d:%d): recvsize=%d "
                 "lastpkts=%06d\n",
                 stamp_now(s->stamp), i, r->sendpkts, r->recvpkts, peer.a, peer.b, peer.c, peer.d, peer.port,
                 received, probe);
        if (received <= 0) {
            step_log("%s echomark_connect():2 i=%06d S=%06d R=%06d recvsize=udp_recv(): recvsize=%d if "
                     "(recvsize<=0): recvsize=%d:%s\n",
                     stamp_now(s->stamp), i, r->sendpkts, r->recvpkts, received, -received, error_text(received));
        } else {
            if (in_record(probe)) r->recvpkts += 1;
            probe_facts_reply(&echomarkfacts, probe, facts_drain_cycle, 0.0);
        }
    }
    return true;
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
    std::printf("echomark_connect(): connaddr=create_sockaddrin(AF_INET, ipaddr=%s, ipport=%s):\n", ipaddr, port);
    sender s;
    s.connaddr = socketlib::create_sockaddrin(AF_INET, ipaddr, port);
    address_parts to = parts_of(s.connaddr);
    std::printf("echomark_connect(): connaddr.sin_addr.s_addr=%08X (%d.%d.%d.%d) connaddr.sin_port=%d\n",
                memory_word(s.connaddr), to.a, to.b, to.c, to.d, to.port);
    s.sock = socketlib::udp_open(AF_INET);
    s.timeout = timeout;
    s.sendsize = sendsize;
    s.recvsize = recvsize;
    s.record = record;
    unsigned char buffer[datagram_buffer_size];
    std::memset(buffer, 0, sizeof buffer);
    s.buffer = buffer;

    double start = utillib::getmicrotime();
    std::puts("echomark_connect(): echomark_send(void *arg):/echomark_recv(void *arg):");

    quiet_progress progress;
    quiet_progress_begin(&progress, runopts.quiet);
    for (int i = 0; i < count; i++) {
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

    double now = utillib::getmicrotime();
    std::printf("echomark_connect(): difftime=%f [s] (%f - %f)\n", now - start, now, start);
    std::printf("echomark_connect(): sendpkts=%d\n", record->sendpkts);
    std::printf("echomark_connect(): recvpkts=%d\n", record->recvpkts);
    std::printf("echomark_connect(): lastpkts+1=%d\n", static_cast<int>(static_cast<uint32_t>(record->lastpkts) + 1U));
    if (record->sendpkts <= 0) {
        std::puts("echomark_connect(): sendpkts==0");
    } else {
        std::printf("echomark_connect(): recvpkts/sendpkts=%05.3f[%%]\n",
                    static_cast<double>(record->recvpkts) * 100.0 / static_cast<double>(record->sendpkts));
    }
    std::fflush(stdout);
}
