// Console printout of a parsed DNS reply.
#include <cstdio>
#include <cstring>

#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

// A count set by hand may exceed its table; the printout stays within it.
int within_table(int count)
{
    if (count < 0)
        return 0;
    return count < NAMED_MAX_RECORDS ? count : NAMED_MAX_RECORDS;
}

const char* address_text(const named_record& record)
{
    in_addr address;
    std::memcpy(&address, record.data, sizeof address);
    return platform::inet_ntoa(address);
}

// Texts are printed with a bound, so a field without terminator is cut at
// its size instead of being read past.
const char* data_of(const named_record& record)
{
    return reinterpret_cast<const char*>(record.data);
}

constexpr int text_bound = NAMED_TEXT_SIZE - 1;

}  // namespace

void named_printresponses(const named_response* response)
{
    if (response == nullptr)
        return;
    std::printf("The response contains:\n");
    std::printf(" %d Questions.\n", response->questions);
    std::printf(" %d Answers.\n", response->answer_count);
    std::printf(" %d Authoritative Servers.\n", response->authority_count);
    std::printf(" %d Additional records.\n", response->additional_count);

    for (int i = 0; i < within_table(response->answer_count); ++i) {
        const named_record& record = response->answers[i];
        std::printf(" Answer: %d,", i + 1);
        std::printf(" Name: %.*s", text_bound, record.name);
        switch (ntohs(record.type)) {
            case NAMED_TYPE_A:
                std::printf(" has IPv4 address: %s", address_text(record));
                break;
            case NAMED_TYPE_CNAME:
                std::printf(" has alias name: %.*s", text_bound, data_of(record));
                break;
            case NAMED_TYPE_PTR:
                std::printf(" domain name pointer: %.*s", text_bound, data_of(record));
                break;
            default:
                break;
        }
        std::printf("\n");
    }

    for (int i = 0; i < within_table(response->authority_count); ++i) {
        const named_record& record = response->authorities[i];
        std::printf(" Authorities: %d,", i + 1);
        std::printf(" Name: %.*s", text_bound, record.name);
        if (ntohs(record.type) == NAMED_TYPE_NS)
            std::printf(" has authoritative nameserver: %.*s", text_bound, data_of(record));
        std::printf("\n");
    }

    for (int i = 0; i < within_table(response->additional_count); ++i) {
        const named_record& record = response->additionals[i];
        std::printf(" Additional: %d,", i + 1);
        std::printf(" Name: %.*s", text_bound, record.name);
        if (ntohs(record.type) == NAMED_TYPE_A)
            std::printf(" has IPv4 address: %s", address_text(record));
        std::printf("\n");
    }
}

}  // namespace socketlib
