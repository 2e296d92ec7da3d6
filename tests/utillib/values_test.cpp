#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "utillib/string.hpp"

namespace {

TEST(Conversions, Integers)
{
    struct Case {
        const char* text;
        int64_t as_int;
        int64_t as_long;
        int64_t as_longlong;
    };
    constexpr int64_t int_max = std::numeric_limits<int>::max();
    constexpr int64_t int_min = std::numeric_limits<int>::min();
    const Case cases[] = {
        {"12abc", 12, 12, 12},
        {"abc", 0, 0, 0},
        {"", 0, 0, 0},
        {"  \t-7", -7, -7, -7},
        {"+3", 3, 3, 3},
        {"- 3", 0, 0, 0},
        {"3.9", 3, 3, 3},
        {"9000000000", int_max, int_max, 9000000000LL},  // held within the type
        {"-9000000000", int_min, int_min, -9000000000LL},
        {"99999999999999999999", int_max, int_max, std::numeric_limits<int64_t>::max()},
        {"-99999999999999999999", int_min, int_min, std::numeric_limits<int64_t>::min()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utillib::intval(c.text), c.as_int) << '"' << c.text << '"';
        EXPECT_EQ(utillib::longval(c.text), c.as_long) << '"' << c.text << '"';
        EXPECT_EQ(utillib::longlongval(c.text), c.as_longlong) << '"' << c.text << '"';
    }
    EXPECT_EQ(utillib::intval(nullptr), 0);
    EXPECT_EQ(utillib::longlongval(nullptr), 0);
}

TEST(Conversions, DecimalCommaIsAPoint)
{
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {
        {"3,25", 3.25},  {"3,", 3.0}, {"1.5", 1.5}, {" -2,5e3", -2500.0},
        {"1,5,7", 1.5},  // only the first comma
        {"1.5,7", 1.5},  {",5", 0.5}, {"abc", 0.0}, {"", 0.0},
        {"12abc", 12.0},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(utillib::doubleval(c.text), c.value) << '"' << c.text << '"';
        EXPECT_FLOAT_EQ(utillib::floatval(c.text), static_cast<float>(c.value)) << '"' << c.text << '"';
    }
    const char text[] = "3,25";
    utillib::doubleval(text);
    EXPECT_STREQ(text, "3,25");  // the caller's text is not changed
    EXPECT_EQ(utillib::doubleval(nullptr), 0.0);
}

TEST(Conversions, OutOfRangeAndLongTexts)
{
    EXPECT_TRUE(std::isinf(utillib::doubleval("1e400")));
    EXPECT_TRUE(std::isinf(utillib::floatval("1e40")));  // no narrowing of a too large double
    EXPECT_EQ(utillib::floatval("1,5e-50"), 0.0f);
    // Leading white space does not count against the length read.
    const std::string padded = std::string(5000, ' ') + "4,5";
    EXPECT_DOUBLE_EQ(utillib::doubleval(padded.c_str()), 4.5);
    const std::string digits = std::string(3000, '1');
    EXPECT_GT(utillib::doubleval(digits.c_str()), 1e300);
}

TEST(Conversions, LeaveErrnoAlone)
{
    errno = EINTR;
    utillib::longlongval("99999999999999999999");
    utillib::intval("99999999999999999999");
    utillib::doubleval("1e400");
    utillib::floatval("1e40");
    EXPECT_EQ(errno, EINTR);
}

TEST(TypeTests, Table)
{
    struct Case {
        const char* text;
        int is_int;
        int is_double;
        int is_string;
        int type;
    };
    const Case cases[] = {
        {"", 1, 1, 1, utillib::type_integer},
        {"12", 1, 1, 1, utillib::type_integer},
        {"007", 1, 1, 1, utillib::type_integer},
        {"-5", 0, 1, 1, utillib::type_double},  // the integer test has no sign
        {"+5", 0, 1, 1, utillib::type_double},
        {"1,5", 0, 1, 1, utillib::type_double},
        {"-2.75e+3", 0, 1, 1, utillib::type_double},
        {"3,", 0, 1, 1, utillib::type_double},
        {"+", 0, 1, 1, utillib::type_double},  // no digit is required
        {".", 0, 1, 1, utillib::type_double},
        {"e", 0, 1, 1, utillib::type_double},
        {"1e", 0, 1, 1, utillib::type_double},
        {"1e5e3", 0, 1, 1, utillib::type_double},  // an exponent anywhere
        {"1E-3", 0, 1, 1, utillib::type_double},
        {"1.e5", 0, 1, 1, utillib::type_double},
        {"1.2.3", 0, 0, 1, utillib::type_string},
        {"1,2.3", 0, 0, 1, utillib::type_string},
        {"1e5.3", 0, 0, 1, utillib::type_string},  // no separator after an exponent
        {"1e+-3", 0, 0, 1, utillib::type_string},
        {"0x10", 0, 0, 1, utillib::type_string},
        {"--1", 0, 0, 1, utillib::type_string},
        {" 1", 0, 0, 1, utillib::type_string},
        {"1-", 0, 0, 1, utillib::type_string},
        {"abc", 0, 0, 1, utillib::type_string},
        {"a b~", 0, 0, 1, utillib::type_string},
        {"a\nb", 0, 0, 0, utillib::type_other},
        {"12\t", 0, 0, 0, utillib::type_other},
        {"\x7f", 0, 0, 0, utillib::type_other},
        {"\xc5\x81", 0, 0, 0, utillib::type_other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        EXPECT_EQ(utillib::is_int(c.text), c.is_int);
        EXPECT_EQ(utillib::is_integer(c.text), c.is_int);
        EXPECT_EQ(utillib::is_long(c.text), c.is_int);
        EXPECT_EQ(utillib::is_double(c.text), c.is_double);
        EXPECT_EQ(utillib::is_float(c.text), c.is_double);
        EXPECT_EQ(utillib::is_real(c.text), c.is_double);
        EXPECT_EQ(utillib::is_numeric(c.text), c.is_double);
        EXPECT_EQ(utillib::is_string(c.text), c.is_string);
        EXPECT_EQ(utillib::gettype(c.text), c.type);
    }
}

TEST(TypeTests, NullTextHoldsNoTest)
{
    EXPECT_EQ(utillib::is_int(nullptr), 0);
    EXPECT_EQ(utillib::is_double(nullptr), 0);
    EXPECT_EQ(utillib::is_string(nullptr), 0);
    EXPECT_EQ(utillib::gettype(nullptr), utillib::type_other);
}

}  // namespace
