// Byte-pattern search and in-place reversal of binary buffers.
#include "utillib/utils.hpp"

#include <cstring>
#include <utility>

namespace utillib {

int binstrpos(const char* pattern, const void* bytes, int count)
{
    if (pattern == nullptr || bytes == nullptr || count < 0)
        return -1;
    const size_t m = std::strlen(pattern);
    const size_t n = static_cast<size_t>(count);
    if (m > n)
        return -1;
    const unsigned char* data = static_cast<const unsigned char*>(bytes);
    for (size_t j = 0; j + m <= n; ++j) {
        if (std::memcmp(data + j, pattern, m) == 0)
            return static_cast<int>(j);
    }
    return -1;
}

int binstrrev(void* bytes, unsigned count)
{
    // The documented limit stays: longer runs are refused, not half done.
    if (count > binstrrev_max)
        return -1;
    if (bytes == nullptr || count == 0)
        return 0;
    unsigned char* data = static_cast<unsigned char*>(bytes);
    for (unsigned low = 0, high = count - 1; low < high; ++low, --high)
        std::swap(data[low], data[high]);
    return 0;
}

}  // namespace utillib
