// Replacing, cutting, splicing, repeating and padding texts into a caller's
// output area.  Pieces are moved with memmove so that an output area that is
// the input text itself still gives the right result where the result's
// pieces allow it.
#include "utillib/string.hpp"

#include <algorithm>
#include <cstring>

namespace utillib {

namespace {

// Start and count held within a text of `length` characters; a negative
// start counts as 0, a negative count as nothing.
struct span {
    size_t start;
    size_t count;
};

span clamp_span(size_t length, int start, int count)
{
    const size_t from = start < 0 ? 0 : std::min(static_cast<size_t>(start), length);
    const size_t wanted = count < 0 ? 0 : static_cast<size_t>(count);
    return span{from, std::min(wanted, length - from)};
}

// Writes `count` characters of the pad text repeated from its first character.
void fill_with_pad(char* out, size_t count, const char* pad, size_t pad_length)
{
    for (size_t i = 0; i < count; ++i)
        out[i] = pad[i % pad_length];
}

}  // namespace

char* str_replace(const char* subject, char* out, const char* search, const char* replacement)
{
    if (subject == nullptr || out == nullptr || search == nullptr)
        return nullptr;
    const size_t search_length = std::strlen(search);
    if (search_length == 0)
        return nullptr;
    const char* hit = std::strstr(subject, search);
    if (hit == nullptr)
        return nullptr;

    const char* with = replacement != nullptr ? replacement : "";
    const size_t with_length = std::strlen(with);
    char* write = out;
    const char* read = subject;
    while (hit != nullptr) {
        const size_t before = static_cast<size_t>(hit - read);
        std::memcpy(write, read, before);
        write += before;
        std::memcpy(write, with, with_length);
        write += with_length;
        read = hit + search_length;
        hit = std::strstr(read, search);
    }
    std::memcpy(write, read, std::strlen(read) + 1);
    return out;
}

char* substr(const char* text, char* out, int start, int count)
{
    if (text == nullptr)
        return nullptr;
    const span part = clamp_span(std::strlen(text), start, count);
    std::memmove(out, text + part.start, part.count);
    out[part.count] = '\0';
    return out;
}

char* substr_replace(const char* text, const char* replacement, char* out, int start, int count)
{
    if (text == nullptr)
        return nullptr;
    const char* with = replacement != nullptr ? replacement : "";
    const size_t length = std::strlen(text);
    const size_t with_length = std::strlen(with);
    const span cut = clamp_span(length, start, count);
    const size_t tail = length - cut.start - cut.count;

    std::memmove(out, text, cut.start);
    std::memmove(out + cut.start + with_length, text + cut.start + cut.count, tail);
    std::memcpy(out + cut.start, with, with_length);
    out[cut.start + with_length + tail] = '\0';
    return out;
}

char* str_repeat(const char* text, char* out, int times)
{
    if (text == nullptr)
        return nullptr;
    const size_t length = std::strlen(text);
    size_t written = 0;
    for (int i = 0; i < times; ++i) {
        std::memmove(out + written, text, length);
        written += length;
    }
    out[written] = '\0';
    return out;
}

char* str_pad(const char* text, char* out, unsigned length, const char* pad, int mode)
{
    if (text == nullptr)
        return nullptr;
    const size_t text_length = std::strlen(text);
    const size_t pad_length = pad != nullptr ? std::strlen(pad) : 0;
    // With nothing to pad with, padding would never reach the length.
    if (text_length >= length || pad_length == 0) {
        std::memmove(out, text, text_length + 1);
        return out;
    }

    const size_t missing = length - text_length;
    size_t left = 0;
    if (mode == str_pad_left)
        left = missing;
    else if (mode == str_pad_both)
        left = missing / 2;
    const size_t right = missing - left;

    std::memmove(out + left, text, text_length);
    fill_with_pad(out, left, pad, pad_length);
    fill_with_pad(out + left + text_length, right, pad, pad_length);
    out[length] = '\0';
    return out;
}

}  // namespace utillib
