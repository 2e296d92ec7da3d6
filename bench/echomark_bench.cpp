// Benchmark of the measurement path, loopback only, bounded in time.
//
// It runs the real program (its log going to a file) side by side with bare
// reference loops that do the same network work and nothing else:
//   1. responder: a window of 16 outstanding probes against the real
//      responder, a bare recvfrom/sendto echo loop, and a bare batched loop
//      (recvmmsg/sendmmsg), in many short rounds compared round by round;
//      the same with the responder's --metrics endpoint open, and with
//      STAMP test packets against --stamp;
//   2. sender: the real sender (2000 probes) and a bare ping-pong loop with
//      the same 1 ms pause, both against the real responder;
//   3. the round trip the sender reports (--precise --stats, 64 bytes) and
//      the send-to-receive time of a bare ping-pong loop with the same pause;
//   4. 32 real senders at once against one responder;
//   5. the scheduled sender (--rate=) against the responder at 10,000
//      probes/s, and a ramp to the highest rate it keeps without loss and
//      on time, beside sockperf's under-load mode and irtt at their shortest
//      intervals (installed from Debian for the benchmark only; a line says
//      so when one is missing);
//   6. the scheduled sender with its metrics endpoint scraped every second,
//      its lag behind the schedule without and with a hundred silent HTTP
//      connections and a 1 MiB header.
// The reference loops call the system's socket functions directly on
// purpose: they are the yardstick the program is measured against.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/clock.hpp"

namespace {

const char* program_path = nullptr;
std::string work_folder;

double now()
{
    return platform::monotonic_seconds();
}

int free_udp_port()
{
    int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(sock);
    return ntohs(address.sin_port);
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// Probe header: reserved, probe number, probe size, reply size (little-endian).
void write_probe(unsigned char* buffer, int number, int size, int reply)
{
    int32_t fields[4] = {0, number, size, reply};
    std::memcpy(buffer, fields, sizeof fields);
}

int32_t field(const unsigned char* buffer, int offset)
{
    int32_t value;
    std::memcpy(&value, buffer + offset, sizeof value);
    return value;
}

// Runs the program with its standard output going to `log_path`.
pid_t start_program(const std::vector<std::string>& arguments, const std::string& log_path)
{
    pid_t pid = fork();
    if (pid == 0) {
        FILE* log = std::freopen(log_path.c_str(), "w", stdout);
        if (log == nullptr)
            _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program_path));
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program_path, argv.data());
        _exit(127);
    }
    return pid;
}

pid_t start_responder(int port, const std::string& log_path, const std::vector<std::string>& options = {})
{
    std::vector<std::string> arguments = {"-l", "-h", "127.0.0.1", "-p", std::to_string(port)};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return start_program(arguments, log_path);
}

int free_tcp_port()
{
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(sock);
    return ntohs(address.sin_port);
}

// Length of a bare loop's reply: what the probe asks for, or (own_length,
// as a STAMP reflector answers) the datagram's own length.
int bare_reply_length(const unsigned char* buffer, ssize_t received, bool own_length)
{
    if (own_length)
        return static_cast<int>(received);
    return received >= 16 ? field(buffer, 12) : 0;
}

// The reference responder: receive, answer with the asked length, nothing else.
[[noreturn]] void bare_echo_loop(int port, bool own_length)
{
    int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4 << 20;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address = loopback(port);
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        _exit(1);
    static unsigned char buffer[65536];
    for (;;) {
        sockaddr_in from;
        socklen_t from_length = sizeof from;
        ssize_t received = ::recvfrom(sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
        if (received < 0)
            continue;
        int32_t reply = bare_reply_length(buffer, received, own_length);
        if (reply < 0 || reply > static_cast<int32_t>(sizeof buffer))
            continue;
        ::sendto(sock, buffer, static_cast<size_t>(reply), 0, reinterpret_cast<sockaddr*>(&from), from_length);
    }
}

// The batched reference: every datagram already waiting in one recvmmsg,
// their replies in one sendmmsg, nothing else.
[[noreturn]] void bare_batched_loop(int port, bool own_length)
{
    int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4 << 20;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address = loopback(port);
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        _exit(1);
    constexpr int batch = 32;
    static unsigned char buffers[batch][65536];
    static sockaddr_in from[batch];
    static iovec parts[batch];
    static mmsghdr messages[batch];
    for (;;) {
        for (int i = 0; i < batch; ++i) {
            parts[i] = {buffers[i], sizeof buffers[i]};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &from[i];
            messages[i].msg_hdr.msg_namelen = sizeof from[i];
        }
        int taken = ::recvmmsg(sock, messages, batch, MSG_WAITFORONE, nullptr);
        if (taken <= 0)
            continue;
        int replies = 0;
        for (int i = 0; i < taken; ++i) {
            int32_t reply = bare_reply_length(buffers[i], messages[i].msg_len, own_length);
            if (reply < 0 || reply > 65536)
                continue;
            parts[i].iov_len = static_cast<size_t>(reply);
            if (replies != i)
                messages[replies] = messages[i];
            ++replies;
        }
        if (replies > 0)
            ::sendmmsg(sock, messages, static_cast<unsigned int>(replies), 0);
    }
}

pid_t start_bare_echo(int port, bool batched = false, bool own_length = false)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (batched)
            bare_batched_loop(port, own_length);
        bare_echo_loop(port, own_length);
    }
    return pid;
}

void stop(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

int connected_socket(int port)
{
    int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4 << 20;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address = loopback(port);
    ::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return sock;
}

// Waits (at most 5 s) until something answers probes on the port.  While
// nothing is bound there, loopback refuses each probe at once, so the
// attempts are paced rather than counted.
bool wait_until_answering(int port)
{
    int sock = connected_socket(port);
    unsigned char buffer[64] = {};
    write_probe(buffer, 0, 64, 64);
    bool answered = false;
    double give_up = now() + 5.0;
    while (!answered && now() < give_up) {
        ::send(sock, buffer, sizeof buffer, 0);
        pollfd wait{sock, POLLIN, 0};
        if (::poll(&wait, 1, 50) > 0 && ::recv(sock, buffer, sizeof buffer, 0) > 0)
            answered = true;
        else
            platform::Sleep(20);
    }
    ::close(sock);
    return answered;
}

struct load_result {
    long sent;
    long replies;
    double seconds;
};

// A STAMP session-sender's test packet of `size` bytes: the sequence
// number, T1 (NTP format), an error estimate (unsynchronized, 1 s), zeros.
void write_stamp_request(unsigned char* buffer, int number, int size)
{
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    timespec calendar;
    clock_gettime(CLOCK_REALTIME, &calendar);
    uint64_t seconds = static_cast<uint64_t>(calendar.tv_sec) + 2208988800ULL;
    uint64_t fraction = (static_cast<uint64_t>(calendar.tv_nsec) << 32) / 1000000000ULL;
    uint32_t fields[3] = {htonl(static_cast<uint32_t>(number)), htonl(static_cast<uint32_t>(seconds)),
                          htonl(static_cast<uint32_t>(fraction))};
    std::memcpy(buffer, fields, sizeof fields);
    buffer[12] = 0x19;  // scale 25
    buffer[13] = 0x80;  // multiplier 128
}

// Keeps `window` probes (STAMP test packets when `stamp`) outstanding for
// `seconds`; a probe whose reply does not come within 200 ms counts as lost
// and is replaced.
load_result windowed_load(int port, int size, int reply, int window, double seconds, bool stamp = false)
{
    int sock = connected_socket(port);
    static unsigned char buffer[65536];
    load_result result{0, 0, 0};
    int outstanding = 0;
    double start = now();
    double end = start + seconds;
    while (now() < end) {
        while (outstanding < window) {
            // Numbers are never repeated: the responder takes the same number
            // again and again from one source for a loop.
            if (stamp)
                write_stamp_request(buffer, static_cast<int>(result.sent), size);
            else
                write_probe(buffer, static_cast<int>(result.sent), size, reply);
            if (::send(sock, buffer, static_cast<size_t>(size), 0) < 0)
                break;
            ++result.sent;
            ++outstanding;
        }
        pollfd wait{sock, POLLIN, 0};
        if (::poll(&wait, 1, 200) <= 0) {
            outstanding = 0;  // the window is lost: start a new one
            continue;
        }
        while (::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
            ++result.replies;
            --outstanding;
        }
    }
    result.seconds = now() - start;
    // Replies still on their way are not lost: the wait ends when the last
    // one is in, or after 100 ms of silence (on loopback they come within
    // microseconds).
    pollfd wait{sock, POLLIN, 0};
    while (outstanding > 0 && ::poll(&wait, 1, 100) > 0 && ::recv(sock, buffer, sizeof buffer, 0) >= 0) {
        ++result.replies;
        --outstanding;
    }
    ::close(sock);
    return result;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

struct ping_pong_result {
    double seconds;
    long replies;
    std::vector<double> pauses;
    std::vector<double> round_trips;  // from just before the send until the receive returned
    std::vector<double> stamped;      // from just before the send until the kernel's receive stamp
};

// Receives one datagram; *stamp is the kernel's receive stamp on the
// calendar clock in seconds, or 0 when there is none.
ssize_t receive_stamped(int sock, unsigned char* buffer, std::size_t size, double* stamp)
{
    iovec part{buffer, size};
    alignas(cmsghdr) unsigned char control[64];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received = ::recvmsg(sock, &message, 0);
    *stamp = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec at;
        std::memcpy(&at, CMSG_DATA(c), sizeof at);
        *stamp = static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
    }
    return received;
}

double calendar_now()
{
    timespec at;
    clock_gettime(CLOCK_REALTIME, &at);
    return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
}

// The reference sender: one probe, one reply, the same 1 ms pause.
ping_pong_result ping_pong(int port, int count, int size = 8192, int reply = 9192)
{
    int sock = connected_socket(port);
    int on = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    static unsigned char buffer[65536];
    ping_pong_result result{0, 0, {}, {}, {}};
    result.pauses.reserve(static_cast<std::size_t>(count));
    result.round_trips.reserve(static_cast<std::size_t>(count));
    result.stamped.reserve(static_cast<std::size_t>(count));
    double start = now();
    for (int i = 0; i < count; ++i) {
        std::memset(buffer, 0, sizeof buffer);
        write_probe(buffer, i, size, reply);
        // The kernel stamps arrivals on the calendar clock: the stamped
        // round trip reads the send on that clock too.
        double sent_calendar = calendar_now();
        double sent = now();
        ::send(sock, buffer, static_cast<size_t>(size), 0);
        pollfd wait{sock, POLLIN, 0};
        double stamp = 0;
        if (::poll(&wait, 1, 250) > 0 && receive_stamped(sock, buffer, sizeof buffer, &stamp) > 0) {
            result.round_trips.push_back(now() - sent);
            if (stamp > 0)
                result.stamped.push_back(stamp - sent_calendar);
            ++result.replies;
            double before = now();
            platform::Sleep(1);
            result.pauses.push_back(now() - before);
        }
    }
    result.seconds = now() - start;
    ::close(sock);
    return result;
}

std::string read_file(const std::string& path)
{
    std::string text;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return text;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    std::fclose(file);
    return text;
}

// The ratio line of a sender's run report, or "" when it is missing.
std::string report_ratio(const std::string& log)
{
    const std::string key = "main(): recvpkts/sendpkts=";
    std::size_t at = log.find(key);
    if (at == std::string::npos)
        return "";
    std::size_t end = log.find('\n', at);
    return log.substr(at + key.size(), end - at - key.size());
}

void verdict(const char* what, bool met)
{
    std::printf("  target %-60s %s\n", what, met ? "met" : "MISSED");
}

void add(load_result* total, const load_result& slice)
{
    total->sent += slice.sent;
    total->replies += slice.replies;
    total->seconds += slice.seconds;
}

double rate(const load_result& load)
{
    return load.seconds > 0 ? load.replies / load.seconds : 0;
}

// One row of section 1: the real responder with `options` against the two
// bare loops, fed probes of `size` bytes asking `reply` (STAMP: test
// packets of `size` bytes, which every loop answers with their own length).
struct responder_row {
    const char* title;
    std::vector<std::string> options;
    bool stamp;
    int size;
    int reply;
    bool targets;
};

void bench_responder(const responder_row& row)
{
    int bare_port = free_udp_port();
    pid_t bare = start_bare_echo(bare_port, false, row.stamp);
    int batched_port = free_udp_port();
    pid_t batched = start_bare_echo(batched_port, true, row.stamp);
    int port = free_udp_port();
    std::string log = work_folder + "/responder.log";
    pid_t responder = start_responder(port, log, row.options);
    if (!wait_until_answering(bare_port) || !wait_until_answering(batched_port) || !wait_until_answering(port)) {
        std::printf("  responder did not start\n");
        stop(bare);
        stop(batched);
        stop(responder);
        return;
    }
    // Many short rounds, each running the three one after the other (in an
    // order that turns round by round), compared within the round: the
    // machine's other load comes and goes in bursts that a round mostly
    // shares.  The median of the per-round ratios is the figure; the ratio
    // of the totals is shown beside it.
    constexpr int rounds = 60;
    constexpr double slice_seconds = 0.05;
    const int ports[3] = {bare_port, batched_port, port};
    load_result totals[3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    std::vector<double> to_bare;
    std::vector<double> to_batched;
    for (int round = 0; round < rounds; ++round) {
        load_result slice[3];
        for (int k = 0; k < 3; ++k) {
            int which = (round + k) % 3;
            slice[which] = windowed_load(ports[which], row.size, row.reply, 16, slice_seconds, row.stamp);
            add(&totals[which], slice[which]);
        }
        if (rate(slice[0]) > 0 && rate(slice[1]) > 0) {
            to_bare.push_back(rate(slice[2]) / rate(slice[0]));
            to_batched.push_back(rate(slice[2]) / rate(slice[1]));
        }
    }
    stop(bare);
    stop(batched);
    stop(responder);
    const load_result& reference = totals[0];
    const load_result& reference_batched = totals[1];
    const load_result& measured = totals[2];
    double ratio = percentile(to_bare, 0.5);
    double batched_ratio = percentile(to_batched, 0.5);
    std::printf(
        "  %s: bare loop %9.0f replies/s (loss %ld), bare batched %9.0f replies/s (loss %ld), "
        "echomark %9.0f replies/s (loss %ld), ratio %.2f to the bare loop, %.2f to the batched one (medians of %d "
        "rounds; of the totals %.2f and %.2f)\n",
        row.title, rate(reference), reference.sent - reference.replies, rate(reference_batched),
        reference_batched.sent - reference_batched.replies, rate(measured), measured.sent - measured.replies, ratio,
        batched_ratio, rounds, rate(measured) / rate(reference), rate(measured) / rate(reference_batched));
    if (row.targets) {
        std::string name = std::string(row.stamp ? "STAMP reflector" : "responder") +
                           (row.options.empty() || row.stamp ? "" : " --metrics");
        verdict((name + " at least 1.0 of the bare loop").c_str(), ratio >= 1.0);
        verdict((name + " at least 0.8 of the bare batched loop").c_str(), batched_ratio >= 0.8);
        verdict((name + " loses nothing at a window of 16").c_str(), measured.sent == measured.replies);
    }
    unlink(log.c_str());
}

// The real responder on a free port, logging to a file (or, quiet, only its
// set-up lines, as the other tools' servers), once it answers; -1 (after a
// line saying so) when it does not.
pid_t start_answering_responder(int* port, std::string* log, bool quiet = false)
{
    *port = free_udp_port();
    *log = work_folder + "/responder.log";
    pid_t responder = start_responder(*port, *log, quiet ? std::vector<std::string>{"--quiet"} : std::vector<std::string>{});
    if (!wait_until_answering(*port)) {
        std::printf("  responder did not start\n");
        stop(responder);
        return -1;
    }
    return responder;
}

void bench_sender()
{
    int port = 0;
    std::string responder_log;
    pid_t responder = start_answering_responder(&port, &responder_log);
    if (responder < 0)
        return;
    constexpr int count = 2000;
    ping_pong_result reference = ping_pong(port, count);

    std::string sender_log = work_folder + "/sender.log";
    double start = now();
    pid_t sender =
        start_program({"-h", "127.0.0.1", "-p", std::to_string(port), "-c", std::to_string(count)}, sender_log);
    waitpid(sender, nullptr, 0);
    double sender_seconds = now() - start;
    stop(responder);

    double reference_rate = count / reference.seconds;
    double sender_rate = count / sender_seconds;
    double ratio = sender_rate / reference_rate;
    double median = percentile(reference.pauses, 0.5) * 1000;
    double p99 = percentile(reference.pauses, 0.99) * 1000;
    std::printf("  %d probes: bare ping-pong %7.0f probes/s, echomark %7.0f probes/s (%s), ratio %.3f\n", count,
                reference_rate, sender_rate, report_ratio(read_file(sender_log)).c_str(), ratio);
    std::printf("  1 ms pause: median %.3f ms, 99th percentile %.3f ms\n", median, p99);
    verdict("sender at least 0.95 of the bare ping-pong loop", ratio >= 0.95);
    verdict("pause median at most 1.05 ms", median <= 1.05);
    unlink(responder_log.c_str());
    unlink(sender_log.c_str());
}

// The round trips (the rtt column) of a sender's --csv file.
std::vector<double> csv_round_trips(const std::string& csv)
{
    std::vector<double> values;
    std::size_t at = csv.find('\n');  // after the header
    while (at != std::string::npos && at + 1 < csv.size() && csv[at + 1] != '\n') {
        std::size_t end = csv.find('\n', at + 1);
        std::string line = csv.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        // index,sent,stime,rtime,reply,replies,rtt,sent_at
        std::size_t field = 0;
        for (int commas = 0; commas < 6 && field != std::string::npos; ++commas)
            field = line.find(',', field + (commas == 0 ? 0 : 1));
        if (field != std::string::npos && field + 1 < line.size() && line[field + 1] != ',')
            values.push_back(std::atof(line.c_str() + field + 1));
        at = end;
    }
    return values;
}

void bench_round_trip()
{
    int port = 0;
    std::string responder_log;
    pid_t responder = start_answering_responder(&port, &responder_log);
    if (responder < 0)
        return;
    // The bare loop and the program take turns in short slices, so a change
    // in the machine's other load weighs on both sides alike.  The program's
    // round trips are those behind its --stats figures, from its CSV file.
    constexpr int slices = 5;
    constexpr int per_slice = 400;
    std::vector<double> bare;
    std::vector<double> returned;
    std::vector<double> measured;
    std::string sender_log = work_folder + "/sender.log";
    std::string sender_csv = work_folder + "/sender.csv";
    for (int slice = 0; slice < slices; ++slice) {
        ping_pong_result reference = ping_pong(port, per_slice, 64, 64);
        bare.insert(bare.end(), reference.stamped.begin(), reference.stamped.end());
        returned.insert(returned.end(), reference.round_trips.begin(), reference.round_trips.end());
        pid_t sender = start_program({"-h", "127.0.0.1", "-p", std::to_string(port), "-c", std::to_string(per_slice),
                                      "--sendsize=64", "--recvsize=64", "--precise", "--stats", "--csv=" + sender_csv},
                                     sender_log);
        waitpid(sender, nullptr, 0);
        std::vector<double> ours = csv_round_trips(read_file(sender_csv));
        measured.insert(measured.end(), ours.begin(), ours.end());
    }
    stop(responder);

    // The sender times a round trip from just before its send to the
    // kernel's receive stamp of the reply, both on the calendar clock; the
    // bare loop's figure on the same terms is the yardstick.  Its time until
    // its receive returned (the wake-up included) is shown beside it.
    double reference_median = percentile(bare, 0.5) * 1e6;
    double measured_median = percentile(measured, 0.5) * 1e6;
    double ratio = reference_median > 0 ? measured_median / reference_median : 0;
    std::printf(
        "  64-byte probes, %d x %d each, median round trip: echomark --precise --stats %.1f us (%zu replies), bare "
        "ping-pong to the kernel's receive stamp %.1f us (until its receive returned %.1f us), ratio %.3f\n",
        slices, per_slice, measured_median, measured.size(), reference_median, percentile(returned, 0.5) * 1e6,
        ratio);
    verdict("sender round trip within 10 % of the bare loop's",
            measured.size() == static_cast<std::size_t>(slices * per_slice) && ratio >= 0.9 && ratio <= 1.1);
    unlink(responder_log.c_str());
    unlink(sender_log.c_str());
    unlink(sender_csv.c_str());
}

void bench_concurrent_senders()
{
    constexpr int senders = 32;
    constexpr int count = 1000;
    int port = 0;
    std::string responder_log;
    pid_t responder = start_answering_responder(&port, &responder_log);
    if (responder < 0)
        return;
    pid_t pids[senders];
    std::string logs[senders];
    double start = now();
    for (int i = 0; i < senders; ++i) {
        logs[i] = work_folder + "/sender" + std::to_string(i) + ".log";
        pids[i] = start_program({"-h", "127.0.0.1", "-p", std::to_string(port), "-c", std::to_string(count)}, logs[i]);
    }
    for (pid_t pid : pids)
        waitpid(pid, nullptr, 0);
    double seconds = now() - start;
    stop(responder);

    int complete = 0;
    std::printf("  %d senders of %d probes in %.1f s; reply ratio of each:\n ", senders, count, seconds);
    for (int i = 0; i < senders; ++i) {
        std::string ratio = report_ratio(read_file(logs[i]));
        if (ratio == "100.000[%]")
            ++complete;
        std::printf(" %s", ratio.empty() ? "(no report)" : ratio.c_str());
        if (i % 8 == 7)
            std::printf("\n ");
        unlink(logs[i].c_str());
    }
    std::printf("\n");
    verdict("every concurrent sender reports 100.000[%]", complete == senders);
    unlink(responder_log.c_str());
}

// --- 5. scheduled sender ------------------------------------------------------

// A program run to its end with its output in a file: the output, and the
// processor time it used (user and system).
struct timed_run {
    std::string log;
    double cpu_seconds;
};

timed_run run_to_end(const char* program, const std::vector<std::string>& arguments, const std::string& log_path)
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        FILE* log = std::freopen(log_path.c_str(), "w", stdout);
        if (log == nullptr || dup2(STDOUT_FILENO, STDERR_FILENO) < 0)
            _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program));
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execvp(program, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    timed_run run;
    run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.log = read_file(log_path);
    unlink(log_path.c_str());
    return run;
}

// The number after `key` in the first line holding `anchor`; NAN when none.
double number_after(const std::string& log, const std::string& anchor, const std::string& key)
{
    std::size_t line = log.find(anchor);
    if (line == std::string::npos)
        return NAN;
    std::size_t at = log.find(key, line);
    std::size_t end = log.find('\n', line);
    if (at == std::string::npos || (end != std::string::npos && at > end))
        return NAN;
    return std::atof(log.c_str() + at + key.size());
}


// One tool at one rate for a while: what left, what came back, how well it
// kept to the rate, and the processor time per probe.
struct rate_step {
    bool ran = false;
    double asked = 0;
    double sent = 0;
    double lost = 0;
    double achieved = 0;  // probes per second
    double lag_p99 = NAN;  // lag behind the schedule, where the tool reports it
    double cpu_per_probe = 0;
    // The rate kept without loss.
    bool kept() const { return ran && sent > 0 && lost == 0 && achieved >= asked * 0.999; }
    // And on time: the lag's p99 at most 100 us (where the tool reports it).
    bool on_time() const { return kept() && !(lag_p99 > 100e-6); }
};

rate_step echomark_at(int port, double rate, double seconds)
{
    char rate_text[32];
    std::snprintf(rate_text, sizeof rate_text, "%.0f", rate);
    timed_run run = run_to_end(program_path,
                               {"-h", "127.0.0.1", "-p", std::to_string(port), std::string("--rate=") + rate_text,
                                "--duration=" + std::to_string(seconds), "--sendsize=64", "--recvsize=64", "-t", "0.2",
                                "--quiet", "--stats"},
                               work_folder + "/scheduled.log");
    rate_step step;
    step.asked = rate;
    step.sent = number_after(run.log, "stats(): probes=", "probes=");
    step.lost = number_after(run.log, "stats(): probes=", "lost=");
    step.achieved = number_after(run.log, "stats(): achieved rate=", "rate=");
    step.lag_p99 = number_after(run.log, "stats(): lag median=", "p99=");
    step.ran = step.sent > 0;
    step.cpu_per_probe = step.sent > 0 ? run.cpu_seconds / step.sent : 0;
    return step;
}

rate_step sockperf_at(int port, double rate, double seconds)
{
    timed_run run = run_to_end("sockperf",
                               {"under-load", "-i", "127.0.0.1", "-p", std::to_string(port),
                                "--mps=" + std::to_string(static_cast<long>(rate)), "-t",
                                std::to_string(static_cast<int>(seconds)), "-m", "64"},
                               work_folder + "/sockperf.log");
    rate_step step;
    step.asked = rate;
    double run_time = number_after(run.log, "[Total Run]", "RunTime=");
    step.sent = number_after(run.log, "[Total Run]", "SentMessages=");
    step.lost = number_after(run.log, "# dropped messages", "= ");
    step.ran = step.sent > 0 && run_time > 0;
    step.achieved = step.ran ? step.sent / run_time : 0;
    step.lag_p99 = NAN;  // sockperf does not report how late its sends were
    step.cpu_per_probe = step.sent > 0 ? run.cpu_seconds / step.sent : 0;
    return step;
}

rate_step irtt_at(int port, double rate, double seconds)
{
    char interval[32];
    std::snprintf(interval, sizeof interval, "%lldns", static_cast<long long>(1e9 / rate));
    timed_run run = run_to_end("irtt",
                               {"client", "-i", interval, "-d", std::to_string(static_cast<int>(seconds)) + "s", "-l",
                                "64", "-q", "--timer=busy", "127.0.0.1:" + std::to_string(port)},
                               work_folder + "/irtt.log");
    rate_step step;
    step.asked = rate;
    double received = 0;
    std::size_t at = run.log.find("packets sent/received:");
    if (at != std::string::npos &&
        std::sscanf(run.log.c_str() + at, "packets sent/received: %lf/%lf", &step.sent, &received) == 2) {
        step.ran = step.sent > 0;
        step.lost = step.sent - received;
    }
    double duration = number_after(run.log, "duration:", "duration: ");
    step.achieved = duration > 0 ? step.sent / std::min(duration, seconds) : 0;
    // irtt reports its timer error's mean and maximum, no percentile.
    step.lag_p99 = NAN;
    step.cpu_per_probe = step.sent > 0 ? run.cpu_seconds / step.sent : 0;
    return step;
}

bool have_program(const char* name)
{
    std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// A server of another tool, started in the background on a port.
pid_t start_server(const char* program, const std::vector<std::string>& arguments)
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program));
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execvp(program, argv.data());
        _exit(127);
    }
    platform::Sleep(300);
    return pid;
}

using rate_tool = rate_step (*)(int port, double rate, double seconds);

// The highest rates of the ramp the tool keeps without loss, and also on
// time where it reports its lag (the ramp goes on while the rate is kept; a
// late step below does not count against a higher one that is on time, as
// the machine's other load comes and goes); a step that fails is tried once
// more.  The step at 10,000/s is kept for its processor time.
struct ramp_result {
    double kept = 0;
    double on_time = 0;
};

ramp_result ramp(const char* name, rate_tool tool, int port, rate_step* at_10k)
{
    const double rates[] = {1000, 2000, 5000, 10000, 20000, 40000, 70000, 100000, 150000, 200000, 300000};
    ramp_result best;
    std::string steps;
    for (double rate : rates) {
        rate_step step = tool(port, rate, 1.0);
        if (!step.on_time())
            step = tool(port, rate, 1.0);
        if (rate == 10000)
            *at_10k = step;
        char text[48];
        std::snprintf(text, sizeof text, " %.0fk%s", rate / 1000, step.on_time() ? "+" : step.kept() ? "~" : "-");
        steps += text;
        if (!step.kept())
            break;
        best.kept = rate;
        if (step.on_time())
            best.on_time = rate;
    }
    std::printf("  %-18s%s  -> kept %.0f probes/s", name, steps.c_str(), best.kept);
    if (tool == echomark_at)
        std::printf(", on time %.0f probes/s", best.on_time);
    std::printf("\n");
    return best;
}

void print_load(const char* when)
{
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        std::printf("  load average %s: %.2f %.2f %.2f (2 shared cores)\n", when, load[0], load[1], load[2]);
}

void bench_scheduled()
{
    int port = 0;
    std::string responder_log;
    pid_t responder = start_answering_responder(&port, &responder_log, true);
    if (responder < 0)
        return;
    print_load("before");
    rate_step fixed = echomark_at(port, 10000, 5);
    std::printf(
        "  10000 probes/s for 5 s, 64 bytes: sent %.0f, achieved %.1f probes/s, lost %.0f, lag p99 %.1f us, "
        "processor %.2f us per probe\n",
        fixed.sent, fixed.achieved, fixed.lost, fixed.lag_p99 * 1e6, fixed.cpu_per_probe * 1e6);
    verdict("achieved rate within 0.1 % of 10000 probes/s", std::fabs(fixed.achieved - 10000) <= 10);
    verdict("no loss at 10000 probes/s", fixed.ran && fixed.lost == 0);
    verdict("lag behind the schedule p99 at most 50 us", fixed.lag_p99 <= 50e-6);

    std::printf("  ramp, 1 s a step: + kept without loss, the rate within 0.1 %%, and on time (lag p99 at most "
                "100 us; sockperf and irtt do not report it); ~ kept but late; - not kept\n");
    rate_step ours_10k, sockperf_10k, irtt_10k;
    ramp_result ours = ramp("echomark", echomark_at, port, &ours_10k);
    double others = 0;
    if (have_program("sockperf")) {
        int sockperf_port = free_udp_port();
        pid_t server = start_server("sockperf", {"server", "-i", "127.0.0.1", "-p", std::to_string(sockperf_port)});
        others = std::max(others, ramp("sockperf", sockperf_at, sockperf_port, &sockperf_10k).kept);
        stop(server);
    } else {
        std::printf("  sockperf is not installed (Debian package sockperf; .ci/install-deps bench): not compared\n");
    }
    if (have_program("irtt")) {
        int irtt_port = free_udp_port();
        pid_t server = start_server("irtt", {"server", "-b", "127.0.0.1:" + std::to_string(irtt_port), "-i", "0"});
        others = std::max(others, ramp("irtt --timer=busy", irtt_at, irtt_port, &irtt_10k).kept);
        stop(server);
    } else {
        std::printf("  irtt is not installed (Debian package irtt; .ci/install-deps bench): not compared\n");
    }
    std::printf("  processor time per probe at 10000/s:");
    const std::pair<const char*, const rate_step*> tools[] = {
        {"echomark", &ours_10k}, {"sockperf", &sockperf_10k}, {"irtt", &irtt_10k}};
    for (const auto& [name, step] : tools) {
        if (step->ran)
            std::printf(" %s %.2f us", name, step->cpu_per_probe * 1e6);
        else
            std::printf(" %s -", name);
    }
    std::printf(" (the whole process, waits and spins included)\n");
    print_load("after");
    verdict("echomark on time at least at the rate the better of sockperf and irtt keeps", ours.on_time >= others);
    verdict("echomark keeps at least the rate of the better of sockperf and irtt", ours.kept >= others);
    stop(responder);
    unlink(responder_log.c_str());
}

// --- 6. the sender's metrics endpoint under hostile clients ------------------------

// A TCP connection to the loopback port, or -1.
int tcp_connection(int port)
{
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(sock);
        return -1;
    }
    return sock;
}

// One request and its whole answer (the endpoint closes after it): true for a 200.
bool http_get_ok(int port, const std::string& request)
{
    int sock = tcp_connection(port);
    if (sock < 0)
        return false;
    timeval limit = {2, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(sock, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(sock);
    return answer.compare(0, 12, "HTTP/1.1 200") == 0;
}

struct watched_run {
    double lag_p99 = NAN;
    double lag_max = NAN;
    double probes = 0;
    double lost = 0;
    int scrapes = 0;
    int scrapes_ok = 0;
};

// The scheduled sender, one target from four source ports at 2000 probes/s,
// with --metrics= scraped every second; with `hostile`, twice a hundred
// silent connections held open and a 1 MiB header, in the middle of it.
watched_run watched_sender(int port, bool hostile)
{
    const int metrics = free_tcp_port();
    const std::string log_path = work_folder + "/watched.log";
    pid_t sender = start_program({"--target=127.0.0.1:" + std::to_string(port), "--flows=4", "--rate=2000",
                                  "--duration=8", "-t", "0.2", "--sendsize=64", "--recvsize=64", "--quiet", "--stats",
                                  "--metrics=" + std::to_string(metrics)},
                                 log_path);
    const std::string scrape = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    const std::string big = "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'b') + "\r\n\r\n";
    watched_run run;
    // The run starts once its endpoint answers.
    for (double give_up = now() + 3.0; now() < give_up && !http_get_ok(metrics, scrape);)
        platform::Sleep(20);
    const double start = now();
    std::vector<int> silent;
    bool attacked[2] = {false, false};
    while (now() - start < 7.5) {
        const double t = now() - start;
        for (int round = 0; round < 2 && hostile; round++) {
            if (attacked[round] || t < 1.0 + 3.0 * round)
                continue;
            attacked[round] = true;
            for (int i = 0; i < 100; i++) {
                int sock = tcp_connection(metrics);
                if (sock >= 0)
                    silent.push_back(sock);
            }
            http_get_ok(metrics, big);
        }
        run.scrapes++;
        run.scrapes_ok += http_get_ok(metrics, scrape) ? 1 : 0;
        platform::Sleep(1000);
    }
    int status = 0;
    waitpid(sender, &status, 0);
    for (int sock : silent)
        ::close(sock);
    const std::string log = read_file(log_path);
    unlink(log_path.c_str());
    run.probes = number_after(log, "stats(): target=", "probes=");
    run.lost = number_after(log, "stats(): target=", "lost=");
    run.lag_p99 = number_after(log, "] lag median=", "p99=");
    run.lag_max = number_after(log, "] lag median=", "max=");
    return run;
}

void bench_watched()
{
    int port = 0;
    std::string responder_log;
    pid_t responder = start_answering_responder(&port, &responder_log, true);
    if (responder < 0)
        return;
    print_load("before");
    watched_run calm = watched_sender(port, false);
    watched_run hostile = watched_sender(port, true);
    print_load("after");
    stop(responder);
    unlink(responder_log.c_str());
    for (const auto& [name, run] : {std::pair<const char*, const watched_run&>{"scrapes only", calm},
                                    std::pair<const char*, const watched_run&>{"with hostile clients", hostile}}) {
        std::printf("  %-21s probes %.0f, lost %.0f, lag p99 %.1f us, max %.1f us, scrapes answered %d of %d\n", name,
                    run.probes, run.lost, run.lag_p99 * 1e6, run.lag_max * 1e6, run.scrapes_ok, run.scrapes);
    }
    verdict("lag p99 with 100 silent connections and a 1 MiB header within 1 ms of the run without them",
            std::fabs(hostile.lag_p99 - calm.lag_p99) <= 1e-3);
    verdict("every scrape answered in both runs", calm.scrapes_ok == calm.scrapes && hostile.scrapes_ok == hostile.scrapes);
}

}  // namespace

// Whether section `number` runs: all of them when none is named.
bool wanted(int argc, char** argv, int number)
{
    if (argc < 3)
        return true;
    for (int i = 2; i < argc; ++i) {
        if (std::atoi(argv[i]) == number)
            return true;
    }
    return false;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH-TO-ECHOMARK [SECTION...]\n", argv[0]);
        return 2;
    }
    program_path = argv[1];
    if (access(program_path, X_OK) != 0) {
        std::fprintf(stderr, "%s: cannot run %s\n", argv[0], program_path);
        return 2;
    }
    char folder[] = "/tmp/echomark-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    work_folder = folder;
    signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (wanted(argc, argv, 1)) {
        std::printf("1. responder, window of 16 outstanding probes, 60 rounds of 0.05 s slices each, log to a file\n");
        std::string metrics = "--metrics=" + std::to_string(free_tcp_port());
        const responder_row rows[] = {
            {"   64-byte probes asking    64", {}, false, 64, 64, true},
            {" 8192-byte probes asking  9192", {}, false, 8192, 9192, false},
            {"   64-byte probes asking    64, --metrics (no scrape)", {metrics}, false, 64, 64, true},
            {"   44-byte STAMP test packets, --stamp", {"--stamp"}, true, 44, 44, true},
        };
        for (const responder_row& row : rows)
            bench_responder(row);
    }
    if (wanted(argc, argv, 2)) {
        std::printf("2. sender against the responder\n");
        bench_sender();
    }
    if (wanted(argc, argv, 3)) {
        std::printf("3. round trip of the sender against the responder\n");
        bench_round_trip();
    }
    if (wanted(argc, argv, 4)) {
        std::printf("4. concurrent senders against one responder\n");
        bench_concurrent_senders();
    }
    if (wanted(argc, argv, 5)) {
        std::printf("5. scheduled sender against the responder (--quiet), beside sockperf and irtt\n");
        bench_scheduled();
    }
    if (wanted(argc, argv, 6)) {
        std::printf("6. scheduled sender with --metrics (4 flows, 2000 probes/s, 8 s), scraped every second, "
                    "without and with 100 silent connections and a 1 MiB header\n");
        bench_watched();
    }
    rmdir(folder);
    return 0;
}
