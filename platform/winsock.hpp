// Socket services of the platform layer.
//
// The libraries are written against Windows Sockets 2.2: counted start-up and
// clean-up, a per-thread last error with Windows Sockets numbers, select over
// socket lists, closesocket and ioctlsocket.  This header gives them those
// services on Linux.  It is the only code that calls the system's socket
// functions; everything above it calls these instead.
//
// Conventions of Windows Sockets that the callers rely on:
//   - a failing call returns -1 (SOCKET_ERROR or INVALID_SOCKET), leaves errno
//     as it was and records its code for WSAGetLastError(), translated onto
//     the Windows Sockets numbers (10004..10065) or the Windows runtime's
//     numbers (ENOENT 2 ... ENAMETOOLONG 38);
//   - sends never raise SIGPIPE; a broken connection is an error code;
//   - a datagram longer than the receive buffer is an error (WSAEMSGSIZE),
//     not a silent truncation;
//   - select takes lists of up to 64 sockets, so any descriptor number works.
// Address families, record layouts and option numbers are the host's.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/clock.hpp"

namespace platform {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Windows Sockets error numbers.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;

// Runtime error numbers as the Windows runtime numbers them.  Most agree
// with Linux; ENAMETOOLONG (36 on Linux) and ENOSYS (38 on Linux) do not.
constexpr int RT_ENOENT = 2;
constexpr int RT_EINTR = 4;
constexpr int RT_EIO = 5;
constexpr int RT_EAGAIN = 11;
constexpr int RT_ENOMEM = 12;
constexpr int RT_EACCES = 13;
constexpr int RT_ENOTDIR = 20;
constexpr int RT_EISDIR = 21;
constexpr int RT_ENFILE = 23;
constexpr int RT_EMFILE = 24;
constexpr int RT_EROFS = 30;
constexpr int RT_EPIPE = 32;
constexpr int RT_ENAMETOOLONG = 38;
constexpr int RT_ENOSYS = 40;

// Brings a Linux errno value onto the numbers above.  Values with no
// counterpart keep their Linux number unless it would be mistaken for one of
// the runtime numbers the libraries recognise.
int translate_errno(int linux_errno);

// --- start-up and last error -------------------------------------------------

struct WSADATA {
    uint16_t wVersion;
    uint16_t wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};

// Counted start-up: 0 on success (one more start-up outstanding), otherwise
// a Windows Sockets error number and nothing counted.
int WSAStartup(uint16_t version_requested, WSADATA* data);
// Ends one start-up: 0, or SOCKET_ERROR (last error WSANOTINITIALISED) when
// none is outstanding.
int WSACleanup();
// Start-ups outstanding in this process.
int startup_count();
// Test hook: the next `count` calls of WSAStartup fail with WSASYSNOTREADY.
void fail_next_startups(int count);

int WSAGetLastError();
void WSASetLastError(int code);

// Text of a Windows Sockets or runtime error number, as the system message
// table gives it.  Writes at most size - 1 characters and a terminator and
// returns the number of characters written; 0 (buffer untouched) when the
// code has no text.
constexpr uint32_t FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr uint32_t FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
uint32_t FormatMessageA(uint32_t flags, const void* source, uint32_t message_id, uint32_t language_id, char* buffer,
                        uint32_t size, void* arguments);

// Text of an error number of this layer (what WSAGetLastError gives): the
// message table for its Windows Sockets and runtime numbers, the C
// library's text for any other system number.  Never null.
const char* error_message(int code);

// --- sockets -----------------------------------------------------------------

SOCKET socket(int family, int type, int protocol);
int bind(SOCKET s, const void* address, int length);
int listen(SOCKET s, int backlog);
// `length` may be null when the caller does not want the peer's address;
// otherwise it holds the size of `address` and receives the peer's length.
SOCKET accept(SOCKET s, void* address, int* length);
int connect(SOCKET s, const void* address, int length);
int closesocket(SOCKET s);
int getsockname(SOCKET s, void* address, int* length);
int getpeername(SOCKET s, void* address, int* length);
int getsockopt(SOCKET s, int level, int option, void* value, int* length);
int setsockopt(SOCKET s, int level, int option, const void* value, int length);

// ioctlsocket request that switches blocking mode: argument 0 blocking,
// non-zero non-blocking.  The number is the one Windows Sockets uses.
constexpr uint32_t FIONBIO = 0x8004667EU;
int ioctlsocket(SOCKET s, uint32_t request, unsigned long* argument);

int send(SOCKET s, const void* data, int length, int flags);
int recv(SOCKET s, void* buffer, int length, int flags);
int sendto(SOCKET s, const void* data, int length, int flags, const void* to, int to_length);
// `from` may be null.  A datagram longer than `length` fills the buffer and
// fails with WSAEMSGSIZE; the rest of it is discarded.
int recvfrom(SOCKET s, void* buffer, int length, int flags, void* from, int* from_length);

// Asks the kernel to stamp every datagram the socket receives with its
// arrival time; 0 or SOCKET_ERROR.
int receive_stamps_on(SOCKET s);
// Asks the kernel to tell, with every datagram the socket receives, its
// arrival time and the time to live and type of service of its IP header
// (hop limit and traffic class over IPv6).  A socket of either family: an
// IPv6 socket also asks for the IPv4 fields, for the IPv4 datagrams it
// receives as mapped addresses.  0 or SOCKET_ERROR.
int receive_facts_on(SOCKET s);

// What the kernel told about a received datagram, each with whether it did.
struct receive_facts {
    int64_t stamp_ns;  // arrival, nanoseconds since 1970-01-01 UTC on the calendar clock
    uint8_t ttl;       // IPv4 time to live or IPv6 hop limit
    uint8_t tos;       // IPv4 type of service or IPv6 traffic class (DSCP and ECN)
    bool stamp_known;
    bool ttl_known;
    bool tos_known;
};

// When a datagram arrived, and what else the kernel told about it.
struct receive_time {
    // Arrival on the clock of monotonic_seconds(): the kernel's stamp moved
    // across from the calendar clock with a fresh pair of readings, which
    // can be off by microseconds; a round trip takes round_trip_between.
    double seconds;
    bool from_kernel;     // seconds is the kernel's stamp; false: read when the receive returned
    clock_pair taken;     // both clocks as the receive returned
    receive_facts facts;  // the kernel's stamp on the calendar clock, TTL, TOS
};
// recvfrom that also tells when the datagram arrived: from the kernel's
// time stamp on a socket with receive_stamps_on or receive_facts_on, else
// from the clock read as the call returns (also after a failure).
int recvfrom_stamped(SOCKET s, void* buffer, int length, int flags, void* from, int* from_length,
                     receive_time* arrival);

// --- waiting -----------------------------------------------------------------

// A list of sockets, as Windows Sockets keeps them: no limit on the
// descriptor numbers, at most socket_set_capacity entries (more are ignored).
constexpr int socket_set_capacity = 64;
struct socket_set {
    int count;
    SOCKET sockets[socket_set_capacity];
};
void socket_set_zero(socket_set* set);
void socket_set_add(SOCKET s, socket_set* set);
// True when `s` is in the set (after select: when it is ready).
bool socket_set_has(SOCKET s, const socket_set* set);

// Waits until a socket of the read set is readable, one of the write set
// writable, or one of the error set has an exceptional condition, or until
// the time-out passes (null: no limit).  On return each set holds only the
// sockets that are ready.  Result: the number of (socket, set) pairs ready,
// 0 when the time-out passed, SOCKET_ERROR on failure (last error WSAEINTR
// when interrupted, WSAEINVAL for a negative or malformed time-out,
// WSAENOTSOCK for a descriptor that is not open).  `socket_count` is
// accepted, as Windows Sockets accepts it, and not used.
int select(int socket_count, socket_set* read_set, socket_set* write_set, socket_set* error_set,
           const timeval* timeout);

// --- address text ------------------------------------------------------------

// Numeric text of an IPv4 or IPv6 socket address record: "a.b.c.d" or
// "a.b.c.d:port", "x::y" or "[x::y]:port" (the port only when not 0).  On
// input *text_length is the buffer size; on output the length used,
// terminator included.  A buffer too small fails with WSAEFAULT (with
// *text_length set to the size needed); another family with WSAEINVAL.
int WSAAddressToStringA(const void* address, uint32_t address_length, void* protocol_info, char* text,
                        uint32_t* text_length);
// Reads numeric address text ("a.b.c.d", "a.b.c.d:port", "x::y",
// "[x::y]", "[x::y]:port") into a zeroed socket address record of the family.
// Text that is no address of the family fails with WSAEINVAL; a record too
// small with WSAEFAULT.
int WSAStringToAddressA(const char* text, int family, void* protocol_info, void* address, int* address_length);

// Dotted IPv4 text to an address in network order; INADDR_NONE (all bits
// set) for text that is no address.
uint32_t inet_addr(const char* text);
// Dotted text of an IPv4 address, in storage of the calling thread that the
// next call overwrites.
char* inet_ntoa(in_addr address);

// --- system databases (records in platform storage; null when not found) -----

hostent* gethostbyname(const char* name);
// The same for one address family (AF_INET or AF_INET6).
hostent* gethostbyname2(const char* name, int family);
hostent* gethostbyaddr(const void* address, int length, int family);
servent* getservbyname(const char* name, const char* protocol);
servent* getservbyport(int port_network_order, const char* protocol);
protoent* getprotobyname(const char* name);
protoent* getprotobynumber(int number);

// --- process services --------------------------------------------------------

int process_id();
// Removes a file; 0 or -1.  errno as the runtime leaves it.
int unlink_file(const char* path);

}  // namespace platform
