// Tests that classify a text as an integer, a decimal number or printable text.
#include "utillib/string.hpp"

#include <cctype>

namespace utillib {

namespace {

bool is_digit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

int is_int(const char* text)
{
    if (text == nullptr)
        return 0;
    for (; *text != '\0'; ++text) {
        if (!is_digit(*text))
            return 0;
    }
    return 1;
}

int is_integer(const char* text)
{
    return is_int(text);
}

int is_long(const char* text)
{
    return is_int(text);
}

int is_double(const char* text)
{
    if (text == nullptr)
        return 0;
    if (*text == '+' || *text == '-')
        ++text;
    // Set by the decimal separator or an exponent: a separator is allowed
    // only before both.
    bool separator_or_exponent = false;
    for (; *text != '\0'; ++text) {
        const char c = *text;
        if (is_digit(c))
            continue;
        if ((c == '.' || c == ',') && !separator_or_exponent) {
            separator_or_exponent = true;
            continue;
        }
        if (c == 'e' || c == 'E') {
            separator_or_exponent = true;
            if (text[1] == '+' || text[1] == '-')
                ++text;
            continue;
        }
        return 0;
    }
    return 1;
}

int is_float(const char* text)
{
    return is_double(text);
}

int is_real(const char* text)
{
    return is_double(text);
}

int is_numeric(const char* text)
{
    return is_double(text);
}

int is_string(const char* text)
{
    if (text == nullptr)
        return 0;
    for (; *text != '\0'; ++text) {
        if (!std::isprint(static_cast<unsigned char>(*text)))
            return 0;
    }
    return 1;
}

int gettype(const char* text)
{
    if (is_int(text))
        return type_integer;
    if (is_double(text))
        return type_double;
    if (is_string(text))
        return type_string;
    return type_other;
}

}  // namespace utillib
