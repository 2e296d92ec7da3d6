// The stub resolver against a real DNS server (dnsmasq, started by the test
// on a loopback address of its own at port 53) and against responder threads
// that stay silent, answer from the wrong place or answer with hostile bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "socketlib/socket.hpp"
#include "tests/support/dns_messages.hpp"

extern char** environ;

namespace {

using namespace socketlib;
using namespace dns_messages;

// Loopback addresses of this process alone (the whole of 127/8 is local), so
// test processes that run at once never share a port 53.
std::string own_loopback(int second_byte)
{
    int pid = getpid();
    char text[32];
    std::snprintf(text, sizeof text, "127.%d.%d.%d", second_byte, (pid / 250) % 250 + 1, pid % 250 + 1);
    return text;
}

std::string printout(const named_response* response)
{
    testing::internal::CaptureStdout();
    named_printresponses(response);
    return testing::internal::GetCapturedStdout();
}

std::string text_of(const named_record& record)
{
    return record.data_text;
}

// A UDP socket bound to port 53 of `address`, or -1 with the reason.
int bind_port_53(const std::string& address, std::string* why)
{
    int sock = udp_open(AF_INET);
    sockaddr_in local = create_sockaddrin(AF_INET, address.c_str(), "53");
    int result = udp_bind(sock, &local);
    if (result < 0) {
        udp_close(sock);
        *why = "cannot bind " + address + ":53 (result " + std::to_string(result) +
               "; binding port 53 needs root or CAP_NET_BIND_SERVICE)";
        return -1;
    }
    return sock;
}

const char* find_dnsmasq()
{
    for (const char* path : {"/usr/sbin/dnsmasq", "/usr/bin/dnsmasq", "/sbin/dnsmasq"}) {
        if (access(path, X_OK) == 0)
            return path;
    }
    return nullptr;
}

// --- a real DNS server -------------------------------------------------------

class DnsmasqLookup : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = own_loopback(53);
        const char* dnsmasq = find_dnsmasq();
        if (dnsmasq == nullptr) {
            skip_reason_ = "dnsmasq is not installed (Debian package dnsmasq-base)";
            return;
        }
        int probe = bind_port_53(server_, &skip_reason_);
        if (probe < 0)
            return;
        udp_close(probe);

        std::vector<std::string> args = {
            dnsmasq,
            "--keep-in-foreground",
            "--conf-file=/dev/null",
            "--no-resolv",
            "--no-hosts",
            "--bind-interfaces",
            "--listen-address=" + server_,
            "--port=53",
            "--pid-file=",
            "--address=/one.two.three/192.0.2.1",
            "--host-record=multi.test,192.0.2.11",
            "--host-record=multi.test,192.0.2.12",
            "--host-record=multi.test,192.0.2.13",
            "--host-record=target.test,192.0.2.20",
            "--cname=alias.test,target.test",
            "--ptr-record=10.2.0.192.in-addr.arpa,ptr.test",
            "--auth-zone=test",
            "--auth-server=ns1.test," + server_,
            "--auth-sec-servers=ns2.test",
        };
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        int spawned = posix_spawn(&pid_, dnsmasq, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = 0;
            skip_reason_ = "cannot start dnsmasq";
            return;
        }
        // Bounded wait until the server answers.
        auto probe_response = std::make_unique<named_response>();
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (gethostbynamestr_ns(1, 1, "one.two.three", server_.c_str(), probe_response.get(), 0.2) == 1 &&
                probe_response->answer_count == 1)
                return;
        }
        skip_reason_.clear();
        failure_ = "dnsmasq did not answer within 10 s";
    }

    static void TearDownTestSuite()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

    void SetUp() override
    {
        if (!failure_.empty())
            FAIL() << failure_;
        if (!skip_reason_.empty())
            GTEST_SKIP() << skip_reason_;
    }

    int lookup(uint16_t type, const char* name)
    {
        return gethostbynamestr_ns(type, NAMED_CLASS_IN, name, server_.c_str(), response_.get(), 5.0);
    }

    static std::string server_;
    static std::string skip_reason_;
    static std::string failure_;
    static pid_t pid_;
    std::unique_ptr<named_response> response_ = std::make_unique<named_response>();
};

std::string DnsmasqLookup::server_;
std::string DnsmasqLookup::skip_reason_;
std::string DnsmasqLookup::failure_;
pid_t DnsmasqLookup::pid_ = 0;

TEST_F(DnsmasqLookup, OneAddress)
{
    ASSERT_EQ(lookup(NAMED_TYPE_A, "one.two.three"), 1);
    EXPECT_EQ(printout(response_.get()),
              "The response contains:\n"
              " 1 Questions.\n 1 Answers.\n 0 Authoritative Servers.\n 0 Additional records.\n"
              " Answer: 1, Name: one.two.three has IPv4 address: 192.0.2.1\n");
}

TEST_F(DnsmasqLookup, SeveralAddresses)
{
    ASSERT_EQ(lookup(NAMED_TYPE_A, "multi.test"), 1);
    ASSERT_EQ(response_->answer_count, 3);
    std::set<std::string> addresses;
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(response_->answers[i].name, "multi.test");
        addresses.insert(text_of(response_->answers[i]));
    }
    EXPECT_EQ(addresses, (std::set<std::string>{"192.0.2.11", "192.0.2.12", "192.0.2.13"}));
}

TEST_F(DnsmasqLookup, AliasThenAddress)
{
    ASSERT_EQ(lookup(NAMED_TYPE_A, "alias.test"), 1);
    std::string text = printout(response_.get());
    EXPECT_NE(text.find(" 2 Answers.\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" Answer: 1, Name: alias.test has alias name: target.test\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" Answer: 2, Name: target.test has IPv4 address: 192.0.2.20\n"), std::string::npos) << text;
}

TEST_F(DnsmasqLookup, DomainNamePointer)
{
    char reverse[29];
    ipaddr2arpa("192.0.2.10", reverse, sizeof reverse);
    ASSERT_EQ(lookup(NAMED_TYPE_PTR, reverse), 1);
    EXPECT_NE(
        printout(response_.get()).find(" Answer: 1, Name: 10.2.0.192.in-addr.arpa domain name pointer: ptr.test\n"),
        std::string::npos);
}

TEST_F(DnsmasqLookup, NameServers)
{
    ASSERT_EQ(lookup(NAMED_TYPE_NS, "test"), 1);
    ASSERT_EQ(response_->answer_count, 2);
    std::set<std::string> servers = {text_of(response_->answers[0]), text_of(response_->answers[1])};
    EXPECT_EQ(servers, (std::set<std::string>{"ns1.test", "ns2.test"}));
    EXPECT_EQ(ntohs(response_->answers[0].type), NAMED_TYPE_NS);
}

// The zone's SOA answer is no single name; the name servers after it in the
// authority section are still read from the right place.
TEST_F(DnsmasqLookup, AuthoritiesAfterAnSoaAnswer)
{
    ASSERT_EQ(lookup(6, "test"), 1);
    ASSERT_EQ(response_->answer_count, 1);
    EXPECT_EQ(text_of(response_->answers[0]), "ns1.test");  // the SOA's first name
    std::string text = printout(response_.get());
    EXPECT_NE(text.find(" 2 Authoritative Servers.\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" Authorities: 1, Name: test has authoritative nameserver: ns"), std::string::npos) << text;
    EXPECT_NE(text.find(" Authorities: 2, Name: test has authoritative nameserver: ns"), std::string::npos) << text;
}

TEST_F(DnsmasqLookup, UnknownNameHasNoAnswers)
{
    ASSERT_EQ(lookup(NAMED_TYPE_A, "nothere.test"), 1);
    EXPECT_EQ(response_->questions, 1);
    EXPECT_EQ(response_->answer_count, 0);
}

// --- responders of the test's own --------------------------------------------

// Answers every query on port 53 of its address with what `reply` makes of
// it, from that port or from `other_port_first` datagrams sent from a second
// socket before it; stops when told to.
class responder {
public:
    using reply_maker = bytes (*)(const bytes& query);

    responder(reply_maker reply, int other_port_first = 0) : reply_(reply), foreign_(other_port_first)
    {
    }

    bool start(std::string* why)
    {
        address_ = own_loopback(54);
        sock_ = bind_port_53(address_, why);
        if (sock_ < 0)
            return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    ~responder()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (sock_ >= 0)
            udp_close(sock_);
    }

    const char* address() const
    {
        return address_.c_str();
    }
    int queries() const
    {
        return queries_;
    }

private:
    void run()
    {
        std::vector<unsigned char> buffer(NAMED_MESSAGE_SIZE);
        while (!stop_) {
            sockaddr_in client{};
            int received = udp_recv(sock_, &client, buffer.data(), NAMED_MESSAGE_SIZE, 0.05);
            if (received < 0 || reply_ == nullptr)
                continue;
            ++queries_;
            bytes reply = reply_(bytes(buffer.begin(), buffer.begin() + received));
            for (int i = 0; i < foreign_; ++i) {
                int other = udp_open(AF_INET);
                udp_send(other, &client, reply.data(), static_cast<int>(reply.size()), 1.0);
                udp_close(other);
            }
            if (foreign_ == 0 || reply_from_53_)
                udp_send(sock_, &client, reply.data(), static_cast<int>(reply.size()), 1.0);
        }
    }

    reply_maker reply_;
    int foreign_;
    std::string address_;
    int sock_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};

public:
    bool reply_from_53_ = false;
};

// The query's identifier and question, then the given counts.
bytes echo_header(const bytes& query, unsigned answers, unsigned authorities, unsigned additionals)
{
    bytes m(query.begin(), query.begin() + std::min<size_t>(query.size(), 12));
    m.resize(12);
    m[2] = 0x81;
    m[3] = 0x80;
    m[6] = static_cast<unsigned char>(answers >> 8);
    m[7] = static_cast<unsigned char>(answers);
    m[8] = static_cast<unsigned char>(authorities >> 8);
    m[9] = static_cast<unsigned char>(authorities);
    m[10] = static_cast<unsigned char>(additionals >> 8);
    m[11] = static_cast<unsigned char>(additionals);
    m.insert(m.end(), query.begin() + 12, query.end());
    return m;
}

bytes good_reply(const bytes& query)
{
    bytes m = echo_header(query, 1, 0, 0);
    const unsigned char address[4] = {192, 0, 2, 99};
    a_record(m, 12, address);
    return m;
}

bytes forged_reply(const bytes& query)
{
    bytes m = echo_header(query, 1, 0, 0);
    const unsigned char address[4] = {203, 0, 113, 66};
    a_record(m, 12, address);
    return m;
}

bytes pointer_loop_reply(const bytes& query)
{
    bytes m = echo_header(query, 2, 0, 0);
    unsigned here = static_cast<unsigned>(m.size());
    m.insert(m.end(), {0x01, 'x', 0xC0, static_cast<unsigned char>(here + 5), 0x00});
    m.insert(m.end(), {0x01, 'y', 0xC0, static_cast<unsigned char>(here)});
    fixed(m, 1, 4);
    m.insert(m.end(), {1, 2, 3, 4});
    return m;
}

bytes many_counts_reply(const bytes& query)
{
    bytes m = echo_header(query, 200, 200, 200);
    m.resize(20);
    return m;
}

bytes long_data_reply(const bytes& query)
{
    bytes m = echo_header(query, 2, 0, 0);
    const unsigned char address[4] = {192, 0, 2, 7};
    a_record(m, 12, address);
    pointer(m, 12);
    fixed(m, 1, 2000);
    m.resize(m.size() + 2000, 0xC0);
    return m;
}

bytes empty_reply(const bytes&)
{
    return {};
}

TEST(ResolverExchange, SilentServerTimesOutOnce)
{
    responder silent(nullptr);
    std::string why;
    if (!silent.start(&why))
        GTEST_SKIP() << why;
    auto response = std::make_unique<named_response>();
    double start = platform::monotonic_seconds();
    EXPECT_EQ(gethostbynamestr_ns(1, 1, "one.two.three", silent.address(), response.get(), 0.5), -1001);
    double elapsed = platform::monotonic_seconds() - start;
    EXPECT_GE(elapsed, 0.45);
    EXPECT_LT(elapsed, 5.0);
}

TEST(ResolverExchange, RepliesFromAnotherPortAreDropped)
{
    responder forger(forged_reply, 3);
    std::string why;
    if (!forger.start(&why))
        GTEST_SKIP() << why;
    auto response = std::make_unique<named_response>();
    double start = platform::monotonic_seconds();
    EXPECT_EQ(gethostbynamestr_ns(1, 1, "one.two.three", forger.address(), response.get(), 0.5), -1001);
    EXPECT_GE(platform::monotonic_seconds() - start, 0.45);  // the whole time-out, not the first datagram
    EXPECT_EQ(forger.queries(), 1);
}

TEST(ResolverExchange, ServerReplyIsTakenAfterForgedOnes)
{
    responder mixed(good_reply, 3);
    mixed.reply_from_53_ = true;
    std::string why;
    if (!mixed.start(&why))
        GTEST_SKIP() << why;
    auto response = std::make_unique<named_response>();
    ASSERT_EQ(gethostbynamestr_ns(1, 1, "one.two.three", mixed.address(), response.get(), 5.0), 1);
    ASSERT_EQ(response->answer_count, 1);
    EXPECT_EQ(text_of(response->answers[0]), "192.0.2.99");
}

TEST(ResolverExchange, HostileRepliesAreParsedWithinTheDatagram)
{
    struct {
        const char* what;
        responder::reply_maker reply;
        int questions;
        int answers;
    } cases[] = {
        {"pointer loop", pointer_loop_reply, 1, 0},
        {"counts of 200 in 20 bytes", many_counts_reply, 1, 0},
        {"address data of 2000 bytes", long_data_reply, 1, 1},
        {"empty datagram", empty_reply, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        responder hostile(c.reply);
        std::string why;
        if (!hostile.start(&why))
            GTEST_SKIP() << why;
        auto response = std::make_unique<named_response>();
        ASSERT_EQ(gethostbynamestr_ns(1, 1, "one.two.three", hostile.address(), response.get(), 5.0), 1);
        EXPECT_EQ(response->questions, c.questions);
        EXPECT_EQ(response->answer_count, c.answers);
        EXPECT_EQ(response->authority_count, 0);
        EXPECT_EQ(response->additional_count, 0);
    }
}

TEST(ResolverExchange, UnencodableNameSendsNothing)
{
    std::string name(1100, 'a');
    auto response = std::make_unique<named_response>();
    EXPECT_EQ(gethostbynamestr_ns(1, 1, name.c_str(), "127.0.0.1", response.get(), 0.1), -1001);
    EXPECT_EQ(gethostbynamestr_ns(1, 1, "x", "127.0.0.1", nullptr, 0.1), -1001);
}

}  // namespace
