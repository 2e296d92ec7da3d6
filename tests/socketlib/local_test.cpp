// Local stream sockets: server and client in a temporary folder, stale socket
// files, a path that fills its whole field, refusals, and transfers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "socketlib/socket.hpp"
#include "tests/support/stream_peer.hpp"

namespace {

using namespace socketlib;
using stream_peer::now;
using stream_peer::peer;

bool exists(const std::string& path)
{
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

class LocalSockets : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/echomark-local-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        folder = templ;
    }
    void TearDown() override
    {
        for (const std::string& path : made)
            ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }

    std::string path_of(const std::string& name)
    {
        std::string path = folder + "/" + name;
        made.push_back(path);
        return path;
    }

    // A listening server at the path.
    int serve(const std::string& path)
    {
        int server = unix_open(AF_UNIX);
        sockaddr_un address = create_sockaddrun(AF_UNIX, path.c_str());
        EXPECT_EQ(unix_bind(server, &address), 0);
        EXPECT_EQ(unix_listen(server, 4), 0);
        return server;
    }

    // A connected client and its accepted end, served at the path.
    void connect_pair(const std::string& path, int* client, int* accepted)
    {
        int server = serve(path);
        *client = unix_open(AF_UNIX);
        sockaddr_un address = create_sockaddrun(AF_UNIX, path.c_str());
        EXPECT_GT(unix_connect(*client, &address, 2.0), 0);
        sockaddr_un peer_address{};
        *accepted = unix_accept(server, &peer_address);
        EXPECT_GE(*accepted, 0);
        unix_close(server);
    }

    std::string folder;
    std::vector<std::string> made;
};

TEST_F(LocalSockets, ServerAndClientExchangeBothWays)
{
    int client = -1;
    int accepted = -1;
    connect_pair(path_of("echo.sock"), &client, &accepted);
    char buffer[16];
    EXPECT_EQ(unix_send(client, "ping", 4, 2.0), 4);
    EXPECT_EQ(unix_recv(accepted, buffer, 4, 2.0), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    EXPECT_EQ(unix_send(accepted, "pong!", 5, 2.0), 5);
    EXPECT_EQ(unix_recv(client, buffer, 5, 2.0), 5);
    EXPECT_EQ(std::string(buffer, 5), "pong!");
    EXPECT_EQ(unix_close(client), 0);
    EXPECT_EQ(unix_close(accepted), 0);
    EXPECT_EQ(unix_close(0), SOCK_ERR_GENERIC);
}

TEST_F(LocalSockets, BindRemovesAStaleSocketFile)
{
    const std::string path = path_of("stale.sock");
    unix_close(serve(path));
    ASSERT_TRUE(exists(path));
    // A plain bind trips over the file the earlier server left.
    sockaddr_un address = create_sockaddrun(AF_UNIX, path.c_str());
    int plain = unix_open(AF_UNIX);
    EXPECT_EQ(sock_bind(plain, &address), -platform::WSAEADDRINUSE);
    unix_close(plain);

    int client = -1;
    int accepted = -1;
    connect_pair(path, &client, &accepted);
    EXPECT_EQ(unix_send(client, "ok", 2, 2.0), 2);
    char buffer[2];
    EXPECT_EQ(unix_recv(accepted, buffer, 2, 2.0), 2);
    unix_close(client);
    unix_close(accepted);
}

TEST_F(LocalSockets, PathThatFillsTheWholeField)
{
    const std::size_t field = sizeof(sockaddr_un{}.sun_path);
    std::string name(field - folder.size() - 1, 'p');
    const std::string path = path_of(name);
    ASSERT_EQ(path.size(), field);
    sockaddr_un address = create_sockaddrun(AF_UNIX, path.c_str());
    ASSERT_NE(address.sun_path[field - 1], 0);

    unix_close(serve(path));
    ASSERT_TRUE(exists(path));
    // The second server removes the first one's file at exactly that path,
    // not at a longer one made of the bytes that follow the record.
    struct {
        sockaddr_un address;
        char after[8];
    } guarded;
    guarded.address = address;
    std::memset(guarded.after, 'x', sizeof guarded.after);
    int server = unix_open(AF_UNIX);
    EXPECT_EQ(unix_bind(server, &guarded.address), 0);
    EXPECT_EQ(unix_listen(server, 4), 0);

    int client = unix_open(AF_UNIX);
    EXPECT_GT(unix_connect(client, &address, 2.0), 0);
    sockaddr_un peer_address{};
    int accepted = unix_accept(server, &peer_address);
    EXPECT_GE(accepted, 0);
    EXPECT_EQ(unix_send(client, "x", 1, 2.0), 1);
    char byte = 0;
    EXPECT_EQ(unix_recv(accepted, &byte, 1, 2.0), 1);
    EXPECT_EQ(byte, 'x');
    unix_close(client);
    unix_close(accepted);
    unix_close(server);
}

TEST_F(LocalSockets, ConnectWhereNothingListens)
{
    const std::string missing = path_of("missing.sock");
    const std::string stale = path_of("nobody.sock");
    unix_close(serve(stale));
    struct case_ {
        std::string path;
        int expected;
    } cases[] = {{missing, SOCK_ERR_GENERIC}, {stale, -platform::WSAECONNREFUSED}};
    for (const auto& c : cases) {
        int client = unix_open(AF_UNIX);
        sockaddr_un address = create_sockaddrun(AF_UNIX, c.path.c_str());
        double start = now();
        EXPECT_EQ(unix_connect(client, &address, 2.0), c.expected) << c.path;
        EXPECT_LT(now() - start, 1.0);
        unix_close(client);
    }
}

TEST_F(LocalSockets, ReceiveCases)
{
    struct case_ {
        const char* name;
        const char* first;
        int pause_ms;
        const char* second;
        bool close_after;
        int expected;
    } cases[] = {
        {"two pieces", "0123456789", 50, "abcdefghij", false, 20},
        {"part, then close", "0123", 0, "", true, 4},
        {"part, then silence", "0123", 0, "", false, SOCK_ERR_TIMEOUT},
    };
    for (const auto& c : cases) {
        int client = -1;
        int accepted = -1;
        connect_pair(path_of("recv.sock"), &client, &accepted);
        char buffer[21];
        std::memset(buffer, 'q', sizeof buffer);
        int result;
        {
            peer p([&] {
                stream_peer::send_text(accepted, c.first);
                platform::Sleep(static_cast<uint32_t>(c.pause_ms));
                stream_peer::send_text(accepted, c.second);
                if (c.close_after)
                    platform::closesocket(accepted);
            });
            result = unix_recv(client, buffer, 20, 0.3);
        }
        EXPECT_EQ(result, c.expected) << c.name;
        const std::string sent = std::string(c.first) + c.second;
        EXPECT_EQ(std::string(buffer, sent.size()), sent) << c.name;
        for (int i = static_cast<int>(sent.size()); i < 20; ++i)
            EXPECT_EQ(buffer[i], 0) << c.name;
        EXPECT_EQ(buffer[20], 'q') << c.name;
        unix_close(client);
        if (!c.close_after)
            platform::closesocket(accepted);
    }
}

TEST_F(LocalSockets, ATrickleEndsWithTheCountOnceTheTimeIsUp)
{
    int client = -1;
    int accepted = -1;
    connect_pair(path_of("trickle.sock"), &client, &accepted);
    char buffer[10];
    {
        peer p([&] { stream_peer::trickle(accepted, "012345", 150); });
        int result = unix_recv(client, buffer, 10, 0.4);
        EXPECT_GE(result, 3);
        EXPECT_LT(result, 6);
        EXPECT_EQ(std::string(buffer, result), std::string("0123456789", result));
    }
    unix_close(client);
    unix_close(accepted);
}

TEST_F(LocalSockets, RefusedArgumentsAndABrokenConnection)
{
    char buffer[4] = {'q', 'q', 'q', 'q'};
    EXPECT_EQ(unix_send(-1, "x", 1, 1.0), -10038);
    EXPECT_EQ(unix_recv(-1, buffer, 4, 1.0), -10038);
    int client = -1;
    int accepted = -1;
    connect_pair(path_of("broken.sock"), &client, &accepted);
    EXPECT_LT(unix_recv(client, buffer, -1, 1.0), 0);
    EXPECT_EQ(std::string(buffer, 4), "qqqq");
    double start = now();
    EXPECT_EQ(unix_send(client, "x", 0, 5.0), 0);
    EXPECT_EQ(unix_recv(client, buffer, 0, 0.2), SOCK_ERR_TIMEOUT);
    EXPECT_LT(now() - start, 2.0);

    unix_close(accepted);
    errno = 0;
    EXPECT_EQ(unix_send(client, "data", 4, 1.0), -platform::WSAESHUTDOWN);
    EXPECT_EQ(errno, platform::RT_EPIPE);
    unix_close(client);
}

}  // namespace
