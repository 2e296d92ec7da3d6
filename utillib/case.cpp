// Case conversion with the Polish letters of four encodings.
#include "utillib/string.hpp"

#include <cctype>
#include <cstring>
#include <iterator>

namespace utillib {

namespace {

struct letter_pair {
    unsigned char upper;
    unsigned char lower;
};

// UTF-8: the upper and lower forms share their first byte, so only the second
// byte of each pair is listed, by first byte.
struct utf8_pair {
    unsigned char first;
    letter_pair second;
};

constexpr utf8_pair utf8_letters[] = {
    {0xC4, {0x84, 0x85}},  // A ogonek
    {0xC4, {0x86, 0x87}},  // C acute
    {0xC4, {0x98, 0x99}},  // E ogonek
    {0xC5, {0x81, 0x82}},  // L stroke
    {0xC5, {0x83, 0x84}},  // N acute
    {0xC3, {0x93, 0xB3}},  // O acute
    {0xC5, {0x9A, 0x9B}},  // S acute
    {0xC5, {0xB9, 0xBA}},  // Z acute
    {0xC5, {0xBB, 0xBC}},  // Z dot
};

// Only these letters: the others of ISO 8859-2 and Windows-1250 are left to
// the C library's mapping.
constexpr letter_pair iso8859_2_letters[] = {{0xA1, 0xB1}, {0xA6, 0xB6}, {0xAC, 0xBC}, {0xAF, 0xBF}};
constexpr letter_pair cp1250_letters[] = {{0xA5, 0xB9}, {0x8C, 0x9C}, {0x8F, 0x9F}, {0xAF, 0xBF}};
constexpr letter_pair cp852_letters[] = {{0xA4, 0xA5}, {0x8F, 0x86}, {0xA8, 0xA9}, {0x9D, 0x88}, {0xE3, 0xE4},
                                         {0xE0, 0xA2}, {0x97, 0x98}, {0x8D, 0xAB}, {0xBD, 0xBE}};

struct letter_table {
    const letter_pair* pairs;
    size_t count;
};

letter_table single_byte_table(int encoding)
{
    switch (encoding) {
        case encoding_iso8859_2:
            return {iso8859_2_letters, std::size(iso8859_2_letters)};
        case encoding_cp1250:
            return {cp1250_letters, std::size(cp1250_letters)};
        case encoding_cp852:
            return {cp852_letters, std::size(cp852_letters)};
        default:
            return {nullptr, 0};
    }
}

unsigned char mapped(unsigned char byte, const letter_pair& pair, bool to_lower)
{
    const unsigned char from = to_lower ? pair.upper : pair.lower;
    const unsigned char to = to_lower ? pair.lower : pair.upper;
    return byte == from ? to : byte;
}

char* convert_case(const char* text, char* out, int encoding, bool to_lower)
{
    if (text == nullptr)
        return nullptr;
    const size_t length = std::strlen(text);
    std::memmove(out, text, length + 1);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(out);
    const letter_table table = single_byte_table(encoding);

    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>(to_lower ? std::tolower(bytes[i]) : std::toupper(bytes[i]));
        if (encoding == encoding_utf8) {
            if (i + 1 < length) {
                for (const utf8_pair& letter : utf8_letters) {
                    const unsigned char before = bytes[i + 1];
                    if (bytes[i] == letter.first)
                        bytes[i + 1] = mapped(before, letter.second, to_lower);
                    if (bytes[i + 1] != before)
                        break;  // one mapping per letter
                }
            }
            continue;
        }
        for (size_t k = 0; k < table.count; ++k) {
            const unsigned char before = bytes[i];
            bytes[i] = mapped(bytes[i], table.pairs[k], to_lower);
            if (bytes[i] != before)
                break;  // one mapping per byte
        }
    }
    return out;
}

}  // namespace

char* strtolower(const char* text, char* out, int encoding)
{
    return convert_case(text, out, encoding, true);
}

char* strtoupper(const char* text, char* out, int encoding)
{
    return convert_case(text, out, encoding, false);
}

}  // namespace utillib
