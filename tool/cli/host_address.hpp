// What the user typed after -h, read as an address a socket can use: dotted
// IPv4 text, IPv6 text, or a host name looked up through the library.
#pragma once

#include "socketlib/socket.hpp"

// How the text named the address.
enum host_kind {
    host_none = 0,    // no address: the text is refused
    host_dotted = 1,  // dotted IPv4, used as typed
    host_ipv6 = 2,    // IPv6 text, used as typed
    host_name = 3,    // a name, replaced by its first address of the family
};

struct host_address {
    int kind;    // host_kind
    int family;  // AF_INET or AF_INET6 (0 for host_none)
    // Numeric text of the address; for host_dotted the typed text, cut to
    // the field (the IPv4 path goes on with the typed text itself).
    char text[socketlib::IPV6_TEXT_SIZE];
};

// Reads `host`: text the IPv4 address builder takes as an address keeps the
// IPv4 path; IPv6 text selects IPv6; anything else is looked up as a name,
// for its first IPv4 address, or with `want_ipv6` its first IPv6 address.
// Returns 0, or -1 (kind host_none) when the text names no address.
int host_resolve(const char* host, bool want_ipv6, host_address* out);
