// Escape sequences and hex digit texts turned into bytes and numbers.
#include "utillib/utils.hpp"

#include <cstdint>
#include <cstring>

namespace utillib {

namespace {

bool is_ascii_alnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Hex digit value; any other character (letters beyond F included) is 0.
unsigned hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned>(c - 'A' + 10);
    return 0;
}

// Byte of a one-letter escape, or -1 when the letter is not one.
int letter_escape(char c)
{
    switch (c) {
        case 'r':
            return '\r';
        case 'n':
            return '\n';
        case 't':
            return '\t';
        case 'b':
            return '\b';
        case 's':
            return ' ';
        default:
            return -1;
    }
}

}  // namespace

int stringhex2bin(char* text)
{
    if (text == nullptr)
        return 0;
    size_t in = 0;
    size_t out = 0;
    while (text[in] != '\0') {
        if (text[in] == '\\') {
            // The && chain stops at the terminator, so nothing past it is read.
            if (text[in + 1] == 'x' && is_ascii_alnum(text[in + 2]) && is_ascii_alnum(text[in + 3])) {
                text[out++] = static_cast<char>(hex_digit(text[in + 2]) * 16 + hex_digit(text[in + 3]));
                in += 4;
                continue;
            }
            const int escaped = letter_escape(text[in + 1]);
            if (escaped >= 0) {
                text[out++] = static_cast<char>(escaped);
                in += 2;
                continue;
            }
        }
        text[out++] = text[in++];
    }
    std::memset(text + out, 0, in - out);
    return static_cast<int>(out);
}

uint32_t chunk2uint32(const char* p)
{
    if (p == nullptr)
        return 0;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = value * 16 + hex_digit(p[i]);
    return value;
}

}  // namespace utillib
