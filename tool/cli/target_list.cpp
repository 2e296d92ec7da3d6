// Reading the targets of a run of many.
#include "tool/cli/target_list.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "socketlib/socket.hpp"

namespace {

// A port: decimal digits only, 1 to 65535.
bool port_of(const char* text, std::size_t length, int* out) {
    if (length == 0 || length > 5) return false;
    int value = 0;
    for (std::size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    if (value < 1 || value > 65535) return false;
    *out = value;
    return true;
}

// Letters, digits and the few marks a host name or an address uses.
bool host_characters(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; i++) {
        const char c = text[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letter && c != '.' && c != '-' && c != '_' && c != ':') return false;
    }
    return true;
}

bool ipv6_text(const char* text) {
    in6_addr parsed;
    return socketlib::inet_pton(AF_INET6, text, &parsed) == 1;
}

bool keep_host(const char* text, std::size_t length, run_target* out) {
    if (length == 0 || length >= sizeof out->host || !host_characters(text, length)) return false;
    std::memcpy(out->host, text, length);
    out->host[length] = '\0';
    return true;
}

}  // namespace

int target_text_read(const char* text, int default_port, run_target* out) {
    std::memset(out, 0, sizeof *out);
    const std::size_t length = strnlen(text, target_label_size);
    if (length == 0 || length >= target_label_size) return target_text_bad;
    const char* end = text + length;
    const char* port_from = nullptr;
    bool bracketed = false;
    if (text[0] == '[') {
        const char* close = static_cast<const char*>(std::memchr(text, ']', length));
        if (close == nullptr || !keep_host(text + 1, static_cast<std::size_t>(close - text - 1), out)) {
            return target_text_bad;
        }
        if (!ipv6_text(out->host)) return target_text_bad;
        bracketed = true;
        if (close + 1 != end) {
            if (close[1] != ':') return target_text_bad;
            port_from = close + 2;
        }
    } else {
        const char* colon = static_cast<const char*>(std::memchr(text, ':', length));
        const char* last = std::strrchr(text, ':');
        if (colon != nullptr && colon != last) {
            // Two colons or more: bare IPv6 text, no port.
            if (!keep_host(text, length, out) || !ipv6_text(out->host)) return target_text_bad;
            bracketed = true;
        } else {
            const std::size_t host_length = colon != nullptr ? static_cast<std::size_t>(colon - text) : length;
            if (!keep_host(text, host_length, out)) return target_text_bad;
            if (colon != nullptr) port_from = colon + 1;
        }
    }
    if (port_from != nullptr) {
        if (!port_of(port_from, static_cast<std::size_t>(end - port_from), &out->port)) return target_text_bad;
    } else if (default_port > 0 && default_port <= 65535) {
        out->port = default_port;
    } else {
        return target_text_no_port;
    }
    std::snprintf(out->label, sizeof out->label, bracketed ? "[%s]:%d" : "%s:%d", out->host, out->port);
    return target_text_ok;
}

int target_file_read(const char* path, int default_port, run_target* table, int capacity, int* count,
                     target_file_error* error) {
    *error = {0, 0, target_text_ok};
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        error->error_number = errno != 0 ? errno : EIO;
        return -1;
    }
    char line[target_file_line_size];
    int number = 0;
    int status = 0;
    while (status == 0 && std::fgets(line, sizeof line, file) != nullptr) {
        number += 1;
        std::size_t length = std::strlen(line);
        if (length == sizeof line - 1 && line[length - 1] != '\n' && !std::feof(file)) {
            *error = {number, 0, target_text_bad};
            status = -1;
            break;
        }
        if (char* hash = std::strchr(line, '#')) *hash = '\0';
        char* from = line;
        while (*from == ' ' || *from == '\t') from++;
        char* to = from + std::strlen(from);
        while (to > from && (to[-1] == ' ' || to[-1] == '\t' || to[-1] == '\n' || to[-1] == '\r')) to--;
        *to = '\0';
        if (*from == '\0') continue;
        if (*count >= capacity) {
            *error = {number, 0, target_text_bad};
            status = -2;
            break;
        }
        int read = target_text_read(from, default_port, &table[*count]);
        if (read != target_text_ok) {
            *error = {number, 0, read};
            status = -1;
            break;
        }
        *count += 1;
    }
    if (status == 0 && std::ferror(file)) {
        *error = {0, errno != 0 ? errno : EIO, target_text_ok};
        status = -1;
    }
    std::fclose(file);
    return status;
}
