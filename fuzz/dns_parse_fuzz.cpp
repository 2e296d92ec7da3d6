// libFuzzer target: any bytes as a reply to a query for one.two.three.
// The parser must stay inside the datagram whatever it holds; the printout
// then walks only what was stored.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "socketlib/socket.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static auto response = std::make_unique<socketlib::named_response>();
    if (size > static_cast<size_t>(socketlib::NAMED_MESSAGE_SIZE))
        return 0;
    socketlib::named_parseresponse(data, static_cast<int>(size), "one.two.three", response.get());
    if (response->answer_count < 0 || response->answer_count > socketlib::NAMED_MAX_RECORDS ||
        response->authority_count < 0 || response->authority_count > socketlib::NAMED_MAX_RECORDS ||
        response->additional_count < 0 || response->additional_count > socketlib::NAMED_MAX_RECORDS)
        __builtin_trap();
    static FILE* sink = std::fopen("/dev/null", "w");
    if (sink != nullptr) {
        FILE* saved = stdout;
        stdout = sink;
        socketlib::named_printresponses(response.get());
        stdout = saved;
    }
    return 0;
}
