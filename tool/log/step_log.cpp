// Log line pieces of the measurement loops.
#include "tool/log/step_log.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "socketlib/socket.hpp"
#include "utillib/utils.hpp"

namespace {
constexpr const char* stamp_format = "%Y/%m/%d %H:%M:%S";
}  // namespace

const char* stamp_now(char* buffer) {
    return utillib::time2string(utillib::getmicrotime(), stamp_format, buffer, stamp_size, 6);
}

const char* stamp_of(double reading, char* buffer, stamp_memo* memo) {
    for (int k = 0; k < 2; k++) {
        if (memo->reading[k] == reading) {
            std::memcpy(buffer, memo->text[k], stamp_size);
            return buffer;
        }
    }
    memo->newest ^= 1;
    utillib::time2string(reading, stamp_format, memo->text[memo->newest], stamp_size, 6);
    memo->reading[memo->newest] = reading;
    std::memcpy(buffer, memo->text[memo->newest], stamp_size);
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

const char* step_stamp(step_lines* lines, char* buffer) {
    return stamp_of(utillib::getmicrotime(), buffer, &lines->stamps);
}

void step_log(const step_lines* lines, const char* format, ...) {
    if (lines->quiet) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

void cycle_log(step_lines* lines, const char* who, int i, int sent, int received, const char* format, ...) {
    if (lines->quiet) return;
    char stamp[stamp_size];
    std::printf("%s %s i=%06d S=%06d R=%06d ", step_stamp(lines, stamp), who, i, sent, received);
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}
