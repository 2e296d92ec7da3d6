// Reading the -h text.  Dotted IPv4 goes first and is used as typed, so a
// run with a dotted address goes through the IPv4 path alone.
#include "tool/cli/host_address.hpp"

#include <cstring>

#include "platform/winsock.hpp"

namespace {

// What the IPv4 builder turns into an address rather than into the
// all-ones "no address" value: its any-address text and dotted text.
bool ipv4_text(const char* host) {
    if (std::strncmp(host, "0.0.0.0", 7) == 0) return true;
    return platform::inet_addr(host) != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0;
}

bool ipv6_text(const char* host) {
    sockaddr_in6 record{};
    return std::strchr(host, ':') != nullptr && socketlib::inet_pton(AF_INET6, host, &record.sin6_addr) == 1;
}

void keep_text(const char* text, host_address* out) {
    std::size_t length = strnlen(text, sizeof out->text - 1);
    std::memcpy(out->text, text, length);
    out->text[length] = '\0';
}

}  // namespace

int host_resolve(const char* host, bool want_ipv6, host_address* out) {
    std::memset(out, 0, sizeof *out);
    if (host == nullptr || host[0] == '\0') return -1;
    if (ipv4_text(host)) {
        *out = {host_dotted, AF_INET, {}};
        keep_text(host, out);
        return 0;
    }
    // An IPv6 text longer than the field is no address.
    if (strnlen(host, sizeof out->text) < sizeof out->text && ipv6_text(host)) {
        *out = {host_ipv6, AF_INET6, {}};
        keep_text(host, out);
        return 0;
    }
    char found[socketlib::IPV6_TEXT_SIZE];
    const char* address =
        want_ipv6 ? socketlib::gethostbynamestr6(host, found) : socketlib::gethostbynamestr(host, found);
    if (address == nullptr) return -1;
    *out = {host_name, want_ipv6 ? AF_INET6 : AF_INET, {}};
    keep_text(address, out);
    return 0;
}
