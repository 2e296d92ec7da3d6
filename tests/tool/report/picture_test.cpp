// The run picture drawn from made-up runs: axes and labels from loopback
// microseconds to seconds, one mark per probe for short runs and bounded
// columns for long ones, text from outside escaped, and a real renderer
// reading the file without complaint.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "tests/support/picture_support.hpp"
#include "tool/report/picture_scale.hpp"
#include "tool/report/svg_picture.hpp"

namespace {

using tooltest::svg_marks;
using tooltest::svg_sum;

const std::string micro = "\xC2\xB5s";

TEST(ToolPictureScale, DurationsReadInTheirOwnUnit) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0.0, "0"},
        {45.23e-6,
         "45.2 "
         "\xC2\xB5"
         "s"},
        {2.5e-7,
         "0.25 "
         "\xC2\xB5"
         "s"},
        {999.96e-6, "1.00 ms"},
        {0.2, "200 ms"},
        {1.3, "1.30 s"},
        {12.345, "12.3 s"},
    };
    for (const auto& c : cases) {
        char text[32];
        format_duration(c.seconds, text, sizeof text);
        EXPECT_EQ(std::string(text), c.text) << c.seconds;
    }
}

TEST(ToolPictureScale, RoundTripAxesHoldTheirValuesWithDistinctLabels) {
    const struct {
        double min, max;
        bool log;
        std::string unit;  // every label but "0" ends with it (log axes: any duration unit)
    } cases[] = {
        {12e-6, 60e-6, false, micro},     // loopback
        {20.0e-3, 21.5e-3, false, "ms"},  // a delayed peer: narrow, far from 0
        {20.01e-3, 20.04e-3, false, "ms"},
        {150e-3, 400e-3, false, "ms"},  // another continent
        {11e-6, 1.3, true, ""},         // loopback beside a reply held a second
        {3e-6, 0.25, true, ""},
        {0.0, 1e-3, false, "ms"},     // the millisecond clock: 0 and 1 ms
        {0.002, 0.002, false, "ms"},  // all equal
    };
    for (const auto& c : cases) {
        picture_axis axis;
        scale_durations(c.min, c.max, 5, &axis);
        SCOPED_TRACE(std::to_string(c.min) + " .. " + std::to_string(c.max));
        EXPECT_EQ(axis.log, c.log);
        EXPECT_LE(axis.low, c.min);
        EXPECT_GE(axis.high, c.max);
        EXPECT_GT(scale_fraction(&axis, c.max), scale_fraction(&axis, c.min) - (c.min == c.max ? 1.0 : 0.0));
        EXPECT_GE(axis.ticks, 3);
        EXPECT_LE(axis.ticks, 12);
        std::set<std::string> labels;
        for (int k = 0; k < axis.ticks; k++) {
            EXPECT_GE(axis.tick[k], axis.low * (1 - 1e-9));
            EXPECT_LE(axis.tick[k], axis.high * (1 + 1e-9));
            if (k > 0) {
                EXPECT_GT(axis.tick[k], axis.tick[k - 1]);
            }
            char label[48];
            scale_label(&axis, axis.tick[k], label, sizeof label);
            std::string text = label;
            labels.insert(text);
            if (text != "0" && !c.unit.empty()) {
                EXPECT_EQ(text.substr(text.size() - c.unit.size()), c.unit) << text;
            }
        }
        EXPECT_EQ(labels.size(), static_cast<std::size_t>(axis.ticks)) << "two ticks share a label";
    }
    // A log axis over loopback and a second names its decades.
    picture_axis wide;
    scale_durations(11e-6, 1.3, 5, &wide);
    std::vector<std::string> labels;
    for (int k = 0; k < wide.ticks; k++) {
        char label[48];
        scale_label(&wide, wide.tick[k], label, sizeof label);
        labels.push_back(label);
    }
    for (const std::string& decade : {"10 " + micro, "100 " + micro, std::string("1 ms"), std::string("1 s")}) {
        EXPECT_NE(std::find(labels.begin(), labels.end(), decade), labels.end()) << decade;
    }
}

picture_run run;

std::string write_picture(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    EXPECT_NE(file, nullptr);
    static picture_scratch scratch;
    EXPECT_EQ(svg_picture_write(file, &run, &scratch), 0);
    std::fclose(file);
    return tooltest::read_file(path);
}

picture_probe probe(int index, int reply, double rtt, int copies = 1, int sent = 1) {
    picture_probe p;
    p.index = index;
    p.sent_at = index * 0.002;
    p.rtt = rtt;
    p.reply = static_cast<uint8_t>(reply);
    p.copies = static_cast<uint16_t>(copies);
    p.sent = static_cast<uint8_t>(sent);
    return p;
}

// Renders the file; false (after checking nothing) when no renderer is installed.
bool renders(const std::string& svg) {
    if (!tooltest::have_renderer()) return false;
    std::string png = tooltest::temp_path();
    tooltest::rendering r = tooltest::render_svg(svg, png);
    EXPECT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(r.messages, "");
    EXPECT_EQ(r.width, 960U);
    EXPECT_EQ(r.height, 500U);
    std::remove(png.c_str());
    return true;
}

TEST(ToolPicture, ShortRunHasOneMarkPerProbeAndEscapesTheDestination) {
    run = picture_run{};
    run.title = {"<a&b>\"\xFF", 7, 64, 64, 9, 8, 6, 2, true, 40e-6, 900e-6};
    const picture_probe probes[] = {
        probe(0, picture_own, 40e-6),      probe(1, picture_own, 25e-6),   probe(2, picture_never, -1, 0),
        probe(3, picture_late, -1),        probe(4, picture_late, 900e-6), probe(5, picture_own, 60e-6, 3),
        probe(6, picture_never, -1, 0, 0), probe(7, picture_drain, -1),    probe(8, picture_never, -1, 0),
    };
    run.probes = 9;
    run.by_time = true;
    std::copy(std::begin(probes), std::end(probes), run.probe);
    run.probe[6].sent_at = -1.0;  // it never left: drawn where probe 5 left
    std::string path = tooltest::temp_path();
    std::string svg = write_picture(path);

    auto own = svg_marks(svg, "own");
    auto lost = svg_marks(svg, "lost");
    auto with_probe = [](std::vector<tooltest::svg_attributes> marks) {
        std::vector<std::string> probes;
        for (auto& m : marks) probes.push_back(m["data-probe"]);
        return probes;
    };
    EXPECT_EQ(with_probe(own), (std::vector<std::string>{"0", "1", "5"}));
    EXPECT_EQ(with_probe(svg_marks(svg, "late")), (std::vector<std::string>{"3", "4"}));
    EXPECT_EQ(with_probe(svg_marks(svg, "drain")), (std::vector<std::string>{"7"}));
    EXPECT_EQ(with_probe(lost), (std::vector<std::string>{"2", "8"}));
    auto unsent = svg_marks(svg, "unsent");
    EXPECT_EQ(with_probe(unsent), (std::vector<std::string>{"6"}));
    ASSERT_EQ(unsent.size(), 1U);
    EXPECT_EQ(unsent[0]["d"].substr(1, unsent[0]["d"].find(',') - 1), own[2]["cx"]);
    auto copies = svg_marks(svg, "copies");
    ASSERT_EQ(with_probe(copies), (std::vector<std::string>{"5"}));
    EXPECT_EQ(svg_sum(copies, "data-copies"), 3);
    // Longer round trips sit higher: probe 1 (25 us) under 0 (40 us) under 5 (60 us).
    double y0 = std::stod(own[0]["cy"]), y1 = std::stod(own[1]["cy"]), y5 = std::stod(own[2]["cy"]);
    EXPECT_GT(y1, y0);
    EXPECT_GT(y0, y5);
    EXPECT_EQ(svg_sum(svg_marks(svg, "bin"), "data-count"), 4);
    EXPECT_NE(svg.find("echomark to &lt;a&amp;b&gt;&quot;?:7"), std::string::npos) << svg.substr(0, 800);
    EXPECT_NE(svg.find("lost 2 (25.0 %)"), std::string::npos);
    EXPECT_NE(svg.find("median 40.0 " + micro), std::string::npos);
    bool rendered = renders(path);
    std::remove(path.c_str());
    if (!rendered) GTEST_SKIP() << "rsvg-convert is not installed (Debian package librsvg2-bin): not rendered";
}

TEST(ToolPicture, LongRunIsDrawnInBoundedColumnsThatKeepEveryCount) {
    run = picture_run{};
    int lost = 0, timed = 0, late = 0;
    run.probes = picture_probes_max;
    for (int i = 0; i < run.probes; i++) {
        // Loopback times with a slow stretch, every 97th probe and one
        // burst lost, every 500th reply late.
        bool gone = i % 97 == 0 || (i >= 5000 && i < 5100);
        int reply = gone ? picture_never : i % 500 == 1 ? picture_late : picture_own;
        double rtt = gone ? -1.0 : (i >= 7000 && i < 7200 ? 0.3 : 20e-6 + (i % 13) * 1e-6);
        run.probe[i] = probe(i, reply, rtt, gone ? 0 : 1);
        lost += gone;
        timed += !gone;
        late += reply == picture_late;
    }
    run.by_time = true;  // 20 s of sending
    run.title = {"127.0.0.1", 7, 64, 64, 25000, 25000, 25000 - lost, lost, true, 26e-6, 0.3};
    std::string path = tooltest::temp_path();
    std::string svg = write_picture(path);

    auto lost_marks = svg_marks(svg, "lost");
    auto medians = svg_marks(svg, "median");
    EXPECT_LE(lost_marks.size(), static_cast<std::size_t>(picture_columns));
    EXPECT_LE(medians.size(), static_cast<std::size_t>(picture_columns));
    EXPECT_EQ(svg_sum(lost_marks, "data-lost"), lost);
    EXPECT_EQ(svg_sum(medians, "data-count"), timed);
    EXPECT_EQ(svg_sum(svg_marks(svg, "late"), "data-count"), late);
    EXPECT_EQ(svg_sum(svg_marks(svg, "bin"), "data-count"), timed);
    EXPECT_EQ(svg.find("data-probe="), std::string::npos);
    EXPECT_LT(svg.size(), 200000U);
    EXPECT_NE(svg.find(">10 s</text>"), std::string::npos);
    EXPECT_NE(svg.find("the first 10000 drawn"), std::string::npos);
    EXPECT_NE(svg.find("(log scale)"), std::string::npos);
    bool rendered = renders(path);
    std::remove(path.c_str());
    if (!rendered) GTEST_SKIP() << "rsvg-convert is not installed (Debian package librsvg2-bin): not rendered";
}

}  // namespace
