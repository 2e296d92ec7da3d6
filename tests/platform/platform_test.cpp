// The platform layer: error numbers, counted start-up, select over socket
// lists, datagram truncation, address text and message texts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>
#include <thread>

#include "platform/batch.hpp"
#include "platform/clock.hpp"
#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "tests/support/test_support.hpp"

namespace {

using namespace platform;

TEST(ErrorTranslation, SocketErrorsGoToWindowsSocketsNumbers)
{
    struct case_ {
        int linux_errno;
        int expected;
    } cases[] = {
        {EINTR, WSAEINTR},
        {EAGAIN, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEINPROGRESS},
        {ENOTSOCK, WSAENOTSOCK},
        {EMSGSIZE, WSAEMSGSIZE},
        {EADDRINUSE, WSAEADDRINUSE},
        {ECONNRESET, WSAECONNRESET},
        {ETIMEDOUT, WSAETIMEDOUT},
        {ECONNREFUSED, WSAECONNREFUSED},
        {EHOSTUNREACH, WSAEHOSTUNREACH},
        {ELOOP, WSAELOOP},
        {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    };
    for (const auto& c : cases)
        EXPECT_EQ(translate_errno(c.linux_errno), c.expected) << c.linux_errno;
}

TEST(ErrorTranslation, RuntimeNumbersKeepTheDesignsValues)
{
    EXPECT_EQ(translate_errno(ENOENT), 2);
    EXPECT_EQ(translate_errno(EACCES), 13);
    EXPECT_EQ(translate_errno(EPIPE), 32);
    EXPECT_EQ(translate_errno(EMFILE), 24);
    // Linux numbers the two differently; neither may pass for the other.
    EXPECT_EQ(translate_errno(ENAMETOOLONG), RT_ENAMETOOLONG);
    EXPECT_NE(translate_errno(ENOSYS), RT_ENAMETOOLONG);
}

TEST(ErrorTranslation, FailedCallKeepsErrnoAndRecordsItsCode)
{
    errno = 1234;
    EXPECT_EQ(platform::bind(-1, nullptr, 16), SOCKET_ERROR);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(StartUp, CountsEveryStartAndCleanUp)
{
    int before = startup_count();
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    ASSERT_EQ(WSAStartup(0x0202, nullptr), 0);
    EXPECT_EQ(startup_count(), before + 2);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(startup_count(), before);
}

TEST(StartUp, CleanUpWithoutStartUpFails)
{
    while (startup_count() > 0)
        WSACleanup();
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(StartUp, InjectedFailuresFailThatManyStarts)
{
    int before = startup_count();
    fail_next_startups(2);
    EXPECT_EQ(WSAStartup(0x0202, nullptr), WSASYSNOTREADY);
    EXPECT_EQ(WSAStartup(0x0202, nullptr), WSASYSNOTREADY);
    EXPECT_EQ(startup_count(), before);
    EXPECT_EQ(WSAStartup(0x0202, nullptr), 0);
    WSACleanup();
}

TEST(Select, ReportsOnlyTheReadySocketsAndCountsPairs)
{
    auto a = test_support::open_bound_udp();
    auto b = test_support::open_bound_udp();
    char byte = 'x';
    ASSERT_EQ(platform::sendto(b.sock, &byte, 1, 0, &a.address, 16), 1);

    socket_set readable, writable;
    socket_set_zero(&readable);
    socket_set_zero(&writable);
    socket_set_add(a.sock, &readable);
    socket_set_add(b.sock, &readable);
    socket_set_add(a.sock, &writable);
    platform::timeval limit{1, 0};
    // a is readable and writable, b only writable but not asked for writing.
    EXPECT_EQ(platform::select(0, &readable, &writable, nullptr, &limit), 2);
    EXPECT_TRUE(socket_set_has(a.sock, &readable));
    EXPECT_FALSE(socket_set_has(b.sock, &readable));
    EXPECT_TRUE(socket_set_has(a.sock, &writable));
    platform::closesocket(a.sock);
    platform::closesocket(b.sock);
}

TEST(Select, TimeOutClearsTheSetsAndNegativeTimeFails)
{
    auto a = test_support::open_bound_udp();
    socket_set readable;
    socket_set_zero(&readable);
    socket_set_add(a.sock, &readable);
    platform::timeval short_wait{0, 20000};
    EXPECT_EQ(platform::select(0, &readable, nullptr, nullptr, &short_wait), 0);
    EXPECT_FALSE(socket_set_has(a.sock, &readable));

    socket_set_add(a.sock, &readable);
    platform::timeval negative{0, -1};
    EXPECT_EQ(platform::select(0, &readable, nullptr, nullptr, &negative), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    platform::closesocket(a.sock);
}

TEST(Select, ClosedOrNegativeHandleIsNotASocket)
{
    socket_set readable;
    socket_set_zero(&readable);
    socket_set_add(-1, &readable);
    platform::timeval limit{0, 0};
    EXPECT_EQ(platform::select(0, &readable, nullptr, nullptr, &limit), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

    int fd = ::dup(0);
    ::close(fd);
    socket_set_zero(&readable);
    socket_set_add(fd, &readable);
    EXPECT_EQ(platform::select(0, &readable, nullptr, nullptr, &limit), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(Select, SetIgnoresEntriesBeyondItsCapacity)
{
    socket_set set;
    socket_set_zero(&set);
    for (int i = 0; i < socket_set_capacity + 10; ++i)
        socket_set_add(1000 + i, &set);
    EXPECT_EQ(set.count, socket_set_capacity);
    EXPECT_TRUE(socket_set_has(1000, &set));
    EXPECT_FALSE(socket_set_has(1000 + socket_set_capacity, &set));
}

TEST(Datagrams, LongerThanTheBufferIsReportedNotTruncated)
{
    auto a = test_support::open_bound_udp();
    auto b = test_support::open_bound_udp();
    char data[100];
    std::memset(data, 'd', sizeof data);
    ASSERT_EQ(platform::sendto(b.sock, data, 100, 0, &a.address, 16), 100);
    char small[10] = {};
    sockaddr_in from{};
    int from_length = 16;
    EXPECT_EQ(platform::recvfrom(a.sock, small, 10, 0, &from, &from_length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(small[9], 'd');
    EXPECT_EQ(ntohs(from.sin_port), b.port);
    platform::closesocket(a.sock);
    platform::closesocket(b.sock);
}

// An IPv6 source taken into a 16-byte record: the length says what the
// record holds, never the 28 bytes that did not fit.
TEST(Datagrams, SourceLongerThanItsRecordIsNotReportedLonger)
{
    int a = platform::socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    int b = platform::socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (a < 0 || b < 0 || platform::bind(a, &address, sizeof address) != 0)
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    int length = sizeof address;
    platform::getsockname(a, &address, &length);
    ASSERT_EQ(platform::sendto(b, "six", 3, 0, &address, sizeof address), 3);
    sockaddr_in small{};
    int from_length = sizeof small;
    char got[8];
    EXPECT_EQ(platform::recvfrom(a, got, sizeof got, 0, &small, &from_length), 3);
    EXPECT_EQ(from_length, static_cast<int>(sizeof small));
    EXPECT_EQ(small.sin_family, AF_INET6);
    platform::closesocket(a);
    platform::closesocket(b);
}

// The responder's variant: SIGHUP too ends a blocking receive and is noted.
TEST(StopRequests, HangupIsAStopForTheResponder)
{
    auto a = test_support::open_bound_udp();
    stop_request_catch_with_hangup();
    pthread_t waiter = pthread_self();
    std::thread stopper([waiter] {
        platform::Sleep(50);
        pthread_kill(waiter, SIGHUP);
    });
    char byte;
    EXPECT_EQ(platform::recvfrom(a.sock, &byte, 1, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINTR);
    stopper.join();
    EXPECT_TRUE(stop_requested());
    EXPECT_EQ(stop_request_signal(), SIGHUP);
    stop_request_release();
    EXPECT_FALSE(stop_requested());
    struct sigaction now {};
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    platform::closesocket(a.sock);
}

// A datagram left waiting 30 ms carries its arrival time: the kernel's
// stamp when asked for, else the moment the receive returned.
TEST(Datagrams, ArrivalTimeIsTheKernelsStampOnTheMonotonicClock)
{
    auto a = test_support::open_bound_udp();
    auto b = test_support::open_bound_udp();
    ASSERT_EQ(receive_stamps_on(a.sock), 0);
    char data[8] = "stamped";
    // The system turns stamping on in the background: the first datagrams
    // after the switch may be stamped only as they are read.
    int stamped_on_arrival = 0;
    for (int attempt = 0; attempt < 4; attempt++) {
        bool stamped = attempt < 3;
        if (!stamped) {
            int off = 0;
            ASSERT_EQ(platform::setsockopt(a.sock, SOL_SOCKET, SO_TIMESTAMPNS, &off, sizeof off), 0);
        }
        double before = monotonic_seconds();
        ASSERT_EQ(platform::sendto(b.sock, data, 8, 0, &a.address, 16), 8);
        Sleep(30);
        char got[8] = {};
        sockaddr_in from{};
        int from_length = 16;
        receive_time arrival{};
        arrival.seconds = -1.0;
        arrival.from_kernel = !stamped;
        double receiving = monotonic_seconds();
        ASSERT_EQ(recvfrom_stamped(a.sock, got, 8, 0, &from, &from_length, &arrival), 8);
        double after = monotonic_seconds();
        EXPECT_STREQ(got, "stamped");
        EXPECT_EQ(ntohs(from.sin_port), b.port);
        EXPECT_EQ(arrival.from_kernel, stamped);
        EXPECT_GE(arrival.seconds, before - 0.001) << stamped;
        EXPECT_LE(arrival.seconds, after) << stamped;
        if (stamped) {
            if (receiving - arrival.seconds >= 0.025)
                stamped_on_arrival++;
        } else {
            EXPECT_GE(arrival.seconds, receiving);
        }
    }
    EXPECT_GE(stamped_on_arrival, 1);
    // A failed receive still gives a time.
    receive_time arrival{};
    arrival.seconds = -1.0;
    arrival.from_kernel = true;
    EXPECT_EQ(recvfrom_stamped(-1, data, 8, 0, nullptr, nullptr, &arrival), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_FALSE(arrival.from_kernel);
    EXPECT_GT(arrival.seconds, 0.0);
    platform::closesocket(a.sock);
    platform::closesocket(b.sock);
}

// A list of replies: runs of one size to one destination (which go out
// segmented where the kernel allows), a lone empty one, another destination,
// and sizes too large to be joined.  Each arrives alone, whole and in order,
// and each has its own result; also when the kernel refuses segmented sends
// on the socket and every datagram has to go out alone.
TEST(Datagrams, ListsOfRepliesArriveOneByOneInOrder)
{
    auto a = test_support::open_bound_udp();
    auto b = test_support::open_bound_udp();
    struct planned {
        bool to_a;
        int size;
    };
    const planned plan[] = {{true, 64},  {true, 64}, {true, 64}, {true, 64}, {true, 64},   {true, 0},    {false, 64},
                            {false, 64}, {true, 64}, {true, 64}, {true, 65}, {true, 1500}, {true, 1500}, {true, 1}};
    constexpr int count = static_cast<int>(std::size(plan));
    static unsigned char payloads[count][1500];
    for (bool refused : {false, true}) {
        auto sender = test_support::open_bound_udp();
        if (refused) {
            // Segmented sends need the checksum; without it the kernel refuses them.
            int off = 1;
            ASSERT_EQ(::setsockopt(sender.sock, SOL_SOCKET, SO_NO_CHECK, &off, sizeof off), 0);
        }
        datagram list[count];
        for (int i = 0; i < count; i++) {
            std::memset(payloads[i], 'A' + i, sizeof payloads[i]);
            list[i] = {};
            list[i].data = payloads[i];
            list[i].size = plan[i].size;
            list[i].result = -7;
            std::memcpy(&list[i].address, plan[i].to_a ? &a.address : &b.address, sizeof a.address);
            list[i].address_length = sizeof a.address;
        }
        ASSERT_EQ(send_datagrams(sender.sock, list, count), count);
        for (int i = 0; i < count; i++) {
            EXPECT_EQ(list[i].result, plan[i].size) << i << (refused ? " refused" : "");
            EXPECT_EQ(list[i].error, 0) << i;
        }
        static unsigned char got[count][2048];
        datagram taken[count];
        for (int i = 0; i < count; i++)
            taken[i] = {got[i], sizeof got[i], 0, 0, {}, 0, {}};
        for (int receiver : {a.sock, b.sock}) {
            int expected = 0;
            for (const planned& p : plan)
                expected += (receiver == a.sock) == p.to_a;
            ASSERT_EQ(recv_datagrams(receiver, taken, count, false), expected);
            int next = 0;
            for (int i = 0; i < count; i++) {
                if ((receiver == a.sock) != plan[i].to_a)
                    continue;
                EXPECT_EQ(taken[next].result, plan[i].size) << i;
                EXPECT_EQ(std::memcmp(got[next], payloads[i], static_cast<size_t>(plan[i].size)), 0) << i;
                next++;
            }
            EXPECT_EQ(recv_datagrams(receiver, taken, 1, false), SOCKET_ERROR);
            EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        }
        platform::closesocket(sender.sock);
    }
    platform::closesocket(a.sock);
    platform::closesocket(b.sock);
}

TEST(Streams, SendToAClosedPeerFailsWithoutSignal)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::close(pair[1]);
    char byte = 'x';
    EXPECT_EQ(platform::send(pair[0], &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), RT_EPIPE);
    ::close(pair[0]);
}

TEST(Modes, IoctlSwitchesNonBlocking)
{
    auto a = test_support::open_bound_udp();
    unsigned long on = 1;
    ASSERT_EQ(ioctlsocket(a.sock, FIONBIO, &on), 0);
    EXPECT_TRUE(::fcntl(a.sock, F_GETFL) & O_NONBLOCK);
    char buffer[4];
    EXPECT_EQ(platform::recv(a.sock, buffer, 4, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    unsigned long off = 0;
    ASSERT_EQ(ioctlsocket(a.sock, FIONBIO, &off), 0);
    EXPECT_FALSE(::fcntl(a.sock, F_GETFL) & O_NONBLOCK);
    platform::closesocket(a.sock);
}

TEST(AddressText, Ipv4WithAndWithoutPort)
{
    sockaddr_in record{};
    int length = 16;
    ASSERT_EQ(WSAStringToAddressA("10.1.2.3:8080", AF_INET, nullptr, &record, &length), 0);
    EXPECT_EQ(ntohl(record.sin_addr.s_addr), 0x0A010203u);
    EXPECT_EQ(ntohs(record.sin_port), 8080);

    char text[32];
    uint32_t text_length = sizeof text;
    ASSERT_EQ(WSAAddressToStringA(&record, 16, nullptr, text, &text_length), 0);
    EXPECT_STREQ(text, "10.1.2.3:8080");
    record.sin_port = 0;
    text_length = sizeof text;
    ASSERT_EQ(WSAAddressToStringA(&record, 16, nullptr, text, &text_length), 0);
    EXPECT_STREQ(text, "10.1.2.3");
    EXPECT_EQ(text_length, 9u);
}

TEST(AddressText, Ipv6BracketsAndPort)
{
    sockaddr_in6 record{};
    int length = 28;
    ASSERT_EQ(WSAStringToAddressA("[::1]:53", AF_INET6, nullptr, &record, &length), 0);
    EXPECT_EQ(record.sin6_addr.s6_addr[15], 1);
    EXPECT_EQ(ntohs(record.sin6_port), 53);
    char text[64];
    uint32_t text_length = sizeof text;
    ASSERT_EQ(WSAAddressToStringA(&record, 28, nullptr, text, &text_length), 0);
    EXPECT_STREQ(text, "[::1]:53");
    ASSERT_EQ(WSAStringToAddressA("fe80::1", AF_INET6, nullptr, &record, &length), 0);
    EXPECT_EQ(record.sin6_port, 0);
}

TEST(AddressText, RefusesWhatIsNoAddressAndSmallBuffers)
{
    sockaddr_in record{};
    int length = 16;
    const char* bad[] = {"localhost", "1.2.3", "1.2.3.4:", "1.2.3.4:70000", "1.2.3.4:8x", "", "::1"};
    for (const char* text : bad) {
        EXPECT_EQ(WSAStringToAddressA(text, AF_INET, nullptr, &record, &length), SOCKET_ERROR) << text;
        EXPECT_EQ(WSAGetLastError(), WSAEINVAL) << text;
    }
    int too_small = 8;
    EXPECT_EQ(WSAStringToAddressA("1.2.3.4", AF_INET, nullptr, &record, &too_small), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);

    record.sin_family = AF_INET;
    record.sin_addr.s_addr = htonl(0xC0A80101);
    char text[8];
    uint32_t text_length = sizeof text;
    EXPECT_EQ(WSAAddressToStringA(&record, 16, nullptr, text, &text_length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(text_length, 12u);
}

TEST(Messages, TextsAreCutAndTerminatedInsideTheBuffer)
{
    char text[16];
    std::memset(text, '#', sizeof text);
    uint32_t written = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, WSAETIMEDOUT, 0, text, sizeof text, nullptr);
    EXPECT_EQ(written, 15u);
    EXPECT_EQ(text[15], '\0');
    char untouched[8] = "keep";
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 99999, 0, untouched, sizeof untouched, nullptr), 0u);
    EXPECT_STREQ(untouched, "keep");
}

TEST(Messages, ErrorTextsOfTheLayersNumbers)
{
    EXPECT_STREQ(error_message(WSAEMSGSIZE),
                 "A message sent on a datagram socket was larger than the internal "
                 "message buffer or the buffer used to receive it.");
    EXPECT_STREQ(error_message(WSAEADDRINUSE), "Only one usage of each socket address is normally permitted.");
    EXPECT_STREQ(error_message(RT_EACCES), "Permission denied.");
    EXPECT_STREQ(error_message(RT_ENAMETOOLONG), "File name too long.");
    // System numbers the layer passes through keep the system's text.
    EXPECT_STREQ(error_message(EPERM), std::strerror(EPERM));
    EXPECT_STREQ(error_message(0), std::strerror(0));
}

TEST(Clock, TimeOutConversionTruncatesAndClamps)
{
    struct case_ {
        double seconds;
        int32_t sec;
        int32_t usec;
    } cases[] = {{2.5, 2, 500000},      {-1.5, -1, -500000},         {0.0000005, 0, 0}, {0.25, 0, 250000},
                 {1e12, 2147483647, 0}, {-1e12, -2147483647 - 1, 0}, {0.0 / 0.0, 0, 0}};
    for (const auto& c : cases) {
        platform::timeval value = timeval_from_seconds(c.seconds);
        EXPECT_EQ(value.tv_sec, c.sec) << c.seconds;
        EXPECT_EQ(value.tv_usec, c.usec) << c.seconds;
    }
}

TEST(Clock, OnePausedMillisecondIsCloseToOne)
{
    double start = monotonic_seconds();
    for (int i = 0; i < 20; ++i)
        Sleep(1);
    double each = (monotonic_seconds() - start) / 20;
    EXPECT_GE(each, 0.001);
    EXPECT_LT(each, 0.01);
}

TEST(Clock, LocalTimeHasMilliseconds)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_GE(now.wYear, 2024);
    EXPECT_LE(now.wMilliseconds, 999);
    EXPECT_GE(now.wMonth, 1);
    EXPECT_LE(now.wMonth, 12);
}

// A stop signal is noted once and interrupts a wait in progress; a second
// one within the grace is the same request, a later one ends the process
// and takes the files named for removal with it.
TEST(StopRequest, FirstSignalIsNotedAndInterruptsAWait)
{
    stop_request_catch();
    EXPECT_FALSE(stop_requested());
    int sock = platform::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_GE(sock, 0);
    // The signal arrives while select waits (up to 5 s) on a silent socket.
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        usleep(100000);
        kill(parent, SIGTERM);
        _exit(0);
    }
    socket_set set;
    socket_set_zero(&set);
    socket_set_add(sock, &set);
    platform::timeval five = timeval_from_seconds(5.0);
    double start = monotonic_seconds();
    int result = platform::select(sock + 1, &set, nullptr, nullptr, &five);
    int error = WSAGetLastError();
    double waited = monotonic_seconds() - start;
    waitpid(child, nullptr, 0);
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(error, WSAEINTR);
    EXPECT_LT(waited, 4.0);
    EXPECT_TRUE(stop_requested());
    EXPECT_EQ(stop_request_signal(), SIGTERM);
    raise(SIGTERM);  // as timeout(1) sends a second one to the process group
    EXPECT_EQ(stop_request_signal(), SIGTERM);
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_NE(now.sa_handler, SIG_DFL);
    char doomed[] = "/tmp/echomark-stop-XXXXXX";
    close(mkstemp(doomed));
    pid_t impatient = fork();
    if (impatient == 0) {
        stop_request_catch();
        stop_request_remove_on_kill(doomed);
        raise(SIGTERM);
        usleep(static_cast<useconds_t>(stop_request_grace * 1.2e6));
        raise(SIGTERM);
        _exit(0);
    }
    int status = 0;
    waitpid(impatient, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_NE(access(doomed, F_OK), 0);
    stop_request_release();
    EXPECT_FALSE(stop_requested());
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    platform::closesocket(sock);
}

// --- the pause ------------------------------------------------------------------------

TEST(ToolPause, LastsWhatItAsksAndNothingForNonPositiveValues) {
    for (double seconds : {0.0005, 0.02}) {
        double start = platform::monotonic_seconds();
        platform::pause_seconds(seconds);
        EXPECT_GE(platform::monotonic_seconds() - start, seconds) << seconds;
    }
    double start = platform::monotonic_seconds();
    platform::pause_seconds(0.0);
    platform::pause_seconds(-5.0);
    platform::pause_seconds(std::nan(""));
    EXPECT_LT(platform::monotonic_seconds() - start, 0.5);
}

}  // namespace
