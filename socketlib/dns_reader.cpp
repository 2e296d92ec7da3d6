#include "socketlib/dns_reader.hpp"

namespace socketlib::dns {

namespace {

// A compression pointer is two bytes whose top bits are both set; the low
// 14 bits are an offset from the start of the message.
constexpr unsigned pointer_tag = 0xC0;
// Pointers must lead strictly backwards, which already rules out loops; the
// cap keeps a long backward chain cheap as well.
constexpr int max_pointer_hops = 128;

}  // namespace

reader reader_over(const unsigned char* message, int length)
{
    return reader{message, message != nullptr && length > 0 ? length : 0, 0, nullptr, 0};
}

bool byte_at(const reader& r, int offset, unsigned char* out)
{
    if (offset < 0 || offset >= r.length)
        return false;
    int in_question = offset - header_size;
    if (r.question != nullptr && in_question >= 0 && in_question < r.question_length)
        *out = r.question[in_question];
    else
        *out = r.message[offset];
    return true;
}

bool take_bytes(reader* r, void* out, int count)
{
    if (count < 0 || count > r->length - r->position)
        return false;
    unsigned char* bytes = static_cast<unsigned char*>(out);
    for (int i = 0; i < count; ++i)
        byte_at(*r, r->position + i, &bytes[i]);
    r->position += count;
    return true;
}

bool seek(reader* r, int offset)
{
    if (offset < 0 || offset > r->length)
        return false;
    r->position = offset;
    return true;
}

bool take_name(reader* r, int inline_end, char* text, int text_size)
{
    if (text_size < 1)
        return false;
    text[0] = '\0';
    if (inline_end > r->length)
        inline_end = r->length;

    int offset = r->position;
    int segment_start = offset;  // where the labels being read began
    int after_name = -1;         // end of the name at the cursor, once known
    int written = 0;
    int hops = 0;
    for (;;) {
        int limit = after_name < 0 ? inline_end : r->length;
        unsigned char length;
        if (offset >= limit || !byte_at(*r, offset, &length))
            break;
        if (length == 0) {
            if (after_name < 0)
                after_name = offset + 1;
            text[written] = '\0';
            r->position = after_name;
            return true;
        }
        if (length >= pointer_tag) {
            unsigned char low;
            if (offset + 1 >= limit || !byte_at(*r, offset + 1, &low))
                break;
            int target = ((length & ~pointer_tag) << 8) | low;
            if (target >= segment_start || ++hops > max_pointer_hops)
                break;
            if (after_name < 0)
                after_name = offset + 2;
            offset = segment_start = target;
            continue;
        }
        // A label: its length byte and characters must lie within bounds and
        // the dotted text must keep room for its terminator.
        int separator = written > 0 ? 1 : 0;
        if (length > limit - offset - 1 || written + separator + length > text_size - 1)
            break;
        if (separator)
            text[written++] = '.';
        for (int i = 1; i <= length; ++i) {
            unsigned char c = 0;
            byte_at(*r, offset + i, &c);
            text[written++] = static_cast<char>(c);
        }
        offset += 1 + length;
    }
    text[0] = '\0';
    return false;
}

}  // namespace socketlib::dns
