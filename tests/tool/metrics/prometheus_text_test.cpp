// The Prometheus text writer, the round-trip histogram at fixed bounds, and
// the sender's and the responder's pages, checked line by line and by
// Prometheus' own checker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/metrics_support.hpp"
#include "tool/metrics/prometheus_text.hpp"
#include "tool/metrics/responder_metrics.hpp"
#include "tool/metrics/rtt_buckets.hpp"
#include "tool/metrics/sender_metrics.hpp"

namespace {

std::string text_of(const prom_writer& w) { return std::string(w.text, static_cast<size_t>(w.length)); }

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// --- values and lines ------------------------------------------------------------

TEST(PromText, ValuesReadBackExactlyInPrometheusSpelling) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0"},
        {1.0, "1"},
        {0.1, "0.1"},
        {5e-05, "5e-05"},
        {1234567.0, "1.234567e+06"},
        {123456.0, "123456"},
        {0.0005, "0.0005"},
        {-2.5, "-2.5"},
        {1e21, "1e+21"},
        {inf, "+Inf"},
        {-inf, "-Inf"},
        {std::nan(""), "NaN"},
        {0.1 + 0.2, "0.30000000000000004"},
    };
    for (const auto& c : cases) {
        char text[prom_value_text_size];
        int length = prom_format_value(c.value, text, sizeof text);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(length, static_cast<int>(std::strlen(c.text)));
        if (std::isfinite(c.value)) {
            EXPECT_EQ(std::strtod(text, nullptr), c.value) << text;
        }
    }
    char small[4];
    EXPECT_EQ(prom_format_value(0.125, small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(prom_format_value(-1e300, nullptr, 0), -1);
}

// A small page of every kind of line, and what it must read.
void write_small_page(prom_writer* w) {
    const double bounds[] = {0.001, 0.5};
    const uint64_t cumulative[] = {3, 7};
    prom_buckets buckets = {bounds, cumulative, 2, 9, 2.75};
    const prom_label odd[] = {{"target", "a\\b\"c\nd"}, {"flow", "2"}};
    prom_family(w, "x_total", prom_counter, "Help with \\ and\nnew line \"as is\".");
    prom_sample_count(w, "x_total", odd, 2, 18446744073709551615ULL);
    prom_family(w, "y", prom_gauge, "A gauge.");
    prom_sample(w, "y", nullptr, 0, -std::numeric_limits<double>::infinity());
    prom_family(w, "rt_seconds", prom_histogram, "Round trips.");
    prom_histogram_sample(w, "rt_seconds", odd + 1, 1, &buckets);
}

constexpr const char* small_page =
    "# HELP x_total Help with \\\\ and\\nnew line \"as is\".\n"
    "# TYPE x_total counter\n"
    "x_total{target=\"a\\\\b\\\"c\\nd\",flow=\"2\"} 18446744073709551615\n"
    "# HELP y A gauge.\n"
    "# TYPE y gauge\n"
    "y -Inf\n"
    "# HELP rt_seconds Round trips.\n"
    "# TYPE rt_seconds histogram\n"
    "rt_seconds_bucket{flow=\"2\",le=\"0.001\"} 3\n"
    "rt_seconds_bucket{flow=\"2\",le=\"0.5\"} 7\n"
    "rt_seconds_bucket{flow=\"2\",le=\"+Inf\"} 9\n"
    "rt_seconds_sum{flow=\"2\"} 2.75\n"
    "rt_seconds_count{flow=\"2\"} 9\n";

TEST(PromText, LinesOfEveryKindWithEscapes) {
    char buffer[2048];
    prom_writer w;
    prom_begin(&w, buffer, sizeof buffer);
    write_small_page(&w);
    EXPECT_TRUE(prom_ok(&w));
    EXPECT_EQ(text_of(w), small_page);
}

TEST(PromText, BadNamesLoseTheirLineOnly) {
    char buffer[512];
    prom_writer w;
    prom_begin(&w, buffer, sizeof buffer);
    const prom_label bad_label = {"a-b", "v"};
    prom_sample(&w, "1abc", nullptr, 0, 1);
    prom_sample(&w, "good", &bad_label, 1, 1);
    prom_sample(&w, "ns:good_1", nullptr, 0, 2);
    prom_label too_many[prom_max_labels + 1];
    for (prom_label& l : too_many) l = {"l", "v"};
    prom_sample(&w, "many", too_many, prom_max_labels + 1, 1);
    EXPECT_TRUE(w.bad_name);
    EXPECT_FALSE(w.full);
    EXPECT_FALSE(prom_ok(&w));
    EXPECT_EQ(text_of(w), "ns:good_1 2\n");
}

// Whatever the room, the writer keeps whole lines of the full page, never
// writes past its room, and says when it cut.
TEST(PromText, CutPagesAreWholeLinesWithinTheirRoom) {
    const std::string full = small_page;
    constexpr char guard = 0x5a;
    for (int room = 0; room <= static_cast<int>(full.size()) + 1; room++) {
        std::vector<char> buffer(static_cast<size_t>(room) + 64, guard);
        prom_writer w;
        prom_begin(&w, buffer.data(), room);
        write_small_page(&w);
        for (size_t i = static_cast<size_t>(room); i < buffer.size(); i++) ASSERT_EQ(buffer[i], guard) << room;
        std::string cut = text_of(w);
        EXPECT_EQ(full.compare(0, cut.size(), cut), 0) << room;
        EXPECT_TRUE(cut.empty() || cut.back() == '\n') << room;
        EXPECT_EQ(prom_ok(&w), room >= static_cast<int>(full.size())) << room;
    }
}

// --- round trips at fixed bounds -------------------------------------------------

TEST(RttBuckets, CountsAreTrueLowerBoundsWithinOneStreamBucket) {
    static rtt_stream stream;
    rtt_stream_reset(&stream);
    std::vector<double> values;
    // Log-spaced from 1 microsecond to 20 seconds, plus the values of a
    // clock that stepped back.
    for (double v = 1e-6; v < 20.0; v *= 1.0137) values.push_back(v);
    values.push_back(-0.001);
    double sum = 0;
    for (double v : values) {
        rtt_stream_add(&stream, v);
        sum += v;
    }
    rtt_buckets buckets;
    rtt_buckets_from_stream(&stream, &buckets);
    EXPECT_EQ(buckets.count, values.size());
    EXPECT_NEAR(buckets.sum, sum, 1e-9 * sum);
    // One stream bucket spans 2^(1/32): about 2.2 %.
    const double bucket_width = std::exp2(1.0 / rtt_stream_per_doubling);
    uint64_t previous = 0;
    for (int i = 0; i < rtt_bucket_count; i++) {
        double bound = rtt_bucket_bounds[i];
        uint64_t at_most = 0, well_below = 0;
        for (double v : values) {
            if (v <= bound) at_most++;
            if (v <= bound / bucket_width) well_below++;
        }
        EXPECT_LE(buckets.cumulative[i], at_most) << bound;
        EXPECT_GE(buckets.cumulative[i], well_below) << bound;
        EXPECT_GE(buckets.cumulative[i], previous) << bound;
        previous = buckets.cumulative[i];
    }
    EXPECT_LT(buckets.cumulative[rtt_bucket_count - 1], buckets.count);  // the values above 10 s

    rtt_stream_reset(&stream);
    rtt_buckets_from_stream(&stream, &buckets);
    EXPECT_EQ(buckets.count, 0u);
    EXPECT_EQ(buckets.sum, 0.0);
    EXPECT_EQ(buckets.cumulative[rtt_bucket_count - 1], 0u);
}

// --- the pages of the two programs -----------------------------------------------

struct sender_sample {
    rtt_stream rtt[2];
    rtt_stream forward;
    rtt_stream backward;
    sender_flow_metrics flows[2];
};

void fill_sender(sender_sample* s) {
    for (rtt_stream& r : s->rtt) rtt_stream_reset(&r);
    rtt_stream_reset(&s->forward);
    rtt_stream_reset(&s->backward);
    for (double v : {0.0002, 0.0004, 0.003}) rtt_stream_add(&s->rtt[0], v);
    rtt_stream_add(&s->forward, 0.0001);
    rtt_stream_add(&s->backward, 0.00011);
    s->flows[0] = {"alpha:4000", 0, 10, 3, 7, 1, 2, &s->rtt[0], false, nullptr, nullptr, 0};
    s->flows[1] = {"odd\"name\\x:1", 1, 5, 1, 4, 0, 0, &s->rtt[1], true, &s->forward, &s->backward, 4};
}

TEST(ToolMetricsPages, SenderSeriesPerTargetAndFlow) {
    static sender_sample s;
    fill_sender(&s);
    static char buffer[1 << 16];
    prom_writer w;
    prom_begin(&w, buffer, sizeof buffer);
    sender_metrics m = {s.flows, 1};
    sender_metrics_write(&w, &m);
    ASSERT_TRUE(prom_ok(&w));
    std::string one = text_of(w);
    const std::string alpha = "{target=\"alpha:4000\",flow=\"0\"}";
    for (const std::string& line : {
             "echomark_sender_probes_sent_total" + alpha + " 10",
             "echomark_sender_replies_total" + alpha + " 3",
             "echomark_sender_lost_total" + alpha + " 7",
             "echomark_sender_duplicate_replies_total" + alpha + " 1",
             "echomark_sender_reordered_replies_total" + alpha + " 2",
             std::string("echomark_sender_round_trip_seconds_bucket{target=\"alpha:4000\",flow=\"0\",le=\"0.0005\"} 2"),
             std::string("echomark_sender_round_trip_seconds_bucket{target=\"alpha:4000\",flow=\"0\",le=\"+Inf\"} 3"),
             "echomark_sender_round_trip_seconds_count" + alpha + " 3",
         }) {
        EXPECT_TRUE(has_line(one, line)) << line << "\n" << one;
    }
    // No flow has one-way figures: those families stay out.
    EXPECT_EQ(one.find("forward"), std::string::npos);

    prom_begin(&w, buffer, sizeof buffer);
    m.flow_count = 2;
    sender_metrics_write(&w, &m);
    ASSERT_TRUE(prom_ok(&w));
    std::string two = text_of(w);
    const std::string odd = "{target=\"odd\\\"name\\\\x:1\",flow=\"1\"}";
    EXPECT_TRUE(has_line(two, "echomark_sender_far_end_received_total" + odd + " 4")) << two;
    EXPECT_TRUE(has_line(two, "echomark_sender_forward_delay_seconds_count" + odd + " 1")) << two;
    EXPECT_EQ(two.find("echomark_sender_forward_delay_seconds_count" + alpha), std::string::npos);
}

TEST(ToolMetricsPages, SenderPageInPartsEqualsThePageWhole) {
    static sender_sample s;
    fill_sender(&s);
    sender_metrics m = {s.flows, 2};
    static char whole_buffer[1 << 16], part_buffer[1 << 16];
    prom_writer whole;
    prom_begin(&whole, whole_buffer, sizeof whole_buffer);
    sender_metrics_write(&whole, &m);
    for (int series : {1, 2, 5}) {
        prom_writer parts;
        prom_begin(&parts, part_buffer, sizeof part_buffer);
        sender_metrics_progress progress = {};
        int calls = 1;
        while (!sender_metrics_write_some(&parts, &m, &progress, series)) calls++;
        EXPECT_EQ(text_of(parts), text_of(whole)) << series;
        // Nine families of two flows: eighteen series.
        EXPECT_EQ(calls, (18 + series - 1) / series) << series;
    }
}

TEST(ToolMetricsPages, ResponderCountsEveryReason) {
    responder_metrics r = {};
    r.datagrams = 100;
    r.replies = 90;
    r.received_bytes = 6400;
    r.sent_bytes = 5760;
    r.refused[responder_refusal_of(guard_loop)] = 7;
    r.refused[refusal_too_large] = 3;
    char buffer[8192];
    prom_writer w;
    prom_begin(&w, buffer, sizeof buffer);
    responder_metrics_write(&w, &r);
    ASSERT_TRUE(prom_ok(&w));
    std::string text = text_of(w);
    for (const char* line : {"echomark_responder_datagrams_total 100", "echomark_responder_replies_total 90",
                             "echomark_responder_received_bytes_total 6400", "echomark_responder_sent_bytes_total 5760",
                             "echomark_responder_refused_total{reason=\"loop\"} 7",
                             "echomark_responder_refused_total{reason=\"too_large\"} 3",
                             "echomark_responder_refused_total{reason=\"own_address\"} 0"}) {
        EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
    }
    EXPECT_EQ(responder_refusal_of(guard_answer), responder_refusal_kinds);
    EXPECT_STREQ(responder_refusal_reason(responder_refusal_of(guard_port_zero)), "port_zero");
}

TEST(ToolMetricsPages, PromtoolAcceptsBothPages) {
    if (!metricstest::installed(metricstest::promtool_path))
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus): pages not checked";
    static sender_sample s;
    fill_sender(&s);
    static char buffer[1 << 16];
    prom_writer w;
    prom_begin(&w, buffer, sizeof buffer);
    sender_metrics m = {s.flows, 2};
    sender_metrics_write(&w, &m);
    responder_metrics r = {};
    r.refused[refusal_budget] = 1;
    responder_metrics_write(&w, &r);
    write_small_page(&w);  // escapes, -Inf, a histogram of two bounds
    ASSERT_TRUE(prom_ok(&w));
    std::string said;
    EXPECT_TRUE(metricstest::promtool_accepts(text_of(w), &said)) << said << "\n" << text_of(w);

    // The checker does catch a broken page: a counter without its _total.
    EXPECT_FALSE(metricstest::promtool_accepts("# HELP a A.\n# TYPE a counter\na 1\n", &said));
}

}  // namespace
