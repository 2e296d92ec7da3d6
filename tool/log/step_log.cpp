// Log line pieces of the measurement loops.
#include "tool/log/step_log.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "socketlib/socket.hpp"
#include "tool/cli/run_options.hpp"
#include "utillib/utils.hpp"

namespace {
constexpr const char* stamp_format = "%Y/%m/%d %H:%M:%S";
}  // namespace

const char* stamp_now(char* buffer) { return stamp_of(utillib::getmicrotime(), buffer); }

const char* stamp_of(double reading, char* buffer) {
    // A busy loop writes many lines within one millisecond, the clock's
    // resolution here, and the responder's lines take turns between the
    // reading of a batch's receive and that of its replies: the texts of the
    // two latest readings are kept and copied while they stay the same.
    struct memo {
        double reading = -1;
        char text[stamp_size];
    };
    thread_local memo kept[2];
    thread_local int newest = 0;
    for (const memo& m : kept) {
        if (m.reading == reading) {
            std::memcpy(buffer, m.text, stamp_size);
            return buffer;
        }
    }
    newest ^= 1;
    utillib::time2string(reading, stamp_format, kept[newest].text, stamp_size, 6);
    kept[newest].reading = reading;
    std::memcpy(buffer, kept[newest].text, stamp_size);
    return buffer;
}

const char* peer_text(const void* address, char* text) {
    sockaddr_in6 copy;
    std::memset(&copy, 0, sizeof copy);
    sa_family_t family = static_cast<const sockaddr*>(address)->sa_family;
    std::memcpy(&copy, address, family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    // No family yet: the record of a receive that failed, all zeros.
    if (family != AF_INET6) copy.sin6_family = AF_INET;
    if (socketlib::addr_info(&copy, text, peer_text_size) == nullptr) text[0] = '\0';
    return text;
}

address_parts parts_of(const sockaddr_in& address) {
    uint32_t host = ntohl(address.sin_addr.s_addr);
    return {static_cast<int>(host >> 24 & 0xFF), static_cast<int>(host >> 16 & 0xFF),
            static_cast<int>(host >> 8 & 0xFF), static_cast<int>(host & 0xFF), ntohs(address.sin_port)};
}

unsigned int memory_word(const sockaddr_in& address) { return address.sin_addr.s_addr; }

void port_text(int ipport, char (&text)[6]) { std::snprintf(text, sizeof text, "%d", ipport); }

int call_error(int result) { return result < 0 ? platform::WSAGetLastError() : 0; }

const char* error_text(int code) { return platform::error_message(code); }

void step_log(const char* format, ...) {
    if (runopts.quiet) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

void cycle_log(const char* who, int i, int sent, int received, const char* format, ...) {
    if (runopts.quiet) return;
    char stamp[stamp_size];
    std::printf("%s %s i=%06d S=%06d R=%06d ", stamp_now(stamp), who, i, sent, received);
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

void print_summary(const char* who, const echomark_record* record) {
    std::printf("%s sendpkts=%d\n", who, record->sendpkts);
    std::printf("%s recvpkts=%d\n", who, record->recvpkts);
    // Wraps instead of overflowing when a foreign reply left INT_MAX there.
    std::printf("%s lastpkts+1=%d\n", who, static_cast<int>(static_cast<uint32_t>(record->lastpkts) + 1U));
    if (record->sendpkts <= 0) {
        std::printf("%s sendpkts==0\n", who);
    } else {
        std::printf("%s recvpkts/sendpkts=%05.3f[%%]\n", who,
                    static_cast<double>(record->recvpkts) * 100.0 / static_cast<double>(record->sendpkts));
    }
}
