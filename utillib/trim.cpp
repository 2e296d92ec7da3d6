// Removing white space (tab, space, carriage return, line feed) from the ends
// of a text.
#include "utillib/string.hpp"

#include <cstring>

namespace utillib {

namespace {

bool is_blank(char c)
{
    return c == '\t' || c == ' ' || c == '\r' || c == '\n';
}

char* trim_ends(const char* text, char* out, bool leading, bool trailing)
{
    if (text == nullptr)
        return nullptr;
    const char* start = text;
    if (leading) {
        while (is_blank(*start))
            ++start;
    }
    size_t length = std::strlen(start);
    if (trailing) {
        while (length > 0 && is_blank(start[length - 1]))
            --length;
    }
    std::memmove(out, start, length);
    out[length] = '\0';
    return out;
}

}  // namespace

char* trim(const char* text, char* out)
{
    return trim_ends(text, out, true, true);
}

char* ltrim(const char* text, char* out)
{
    return trim_ends(text, out, true, false);
}

char* rtrim(const char* text, char* out)
{
    return trim_ends(text, out, false, true);
}

}  // namespace utillib
