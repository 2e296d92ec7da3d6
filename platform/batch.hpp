// Several datagrams in one system call each way.
//
// A busy server pays mostly for its system calls, two per datagram when it
// takes and answers them one at a time.  These take every datagram already
// waiting in one call and send a list of replies in one call.
#pragma once

#include "platform/winsock.hpp"

namespace platform {

// Longest list one call handles; longer lists are cut to it.
constexpr int batch_capacity = 64;

struct datagram {
    void* data;
    int size;                  // receive: room in data; send: bytes to send
    int result;                // bytes received or sent, or SOCKET_ERROR
    int error;                 // the Windows Sockets code of a failure, else 0
    sockaddr_storage address;  // receive: the source; send: the destination
    int address_length;
    // receive: the kernel's stamp, TTL and TOS (recv_datagrams_with_facts)
    receive_facts facts;
};

// Fills list[0..n) with datagrams already waiting, n at most `count`, and
// returns n.  With wait_for_one the call first blocks until one arrives
// (within the socket's receive time-out).  A datagram longer than its room
// has result SOCKET_ERROR and error WSAEMSGSIZE.  SOCKET_ERROR when none
// could be taken (last error WSAEWOULDBLOCK when none is waiting, WSAEINTR
// when a signal came first).
int recv_datagrams(SOCKET s, datagram* list, int count, bool wait_for_one);
// The same, and each datagram's facts filled in from its control messages:
// the kernel's receive stamp, TTL and TOS as far as the socket asked for
// them (receive_facts_on).  recv_datagrams leaves every fact unknown.
int recv_datagrams_with_facts(SOCKET s, datagram* list, int count, bool wait_for_one);

// Sends list[0..count) in order, each to its address, and sets each one's
// result (and error); a failure of one does not stop the others.  Returns
// the number handled.
int send_datagrams(SOCKET s, datagram* list, int count);

}  // namespace platform
