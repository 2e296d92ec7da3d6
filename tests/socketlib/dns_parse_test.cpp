// DNS reply parser and printout: well-formed replies, hostile replies, and
// every cut of a valid reply.  Messages are parsed from heap copies of their
// exact length, so the sanitizer build catches any read past the datagram.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "socketlib/socket.hpp"
#include "tests/support/dns_messages.hpp"

namespace {

using namespace socketlib;
using namespace dns_messages;

constexpr unsigned question_offset = 12;
constexpr unsigned char address_1[4] = {192, 0, 2, 1};
constexpr unsigned char address_2[4] = {192, 0, 2, 2};

struct parsed {
    std::unique_ptr<named_response> response = std::make_unique<named_response>();
    named_response* operator->()
    {
        return response.get();
    }
};

parsed parse(const bytes& message, const char* name, size_t length)
{
    parsed result;
    auto exact = std::make_unique<unsigned char[]>(length == 0 ? 1 : length);
    std::memcpy(exact.get(), message.data(), length);
    named_parseresponse(exact.get(), static_cast<int>(length), name, result.response.get());
    return result;
}

parsed parse(const bytes& message, const char* name)
{
    return parse(message, name, message.size());
}

std::string printout(const named_response* response)
{
    testing::internal::CaptureStdout();
    named_printresponses(response);
    return testing::internal::GetCapturedStdout();
}

std::string data_text(const named_record& record)
{
    return record.data_text;
}

// A reply for one.two.three: an alias, then its address.
bytes cname_then_a()
{
    bytes m;
    header(m, 1, 2, 0, 0);
    question(m, "one.two.three", 1);
    name_record(m, question_offset, 5, "target.test");
    a_record(m, 43, address_1);  // owner: the alias target just written
    return m;
}

TEST(DnsParse, CnameThenAddressFillTwoSlotsAndPrint)
{
    bytes m = cname_then_a();
    auto r = parse(m, "one.two.three");
    EXPECT_EQ(r->questions, 1);
    ASSERT_EQ(r->answer_count, 2);
    EXPECT_EQ(ntohs(r->answers[0].type), NAMED_TYPE_CNAME);
    EXPECT_STREQ(r->answers[0].name, "one.two.three");
    EXPECT_STREQ(reinterpret_cast<const char*>(r->answers[0].data), "target.test");
    EXPECT_EQ(data_text(r->answers[0]), "target.test");
    EXPECT_STREQ(r->answers[1].name, "target.test");
    EXPECT_EQ(data_text(r->answers[1]), "192.0.2.1");
    EXPECT_EQ(0, std::memcmp(r->answers[1].data, address_1, 4));
    EXPECT_EQ(r->answers[1].data[4], 0);
    EXPECT_EQ(printout(r.response.get()),
              "The response contains:\n"
              " 1 Questions.\n 2 Answers.\n 0 Authoritative Servers.\n 0 Additional records.\n"
              " Answer: 1, Name: one.two.three has alias name: target.test\n"
              " Answer: 2, Name: target.test has IPv4 address: 192.0.2.1\n");
}

TEST(DnsParse, PointerToQuestionNamesTheRecordAndFixedFieldsFollowIt)
{
    bytes m;
    header(m, 1, 1, 0, 0);
    question(m, "one.two.three", 1);
    a_record(m, question_offset, address_2);
    auto r = parse(m, "one.two.three");
    ASSERT_EQ(r->answer_count, 1);
    const named_record& a = r->answers[0];
    EXPECT_STREQ(a.name, "one.two.three");
    EXPECT_EQ(ntohs(a.type), 1);
    EXPECT_EQ(ntohs(a.rclass), 1);
    EXPECT_EQ(ntohl(a.ttl), 600u);
    EXPECT_EQ(ntohs(a.data_length), 4);
    EXPECT_EQ(printout(r.response.get()),
              "The response contains:\n"
              " 1 Questions.\n 1 Answers.\n 0 Authoritative Servers.\n 0 Additional records.\n"
              " Answer: 1, Name: one.two.three has IPv4 address: 192.0.2.2\n");
}

TEST(DnsParse, PointerToQuestionGivesTheNameAsAsked)
{
    bytes m;
    header(m, 1, 1, 0, 0);
    question(m, "ONE.TWO.THREE", 1);
    a_record(m, question_offset, address_1);
    auto r = parse(m, "one.two.three");
    ASSERT_EQ(r->answer_count, 1);
    EXPECT_STREQ(r->answers[0].name, "one.two.three");
}

TEST(DnsParse, ZeroAnswersPrintOnlyTheCounts)
{
    bytes m;
    header(m, 1, 0, 0, 0);
    question(m, "nothere.test", 1);
    auto r = parse(m, "nothere.test");
    EXPECT_EQ(printout(r.response.get()),
              "The response contains:\n"
              " 1 Questions.\n 0 Answers.\n 0 Authoritative Servers.\n 0 Additional records.\n");
}

TEST(DnsParse, PointerAuthorityAndAdditionalLines)
{
    bytes m;
    header(m, 1, 1, 1, 1);
    question(m, "10.2.0.192.in-addr.arpa", 12);
    unsigned zone = static_cast<unsigned>(m.size()) + 2 + 10 + 1 + 4;  // "test" inside host.test
    name_record(m, question_offset, 12, "host.test");
    name_record(m, zone, 2, "ns1.test");
    unsigned ns_name = static_cast<unsigned>(m.size()) - 10;
    a_record(m, ns_name, address_2);
    auto r = parse(m, "10.2.0.192.in-addr.arpa");
    EXPECT_EQ(printout(r.response.get()),
              "The response contains:\n"
              " 1 Questions.\n 1 Answers.\n 1 Authoritative Servers.\n 1 Additional records.\n"
              " Answer: 1, Name: 10.2.0.192.in-addr.arpa domain name pointer: host.test\n"
              " Authorities: 1, Name: test has authoritative nameserver: ns1.test\n"
              " Additional: 1, Name: ns1.test has IPv4 address: 192.0.2.2\n");
}

// Records whose data is not one name are stepped over by their data length,
// so the records after them are read from the right place.
TEST(DnsParse, MxAndSoaAnswersDoNotShiftTheRecordsAfterThem)
{
    bytes m;
    header(m, 1, 3, 0, 0);
    question(m, "mx.test", 15);
    bytes mx_data = {0x00, 0x0A};
    name(mx_data, "mail.test");
    pointer(m, question_offset);
    fixed(m, 15, static_cast<unsigned>(mx_data.size()));
    m.insert(m.end(), mx_data.begin(), mx_data.end());
    bytes soa_data;
    name(soa_data, "ns1.test");
    name(soa_data, "hostmaster.test");
    for (uint32_t counter : {1u, 2u, 3u, 4u, 5u})
        u32(soa_data, counter);
    pointer(m, question_offset);
    fixed(m, 6, static_cast<unsigned>(soa_data.size()));
    m.insert(m.end(), soa_data.begin(), soa_data.end());
    a_record(m, question_offset, address_1);

    auto r = parse(m, "mx.test");
    ASSERT_EQ(r->answer_count, 3);
    EXPECT_EQ(data_text(r->answers[0]), "");  // the preference 00 0A ends the name at once
    EXPECT_EQ(data_text(r->answers[1]), "ns1.test");
    EXPECT_EQ(ntohs(r->answers[2].type), 1);
    EXPECT_STREQ(r->answers[2].name, "mx.test");
    EXPECT_EQ(data_text(r->answers[2]), "192.0.2.1");
}

TEST(DnsParse, KeepsTwentyFiveRecordsAndReadsTheSectionsAfterThem)
{
    bytes m;
    header(m, 1, 30, 1, 0);
    question(m, "many.test", 1);
    for (int i = 0; i < 30; ++i) {
        unsigned char address[4] = {10, 0, 0, static_cast<unsigned char>(i)};
        pointer(m, question_offset);
        fixed(m, 1, 4);
        m.insert(m.end(), address, address + 4);
    }
    name_record(m, question_offset, 2, "ns.test");
    auto r = parse(m, "many.test");
    EXPECT_EQ(r->answer_count, NAMED_MAX_RECORDS);
    EXPECT_EQ(data_text(r->answers[24]), "10.0.0.24");
    ASSERT_EQ(r->authority_count, 1);
    EXPECT_EQ(data_text(r->authorities[0]), "ns.test");
}

TEST(DnsParse, AuthorityDataIsAlwaysReadAsAName)
{
    bytes m;
    header(m, 1, 0, 1, 0);
    question(m, "x.test", 1);
    bytes data;
    name(data, "ns.test");
    pointer(m, question_offset);
    fixed(m, 1, static_cast<unsigned>(data.size()));
    m.insert(m.end(), data.begin(), data.end());
    auto r = parse(m, "x.test");
    ASSERT_EQ(r->authority_count, 1);
    EXPECT_EQ(data_text(r->authorities[0]), "ns.test");
}

// --- hostile replies ---------------------------------------------------------

// Header and question for "q": the answers start at offset 12 + 3 + 4 = 19.
bytes hostile_start(unsigned answers)
{
    bytes m;
    header(m, 1, answers, 0, 0);
    question(m, "q", 1);
    return m;
}

struct hostile_case {
    const char* what;
    bytes message;
    int answers;  // records kept
};

std::vector<hostile_case> hostile_cases()
{
    std::vector<hostile_case> cases;
    {
        bytes m = hostile_start(1);
        pointer(m, 19);  // to itself
        fixed(m, 1, 4);
        m.insert(m.end(), address_1, address_1 + 4);
        cases.push_back({"pointer to itself", m, 0});
    }
    {
        // 19: 01 'a' C0 24 (forward), 24: 01 'b' C0 19 (back): a loop.
        bytes m = hostile_start(1);
        m.insert(m.end(), {0x01, 'a', 0xC0, 24, 0x00, 0x01, 'b', 0xC0, 19});
        fixed(m, 1, 4);
        m.insert(m.end(), address_1, address_1 + 4);
        cases.push_back({"pointer loop through a forward pointer", m, 0});
    }
    {
        // A record whose data name loops back into itself; the record keeps
        // its frame and its data reads as empty.
        bytes m = hostile_start(2);
        pointer(m, question_offset);
        fixed(m, 5, 4);
        m.insert(m.end(), {0x01, 'b', 0xC0, 31});
        a_record(m, question_offset, address_1);
        cases.push_back({"alias data pointing to itself", m, 2});
    }
    {
        bytes m = hostile_start(1);
        pointer(m, 0x3FFF);
        fixed(m, 1, 4);
        m.insert(m.end(), address_1, address_1 + 4);
        cases.push_back({"pointer past the datagram", m, 0});
    }
    {
        bytes m = hostile_start(1);
        for (int i = 0; i < 300; ++i)
            m.insert(m.end(), {0x03, 'a', 'b', 'c'});
        m.push_back(0);
        fixed(m, 1, 4);
        m.insert(m.end(), address_1, address_1 + 4);
        cases.push_back({"name of 300 labels, 1199 characters", m, 0});
    }
    {
        bytes m = hostile_start(1);
        m.push_back(0x3F);
        m.push_back('a');  // a label of 63 with one character left
        cases.push_back({"label past the datagram", m, 0});
    }
    {
        bytes m;
        header(m, 1, 200, 200, 200);
        question(m, "q", 1);
        m.resize(20);  // the counts say 200, one byte follows the question
        cases.push_back({"200 records in 20 bytes", m, 0});
    }
    {
        bytes m = hostile_start(2);
        a_record(m, question_offset, address_1);
        pointer(m, question_offset);
        fixed(m, 1, 2000);
        m.resize(m.size() + 2000, 0x41);
        cases.push_back({"address data of 2000 bytes", m, 1});
    }
    {
        bytes m = hostile_start(2);
        a_record(m, question_offset, address_1);
        pointer(m, question_offset);
        fixed(m, 1, 4);
        m.push_back(10);  // three of the four address bytes are missing
        cases.push_back({"truncated record", m, 1});
    }
    {
        bytes m;
        m.insert(m.end(), {0x12, 0x34, 0x81, 0x80, 0x00});
        cases.push_back({"header cut short", m, 0});
    }
    return cases;
}

TEST(DnsParseHostile, StaysInsideTheDatagramAndStopsAtTheFirstBadRecord)
{
    for (const hostile_case& c : hostile_cases()) {
        SCOPED_TRACE(c.what);
        auto r = parse(c.message, "q");
        EXPECT_EQ(r->answer_count, c.answers);
        EXPECT_EQ(r->authority_count, 0);
        EXPECT_EQ(r->additional_count, 0);
        std::string text = printout(r.response.get());
        EXPECT_NE(text.find(" " + std::to_string(c.answers) + " Answers.\n"), std::string::npos);
    }
}

TEST(DnsParseHostile, ShortLabelsUpToTheNameLimitAreKept)
{
    bytes m = hostile_start(1);
    for (int i = 0; i < 300; ++i)
        m.insert(m.end(), {0x01, 'a'});
    m.push_back(0);
    fixed(m, 1, 4);
    m.insert(m.end(), address_1, address_1 + 4);
    auto r = parse(m, "q");
    ASSERT_EQ(r->answer_count, 1);
    EXPECT_EQ(std::strlen(r->answers[0].name), 599u);
}

TEST(DnsParseHostile, LabelBytesOfC0AndAboveAreCharacters)
{
    bytes m = hostile_start(1);
    m.insert(m.end(), {0x03, 'a', 0xC1, 'b', 0x00});
    fixed(m, 1, 4);
    m.insert(m.end(), address_1, address_1 + 4);
    auto r = parse(m, "q");
    ASSERT_EQ(r->answer_count, 1);
    EXPECT_STREQ(r->answers[0].name,
                 "a\xC1"
                 "b");
    EXPECT_EQ(data_text(r->answers[0]), "192.0.2.1");
}

TEST(DnsParseHostile, PointerChainsAreCapped)
{
    // Offsets 19, 21, 23 ... each point two bytes back; 14 holds the zero
    // that ends the question name "q".
    for (int hops : {100, 200}) {
        SCOPED_TRACE(hops);
        bytes m = hostile_start(1);
        unsigned previous = 14;
        for (int i = 0; i < hops; ++i) {
            unsigned here = static_cast<unsigned>(m.size());
            pointer(m, previous);
            previous = here;
        }
        char out[NAMED_TEXT_SIZE];
        int used = -1;
        int result = named_ParseReadName(m.data() + previous, m.data(), static_cast<int>(m.size()), &used, out);
        EXPECT_EQ(result, hops <= 128 ? 0 : -1);
        EXPECT_EQ(used, hops <= 128 ? 2 : 0);
    }
}

TEST(DnsParseHostile, SoaInTheAnswersIsSteppedOver)
{
    bytes m = hostile_start(2);
    pointer(m, question_offset);
    fixed(m, 6, 24);
    m.insert(m.end(), {0xC0, 12, 0xC0, 12});
    for (int i = 0; i < 5; ++i)
        u32(m, 0xC0C0C0C0);  // counters that look like pointers
    a_record(m, question_offset, address_2);
    auto r = parse(m, "q");
    ASSERT_EQ(r->answer_count, 2);
    EXPECT_EQ(data_text(r->answers[0]), "q");
    EXPECT_EQ(data_text(r->answers[1]), "192.0.2.2");
}

// Cutting a valid reply anywhere keeps a prefix of its records and never
// reads past the cut.
TEST(DnsParseHostile, EveryCutOfAValidReplyParsesCleanly)
{
    bytes m;
    header(m, 1, 2, 1, 1);
    question(m, "one.two.three", 1);
    name_record(m, question_offset, 5, "target.test");
    a_record(m, 43, address_1);
    name_record(m, 50, 2, "ns.test");  // owner: "test" of target.test
    a_record(m, static_cast<unsigned>(m.size()) - 9, address_2);
    auto full = parse(m, "one.two.three");
    ASSERT_EQ(full->answer_count, 2);
    ASSERT_EQ(full->authority_count, 1);
    ASSERT_EQ(full->additional_count, 1);

    int previous_total = 0;
    for (size_t length = 0; length < m.size(); ++length) {
        SCOPED_TRACE(length);
        auto r = parse(m, "one.two.three", length);
        int total = r->answer_count + r->authority_count + r->additional_count;
        EXPECT_LT(total, 4);
        EXPECT_GE(total, previous_total);
        previous_total = total;
        for (int i = 0; i < r->answer_count; ++i) {
            EXPECT_STREQ(r->answers[i].name, full->answers[i].name);
            EXPECT_EQ(data_text(r->answers[i]), data_text(full->answers[i]));
        }
    }
    EXPECT_EQ(previous_total, 3);
}

// --- name helpers ------------------------------------------------------------

TEST(DnsNames, ReadNameCountsTheBytesAtThePosition)
{
    bytes m;
    header(m, 1, 0, 0, 0);
    question(m, "one.two.three", 1);
    unsigned plain = static_cast<unsigned>(m.size());
    name(m, "www.test");
    unsigned compressed = static_cast<unsigned>(m.size());
    m.insert(m.end(), {0x03, 'w', 'w', 'w', 0xC0, 12});
    unsigned bare = static_cast<unsigned>(m.size());
    pointer(m, compressed);

    struct {
        unsigned at;
        int used;
        const char* text;
    } cases[] = {{plain, 10, "www.test"},
                 {compressed, 6, "www.one.two.three"},
                 {bare, 2, "www.one.two.three"},
                 {question_offset, 15, "one.two.three"}};
    for (const auto& c : cases) {
        char out[NAMED_TEXT_SIZE];
        int used = 0;
        EXPECT_EQ(named_ParseReadName(m.data() + c.at, m.data(), static_cast<int>(m.size()), &used, out), 0);
        EXPECT_EQ(used, c.used);
        EXPECT_STREQ(out, c.text);
    }
    // Outside the message: nothing read.
    char out[NAMED_TEXT_SIZE] = "stale";
    int used = 7;
    EXPECT_EQ(named_ParseReadName(m.data() + m.size(), m.data(), static_cast<int>(m.size()), &used, out), -1);
    EXPECT_EQ(used, 0);
    EXPECT_STREQ(out, "");
}

TEST(DnsNames, ReadNameWithinAWholeMessageBuffer)
{
    auto buffer = std::make_unique<unsigned char[]>(NAMED_MESSAGE_SIZE);
    std::memset(buffer.get(), 0, NAMED_MESSAGE_SIZE);
    std::memcpy(buffer.get() + 12, "\x03one\x03two\x00", 9);
    char out[NAMED_TEXT_SIZE];
    int used = 0;
    named_ParseReadName(buffer.get() + 12, buffer.get(), &used, out);
    EXPECT_EQ(used, 9);
    EXPECT_STREQ(out, "one.two");
    // A name running into the end of the buffer is refused, not read past.
    std::memset(buffer.get() + NAMED_MESSAGE_SIZE - 3, 'a', 3);
    buffer[NAMED_MESSAGE_SIZE - 4] = 0x05;
    named_ParseReadName(buffer.get() + NAMED_MESSAGE_SIZE - 4, buffer.get(), &used, out);
    EXPECT_EQ(used, 0);
}

TEST(DnsNames, ParseIpnameStaysWithinLengthPlusOne)
{
    struct {
        const char* bytes;
        int length;
        const char* text;
    } cases[] = {
        {"\x03one\x03two\x00", 9, "one.two"},
        {"\x03one\x03two", 8, "one.two."},  // the length runs out first
        {"\x05"
         "ab",
         3, "ab"},  // a label past the length is cut
        {"\x00", 1, ""},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char out[32];
        std::memset(out, '#', sizeof out);
        named_parse_ipname(reinterpret_cast<const unsigned char*>(c.bytes), c.length, out);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(out[c.length + 1], '#');
    }
}

TEST(DnsNames, ParseIpaddrTerminatesWithinItsBound)
{
    const unsigned char raw[] = {192, 0, 2, 10, 99};
    struct {
        int length;
        const char* text;
    } cases[] = {{4, "192.0.2.10"}, {5, "192.0.2.10"}, {2, "192.0.0"}, {1, "192"}, {0, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        char out[32];
        std::memset(out, '#', sizeof out);
        named_parse_ipaddr(raw, c.length, out);
        EXPECT_STREQ(out, c.text);
        int bound = c.length + 1 > 4 * c.length ? c.length + 1 : (4 * c.length < 16 ? 4 * c.length : 16);
        EXPECT_EQ(out[bound], '#');
    }
}

TEST(DnsPrint, CountsBeyondTheTablesPrintOnlyTheTables)
{
    auto response = std::make_unique<named_response>();
    response->answer_count = 1000;
    response->authority_count = -3;
    std::string text = printout(response.get());
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 5u + NAMED_MAX_RECORDS);
    EXPECT_NE(text.find(" Answer: 25, Name: \n"), std::string::npos);
    EXPECT_EQ(text.find(" Answer: 26,"), std::string::npos);
}

}  // namespace
