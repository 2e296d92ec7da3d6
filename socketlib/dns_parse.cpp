// Parsing a DNS reply into the fixed tables of named_response.  Every wire
// read goes through dns::reader, bounded by the received length.
#include <cstdio>
#include <cstring>

#include "socketlib/dns_reader.hpp"
#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

// Type, class, TTL and data length follow every owner name.
constexpr int record_fixed_size = 10;

// Reads one resource record at the cursor.  The record fits when its owner
// name, fixed fields and data all lie within the message (and an address's
// data within the data field); the cursor then stands after its data.  The
// data of other records is read as a domain name, as far as it is one.
bool take_record(dns::reader* r, named_record* record, bool data_is_name)
{
    if (!dns::take_name(r, r->length, record->name, sizeof record->name))
        return false;
    if (!dns::take_bytes(r, &record->type, sizeof record->type) ||
        !dns::take_bytes(r, &record->rclass, sizeof record->rclass) ||
        !dns::take_bytes(r, &record->ttl, sizeof record->ttl) ||
        !dns::take_bytes(r, &record->data_length, sizeof record->data_length))
        return false;

    int data_length = ntohs(record->data_length);
    int data_start = r->position;
    if (data_length > r->length - data_start)
        return false;

    if (!data_is_name && ntohs(record->type) == NAMED_TYPE_A) {
        if (data_length > NAMED_TEXT_SIZE - 1)
            return false;
        // Short address data still reads as four bytes: the missing ones are 0.
        std::memset(record->data, 0, 4);
        dns::take_bytes(r, record->data, data_length);
        record->data[data_length] = 0;
        named_parse_ipaddr(record->data, data_length, record->data_text);
        return true;
    }

    char* data = reinterpret_cast<char*>(record->data);
    dns::reader in_data = *r;
    if (!dns::take_name(&in_data, data_start + data_length, data, sizeof record->data))
        data[0] = '\0';
    std::memcpy(record->data_text, data, sizeof record->data_text);
    // The next record starts after the data, whatever the data held (an MX
    // preference, SOA counters, text strings).
    dns::seek(r, data_start + data_length);
    return true;
}

// Reads `announced` records into `table`, keeping the first
// NAMED_MAX_RECORDS; false at the first record that does not fit.
bool take_section(dns::reader* r, int announced, named_record* table, int* stored, bool data_is_name)
{
    *stored = 0;
    named_record record;
    for (int i = 0; i < announced; ++i) {
        if (!take_record(r, &record, data_is_name))
            return false;
        if (*stored < NAMED_MAX_RECORDS)
            std::memcpy(&table[(*stored)++], &record, sizeof record);
    }
    return true;
}

uint16_t take_count(dns::reader* r)
{
    uint16_t wire = 0;
    dns::take_bytes(r, &wire, sizeof wire);
    return ntohs(wire);
}

}  // namespace

void named_parseresponse(const unsigned char* message, int length, const char* name, named_response* response)
{
    if (response == nullptr)
        return;
    response->questions = 0;
    response->answer_count = 0;
    response->authority_count = 0;
    response->additional_count = 0;

    // The reply is read with the question as it was asked; the question
    // section is taken to be exactly that one question.
    unsigned char question[NAMED_TEXT_SIZE];
    named_CreateNameFormat(question, name != nullptr ? name : "");
    int question_length = static_cast<int>(strnlen(reinterpret_cast<const char*>(question), sizeof question)) + 1;

    dns::reader r = dns::reader_over(message, length);
    r.question = question;
    r.question_length = question_length;
    if (r.length < dns::header_size)
        return;

    dns::seek(&r, 4);
    response->questions = take_count(&r);
    int answers = take_count(&r);
    int authorities = take_count(&r);
    int additionals = take_count(&r);
    if (!dns::seek(&r, dns::header_size + question_length + 4))
        return;

    if (!take_section(&r, answers, response->answers, &response->answer_count, false))
        return;
    if (!take_section(&r, authorities, response->authorities, &response->authority_count, true))
        return;
    take_section(&r, additionals, response->additionals, &response->additional_count, false);
}

void named_parseresponse(const unsigned char* message, const char* name, named_response* response)
{
    named_parseresponse(message, NAMED_MESSAGE_SIZE, name, response);
}

int named_ParseReadName(const unsigned char* position, const unsigned char* message, int length, int* used, char* out)
{
    int used_here = 0;
    int result = -1;
    if (out != nullptr) {
        out[0] = '\0';
        dns::reader r = dns::reader_over(message, length);
        if (message != nullptr && position >= message && position - message < r.length) {
            int start = static_cast<int>(position - message);
            dns::seek(&r, start);
            if (dns::take_name(&r, r.length, out, NAMED_TEXT_SIZE)) {
                used_here = r.position - start;
                result = 0;
            }
        }
    }
    if (used != nullptr)
        *used = used_here;
    return result;
}

void named_ParseReadName(const unsigned char* position, const unsigned char* message, int* used, char* out)
{
    named_ParseReadName(position, message, NAMED_MESSAGE_SIZE, used, out);
}

void named_parse_ipname(const unsigned char* bytes, int length, char* out)
{
    if (bytes == nullptr || out == nullptr || length < 0)
        return;
    std::memset(out, 0, static_cast<size_t>(length) + 1);
    int read = 0;
    int written = 0;
    while (read < length) {
        int label_length = bytes[read++];
        if (label_length == 0) {
            if (written > 0)
                out[--written] = '\0';
            return;
        }
        // A label that runs past the given length is cut there.
        if (label_length > length - read) {
            std::memcpy(out + written, bytes + read, length - read);
            return;
        }
        std::memcpy(out + written, bytes + read, label_length);
        written += label_length;
        read += label_length;
        out[written++] = '.';
    }
}

void named_parse_ipaddr(const unsigned char* bytes, int length, char* out)
{
    if (bytes == nullptr || out == nullptr || length < 0)
        return;
    std::memcpy(out, bytes, length);
    out[length] = '\0';
    in_addr address{};
    std::memcpy(&address, bytes, length < 4 ? length : 4);
    // At most 4 * length bytes (16 hold every address), always terminated:
    // the text of a shorter address is cut.
    int limit = length < 4 ? 4 * length : 16;
    if (limit > 0)
        std::snprintf(out, static_cast<size_t>(limit), "%s", platform::inet_ntoa(address));
}

}  // namespace socketlib
