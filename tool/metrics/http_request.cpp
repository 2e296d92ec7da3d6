// Judging a request header block: request line, header lines, method, path.
#include "tool/metrics/http_request.hpp"

#include <cstring>

namespace {

struct status_text {
    int code;
    const char* phrase;
};

constexpr status_text statuses[http_statuses] = {
    {200, "OK"},
    {400, "Bad Request"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
};

// Characters of a method token (RFC 9110 tchar).
bool token_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool visible_char(char c) { return c > ' ' && c != 0x7f; }

bool all_of(const char* begin, const char* end, bool (*test)(char)) {
    if (begin == end) return false;
    for (const char* c = begin; c < end; c++) {
        if (!test(*c)) return false;
    }
    return true;
}

bool same(const char* begin, const char* end, const char* text) {
    size_t length = std::strlen(text);
    return static_cast<size_t>(end - begin) == length && std::memcmp(begin, text, length) == 0;
}

// The end of the line starting at `at` (its CR), or null when no CR LF
// follows within [at, end).
const char* line_end(const char* at, const char* end) {
    for (const char* c = at; c + 1 < end; c++) {
        if (c[0] == '\r' && c[1] == '\n') return c;
    }
    return nullptr;
}

// Header lines after the request line: "name: value", no folded lines.
bool header_lines_valid(const char* at, const char* end) {
    for (;;) {
        const char* stop = line_end(at, end);
        if (stop == nullptr) return false;
        if (stop == at) return true;  // the empty line that ends the block
        const char* colon = static_cast<const char*>(std::memchr(at, ':', static_cast<size_t>(stop - at)));
        if (colon == nullptr || !all_of(at, colon, token_char)) return false;
        at = stop + 2;
    }
}

}  // namespace

int http_header_block_length(const char* bytes, int n) {
    for (int i = 0; i < n; i++) {
        if (bytes[i] == '\0') return -1;
        if (i >= 3 && bytes[i - 3] == '\r' && bytes[i - 2] == '\n' && bytes[i - 1] == '\r' && bytes[i] == '\n') {
            return i + 1;
        }
    }
    return 0;
}

http_verdict http_request_judge(const char* block, int length) {
    http_verdict verdict = {http_bad_request, route_none, false};
    const char* end = block + (length > 0 ? length : 0);
    const char* line = line_end(block, end);
    if (line == nullptr) return verdict;
    // method SP target SP version, single spaces.
    const char* space = static_cast<const char*>(std::memchr(block, ' ', static_cast<size_t>(line - block)));
    if (space == nullptr) return verdict;
    const char* target = space + 1;
    const char* target_end = static_cast<const char*>(std::memchr(target, ' ', static_cast<size_t>(line - target)));
    if (target_end == nullptr) return verdict;  // HTTP/0.9 has no version
    const char* version = target_end + 1;
    if (!same(version, line, "HTTP/1.1") && !same(version, line, "HTTP/1.0")) return verdict;
    if (!all_of(block, space, token_char) || !all_of(target, target_end, visible_char)) return verdict;
    if (!header_lines_valid(line + 2, end)) return verdict;

    verdict.head_only = same(block, space, "HEAD");
    if (!verdict.head_only && !same(block, space, "GET")) {
        verdict.status = http_method_not_allowed;
        return verdict;
    }
    // The query, if any, does not choose the page.
    const char* path_end = static_cast<const char*>(std::memchr(target, '?', static_cast<size_t>(target_end - target)));
    if (path_end == nullptr) path_end = target_end;
    if (same(target, path_end, "/metrics")) {
        verdict.route = route_metrics;
    } else if (same(target, path_end, "/")) {
        verdict.route = route_index;
    } else {
        verdict.status = http_not_found;
        return verdict;
    }
    verdict.status = http_ok;
    return verdict;
}

int http_status_code(http_status status) { return status >= 0 && status < http_statuses ? statuses[status].code : 500; }

const char* http_status_phrase(http_status status) {
    return status >= 0 && status < http_statuses ? statuses[status].phrase : "Internal Server Error";
}
