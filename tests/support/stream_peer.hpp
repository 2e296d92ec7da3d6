// Helpers of the stream-socket tests: loopback TCP listeners and connected
// pairs, and a peer thread that plays a script of sends, pauses and closes.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"

namespace stream_peer {

// A TCP socket listening on 127.0.0.1 at a port the system chose.
struct listener {
    int sock = -1;
    socketlib::sockaddr_in address{};
};

inline listener listen_loopback(int backlog = 8)
{
    listener result;
    result.sock = socketlib::tcp_open(AF_INET);
    socketlib::sockaddr_in local = socketlib::create_sockaddrin(AF_INET, "127.0.0.1", "0");
    socketlib::tcp_bind(result.sock, &local);
    socketlib::tcp_listen(result.sock, backlog);
    int length = static_cast<int>(sizeof result.address);
    platform::getsockname(result.sock, &result.address, &length);
    return result;
}

// A port on 127.0.0.1 where nothing listens: bound once, then released.
inline socketlib::sockaddr_in refusing_address()
{
    int sock = platform::socket(AF_INET, SOCK_STREAM, 0);
    socketlib::sockaddr_in local = socketlib::create_sockaddrin(AF_INET, "127.0.0.1", "0");
    platform::bind(sock, &local, static_cast<int>(sizeof local));
    socketlib::sockaddr_in address{};
    int length = static_cast<int>(sizeof address);
    platform::getsockname(sock, &address, &length);
    platform::closesocket(sock);
    return address;
}

// A connected loopback pair: `client` is blocking (connected with a plain
// connect), `server` is the accepted end.
struct tcp_pair {
    int client = -1;
    int server = -1;
};

inline tcp_pair connect_pair()
{
    listener l = listen_loopback();
    tcp_pair pair;
    pair.client = socketlib::tcp_open(AF_INET);
    socketlib::tcp_blockconnect(pair.client, &l.address);
    socketlib::sockaddr_in peer{};
    pair.server = socketlib::tcp_accept(l.sock, &peer);
    platform::closesocket(l.sock);
    return pair;
}

inline void close_pair(const tcp_pair& pair)
{
    platform::closesocket(pair.client);
    platform::closesocket(pair.server);
}

inline void send_text(int sock, const std::string& text)
{
    platform::send(sock, text.data(), static_cast<int>(text.size()), 0);
}

// Sends the text one byte at a time with a pause between bytes.
inline void trickle(int sock, const std::string& text, int pause_ms)
{
    for (char c : text) {
        platform::send(sock, &c, 1, 0);
        platform::Sleep(static_cast<uint32_t>(pause_ms));
    }
}

// Ends the connection with a reset instead of an orderly close.
inline void reset_close(int sock)
{
    socketlib::sock_optset(sock, socketlib::SOCK_OPT_LINGER, 0);
    platform::closesocket(sock);
}

// Runs the script on a thread of its own; joined when the peer goes out of
// scope, so a failing test never leaves it behind.
class peer {
public:
    explicit peer(std::function<void()> script) : thread_(std::move(script))
    {
    }
    ~peer()
    {
        if (thread_.joinable())
            thread_.join();
    }
    peer(const peer&) = delete;
    peer& operator=(const peer&) = delete;

private:
    std::thread thread_;
};

// Seconds since an arbitrary start, for measuring how long a call took.
inline double now()
{
    return platform::monotonic_seconds();
}

}  // namespace stream_peer
