// Text to number conversions with the C library's reading rules.
#include "utillib/string.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace utillib {

namespace {

// strtoll saturates where atoi and atol would be undefined; the value is then
// held within the result type.  errno is restored because these are value
// readers, not failing calls.
template <typename Int>
Int read_integer(const char* text)
{
    if (text == nullptr)
        return 0;
    const int saved_errno = errno;
    const long long value = std::strtoll(text, nullptr, 10);
    errno = saved_errno;
    return static_cast<Int>(
        std::clamp<long long>(value, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max()));
}

// Longest number text read; longer ones are read from their start.
constexpr size_t number_text_max = 1023;

// Copies the text after its leading white space, with its first "," turned
// into a decimal point, so strtod reads "3,25" as 3.25 without touching the
// caller's text.
void decimal_comma_copy(const char* text, char (&copy)[number_text_max + 1])
{
    while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    size_t length = 0;
    while (length < number_text_max && text[length] != '\0')
        ++length;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    // A "," that precedes the copied part's end is the text's first.
    if (char* comma = std::strchr(copy, ','))
        *comma = '.';
}

}  // namespace

int intval(const char* text)
{
    return read_integer<int>(text);
}

int32_t longval(const char* text)
{
    return read_integer<int32_t>(text);
}

int64_t longlongval(const char* text)
{
    return read_integer<int64_t>(text);
}

double doubleval(const char* text)
{
    if (text == nullptr)
        return 0.0;
    char copy[number_text_max + 1];
    decimal_comma_copy(text, copy);
    const int saved_errno = errno;
    const double value = std::strtod(copy, nullptr);
    errno = saved_errno;
    return value;
}

float floatval(const char* text)
{
    if (text == nullptr)
        return 0.0f;
    char copy[number_text_max + 1];
    decimal_comma_copy(text, copy);
    // strtof, not a narrowing of the double: a value beyond float's range
    // becomes infinity instead of an undefined conversion.
    const int saved_errno = errno;
    const float value = std::strtof(copy, nullptr);
    errno = saved_errno;
    return value;
}

}  // namespace utillib
