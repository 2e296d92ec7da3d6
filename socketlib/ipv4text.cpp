// IPv4 text utilities: reverse-lookup names, the dotted-quad check and the
// network membership test.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

bool is_digit(char c, char low, char high)
{
    return c >= low && c <= high;
}

// One group of ipaddrvalid by its length and its place (0 to 3).  A single
// 0 may stand only in the middle groups; a leading 0 of two digits only in
// the third; three digits count by their value, 100 to 255.
bool group_valid(const char* group, int length, int place)
{
    bool first_or_last = place == 0 || place == 3;
    switch (length) {
        case 1:
            return is_digit(group[0], first_or_last ? '1' : '0', '9');
        case 2:
            return is_digit(group[0], place == 2 ? '0' : '1', '9') && is_digit(group[1], '0', '9');
        case 3: {
            for (int i = 0; i < 3; ++i) {
                if (!is_digit(group[i], '0', '9'))
                    return false;
            }
            int value = (group[0] - '0') * 100 + (group[1] - '0') * 10 + (group[2] - '0');
            return value >= 100 && value <= 255;
        }
        default:
            return false;
    }
}

bool only_network_characters(const char* text)
{
    return text[std::strspn(text, "0123456789./")] == '\0';
}

struct network_text {
    uint32_t value;
    int prefix;  // -1 when the text carries none
};

// Four parts, each atoi of the text after the previous dot; a missing part
// and all after it are -1 (all bits set, so the value becomes all ones).
network_text parse_network(const char* text)
{
    int parts[4] = {std::atoi(text), -1, -1, -1};
    const char* dot = text[0] != '\0' ? std::strchr(text + 1, '.') : nullptr;
    for (int i = 1; i < 4 && dot != nullptr; ++i) {
        parts[i] = std::atoi(dot + 1);
        if (i < 3)
            dot = std::strchr(dot + 1, '.');
    }
    network_text parsed{0, -1};
    parsed.value = static_cast<uint32_t>(parts[0]) << 24 | static_cast<uint32_t>(parts[1]) << 16 |
                   static_cast<uint32_t>(parts[2]) << 8 | static_cast<uint32_t>(parts[3]);
    if (dot != nullptr) {
        if (const char* slash = std::strchr(dot, '/'))
            parsed.prefix = std::atoi(slash + 1);
    }
    return parsed;
}

// The top `prefix` bits; no prefix (or a number that overflowed) compares
// the whole address, as /32 does.
uint32_t prefix_mask(int prefix)
{
    if (prefix < 0 || prefix >= 32)
        return 0xFFFFFFFFu;
    if (prefix == 0)
        return 0;
    return 0xFFFFFFFFu << (32 - prefix);
}

}  // namespace

char* ipaddr2arpa(const char* address, char* out, int size)
{
    if (address == nullptr || out == nullptr)
        return nullptr;
    uint32_t value = platform::inet_addr(address);
    unsigned char bytes[4];
    std::memcpy(bytes, &value, sizeof bytes);
    // Always terminated within `size`: a text that does not fit is cut.
    if (size > 0)
        std::snprintf(out, static_cast<size_t>(size), "%u.%u.%u.%u.in-addr.arpa", bytes[3], bytes[2], bytes[1],
                      bytes[0]);
    return out;
}

int ipaddrvalid(const char* address)
{
    if (address == nullptr || address[0] == '\0')
        return 0;
    // The first three dots; a dot at the very start does not count.
    const char* dots[3];
    const char* from = address + 1;
    for (const char*& dot : dots) {
        dot = std::strchr(from, '.');
        if (dot == nullptr)
            return 0;
        from = dot + 1;
    }
    const char* starts[4] = {address, dots[0] + 1, dots[1] + 1, dots[2] + 1};
    const char* ends[4] = {dots[0], dots[1], dots[2], address + std::strlen(address)};
    for (int place = 0; place < 4; ++place) {
        if (!group_valid(starts[place], static_cast<int>(ends[place] - starts[place]), place))
            return 0;
    }
    return 1;
}

int ipaddrinnetwork(const char* network, const char* address)
{
    if (network == nullptr || address == nullptr)
        return 0;
    if (!only_network_characters(network) || !only_network_characters(address))
        return 0;
    network_text net = parse_network(network);
    network_text host = parse_network(address);
    uint32_t mask = prefix_mask(net.prefix);
    return (net.value & mask) == (host.value & mask) ? 1 : 0;
}

}  // namespace socketlib
