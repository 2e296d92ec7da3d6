// Host name lookups through the platform resolver, text in and text out.
#include <cstring>

#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

constexpr size_t address_slot_size = 16;

// The dotted text of one resolver address into a 16-byte slot.
void address_to_slot(const char* raw, char* slot)
{
    in_addr address;
    std::memcpy(&address, raw, sizeof address);
    std::strncpy(slot, platform::inet_ntoa(address), address_slot_size - 1);
    slot[address_slot_size - 1] = '\0';
}

bool has_ipv4_addresses(const hostent* entry)
{
    return entry != nullptr && entry->h_addrtype == AF_INET && entry->h_length == 4 && entry->h_addr_list != nullptr;
}

}  // namespace

char* gethostbynamestr(const char* name, char* out)
{
    if (out == nullptr || sockWSASockInit() != 1)
        return nullptr;
    std::memset(out, 0, address_slot_size);
    hostent* entry = platform::gethostbyname(name);
    if (!has_ipv4_addresses(entry) || entry->h_addr_list[0] == nullptr)
        return nullptr;
    address_to_slot(entry->h_addr_list[0], out);
    return out;
}

char* gethostbynamestr6(const char* name, char* out)
{
    if (out == nullptr || sockWSASockInit() != 1)
        return nullptr;
    std::memset(out, 0, IPV6_TEXT_SIZE);
    hostent* entry = platform::gethostbyname2(name, AF_INET6);
    if (entry == nullptr || entry->h_addrtype != AF_INET6 || entry->h_length != 16 || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr)
        return nullptr;
    if (inet_ntop(AF_INET6, entry->h_addr_list[0], out, IPV6_TEXT_SIZE) == nullptr) {
        std::memset(out, 0, IPV6_TEXT_SIZE);
        return nullptr;
    }
    return out;
}

int gethostbynamestr_a(const char* name, char (*out)[16], int slots)
{
    if (sockWSASockInit() != 1)
        return SOCK_ERR_STARTUP;
    if (out == nullptr || slots <= 0)
        return 0;
    std::memset(out, 0, static_cast<size_t>(slots) * address_slot_size);
    hostent* entry = platform::gethostbyname(name);
    if (!has_ipv4_addresses(entry))
        return 0;
    int written = 0;
    while (written < slots && entry->h_addr_list[written] != nullptr) {
        address_to_slot(entry->h_addr_list[written], out[written]);
        ++written;
    }
    return written;
}

char* gethostbyaddrstr(const char* address, char* out)
{
    if (out == nullptr || sockWSASockInit() != 1)
        return nullptr;
    std::memset(out, 0, NAMED_TEXT_SIZE);
    if (address == nullptr)
        return nullptr;
    uint32_t value = platform::inet_addr(address);
    hostent* entry = platform::gethostbyaddr(&value, sizeof value, AF_INET);
    if (entry == nullptr || entry->h_name == nullptr)
        return nullptr;
    std::strncpy(out, entry->h_name, NAMED_TEXT_SIZE - 1);
    return out;
}

}  // namespace socketlib
