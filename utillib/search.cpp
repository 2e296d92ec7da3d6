// Splitting at delimiters, byte-sequence search and bounded length.  These
// share their names with C library functions of other signatures, so the C
// library's own are always called qualified (std::).
#include "utillib/string.hpp"

#include <cstring>

namespace utillib {

char* strsep(char** cursor, const char* delimiters)
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    char* token = *cursor;
    char* end = delimiters != nullptr ? std::strpbrk(token, delimiters) : nullptr;
    if (end == nullptr) {
        *cursor = nullptr;  // the last token
    } else {
        *end = '\0';
        *cursor = end + 1;
    }
    return token;
}

const void* memmem(const void* bytes, int count, const void* pattern, int m)
{
    if (bytes == nullptr || pattern == nullptr || count < 0 || m < 0 || m > count)
        return nullptr;
    const unsigned char* data = static_cast<const unsigned char*>(bytes);
    for (int j = 0; j <= count - m; ++j) {
        if (std::memcmp(data + j, pattern, static_cast<size_t>(m)) == 0)
            return data + j;
    }
    return nullptr;
}

int strnlen(const char* text, int limit)
{
    if (text == nullptr || limit <= 0)
        return 0;
    // A plain loop reads no byte past the first zero.
    int length = 0;
    while (length < limit && text[length] != '\0')
        ++length;
    return length;
}

}  // namespace utillib
