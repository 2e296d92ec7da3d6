// The socket library: plain functions over plain records.
//
// Results: 0 or more is success (0, 1, a socket, a byte count, a family, as
// each operation says); a negative value is an error code: a negated Windows
// Sockets or runtime number (-10048 address in use, -10060 every time-out) or
// one of the library's own codes below.  When a system call fails, its code is
// also left in errno.  Time-outs are doubles in seconds, truncated toward
// zero to seconds and microseconds.  Callers own every buffer.
#pragma once

#include <cstdint>

#include "platform/winsock.hpp"

namespace socketlib {

using platform::timeval;

// --- result codes ------------------------------------------------------------

constexpr int SOCK_ERR_GENERIC = -1001;
constexpr int SOCK_ERR_BIND = -1003;
constexpr int SOCK_ERR_LISTEN = -1004;
constexpr int SOCK_ERR_ACCEPT = -1005;
constexpr int SOCK_ERR_STARTUP = -1006;
constexpr int SOCK_ERR_TIMEOUT = -platform::WSAETIMEDOUT;  // -10060

// --- option codes of sock_optget / sock_optset -------------------------------

constexpr int SOCK_OPT_NODELAY = 0x1;
constexpr int SOCK_OPT_BROADCAST = 0x20;
constexpr int SOCK_OPT_REUSEADDR = 0x123;
constexpr int SOCK_OPT_LINGER = 0x124;
constexpr int SOCK_OPT_BLOCKING = 0x125;
constexpr int SOCK_OPT_SNDBUF = 0x1001;
constexpr int SOCK_OPT_RCVBUF = 0x1002;
constexpr int SOCK_OPT_ERROR = 0x1007;
constexpr int SOCK_OPT_TYPE = 0x1008;
constexpr int SOCK_OPT_NONBLOCKING = static_cast<int>(0x8004667EU);
// Per-datagram IP header fields: 0x2 and the IPv4 option number, 0x29 (the
// IPv6 protocol) and the IPv6 option number.
constexpr int SOCK_OPT_TOS = 0x20003;     // IPv4 type of service, 0..255
constexpr int SOCK_OPT_TTL = 0x20004;     // IPv4 time to live, 1..255
constexpr int SOCK_OPT_HOPS = 0x29004;    // IPv6 unicast hop limit, 1..255
constexpr int SOCK_OPT_TCLASS = 0x29027;  // IPv6 traffic class, 0..255

// --- address records ---------------------------------------------------------

using ::sockaddr_in;
using ::sockaddr_in6;
static_assert(sizeof(sockaddr_in) == 16, "IPv4 socket address record");
static_assert(sizeof(sockaddr_in6) == 28, "IPv6 socket address record");

// Local socket address, the library's own record: family and a 108-byte
// path, zero-padded; a path of 108 characters or more has no terminator.
struct sockaddr_un {
    uint16_t sun_family;
    char sun_path[108];
};
static_assert(sizeof(sockaddr_un) == 110, "local socket address record");

// The IPv6 constants :: and ::1 (the C library's own, so both names agree).
using ::in6addr_any;
using ::in6addr_loopback;

// --- core (start-up, generic operations, builders, helpers) ------------------

int sockWSASockInit();   // 1, or SOCK_ERR_STARTUP
int sockWSASockClean();  // always 1

int sock_open(int family, int type, int protocol);
// The socket's family; a failure comes back as its negative code in 16 bits
// (read it as int16_t).
uint16_t sock_family(int sock);
int sock_bind(int sock, const void* address);
int sock_listen(int sock, int backlog);
int sock_accept(int sock, void* address);
int sock_close(int sock);

sockaddr_in create_sockaddrin(uint16_t family, const char* host, const char* port);
sockaddr_in6 create_sockaddr6in(uint16_t family, const char* host, const char* port);
sockaddr_un create_sockaddrun(uint16_t family, const char* path);

double sockmicrotime();
uint32_t sockchunk2uint32(const unsigned char* text);
char* wsaerror(int code, char* buffer, int size);

// --- options -----------------------------------------------------------------

int sock_optget(int sock, int option, int* value);
int sock_optset(int sock, int option, int value);

// --- address text and socket information -------------------------------------

const char* inet_ntop(int family, const void* address, char* text, int size);
int inet_pton(int family, const char* text, void* address);
char* sock_localinfo(int sock, char* text, int size);
char* sock_peerinfo(int sock, char* text, int size);
char* addr_info(const void* address, char* text, int size);
char* addrin_info(sockaddr_in address, char* text, int size);
char* addrun_info(sockaddr_un address, char* text, int size);

// --- UDP ---------------------------------------------------------------------

int udp_open(int family);
int udp_sockoptget(int sock, int option, int* value);
int udp_sockoptset(int sock, int option, int value);
int udp_bind(int sock, const void* address);
int udp_send(int sock, const void* to, const void* data, int length, double timeout);
int udp_blocksend(int sock, const void* to, const void* data, int length);
int udp_recv(int sock, void* from, void* buffer, int length, double timeout);
int udp_blockrecv(int sock, void* from, void* buffer, int length);
int udp_close(int sock);

// --- local (AF_UNIX stream) sockets ------------------------------------------

int unix_open(int family);
int unix_sockoptget(int sock, int option, int* value);
int unix_sockoptset(int sock, int option, int value);
int unix_bind(int sock, const sockaddr_un* address);
int unix_listen(int sock, int backlog);
int unix_accept(int sock, sockaddr_un* address);
int unix_connect(int sock, const sockaddr_un* address, double timeout);
int unix_send(int sock, const void* data, int length, double timeout);
int unix_recv(int sock, void* buffer, int length, double timeout);
int unix_close(int sock);

// --- TCP: connection establishment -------------------------------------------

int tcp_sockopen(int family);
int tcp_open(int family);
int tcp_sockoptget(int sock, int option, int* value);
int tcp_sockoptset(int sock, int option, int value);
int tcp_bind(int sock, const void* address);
int tcp_listen(int sock, int backlog);
int tcp_accept(int sock, void* address);
int tcp_connect(int sock, const void* address, double timeout);
int tcp_halfconnect(int sock, const void* address, double timeout);
int tcp_resetokconnect(int sock, const void* address, double timeout);
int tcp_blockconnect(int sock, const void* address);
int tcp_pollconnect(int sock, const void* address);

// --- TCP: data transfer ------------------------------------------------------

int tcp_issend(int sock, double timeout);
int tcp_isrecv(int sock, double timeout);
int tcp_send(int sock, const void* data, int length, double timeout);
int tcp_onesend(int sock, const void* data, int length, double timeout);
int tcp_blocksend(int sock, const void* data, int length, double timeout);
int tcp_recv(int sock, void* buffer, int length, double timeout);
int tcp_onerecv(int sock, void* buffer, int length, double timeout);
int tcp_blockrecv(int sock, void* buffer, int length, double timeout);
int tcp_pollsend(int sock);
int tcp_pollonesend(int sock);
int tcp_pollrecv(int sock, void* buffer, int length);
int tcp_pollonerecv(int sock, void* buffer, int length);
int tcp_close(int sock);

// --- TCP: lines, header blocks, chunks ---------------------------------------

int tcp_linerecv(int sock, char* buffer, int length, double timeout);
int tcp_headersrecv(int sock, char* buffer, int length, double timeout);
int tcp_chunkrecv(int sock, char* buffer, int length, double timeout);
int tcp_chunksend(int sock, const void* data, int length, double timeout);
int tcp_polllinerecv(int sock, char* buffer, int length);

// --- service and protocol lookups --------------------------------------------

int getservicebyname(const char* protocol, const char* service);
char* getservicebyport(const char* protocol, int port, char* out);
char* getservaliasbyname(const char* protocol, const char* service, char* out);
char* getservaliasbyport(const char* protocol, int port, char* out);
int getprotocolbyname(const char* name);
char* getprotocolbynumber(int number, char* out);
char* getprotoaliasbyname(const char* name, char* out);
char* getprotoaliasbynumber(int number, char* out);

// --- IPv4 address utilities --------------------------------------------------

char* ipaddr2arpa(const char* address, char* out, int size);
int ipaddrvalid(const char* address);
int ipaddrinnetwork(const char* network, const char* address);

// --- host name lookups -------------------------------------------------------

char* gethostbynamestr(const char* name, char* out);
int gethostbynamestr_a(const char* name, char (*out)[16], int slots);
char* gethostbyaddrstr(const char* address, char* out);
// Text of the first IPv6 address of a name into `out` (IPV6_TEXT_SIZE
// bytes, cleared first); null when the name has none.
constexpr int IPV6_TEXT_SIZE = 46;
char* gethostbynamestr6(const char* name, char* out);

// --- DNS stub resolver -------------------------------------------------------

constexpr int NAMED_MAX_RECORDS = 25;
constexpr int NAMED_TEXT_SIZE = 1025;
constexpr int NAMED_MESSAGE_SIZE = 65536;
constexpr uint16_t NAMED_TYPE_A = 1;
constexpr uint16_t NAMED_TYPE_NS = 2;
constexpr uint16_t NAMED_TYPE_CNAME = 5;
constexpr uint16_t NAMED_TYPE_PTR = 12;
constexpr uint16_t NAMED_CLASS_IN = 1;

struct named_record {
    char name[NAMED_TEXT_SIZE];
    uint16_t type;         // network byte order, as received
    uint16_t rclass;       // network byte order
    uint32_t ttl;          // network byte order
    uint16_t data_length;  // network byte order
    unsigned char data[NAMED_TEXT_SIZE];
    char data_text[NAMED_TEXT_SIZE];
};

struct named_response {
    int questions;
    named_record answers[NAMED_MAX_RECORDS];
    int answer_count;
    named_record authorities[NAMED_MAX_RECORDS];
    int authority_count;
    named_record additionals[NAMED_MAX_RECORDS];
    int additional_count;
};

int gethostbynamestr_ns(uint16_t type, uint16_t qclass, const char* name, const char* server, named_response* response,
                        double timeout);
// Builds the query into `buffer` and never writes beyond `size` bytes.  The
// message length, or -1 when the message does not fit or `name` is null.
int named_createquery(uint16_t type, uint16_t qclass, const char* name, unsigned char* buffer, int size);
// Parses a reply of `length` received bytes: nothing outside them is read.
// Each section count is the number of records stored in its table (at most
// NAMED_MAX_RECORDS); reading stops at the first record that does not fit.
void named_parseresponse(const unsigned char* message, int length, const char* name, named_response* response);
// The same over a whole NAMED_MESSAGE_SIZE buffer.
void named_parseresponse(const unsigned char* message, const char* name, named_response* response);
void named_printresponses(const named_response* response);
// Encodes dotted text as length-prefixed labels, writing at most `size`
// bytes; the bytes written (closing zero included), or -1 when the encoding
// does not fit (then `out` holds the empty name, if size allows one byte).
int named_CreateNameFormat(unsigned char* out, int size, const char* name);
// The same into an area of NAMED_TEXT_SIZE bytes, which every name fits.
void named_CreateNameFormat(unsigned char* out, const char* name);
// Reads the possibly compressed name at `position` of a message of `length`
// bytes into `out` (NAMED_TEXT_SIZE bytes) as dotted text; `*used` is the
// bytes the name occupies at `position`.  0, or -1 when the name leaves the
// message, loops or is too long (then `out` is empty and `*used` is 0).
int named_ParseReadName(const unsigned char* position, const unsigned char* message, int length, int* used, char* out);
// The same within a whole NAMED_MESSAGE_SIZE buffer.
void named_ParseReadName(const unsigned char* position, const unsigned char* message, int* used, char* out);
// `out` holds length + 1 bytes.
void named_parse_ipname(const unsigned char* bytes, int length, char* out);
// `out` holds length + 1 bytes and 4 * length bytes up to 16.
void named_parse_ipaddr(const unsigned char* bytes, int length, char* out);

}  // namespace socketlib
