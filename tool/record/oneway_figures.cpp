// The four-time figures of a run.
#include "tool/record/oneway_figures.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

double seconds_of(int64_t ns) { return static_cast<double>(ns) / 1e9; }

// The latest count, unwrapped against the one before: the far end counts
// in 32 bits.
int64_t unwrap(int64_t previous, uint32_t count) {
    const uint32_t low = static_cast<uint32_t>(previous);
    return previous + static_cast<int32_t>(count - low);
}

void header_range(int64_t* seen, uint8_t* low, uint8_t* high, uint8_t value) {
    if (*seen == 0 || value < *low) *low = value;
    if (*seen == 0 || value > *high) *high = value;
    *seen += 1;
}

// Keeps every stride-th answered probe with times; when full, every second
// one of those kept, and a stride twice as long.
void sample_add(oneway_figures* f, const oneway_point& point) {
    const int64_t index = f->sampled++;
    if (index % f->stride != 0) return;
    if (f->points == oneway_sample_size) {
        for (int k = 0; k < oneway_sample_size / 2; k++) f->sample[k] = f->sample[2 * k];
        f->points = oneway_sample_size / 2;
        f->stride *= 2;
        if (index % f->stride != 0) return;
    }
    f->sample[f->points++] = point;
}

void count_add(oneway_figures* f, int64_t probe, const oneway_reply* reply) {
    if (!reply->far_counts) return;
    if (reply->count_may_copy && reply->far_count != static_cast<uint32_t>(probe)) f->count_differs = true;
    const int64_t count = f->counted == 0 ? reply->far_count : unwrap(f->count_last, reply->far_count);
    f->count_last = count;
    if (f->counted == 0 || count < f->count_low) f->count_low = count;
    if (f->counted == 0 || count > f->count_high) f->count_high = count;
    if (f->counted == 0 || probe < f->probe_low) f->probe_low = probe;
    if (f->counted == 0 || probe > f->probe_high) f->probe_high = probe;
    f->counted += 1;
}

void headers_add(oneway_figures* f, const oneway_reply* reply, oneway_probe* kept) {
    if (reply->ttl_out_known) {
        header_range(&f->ttl_out_seen, &f->ttl_out_min, &f->ttl_out_max, reply->ttl_out);
        if (kept != nullptr) kept->flags |= oneway_has_ttl_out;
    }
    if (reply->tos_out_known) {
        header_range(&f->tos_out_seen, &f->tos_out_min, &f->tos_out_max, reply->tos_out);
        if (kept != nullptr) kept->flags |= oneway_has_tos_out;
        if (f->setup.tos_sent_known && reply->tos_out != f->setup.tos_sent) {
            if ((reply->tos_out >> 2) != (f->setup.tos_sent >> 2)) {
                f->dscp_remarked += 1;
            } else {
                f->ecn_changed += 1;
            }
        }
    }
    if (reply->back.ttl_known) {
        header_range(&f->ttl_back_seen, &f->ttl_back_min, &f->ttl_back_max, reply->back.ttl);
        if (kept != nullptr) kept->flags |= oneway_has_ttl_back;
    }
    if (reply->back.tos_known) {
        header_range(&f->tos_back_seen, &f->tos_back_min, &f->tos_back_max, reply->back.tos);
        if (kept != nullptr) kept->flags |= oneway_has_tos_back;
    }
    if (kept != nullptr) {
        kept->ttl_out = reply->ttl_out;
        kept->tos_out = reply->tos_out;
        kept->ttl_back = reply->back.ttl;
        kept->tos_back = reply->back.tos;
    }
}

void times_add(oneway_figures* f, int64_t t1_ns, int64_t t4_ns, const oneway_reply* reply, double rtt) {
    f->with_times += 1;
    const bool near = reply->near_synchronized;
    const bool far = reply->far_synchronized;
    f->near_synchronized += near ? 1 : 0;
    f->far_synchronized += far ? 1 : 0;
    f->both_synchronized += near && far ? 1 : 0;
    const double bound = near && far ? reply->near_error + reply->far_error : infinity;
    if (f->with_times == 1 || !(bound <= f->error_bound)) f->error_bound = bound;

    const double out = seconds_of(reply->t2_ns - t1_ns);
    const double back = seconds_of(t4_ns - reply->t3_ns);
    const double far_time = seconds_of(reply->t3_ns - reply->t2_ns);
    if (f->with_times == 1) f->first_t1_ns = t1_ns;
    const double t = seconds_of(t1_ns - f->first_t1_ns);
    rtt_stream_add(&f->out, out);
    rtt_stream_add(&f->back, back);
    rtt_stream_add(&f->far, far_time);
    if (f->with_times == 1 || rtt < f->least_rtt) {
        f->least_rtt = rtt;
        f->offset = (out - back) / 2.0;
    }
    sample_add(f, oneway_point{t, out, back, far_time});
    f->interval.with_times += 1;
    f->interval.out_sum += out;
    f->interval.back_sum += back;
    f->interval.far_sum += far_time;
}

// Nearest rank over `sorted[0..n)`.
double rank(const double* sorted, int n, double percent) {
    int at = static_cast<int>(std::ceil(n * percent / 100.0));
    if (at < 1) at = 1;
    if (at > n) at = n;
    return sorted[at - 1];
}

double median_of(const double* sorted, int n) {
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
}

// Sorts the values the sample gives through `value` into the scratch.
template <typename Value>
int sorted_values(oneway_figures* f, Value value) {
    for (int k = 0; k < f->points; k++) f->scratch[k] = value(f->sample[k]);
    std::sort(f->scratch, f->scratch + f->points);
    return f->points;
}

// The slope of the baseline of one direction over the sample (sorted by
// t): the least-squares line through the least delay of each of a few
// equal stretches of the run.  A probe that met no queue lies on the
// baseline, so a queue that only some probes met does not tilt it, and
// stretches spread over the run keep the jitter of single probes from
// tilting it either.
double baseline_slope(const oneway_figures* f, double oneway_point::*value) {
    const oneway_point* p = f->sample;
    const int n = f->points;
    if (n < 2 || !(p[n - 1].t > p[0].t)) return 0.0;
    const double first = p[0].t;
    const double span = p[n - 1].t - first;
    double least_t[oneway_baseline_stretches];
    double least_d[oneway_baseline_stretches];
    bool found[oneway_baseline_stretches] = {};
    for (int k = 0; k < n; k++) {
        int stretch = static_cast<int>((p[k].t - first) / span * oneway_baseline_stretches);
        stretch = std::clamp(stretch, 0, oneway_baseline_stretches - 1);
        if (!found[stretch] || p[k].*value < least_d[stretch]) {
            least_t[stretch] = p[k].t;
            least_d[stretch] = p[k].*value;
            found[stretch] = true;
        }
    }
    double mean_t = 0.0, mean_d = 0.0;
    int used = 0;
    for (int k = 0; k < oneway_baseline_stretches; k++) {
        if (!found[k]) continue;
        used++;
        mean_t += (least_t[k] - mean_t) / used;
        mean_d += (least_d[k] - mean_d) / used;
    }
    double spread = 0.0, product = 0.0;
    for (int k = 0; k < oneway_baseline_stretches; k++) {
        if (!found[k]) continue;
        spread += (least_t[k] - mean_t) * (least_t[k] - mean_t);
        product += (least_t[k] - mean_t) * (least_d[k] - mean_d);
    }
    const double slope = spread > 0.0 ? product / spread : 0.0;
    return std::clamp(slope, -oneway_drift_most, oneway_drift_most);
}

void finish_loss(oneway_figures* f, oneway_summary* s) {
    // A reflector that copies our numbers says nothing of what it received.
    const bool stamp = f->setup.wire == oneway_wire_stamp;
    s->loss_known = f->counted > 0 && (!stamp || f->count_differs);
    if (!s->loss_known) return;
    s->loss_span = f->probe_high - f->probe_low + 1;
    s->far_received = f->count_high - f->count_low + 1;
    // Copies on the way out count twice at the far end: held at zero.
    s->loss_out = std::max<int64_t>(0, s->loss_span - s->far_received);
    s->loss_back = std::max<int64_t>(0, std::min(s->far_received, s->loss_span) - f->counted);
}

}  // namespace

void oneway_figures_reset(oneway_figures* f, const oneway_setup* setup, int count) {
    std::memset(f, 0, sizeof *f);
    f->setup = *setup;
    if (count < 0) count = 0;
    f->count = count > echomark_slots ? echomark_slots : count;
    f->stride = 1;
    f->error_bound = infinity;
    rtt_stream_reset(&f->out);
    rtt_stream_reset(&f->back);
    rtt_stream_reset(&f->far);
}

void oneway_figures_sent(oneway_figures* f, int64_t probe, int64_t t1_ns) {
    if (probe >= 0 && probe < f->count) f->probe[probe].t1_ns = t1_ns;
}

void oneway_figures_reply(oneway_figures* f, int64_t probe, int64_t t1_ns, int64_t rtt_ns, const oneway_reply* reply) {
    f->replies += 1;
    f->interval.replies += 1;
    oneway_probe* kept = probe >= 0 && probe < f->count ? &f->probe[probe] : nullptr;
    const int64_t t4_ns = t1_ns + rtt_ns;
    if (kept != nullptr) {
        *kept = oneway_probe{};
        kept->t1_ns = t1_ns;
        kept->t4_ns = t4_ns;
        kept->flags = oneway_has_reply;
        kept->far_error = static_cast<float>(reply->far_error);
    }
    headers_add(f, reply, kept);
    count_add(f, probe, reply);
    if (kept != nullptr && reply->far_counts) {
        kept->far_count = reply->far_count;
        kept->flags |= oneway_has_count;
    }
    if (!reply->far_times) return;
    if (kept != nullptr) {
        kept->t2_ns = reply->t2_ns;
        kept->t3_ns = reply->t3_ns;
        kept->flags |= oneway_has_times;
        if (reply->far_synchronized) kept->flags |= oneway_far_synchronized;
    }
    times_add(f, t1_ns, t4_ns, reply, seconds_of(rtt_ns));
}

void oneway_figures_problem(oneway_figures* f, oneway_problem problem) {
    switch (problem) {
        case oneway_too_short: f->too_short++; break;
        case oneway_authenticated: f->authenticated++; break;
        case oneway_other_session: f->other_session++; break;
        case oneway_unknown_number: f->unknown_number++; break;
        case oneway_bad_times: f->bad_times++; break;
        case oneway_mbz_nonzero: f->mbz_nonzero++; break;
    }
}

void oneway_figures_interval_done(oneway_figures* f) { f->interval = oneway_interval{}; }

void oneway_figures_finish(oneway_figures* f) {
    oneway_summary* s = &f->summary;
    *s = oneway_summary{};
    s->done = true;
    finish_loss(f, s);
    const int n = f->points;
    s->points = n;
    if (n == 0) return;
    const struct {
        const rtt_stream* stream;
        double oneway_point::*value;
        double *min, *median, *p99, *max, *mean, *ipdv;
    } directions[] = {
        {&f->out, &oneway_point::out, &s->out_min, &s->out_median, &s->out_p99, &s->out_max, &s->out_mean,
         &s->out_ipdv},
        {&f->back, &oneway_point::back, &s->back_min, &s->back_median, &s->back_p99, &s->back_max, &s->back_mean,
         &s->back_ipdv},
    };
    for (const auto& d : directions) {
        sorted_values(f, [&](const oneway_point& p) { return p.*d.value; });
        *d.min = d.stream->min;
        *d.max = d.stream->max;
        *d.mean = d.stream->mean;
        *d.median = median_of(f->scratch, n);
        *d.p99 = rank(f->scratch, n, 99);
        *d.ipdv = d.stream->jitter_pairs > 0 ? d.stream->jitter_sum / static_cast<double>(d.stream->jitter_pairs) : 0.0;
    }
    sorted_values(f, [](const oneway_point& p) { return p.far; });
    s->far_min = f->far.min;
    s->far_max = f->far.max;
    s->far_median = median_of(f->scratch, n);
    sorted_values(f, [](const oneway_point& p) { return p.out + p.back; });
    s->net_median = median_of(f->scratch, n);

    // Queueing: the delay above the baseline, whose least value over the
    // sample and the probes the record holds (the columns use both) is 0.
    std::sort(f->sample, f->sample + n, [](const oneway_point& a, const oneway_point& b) { return a.t < b.t; });
    s->out_slope = baseline_slope(f, &oneway_point::out);
    s->back_slope = baseline_slope(f, &oneway_point::back);
    s->out_base = infinity;
    s->back_base = infinity;
    for (int k = 0; k < n; k++) {
        s->out_base = std::min(s->out_base, f->sample[k].out - s->out_slope * f->sample[k].t);
        s->back_base = std::min(s->back_base, f->sample[k].back - s->back_slope * f->sample[k].t);
    }
    for (int i = 0; i < f->count; i++) {
        const oneway_probe& p = f->probe[i];
        if ((p.flags & oneway_has_times) == 0) continue;
        const double t = seconds_of(p.t1_ns - f->first_t1_ns);
        s->out_base = std::min(s->out_base, seconds_of(p.t2_ns - p.t1_ns) - s->out_slope * t);
        s->back_base = std::min(s->back_base, seconds_of(p.t4_ns - p.t3_ns) - s->back_slope * t);
    }
    const struct {
        double oneway_point::*value;
        double slope, base;
        double *median, *p99, *max;
    } queues[] = {
        {&oneway_point::out, s->out_slope, s->out_base, &s->queue_out_median, &s->queue_out_p99, &s->queue_out_max},
        {&oneway_point::back, s->back_slope, s->back_base, &s->queue_back_median, &s->queue_back_p99,
         &s->queue_back_max},
    };
    for (const auto& q : queues) {
        sorted_values(f, [&](const oneway_point& p) { return p.*q.value - q.slope * p.t - q.base; });
        *q.median = median_of(f->scratch, n);
        *q.p99 = rank(f->scratch, n, 99);
        *q.max = f->scratch[n - 1];
    }
}

bool oneway_probe_queueing(const oneway_figures* f, int probe, double* out, double* back) {
    if (probe < 0 || probe >= f->count || !f->summary.done || f->summary.points == 0) return false;
    const oneway_probe& p = f->probe[probe];
    if ((p.flags & oneway_has_times) == 0) return false;
    const oneway_summary& s = f->summary;
    const double t = seconds_of(p.t1_ns - f->first_t1_ns);
    *out = seconds_of(p.t2_ns - p.t1_ns) - s.out_slope * t - s.out_base;
    *back = seconds_of(p.t4_ns - p.t3_ns) - s.back_slope * t - s.back_base;
    return true;
}

bool oneway_figures_trusted(const oneway_figures* f) {
    return f->with_times > 0 && f->both_synchronized == f->with_times;
}
