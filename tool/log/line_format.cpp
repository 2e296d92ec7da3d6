// Hand-made formatting of the per-datagram lines.
#include "tool/log/line_format.hpp"

#include <cstdint>
#include <cstring>

void put_text(line_builder* line, const char* text) {
    put_bytes(line, text, ::strnlen(text, static_cast<size_t>(line->end - line->at - 1)));
}

void put_bytes(line_builder* line, const char* text, size_t length) {
    // As much as fits before the terminator's place.
    size_t room = static_cast<size_t>(line->end - line->at - 1);
    if (length > room) length = room;
    std::memcpy(line->at, text, length);
    line->at += length;
    *line->at = '\0';
}

void put_int(line_builder* line, int value, int width) {
    char text[24];  // sign, zeros up to a width of 12, ten digits
    char* end = text + sizeof text;
    char* at = end;
    // In unsigned arithmetic, so INT_MIN has its digits too.
    uint32_t magnitude = value < 0 ? 0U - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        *--at = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    // The sign counts towards the width, the zeros come after it.
    int sign = value < 0 ? 1 : 0;
    int zeros = width - static_cast<int>(end - at) - sign;
    if (zeros > at - text - sign) zeros = static_cast<int>(at - text) - sign;
    for (; zeros > 0; zeros--) *--at = '0';
    if (sign) *--at = '-';
    put_bytes(line, at, static_cast<size_t>(end - at));
}
