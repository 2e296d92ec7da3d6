// Building a standard DNS query: header, one question, type and class.
#include <cstring>

#include "socketlib/dns_reader.hpp"
#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

// Names are taken as at most this many characters, a final dot included.
constexpr int name_text_limit = NAMED_TEXT_SIZE - 1;
constexpr unsigned char flags_recursion_desired = 0x01;

void put_u16(unsigned char* at, uint16_t host_value)
{
    uint16_t wire = htons(host_value);
    std::memcpy(at, &wire, sizeof wire);
}

}  // namespace

int named_CreateNameFormat(unsigned char* out, int size, const char* name)
{
    if (out == nullptr || size < 1)
        return -1;
    out[0] = 0;
    if (name == nullptr)
        return -1;

    // Every label, the last one too, is closed by a dot in the work text.
    char work[NAMED_TEXT_SIZE];
    int length = static_cast<int>(strnlen(name, name_text_limit));
    std::memcpy(work, name, length);
    if (length < name_text_limit)
        work[length++] = '.';

    int written = 0;
    int label_start = 0;
    for (int i = 0; i < length; ++i) {
        if (work[i] != '.')
            continue;
        int label_length = i - label_start;
        if (written + 1 + label_length + 1 > size) {
            out[0] = 0;
            return -1;
        }
        // The length byte is the label length modulo 256, unchecked: the
        // server is the judge of over-long labels.
        out[written++] = static_cast<unsigned char>(label_length);
        std::memcpy(out + written, work + label_start, label_length);
        written += label_length;
        label_start = i + 1;
    }
    out[written++] = 0;
    return written;
}

void named_CreateNameFormat(unsigned char* out, const char* name)
{
    named_CreateNameFormat(out, NAMED_TEXT_SIZE, name);
}

int named_createquery(uint16_t type, uint16_t qclass, const char* name, unsigned char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return -1;
    std::memset(buffer, 0, size);
    if (name == nullptr)
        return -1;
    // A longer name would lose its last label to the length limit of the
    // encoding, and the query would ask for another name.
    size_t text_length = strnlen(name, name_text_limit + 1);
    if (text_length > static_cast<size_t>(name_text_limit) ||
        (text_length == static_cast<size_t>(name_text_limit) && name[text_length - 1] != '.'))
        return -1;

    // The question ends at the first zero length byte: an empty label (a..b)
    // or a final dot ends the name there.
    unsigned char encoded[NAMED_TEXT_SIZE];
    named_CreateNameFormat(encoded, name);
    int name_length = static_cast<int>(strnlen(reinterpret_cast<const char*>(encoded), sizeof encoded)) + 1;
    int message_length = dns::header_size + name_length + 4;
    if (message_length > size)
        return -1;

    put_u16(buffer, static_cast<uint16_t>(platform::process_id()));
    buffer[2] = flags_recursion_desired;
    buffer[3] = 0;
    put_u16(buffer + 4, 1);  // one question, no records
    std::memcpy(buffer + dns::header_size, encoded, name_length);
    put_u16(buffer + dns::header_size + name_length, type);
    put_u16(buffer + dns::header_size + name_length + 2, qclass);
    return message_length;
}

}  // namespace socketlib
