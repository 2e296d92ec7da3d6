// Hand-made formatting of the per-datagram lines.
#include "tool/line_format.hpp"

#include <cstdint>

void put_text(line_builder* line, const char* text) {
    while (*text != '\0' && line->end - line->at > 1) *line->at++ = *text++;
    *line->at = '\0';
}

void put_int(line_builder* line, int value, int width) {
    char digits[12];
    int count = 0;
    // In unsigned arithmetic, so INT_MIN has its digits too.
    uint32_t magnitude = value < 0 ? 0U - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    // The sign counts towards the width, the zeros come after it.
    int zeros = width - count - (value < 0 ? 1 : 0);
    if (value < 0 && line->end - line->at > 1) *line->at++ = '-';
    for (; zeros > 0 && line->end - line->at > 1; zeros--) *line->at++ = '0';
    while (count > 0 && line->end - line->at > 1) *line->at++ = digits[--count];
    *line->at = '\0';
}
