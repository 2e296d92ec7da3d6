// Hex dump of a buffer: rows of 16 bytes in two groups of eight, each row
// closed by its characters between bars.
#include "utillib/utils.hpp"

#include <cstdio>
#include <cstring>

namespace utillib {

namespace {

constexpr int row_bytes = 16;

// Bytes from space to '}' are shown as themselves; '~', DEL and the rest as '.'.
char shown_as(unsigned char byte)
{
    return byte >= 0x20 && byte <= 0x7D ? static_cast<char>(byte) : '.';
}

// " |", the characters of `count` bytes padded with spaces to a full row, "|".
void print_character_column(const unsigned char* row, int count)
{
    std::fputs(" |", stdout);
    for (int i = 0; i < row_bytes; ++i)
        std::putchar(i < count ? shown_as(row[i]) : ' ');
    std::fputs("|\n", stdout);
}

}  // namespace

void hexdumpbuff(const void* bytes, int size, const char* name)
{
    if (size < -1 || (bytes == nullptr && size != 0))
        return;
    const unsigned char* data = static_cast<const unsigned char*>(bytes);
    const int n = size == -1 ? static_cast<int>(std::strlen(static_cast<const char*>(bytes))) : size;

    std::printf("%s: showbuff(buffdata,buffsize=%d,name):", name != nullptr ? name : "", size);
    if (n > row_bytes)
        std::putchar('\n');

    for (int i = 0; i < n; ++i) {
        if (i % row_bytes == 0 && i != 0)
            print_character_column(data + i - row_bytes, row_bytes);
        if (n > row_bytes && i % row_bytes == 0)
            std::printf("%08x  ", static_cast<unsigned>(i));
        if (i % 8 == 0 && i % row_bytes != 0)
            std::putchar(' ');
        std::printf("%02x ", data[i]);
    }

    // Pad a short last row so that its character column lines up.
    const int rest = n % row_bytes;
    if (rest > 0) {
        for (int position = rest; position < row_bytes; ++position) {
            if (position == 8)
                std::putchar(' ');
            std::fputs("   ", stdout);
        }
    }
    if (rest > 0)
        print_character_column(data + n - rest, rest);
    else if (n > 0)
        print_character_column(data + n - row_bytes, row_bytes);
    else
        print_character_column(data, 0);
}

}  // namespace utillib
