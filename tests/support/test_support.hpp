// Small helpers shared by the tests: loopback sockets on free ports.
#pragma once

#include <cstdio>
#include <cstring>

#include "socketlib/socket.hpp"

namespace test_support {

// A UDP socket bound to 127.0.0.1 on a port the system chose.
struct bound_udp {
    int sock = -1;
    int port = 0;
    socketlib::sockaddr_in address{};
};

inline bound_udp open_bound_udp()
{
    bound_udp result;
    result.sock = socketlib::udp_open(AF_INET);
    socketlib::sockaddr_in local = socketlib::create_sockaddrin(AF_INET, "127.0.0.1", "0");
    socketlib::udp_bind(result.sock, &local);
    int length = static_cast<int>(sizeof result.address);
    platform::getsockname(result.sock, &result.address, &length);
    result.port = ntohs(result.address.sin_port);
    return result;
}

inline socketlib::sockaddr_in loopback_address(int port)
{
    char text[8];
    std::snprintf(text, sizeof text, "%d", port);
    return socketlib::create_sockaddrin(AF_INET, "127.0.0.1", text);
}

}  // namespace test_support
