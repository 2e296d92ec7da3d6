#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "utillib/utils.hpp"

namespace {

// What every progress line starts with: blanks, then the cursor back home.
const std::string kReset = std::string(8, ' ') + std::string(255, '\b');

std::string progress(const char* label, uint64_t done, uint64_t total, int start, int now, uint64_t* returned = nullptr)
{
    testing::internal::CaptureStdout();
    const uint64_t result = utillib::showprogress(label, done, total, start, now);
    std::fflush(stdout);
    if (returned != nullptr)
        *returned = result;
    return testing::internal::GetCapturedStdout();
}

std::string status(const char* label, const char* text, int done, int total, int width)
{
    testing::internal::CaptureStdout();
    utillib::showstatusprogress(label, text, done, total, width);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Showprogress, HalfwayWithEstimate)
{
    uint64_t returned = 0;
    EXPECT_EQ(progress("copy", 50, 100, 1000, 1010, &returned),
              kReset + "copy progress=050.000 % timespent=00:00:10 timeelapsed=00:00:20");
    EXPECT_EQ(returned, 50u);
}

TEST(Showprogress, Table)
{
    struct Case {
        uint64_t done;
        uint64_t total;
        int start;
        int now;
        const char* tail;
    };
    const Case cases[] = {
        {1, 4, 0, 3600, " progress=025.000 % timespent=01:00:00 timeelapsed=04:00:00"},
        {100, 100, 0, 90000, " progress=100.000 % timespent=25:00:00 timeelapsed=25:00:00"},
        {0, 100, 5, 65, " progress=000.000 % timespent=00:01:00 timeelapsed=00:00:00"},
        // A total of 0: no share and no estimate, never a division by zero.
        {7, 0, 0, 10, " progress=000.000 % timespent=00:00:10 timeelapsed=00:00:00"},
        {0, 0, 0, 0, " progress=000.000 % timespent=00:00:00 timeelapsed=00:00:00"},
        // Below the 0.001 % threshold there is no estimate yet.
        {1, 1000000, 0, 10, " progress=000.000 % timespent=00:00:10 timeelapsed=00:00:00"},
        {1, 10000, 0, 10, " progress=000.010 % timespent=00:00:10 timeelapsed=27:46:40"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(progress("job", c.done, c.total, c.start, c.now), kReset + "job" + c.tail)
            << c.done << "/" << c.total;
}

TEST(Showprogress, ExtremeCountsAndTimesStaySafe)
{
    uint64_t returned = 0;
    const uint64_t big = std::numeric_limits<uint64_t>::max();
    const std::string out =
        progress(nullptr, big, big, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), &returned);
    EXPECT_EQ(returned, big);
    EXPECT_EQ(out.rfind(kReset + " progress=100.000 % timespent=", 0), 0u) << out;
}

TEST(Showstatusprogress, BarAtHalf)
{
    EXPECT_EQ(status("dl", "file.bin", 5, 10, 10), kReset + "dl 050% [ =====      ]  file.bin");
}

TEST(Showstatusprogress, BarTable)
{
    struct Case {
        const char* label;
        const char* text;
        int done;
        int total;
        int width;
        std::string expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, 0, 10, 4, " 000% [      ] "},
        {"x", nullptr, 10, 10, 4, "x 100% [ ==== ] "},
        {"x", nullptr, 1, 3, 6, "x 033% [ ==     ] "},
        {"x", "t", 15, 10, 4, "x 150% [ ==== ]  t"},  // more than the total: bar stays width long
        {"x", nullptr, 5, 10, 0, "x 050% [  ] "},
        {"x", nullptr, 5, 10, -3, "x 050% [  ] "},
        {"x", nullptr, -5, 10, 4, "x -50% [      ] "},
    };
    for (const Case& c : cases)
        EXPECT_EQ(status(c.label, c.text, c.done, c.total, c.width), kReset + c.expected) << c.expected;
}

// The only test that moves the spinner, so it starts from the initial "-".
TEST(Showstatusprogress, SpinnerCyclesOneStepPerCall)
{
    EXPECT_EQ(status("up", nullptr, 3, 0, 10), kReset + "up ...  [     \\      ]");
    EXPECT_EQ(status("up", nullptr, 3, 0, 10), kReset + "up ...  [     |      ]");
    EXPECT_EQ(status("up", "n", 3, -1, 10), kReset + "up ...  [     /      ] n");
    EXPECT_EQ(status(nullptr, nullptr, 3, 0, 10), kReset + " ...  [     -      ]");
    // Too narrow for the spinner: it still advances, nothing is drawn.
    EXPECT_EQ(status("up", nullptr, 0, 0, 3), kReset + "up ...  [  ]");
    EXPECT_EQ(status("up", nullptr, 0, 0, 5), kReset + "up ...  [  |    ]");
}

}  // namespace
