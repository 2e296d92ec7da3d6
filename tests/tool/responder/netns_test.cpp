// The responder against forged sources, in a private network namespace: a
// raw socket there may send datagrams from any loopback address and port
// without touching the machine's own network.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sched.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/tool_test_support.hpp"
#include "tool/wire/probe_datagram.hpp"

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

// Sends `payload` to 127.0.0.1:to_port as if from 127.0.0.1:from_port.
bool forge(int from_port, int to_port, const std::vector<unsigned char>& payload) {
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);  // we write the IP header
    if (raw < 0) return false;
    std::vector<unsigned char> packet(sizeof(iphdr) + sizeof(udphdr) + payload.size());
    iphdr ip;
    std::memset(&ip, 0, sizeof ip);
    ip.version = 4;
    ip.ihl = 5;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.tot_len = htons(static_cast<uint16_t>(packet.size()));
    ip.saddr = htonl(INADDR_LOOPBACK);
    ip.daddr = htonl(INADDR_LOOPBACK);  // the kernel fills in the checksum
    udphdr udp;
    std::memset(&udp, 0, sizeof udp);
    udp.source = htons(static_cast<uint16_t>(from_port));
    udp.dest = htons(static_cast<uint16_t>(to_port));
    udp.len = htons(static_cast<uint16_t>(sizeof udp + payload.size()));
    udp.check = 0;  // none, as IPv4 allows
    std::memcpy(packet.data(), &ip, sizeof ip);
    std::memcpy(packet.data() + sizeof ip, &udp, sizeof udp);
    std::memcpy(packet.data() + sizeof ip + sizeof udp, payload.data(), payload.size());
    sockaddr_in to = tooltest::loopback(to_port);
    bool sent = sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                static_cast<ssize_t>(packet.size());
    close(raw);
    return sent;
}

std::vector<unsigned char> probe(int number) {
    std::vector<unsigned char> data(64);
    data_value_set(data.data(), value_probe, number);
    data_value_set(data.data(), value_probesize, 64);
    data_value_set(data.data(), value_replysize, 64);
    return data;
}

int occurrences(const std::string& text, const std::string& key) {
    int count = 0;
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) count++;
    return count;
}

struct responder_process {
    int port = 0;
    pid_t pid = -1;
    std::string out_path = tooltest::temp_path();
    std::string err_path = tooltest::temp_path();

    bool start() {
        port = tooltest::free_port();
        pid = tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(port)}, out_path, err_path);
        return tooltest::wait_port_taken(port, 10.0);
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

}  // namespace
