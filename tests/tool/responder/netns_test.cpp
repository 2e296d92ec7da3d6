// The responder against forged sources, in a private network namespace: a
// raw socket there may send datagrams from any address and port without
// touching the machine's own network, and a packet socket sees every packet
// that crosses its loopback, to count what went in and what came out.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <linux/rtnetlink.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/ip.h>
#include <netinet/ip6.h>
#include <netinet/udp.h>
#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/tool_test_support.hpp"
#include "tool/wire/probe_extension.hpp"

// After the platform header: its own FIONBIO must not meet the system's macro.
#include <sys/ioctl.h>

namespace {

bool write_text(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Moves this test process into a network namespace of its own with loopback
// up.  Returns "" on success, else why it cannot be made.
std::string enter_private_network() {
    if (unshare(CLONE_NEWNET) != 0) {
        std::string first = std::strerror(errno);
        // Without privileges a user namespace of its own may still allow it.
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            return "no network namespace can be made here (" + first +
                   "; in a user namespace: " + std::strerror(errno) + ")";
        }
        write_text("/proc/self/setgroups", "deny");
        if (!write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return "the user namespace takes no identity map";
        }
    }
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strcpy(request.ifr_name, "lo");
    bool up = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    close(sock);
    return up ? "" : "loopback of the new namespace cannot be brought up";
}

// 2001:db8:1::/64 made local, as 127.0.0.0/8 is: datagrams forged from any
// of its addresses reach the responder on ::1, and its replies to them come
// back through loopback (a plain route through loopback would refuse them).
const in6_addr forged_prefix = {{{0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}};

bool add_local_ipv6_prefix() {
    in6_rtmsg route;
    std::memset(&route, 0, sizeof route);
    route.rtmsg_dst = forged_prefix;
    route.rtmsg_dst_len = 64;
    route.rtmsg_type = RTN_LOCAL;
    route.rtmsg_flags = RTF_UP | 0x80000000U;  // RTF_LOCAL of the kernel's IPv6 routes
    route.rtmsg_metric = 1;
    route.rtmsg_ifindex = static_cast<int>(if_nametoindex("lo"));
    int sock = socket(AF_INET6, SOCK_DGRAM, 0);
    bool added = sock >= 0 && ioctl(sock, SIOCADDRT, &route) == 0;
    if (sock >= 0) close(sock);
    return added;
}

// An address of the forged IPv6 /64, or ::1 for 0.
in6_addr forged_v6(uint32_t number) {
    if (number == 0) return in6addr_loopback;
    in6_addr address = forged_prefix;
    for (int b = 0; b < 4; b++) address.s6_addr[15 - b] = static_cast<unsigned char>(number >> (8 * b));
    return address;
}

uint32_t checksum_add(uint32_t sum, const unsigned char* data, std::size_t length) {
    for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
    return sum;
}

// Raw sockets that write the IP header themselves.
struct forger {
    int v4 = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    int v6 = socket(AF_INET6, SOCK_RAW, IPPROTO_RAW);
    std::vector<unsigned char> packet = std::vector<unsigned char>(256);
    ~forger() {
        if (v4 >= 0) close(v4);
        if (v6 >= 0) close(v6);
    }

    // Sends `payload` to 127.0.0.1:to_port as if from from_address:from_port
    // (host order).
    bool send4(uint32_t from_address, int from_port, int to_port, const std::vector<unsigned char>& payload) {
        std::size_t length = sizeof(iphdr) + sizeof(udphdr) + payload.size();
        if (v4 < 0 || length > packet.size()) return false;
        iphdr ip;
        std::memset(&ip, 0, sizeof ip);
        ip.version = 4;
        ip.ihl = 5;
        ip.ttl = 64;
        ip.protocol = IPPROTO_UDP;
        ip.tot_len = htons(static_cast<uint16_t>(length));
        ip.saddr = htonl(from_address);
        ip.daddr = htonl(INADDR_LOOPBACK);  // the kernel fills in the checksum
        udphdr udp = udp_header(from_port, to_port, payload.size());
        udp.check = 0;  // none, as IPv4 allows
        std::memcpy(packet.data(), &ip, sizeof ip);
        std::memcpy(packet.data() + sizeof ip, &udp, sizeof udp);
        std::memcpy(packet.data() + sizeof ip + sizeof udp, payload.data(), payload.size());
        sockaddr_in to = tooltest::loopback(to_port);
        return sendto(v4, packet.data(), length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(length);
    }

    // Sends `payload` to [to]:to_port as if from [from]:from_port; IPv6
    // needs the UDP checksum.
    bool send6(const in6_addr& from, int from_port, const in6_addr& to_address, int to_port,
               const std::vector<unsigned char>& payload) {
        std::size_t length = sizeof(ip6_hdr) + sizeof(udphdr) + payload.size();
        if (v6 < 0 || length > packet.size()) return false;
        ip6_hdr ip;
        std::memset(&ip, 0, sizeof ip);
        ip.ip6_flow = htonl(6U << 28);
        ip.ip6_plen = htons(static_cast<uint16_t>(sizeof(udphdr) + payload.size()));
        ip.ip6_nxt = IPPROTO_UDP;
        ip.ip6_hlim = 64;
        ip.ip6_src = from;
        ip.ip6_dst = to_address;
        udphdr udp = udp_header(from_port, to_port, payload.size());
        std::memcpy(packet.data(), &ip, sizeof ip);
        std::memcpy(packet.data() + sizeof ip, &udp, sizeof udp);
        std::memcpy(packet.data() + sizeof ip + sizeof udp, payload.data(), payload.size());
        // Pseudo-header (addresses, length, protocol), then header and data.
        uint32_t sum = checksum_add(0, packet.data() + 8, 32);
        sum += static_cast<uint32_t>(sizeof(udphdr) + payload.size()) + IPPROTO_UDP;
        sum = checksum_add(sum, packet.data() + sizeof ip, sizeof udp + payload.size());
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        uint16_t complement = static_cast<uint16_t>(~sum & 0xFFFF);
        uint16_t check = htons(complement == 0 ? 0xFFFF : complement);
        std::memcpy(packet.data() + sizeof ip + 6, &check, 2);
        sockaddr_in6 to;
        std::memset(&to, 0, sizeof to);
        to.sin6_family = AF_INET6;
        to.sin6_addr = to_address;
        return sendto(v6, packet.data(), length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(length);
    }

    static udphdr udp_header(int from_port, int to_port, std::size_t payload) {
        udphdr udp;
        std::memset(&udp, 0, sizeof udp);
        udp.source = htons(static_cast<uint16_t>(from_port));
        udp.dest = htons(static_cast<uint16_t>(to_port));
        udp.len = htons(static_cast<uint16_t>(sizeof udp + payload));
        return udp;
    }
};

// Sends `payload` to 127.0.0.1:to_port as if from 127.0.0.1:from_port.
bool forge(int from_port, int to_port, const std::vector<unsigned char>& payload) {
    forger raw;
    return raw.send4(INADDR_LOOPBACK, from_port, to_port, payload);
}

std::vector<unsigned char> probe(int number, int size = 64, int reply = 64) {
    std::vector<unsigned char> data(static_cast<std::size_t>(size < 16 ? 16 : size));
    data_value_set(data.data(), value_probe, number);
    data_value_set(data.data(), value_probesize, size);
    data_value_set(data.data(), value_replysize, reply);
    data.resize(static_cast<std::size_t>(size));
    return data;
}

int occurrences(const std::string& text, const std::string& key) {
    int count = 0;
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) count++;
    return count;
}

// Sends a probe to the responder at host:port from a socket of its own and
// waits for the reply: the responder runs, and has handled everything that
// came before.
bool answered(const char* host, int port, int number) {
    bool v6 = std::strchr(host, ':') != nullptr;
    sockaddr_in6 to;
    std::memset(&to, 0, sizeof to);
    int length = sizeof(sockaddr_in);
    if (v6) {
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host, &to.sin6_addr);
        length = sizeof to;
    } else {
        sockaddr_in to4 = tooltest::loopback(port);
        std::memcpy(&to, &to4, sizeof to4);
    }
    int sock = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    timeval wait = {0, 200000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    unsigned char reply[128];
    bool got = false;
    // A new number each time: no copy may pass for a loop.
    for (int attempt = 0; attempt < 50 && !got; attempt++) {
        std::vector<unsigned char> sent = probe(number + attempt);
        sendto(sock, sent.data(), sent.size(), 0, reinterpret_cast<sockaddr*>(&to), static_cast<socklen_t>(length));
        ssize_t n;
        while (!got && (n = recv(sock, reply, sizeof reply, 0)) >= 0) {
            int replied = data_value_get(reply, value_probe);
            got = n == 64 && replied >= number && replied <= number + attempt;
        }
    }
    close(sock);
    return got;
}

struct responder_process {
    int port = 0;
    pid_t pid = -1;
    std::string out_path = tooltest::temp_path();
    std::string err_path = tooltest::temp_path();

    bool start(const char* host = "127.0.0.1") {
        port = tooltest::free_port();
        pid = tooltest::start_program({"-l", "-h", host, "-p", std::to_string(port)}, out_path, err_path);
        return answered(host, port, 900000);
    }
    // Stops it the way an operator would; its status and its whole log.
    int stop(std::string* log) {
        kill(pid, SIGTERM);
        int status = tooltest::wait_program(pid, 10.0);
        *log = tooltest::read_file(out_path);
        std::remove(out_path.c_str());
        std::remove(err_path.c_str());
        return status;
    }
    std::string from(int source_port) const {
        return "recvsize=udp_blockrecv(127.0.0.1:" + std::to_string(source_port) + ")";
    }
};

// What crossed loopback towards the responder's port and back from it, as
// the kernel hands every outgoing packet to a packet socket: whole IP
// packets, and the UDP payloads that the limit counts.
struct traffic {
    long in_packets = 0, out_packets = 0, fragments = 0;
    long long in_bytes = 0, out_bytes = 0, in_ip_bytes = 0, out_ip_bytes = 0;
};

struct capture {
    int sock = -1;
    int port = 0;
    traffic seen;

    bool open(int responder_port) {
        port = responder_port;
        sock = socket(AF_PACKET, SOCK_DGRAM, 0);  // no packets until bound
        if (sock < 0) return false;
        // Only the outgoing copy of each packet (loopback shows it twice),
        // cut to its headers.
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, 96),
            BPF_STMT(BPF_RET | BPF_K, 0),
        };
        sock_fprog program = {static_cast<unsigned short>(std::size(code)), code};
        int room = 64 << 20;
        if (setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) return false;
        if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
            setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        }
        sockaddr_ll at;
        std::memset(&at, 0, sizeof at);
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_ALL);
        at.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        return bind(sock, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    }
    ~capture() {
        if (sock >= 0) close(sock);
    }

    // Counts the packets waiting, without blocking.
    void drain() {
        unsigned char p[96];
        ssize_t got;
        while ((got = recv(sock, p, sizeof p, MSG_DONTWAIT)) > 0) count(p, static_cast<int>(got));
    }
    void count(const unsigned char* p, int got) {
        int header = 0;
        long ip_length = 0;
        if (got >= 20 && p[0] >> 4 == 4) {
            header = (p[0] & 15) * 4;
            ip_length = p[2] << 8 | p[3];
            if ((p[6] & 0x3F) != 0 || p[7] != 0) seen.fragments++;
            if (p[9] != IPPROTO_UDP) return;
        } else if (got >= 40 && p[0] >> 4 == 6) {
            header = 40;
            ip_length = 40 + (p[4] << 8 | p[5]);
            if (p[6] == IPPROTO_FRAGMENT) seen.fragments++;
            if (p[6] != IPPROTO_UDP) return;
        } else {
            return;
        }
        if (got < header + 8) return;
        int source_port = p[header] << 8 | p[header + 1];
        int destination_port = p[header + 2] << 8 | p[header + 3];
        long payload = ip_length - header - 8;
        if (destination_port == port) {
            seen.in_packets++;
            seen.in_bytes += payload;
            seen.in_ip_bytes += ip_length;
        } else if (source_port == port) {
            seen.out_packets++;
            seen.out_bytes += payload;
            seen.out_ip_bytes += ip_length;
        }
    }
    // Packets the kernel could not queue here since the last call.
    unsigned lost() {
        tpacket_stats stats;
        socklen_t length = sizeof stats;
        if (getsockopt(sock, SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) return ~0U;
        return stats.tp_drops;
    }
};

// Bytes of every packet through loopback so far, as its own counter says.
long long loopback_bytes() {
    std::istringstream table(tooltest::read_file("/proc/net/dev"));
    for (std::string line; std::getline(table, line);) {
        std::istringstream words(line);
        std::vector<std::string> fields{std::istream_iterator<std::string>(words), {}};
        if (fields.size() > 9 && fields[0] == "lo:") return std::atoll(fields[9].c_str());  // transmitted
    }
    return -1;
}

// Forged 16-byte requests for the largest reply that crosses loopback whole.
struct forged_attack {
    const char* name;
    const char* responder;   // the responder's address
    uint32_t first_address;  // IPv4 in host order; IPv6: the low bits in the forged /64, 0 for ::1
    int addresses, ports, rounds;
    double rate;           // requests a second
    double round_seconds;  // from one round's start to the next
};

// Runs an attack against the responder on `port` and returns what crossed
// loopback, a last probe from a socket of its own and its reply included.
traffic run_attack(const forged_attack& a, int port, forger* raw) {
    bool v6 = std::strchr(a.responder, ':') != nullptr;
    in6_addr target;
    inet_pton(AF_INET6, v6 ? a.responder : "::", &target);
    capture seen;
    EXPECT_TRUE(seen.open(port)) << std::strerror(errno);
    long long lo_before = loopback_bytes();
    // 65535 bytes of IPv4 packet; IPv6 within loopback's 65536-byte MTU.
    std::vector<unsigned char> request = probe(0, 16, v6 ? 65536 - 48 : 65507);
    double start = platform::monotonic_seconds();
    long sent = 0;
    for (int round = 0; round < a.rounds; round++) {
        double round_start = start + round * a.round_seconds;
        for (int i = 0; i < a.addresses * a.ports; i++, sent++) {
            double due = round_start + i / a.rate;
            double now = platform::monotonic_seconds();
            if (due > now) platform::pause_seconds(due - now);
            uint32_t address = a.first_address + static_cast<uint32_t>(i / a.ports);
            int source_port = 1024 + (a.ports > 1 ? i % a.ports : i % 60000);
            data_value_set(request.data(), value_probe, static_cast<int>(sent));
            bool forged = v6 ? raw->send6(forged_v6(address), source_port, target, port, request)
                             : raw->send4(address, source_port, port, request);
            EXPECT_TRUE(forged) << a.name << " " << sent << ": " << std::strerror(errno);
            if (!forged) return seen.seen;
            if (sent % 64 == 0) seen.drain();
        }
    }
    EXPECT_TRUE(answered(a.responder, port, 800000));
    seen.drain();
    EXPECT_EQ(seen.lost(), 0U) << a.name;
    EXPECT_EQ(seen.seen.fragments, 0) << a.name;
    EXPECT_EQ(seen.seen.in_packets, sent + 1) << a.name;
    // Loopback's counter holds these and the errors the replies drew.
    long long lo = loopback_bytes() - lo_before;
    EXPECT_GE(lo, seen.seen.in_ip_bytes + seen.seen.out_ip_bytes) << a.name;
    std::printf(
        "%s: in %ld datagrams, %lld bytes (%lld as IP); out %ld, %lld bytes (%lld as IP); "
        "out/in %.2f (%.2f as IP); loopback %lld bytes\n",
        a.name, seen.seen.in_packets, seen.seen.in_bytes, seen.seen.in_ip_bytes, seen.seen.out_packets,
        seen.seen.out_bytes, seen.seen.out_ip_bytes,
        static_cast<double>(seen.seen.out_bytes) / static_cast<double>(seen.seen.in_bytes),
        static_cast<double>(seen.seen.out_ip_bytes) / static_cast<double>(seen.seen.in_ip_bytes), lo);
    return seen.seen;
}

// One forged datagram between two responders, or to a responder from
// itself, ends after a few datagrams, while the program's own sender, at
// full speed and at its defaults, still gets every reply.
TEST(ToolResponderForged, LoopsEndSoonAndTheOwnSenderKeepsEveryReply) {
    std::string why = enter_private_network();
    if (!why.empty()) GTEST_SKIP() << why;
    responder_process a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(forge(b.port, a.port, probe(77)));
    ASSERT_TRUE(forge(a.port, a.port, probe(78)));
    platform::Sleep(1000);

    tooltest::run_result fast = tooltest::run_program(
        {"-h", "127.0.0.1", "-p", std::to_string(a.port), "-c", "10000", "--interval=0", "--quiet"}, 120.0);
    EXPECT_EQ(fast.status, 0);
    EXPECT_NE(fast.out.find("main(): recvpkts/sendpkts=100.000[%]\n"), std::string::npos)
        << fast.out.substr(fast.out.size() > 400 ? fast.out.size() - 400 : 0);
    tooltest::run_result plain = tooltest::run_program({"-h", "127.0.0.1", "-p", std::to_string(b.port)}, 60.0);
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.out.find("main(): recvpkts/sendpkts=100.000[%]\n"), std::string::npos)
        << plain.out.substr(plain.out.size() > 400 ? plain.out.size() - 400 : 0);

    std::string log_a, log_b;
    EXPECT_EQ(a.stop(&log_a), 0);
    EXPECT_EQ(b.stop(&log_b), 0);
    int a_from_b = occurrences(log_a, a.from(b.port));
    int b_from_a = occurrences(log_b, b.from(a.port));
    // The forged datagram arrived and was answered: the exchange began, and ended.
    EXPECT_GE(a_from_b, 1);
    EXPECT_GE(b_from_a, 1);
    EXPECT_LE(a_from_b + b_from_a, 100);
    EXPECT_EQ(occurrences(log_a, "): reason=loop ") + occurrences(log_b, "): reason=loop "), 1);
    // From itself: received once, never answered.
    EXPECT_EQ(occurrences(log_a, a.from(a.port)), 1) << log_a.substr(0, 3000);
    EXPECT_EQ(occurrences(log_a, "refused(127.0.0.1:" + std::to_string(a.port) +
                                     "): reason=own address lastpkts=000078: no reply to this source for now\n"),
              1);
    EXPECT_EQ(occurrences(log_a, "sendsize=udp_send(127.0.0.1:" + std::to_string(a.port) + ")"), 0);
}

// A STAMP reflector answers neither port 0 nor its own address and port,
// and says why once each; a sender beside them is answered.  What leaves its
// port is counted on the wire.
TEST(ToolResponderForged, StampReflectorAnswersNeitherPortZeroNorItself) {
    std::string why = enter_private_network();
    if (!why.empty()) GTEST_SKIP() << why;
    forger raw;
    ASSERT_GE(raw.v4, 0) << std::strerror(errno);
    int port = tooltest::free_port();
    std::string out_path = tooltest::temp_path(), err_path = tooltest::temp_path();
    pid_t pid = tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(port), "--stamp=stateful"},
                                        out_path, err_path);
    ASSERT_TRUE(tooltest::wait_port_taken(port, 10.0));
    capture seen;
    ASSERT_TRUE(seen.open(port)) << std::strerror(errno);
    std::vector<unsigned char> request(44, 0);
    request[3] = 1;     // sequence number 1
    request[13] = 255;  // an error estimate with a multiplier
    ASSERT_TRUE(raw.send4(INADDR_LOOPBACK, 0, port, request));
    ASSERT_TRUE(raw.send4(INADDR_LOOPBACK, port, port, request));
    int client_port = 0;
    int client = tooltest::open_udp(&client_port);
    ASSERT_EQ(tooltest::send_to(client, request.data(), 44, port), 44);
    unsigned char reply[128];
    EXPECT_EQ(tooltest::receive_within(client, reply, sizeof reply, 5.0), 44);
    EXPECT_EQ(reply[3], 0);  // the first of its session
    platform::Sleep(100);
    seen.drain();
    EXPECT_EQ(seen.seen.in_packets, 3);
    EXPECT_EQ(seen.seen.out_packets, 1);
    kill(pid, SIGTERM);
    EXPECT_EQ(tooltest::wait_program(pid, 10.0), 0);
    std::string log = tooltest::read_file(out_path);
    std::string p = std::to_string(port);
    EXPECT_EQ(occurrences(log, "): reason=port 0 lastpkts=000001: no reply to this source for now\n"), 1) << log;
    EXPECT_EQ(occurrences(log, "refused(127.0.0.1:" + p +
                                   "): reason=own address lastpkts=000001: no reply to this source for now\n"),
              1)
        << log;
    EXPECT_EQ(occurrences(log, "sendsize=udp_send("), 1) << log;
    platform::closesocket(client);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
}

// Forged requests from many fixed sources, from churning ones, and from
// the ports of one address, over IPv4 and IPv6: the responder sends back at
// most probe_unproven_ratio times what came in, counted by the kernel.
TEST(ToolResponderForged, NoCrowdOfForgedSourcesGetsMoreThanTheRatio) {
    std::string why = enter_private_network();
    if (!why.empty()) GTEST_SKIP() << why;
    forger raw;
    ASSERT_GE(raw.v4, 0) << std::strerror(errno);
    const forged_attack attacks[] = {
        {"1024 fixed sources, 4 rounds", "127.0.0.1", 0x7F010001, 1024, 1, 4, 10000, 1.0},
        {"20000 churning sources", "127.0.0.1", 0x7F020001, 20000, 1, 1, 10000, 0},
        {"20000 ports of one address", "127.0.0.1", 0x7F030009, 1, 20000, 1, 10000, 0},
        {"IPv6: 20000 churning sources of one /64", "::1", 0x10001, 20000, 1, 1, 10000, 0},
        {"IPv6: 20000 ports of ::1", "::1", 0, 1, 20000, 1, 10000, 0},
    };
    bool v6 = raw.v6 >= 0 && add_local_ipv6_prefix();
    std::string v6_missing = v6 ? "" : std::string("no IPv6 here to forge from: ") + std::strerror(errno);
    for (const forged_attack& a : attacks) {
        if (std::strchr(a.responder, ':') != nullptr && !v6) continue;
        responder_process responder;
        ASSERT_TRUE(responder.start(a.responder)) << a.name;
        traffic t = run_attack(a, responder.port, &raw);
        EXPECT_LE(t.out_bytes, probe_unproven_ratio * t.in_bytes) << a.name;
        std::string log;
        EXPECT_EQ(responder.stop(&log), 0) << a.name;
        // It took every request, so all that came in counts.
        EXPECT_EQ(occurrences(log, "): recvsize=16 lastpkts="), t.in_packets - 1) << a.name;
    }
    if (!v6) GTEST_SKIP() << v6_missing;
}

// A crowd of forged sources that keeps every place of the table taken, and
// one forged source repeating a datagram: that one is refused as a loop, and
// the program's own sender is still answered.
TEST(ToolResponderForged, ARepeatingSourceInACrowdShutsNoSenderOut) {
    std::string why = enter_private_network();
    if (!why.empty()) GTEST_SKIP() << why;
    forger raw;
    ASSERT_GE(raw.v4, 0) << std::strerror(errno);
    responder_process responder;
    ASSERT_TRUE(responder.start());
    std::string out_path = tooltest::temp_path(), err_path = tooltest::temp_path();
    pid_t sender = -1;
    std::vector<unsigned char> request = probe(0, 16, 65507);
    const std::vector<unsigned char> repeated = probe(7);
    constexpr int crowd = 2048;  // twice the places, each back every 0.2 s
    double start = platform::monotonic_seconds();
    int status = -1;
    bool ended = false;
    for (long n = 0; !ended && platform::monotonic_seconds() - start < 15; n++) {
        double due = start + n / 10000.0;
        double now = platform::monotonic_seconds();
        if (due > now) platform::pause_seconds(due - now);
        data_value_set(request.data(), value_probe, static_cast<int>(n));
        ASSERT_TRUE(raw.send4(0x7F040001 + static_cast<uint32_t>(n % crowd), 1024, responder.port, request));
        // The repeating source comes once the crowd holds the table, and
        // the sender a second later.
        if (n >= crowd && n % 2 == 0) {
            ASSERT_TRUE(raw.send4(0x7F050505, 5353, responder.port, repeated));
        }
        if (n == 12000) {
            sender = tooltest::start_program({"-h", "127.0.0.1", "-p", std::to_string(responder.port), "-c", "300"},
                                             out_path, err_path);
        }
        if (sender > 0 && n % 100 == 0) ended = waitpid(sender, &status, WNOHANG) == sender;
    }
    // A sender still waiting for replies is stopped, and reports what it got.
    if (!ended) kill(sender, SIGINT);
    EXPECT_TRUE(ended || tooltest::wait_program(sender, 10.0) == 0);
    std::string out = tooltest::read_file(out_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    std::size_t sent_at = out.find("main(): sendpkts="), at = out.find("main(): recvpkts=");
    ASSERT_NE(at, std::string::npos) << out.substr(out.size() > 400 ? out.size() - 400 : 0);
    int sent = std::atoi(out.c_str() + sent_at + 17), replies = std::atoi(out.c_str() + at + 17);
    std::printf("the sender got %d replies to %d probes during the attack\n", replies, sent);
    EXPECT_EQ(sent, 300);
    EXPECT_GE(replies, 297);
    std::string log;
    EXPECT_EQ(responder.stop(&log), 0);
    EXPECT_NE(log.find("refused(127.5.5.5:5353): reason=loop "), std::string::npos);
}

}  // namespace
