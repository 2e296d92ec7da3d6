// The run picture as SVG text.  Every mark carries the probe it stands for
// (data-probe) or, for a column of many probes, how many (data-count,
// data-lost), so a script can read the picture back; in a browser each
// single mark names its probe on hover.
#include "tool/report/svg_picture.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tool/report/oneway_picture.hpp"
#include "tool/report/picture_scale.hpp"

namespace {

// Geometry, in pixels.
constexpr int width = 960;
constexpr int height = 500;
constexpr double plot_left = 84, plot_right = 690, plot_top = 100, plot_bottom = 440;
constexpr double hist_left = 716, hist_right = 936;
constexpr double inset = 8;               // keeps the first and last probe off the frame
constexpr double band_y = plot_top - 10;  // replies that came with no round trip
constexpr double loss_length = 12;        // a lost probe's mark, up from the axis

const char* const style =
    "text{fill:#222}.title{font-size:15px;font-weight:bold}.note{font-size:11px;fill:#555;paint-order:stroke;stroke:#"
    "fff;stroke-width:3px}"
    ".frame{fill:none;stroke:#555}.grid{stroke:#e6e6e6}.tick{stroke:#555}"
    ".own,.median{fill:#1f6fb4}.late{fill:#f28e1c}.drain{fill:#8c5fbf}"
    ".lost{stroke:#d62728;stroke-width:1.6}.unsent{stroke:#888;stroke-width:1.6}"
    ".copies{fill:none;stroke:#2ca02c;stroke-width:1.2}.spread{stroke:#1f6fb4;stroke-opacity:.45}"
    ".bin{fill:#1f6fb4;fill-opacity:.55}.mark{stroke:#444;stroke-dasharray:5 3}";

struct frame {
    picture_axis x, y, count;
    bool aggregated;
    picture_scratch* scratch;
};

double x_of(const frame* f, double value) {
    return plot_left + inset + scale_fraction(&f->x, value) * (plot_right - plot_left - 2 * inset);
}

double y_of(const frame* f, double seconds) {
    return plot_bottom - scale_fraction(&f->y, seconds) * (plot_bottom - plot_top);
}

// Fills x_at: the probe number, or the send time; a probe that never left
// has none and is drawn where the probe before it left.
void place_probes(const frame* f, const picture_run* run, int n) {
    double* x_at = f->scratch->x_at;
    double previous = 0.0;
    for (int i = 0; i < n; i++) {
        const picture_probe* p = &run->probe[i];
        if (!run->by_time) {
            x_at[i] = p->index;
        } else {
            x_at[i] = p->sent_at >= 0.0 ? p->sent_at : previous;
            previous = x_at[i];
        }
    }
}

bool timed(const picture_probe* p) { return p->sent != 0 && p->reply != picture_never && p->rtt >= 0.0; }

// Text from outside the program (a host name), safe inside an element:
// markup characters escaped, bytes outside printable ASCII shown as '?'.
void put_escaped(std::FILE* out, const char* text) {
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; c++) {
        switch (*c) {
            case '&': std::fputs("&amp;", out); break;
            case '<': std::fputs("&lt;", out); break;
            case '>': std::fputs("&gt;", out); break;
            case '"': std::fputs("&quot;", out); break;
            default: std::fputc(*c < 0x20 || *c >= 0x7F ? '?' : *c, out); break;
        }
    }
}

// A mark of radius r at (x, y): circle (own), triangle (late), diamond
// (drain).  The legend's samples are of class "<kind> key", so that only
// the marks of probes have the bare class.
void put_shape(std::FILE* out, int reply, double x, double y, double r, const char* data, bool key = false) {
    const char* suffix = key ? " key" : "";
    // A path starts at the mark's centre, so a script finds it as it finds
    // a circle's.
    if (reply == picture_late) {
        std::fprintf(out, "<path class=\"late%s\" %s d=\"M%.1f,%.1fm0,%.1fl%.1f,%.1fh%.1fz\">", suffix, data, x, y,
                     -1.4 * r, 1.3 * r, 2.2 * r, -2.6 * r);
    } else if (reply == picture_drain) {
        std::fprintf(out, "<path class=\"drain%s\" %s d=\"M%.1f,%.1fm0,%.1fl%.1f,%.1fl%.1f,%.1fl%.1f,%.1fz\">", suffix,
                     data, x, y, -1.5 * r, 1.5 * r, 1.5 * r, -1.5 * r, 1.5 * r, -1.5 * r, -1.5 * r);
    } else {
        std::fprintf(out, "<circle class=\"own%s\" %s cx=\"%.1f\" cy=\"%.1f\" r=\"%.1f\">", suffix, data, x, y, r);
    }
}

void close_shape(std::FILE* out, int reply) { std::fputs(reply == picture_own ? "</circle>\n" : "</path>\n", out); }

void put_header(std::FILE* out, const picture_run* run) {
    const picture_title& t = run->title;
    const int drawn_height = height + (run->oneway != picture_oneway_none ? oneway_panel_height : 0);
    std::fprintf(out,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                 "font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"12\">\n"
                 "<style>%s</style>\n<rect width=\"100%%\" height=\"100%%\" fill=\"#fff\"/>\n",
                 width, drawn_height, width, drawn_height, style);
    std::fputs("<text class=\"title\" x=\"16\" y=\"26\">echomark to ", out);
    put_escaped(out, t.destination != nullptr ? t.destination : "");
    std::fprintf(out, ":%d \xC2\xB7 %lld probes of %d bytes, replies of %d bytes</text>\n", t.port,
                 static_cast<long long>(t.count), t.sendsize, t.recvsize);

    char loss[32] = "-";
    if (t.sent > 0) std::snprintf(loss, sizeof loss, "%.1f %%", t.lost * 100.0 / static_cast<double>(t.sent));
    char median[32] = "-";
    char p99[32] = "-";
    if (t.timed) {
        format_duration(t.median, median, sizeof median);
        format_duration(t.p99, p99, sizeof p99);
    }
    std::fprintf(out,
                 "<text x=\"16\" y=\"47\">sent %lld \xC2\xB7 received %lld \xC2\xB7 lost %lld (%s) \xC2\xB7 median %s "
                 "\xC2\xB7 p99 %s",
                 static_cast<long long>(t.sent), static_cast<long long>(t.received), static_cast<long long>(t.lost),
                 loss, median, p99);
    if (run->probes < t.count) std::fprintf(out, " \xC2\xB7 the first %d drawn", run->probes);
    std::fputs("</text>\n", out);
}

// What each kind of mark means, in one row under the title.
void put_legend(std::FILE* out, const frame* f) {
    double x = 16, y = 70;
    std::fputs("<g class=\"legend\">\n", out);
    const char* own_text = f->aggregated ? "median of a column, bar: its spread" : "reply in its own wait";
    put_shape(out, picture_own, x + 4, y - 4, 3.5, "", true);
    close_shape(out, picture_own);
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">%s</text>\n", x + 12, y, own_text);
    x += f->aggregated ? 250 : 160;
    put_shape(out, picture_late, x + 4, y - 4, 3.5, "", true);
    close_shape(out, picture_late);
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">late reply</text>\n", x + 12, y);
    x += 90;
    put_shape(out, picture_drain, x + 4, y - 4, 3.5, "", true);
    close_shape(out, picture_drain);
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">reply after the last probe</text>\n", x + 12, y);
    x += 175;
    std::fprintf(out, "<circle class=\"copies key\" cx=\"%.0f\" cy=\"%.0f\" r=\"5\"/>\n", x + 4, y - 4);
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">extra copies</text>\n", x + 14, y);
    x += 100;
    std::fprintf(out, "<path class=\"lost key\" d=\"M%.0f,%.0fv-11\"/>\n", x + 4, y + 1);
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">no reply (on the axis)</text>\n", x + 12, y);
    std::fputs("</g>\n", out);
}

void put_axes(std::FILE* out, const frame* f, const picture_run* run) {
    char label[48];
    std::fputs("<g class=\"axes\">\n", out);
    for (int k = 0; k < f->y.ticks; k++) {
        double y = y_of(f, f->y.tick[k]);
        scale_label(&f->y, f->y.tick[k], label, sizeof label);
        std::fprintf(out, "<path class=\"grid\" d=\"M%.0f,%.1fH%.0fM%.0f,%.1fH%.0f\"/>\n", plot_left, y, plot_right,
                     hist_left, y, hist_right);
        std::fprintf(out, "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", plot_left - 6, y + 4, label);
    }
    for (int k = 0; k < f->x.ticks; k++) {
        double x = x_of(f, f->x.tick[k]);
        scale_label(&f->x, f->x.tick[k], label, sizeof label);
        std::fprintf(out, "<path class=\"tick\" d=\"M%.1f,%.0fv5\"/>\n", x, plot_bottom);
        std::fprintf(out, "<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>\n", x, plot_bottom + 18, label);
    }
    for (int k = 0; k < f->count.ticks; k++) {
        double x = hist_left + scale_fraction(&f->count, f->count.tick[k]) * (hist_right - hist_left);
        scale_label(&f->count, f->count.tick[k], label, sizeof label);
        std::fprintf(out, "<path class=\"tick\" d=\"M%.1f,%.0fv5\"/>\n", x, plot_bottom);
        std::fprintf(out, "<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>\n", x, plot_bottom + 18, label);
    }
    std::fprintf(out, "<rect class=\"frame\" x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\"/>\n", plot_left,
                 plot_top, plot_right - plot_left, plot_bottom - plot_top);
    std::fprintf(out, "<rect class=\"frame\" x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\"/>\n", hist_left,
                 plot_top, hist_right - hist_left, plot_bottom - plot_top);
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>\n", (plot_left + plot_right) / 2,
                 plot_bottom + 40, run->by_time ? "time since the run started" : "probe number");
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">probes per bin</text>\n",
                 (hist_left + hist_right) / 2, plot_bottom + 40);
    std::fprintf(out,
                 "<text x=\"18\" y=\"%.0f\" text-anchor=\"middle\" transform=\"rotate(-90 18 %.0f)\">"
                 "round trip%s</text>\n",
                 (plot_top + plot_bottom) / 2, (plot_top + plot_bottom) / 2, f->y.log ? " (log scale)" : "");
    std::fputs("</g>\n", out);
}

// One mark per probe.
void put_probes(std::FILE* out, const frame* f, const picture_run* run, int n) {
    double r = n <= 200 ? 3.0 : n <= 1000 ? 2.2 : 1.6;
    char data[48];
    char value[32];
    std::fputs("<g class=\"probes\">\n", out);
    for (int i = 0; i < n; i++) {
        const picture_probe* p = &run->probe[i];
        double x = x_of(f, f->scratch->x_at[i]);
        std::snprintf(data, sizeof data, "data-probe=\"%d\"", p->index);
        if (p->sent == 0 || p->reply == picture_never) {
            const char* what = p->sent == 0 ? "unsent" : "lost";
            std::fprintf(out, "<path class=\"%s\" %s d=\"M%.1f,%.0fv%.0f\"><title>probe %d: %s</title></path>\n", what,
                         data, x, plot_bottom, p->sent == 0 ? -loss_length / 2 : -loss_length, p->index,
                         p->sent == 0 ? "not sent" : "no reply");
            continue;
        }
        double y = band_y;
        if (timed(p)) {
            y = y_of(f, p->rtt);
            format_duration(p->rtt, value, sizeof value);
        } else {
            std::snprintf(value, sizeof value, "not timed");
        }
        put_shape(out, p->reply, x, y, r, data);
        std::fprintf(out, "<title>probe %d: %s%s</title>", p->index, value,
                     p->reply == picture_own    ? ""
                     : p->reply == picture_late ? ", late"
                                                : ", after the last probe");
        close_shape(out, p->reply);
        if (p->copies > 1) {
            std::fprintf(out,
                         "<circle class=\"copies\" %s data-copies=\"%d\" cx=\"%.1f\" cy=\"%.1f\" r=\"%.1f\">"
                         "<title>probe %d: %d replies</title></circle>\n",
                         data, p->copies, x, y, r + 2.5, p->index, p->copies);
        }
    }
    std::fputs("</g>\n", out);
}

// Consecutive probes gathered into columns: the spread and median of their
// round trips, and how many were lost, late or copied.
void put_columns(std::FILE* out, const frame* f, const picture_run* run, int n) {
    const double* x_at = f->scratch->x_at;
    int* column_of = f->scratch->column_of;
    double* column_values = f->scratch->column_values;
    for (int i = 0; i < n; i++) {
        double fraction = scale_fraction(&f->x, x_at[i]);
        column_of[i] = std::min(picture_columns - 1, static_cast<int>(fraction * picture_columns));
    }
    std::fputs("<g class=\"columns\">\n", out);
    for (int c = 0; c < picture_columns; c++) {
        int values = 0, sent = 0, lost = 0, unsent = 0, late = 0, copies = 0;
        int first = 0, last = 0;
        bool any = false;
        for (int i = 0; i < n; i++) {
            if (column_of[i] != c) continue;
            const picture_probe* p = &run->probe[i];
            first = any ? std::min(first, p->index) : p->index;
            last = any ? std::max(last, p->index) : p->index;
            any = true;
            if (p->sent == 0) {
                unsent++;
                continue;
            }
            sent++;
            if (p->reply == picture_never) lost++;
            if (p->reply == picture_late || p->reply == picture_drain) late++;
            if (p->copies > 1) copies++;
            if (timed(p)) column_values[values++] = p->rtt;
        }
        if (!any) continue;
        double x = x_of(f, f->x.low + (c + 0.5) * (f->x.high - f->x.low) / picture_columns);
        if (values > 0) {
            std::sort(column_values, column_values + values);
            double median = column_values[values / 2];
            if (values > 1) {
                std::fprintf(out, "<path class=\"spread\" d=\"M%.1f,%.1fV%.1f\"/>\n", x, y_of(f, column_values[0]),
                             y_of(f, column_values[values - 1]));
            }
            std::fprintf(out,
                         "<circle class=\"median\" data-probes=\"%d-%d\" data-count=\"%d\" cx=\"%.1f\" cy=\"%.1f\" "
                         "r=\"1.4\"/>\n",
                         first, last, values, x, y_of(f, median));
        }
        if (lost > 0) {
            // Longer the larger the share of the column that was lost.
            std::fprintf(out, "<path class=\"lost\" data-probes=\"%d-%d\" data-lost=\"%d\" d=\"M%.1f,%.0fv%.1f\"/>\n",
                         first, last, lost, x, plot_bottom, -(4.0 + 2.0 * loss_length * lost / sent));
        }
        if (unsent > 0) {
            std::fprintf(out, "<path class=\"unsent\" data-probes=\"%d-%d\" data-count=\"%d\" d=\"M%.1f,%.0fv-6\"/>\n",
                         first, last, unsent, x, plot_bottom);
        }
        if (late > 0) {
            char data[64];
            std::snprintf(data, sizeof data, "data-probes=\"%d-%d\" data-count=\"%d\"", first, last, late);
            put_shape(out, picture_late, x, band_y, 2.0, data);
            close_shape(out, picture_late);
        }
        if (copies > 0) {
            std::fprintf(out,
                         "<circle class=\"copies\" data-probes=\"%d-%d\" data-count=\"%d\" cx=\"%.1f\" cy=\"%.0f\" "
                         "r=\"2.5\"/>\n",
                         first, last, copies, x, band_y - 7);
        }
    }
    std::fputs("</g>\n", out);
}

// The distribution of the round trips beside the time plot, on its scale.
void put_histogram(std::FILE* out, const frame* f, const int* bins) {
    std::fputs("<g class=\"histogram\">\n", out);
    double bin_height = (plot_bottom - plot_top) / picture_bins;
    for (int b = 0; b < picture_bins; b++) {
        if (bins[b] == 0) continue;
        // At least a sliver, so that a lone outlier stays visible.
        double length = std::max(1.5, scale_fraction(&f->count, bins[b]) * (hist_right - hist_left));
        std::fprintf(out,
                     "<rect class=\"bin\" data-count=\"%d\" x=\"%.0f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
                     bins[b], hist_left, plot_bottom - (b + 1) * bin_height, length, bin_height);
    }
    std::fputs("</g>\n", out);
}

// Dashed lines at the median and the 99th percentile across both panels.
// The p99 label goes above its line and the median's below (p99 is never
// lower), each turned inwards where the frame would cut it.
void put_figures(std::FILE* out, const frame* f, const picture_title* t) {
    if (!t->timed) return;
    const struct {
        const char* name;
        double value;
        double dy;
    } lines[] = {{"median", t->median, 13}, {"p99", t->p99, -4}};
    char value[32];
    for (const auto& line : lines) {
        double y = y_of(f, line.value);
        double label_y = y + line.dy;
        if (label_y < plot_top + 12 || label_y > plot_bottom - 3) label_y = line.dy > 0 ? y - 4 : y + 13;
        format_duration(line.value, value, sizeof value);
        std::fprintf(out, "<path class=\"mark\" d=\"M%.0f,%.1fH%.0f\"/>\n", plot_left, y, hist_right);
        std::fprintf(out, "<text class=\"note\" x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%s %s</text>\n",
                     hist_right - 3, label_y, line.name, value);
    }
}

}  // namespace

int svg_picture_write(std::FILE* out, const picture_run* run, picture_scratch* scratch) {
    frame f = {};
    f.scratch = scratch;
    int n = std::clamp(run->probes, 0, picture_probes_max);

    place_probes(&f, run, n);
    double x_min = 0.0, x_max = 0.0, rtt_min = 0.0, rtt_max = 0.0;
    int timed_count = 0, banded = 0;
    for (int i = 0; i < n; i++) {
        const picture_probe* p = &run->probe[i];
        double x = scratch->x_at[i];
        x_min = i == 0 ? x : std::min(x_min, x);
        x_max = i == 0 ? x : std::max(x_max, x);
        bool replied = p->sent != 0 && p->reply != picture_never;
        if (replied && (!timed(p) || (n > picture_points_max && (p->reply != picture_own || p->copies > 1)))) banded++;
        if (!timed(p)) continue;
        rtt_min = timed_count == 0 ? p->rtt : std::min(rtt_min, p->rtt);
        rtt_max = timed_count == 0 ? p->rtt : std::max(rtt_max, p->rtt);
        timed_count++;
    }
    if (run->by_time) {
        scale_elapsed(x_max, &f.x);
    } else {
        scale_numbers(x_min, x_max, 6, &f.x);
    }
    scale_durations(rtt_min, rtt_max, timed_count, &f.y);
    f.aggregated = n > picture_points_max;

    int bins[picture_bins] = {};
    int fullest = 0;
    for (int i = 0; i < n; i++) {
        if (!timed(&run->probe[i])) continue;
        int b = std::min(picture_bins - 1, static_cast<int>(scale_fraction(&f.y, run->probe[i].rtt) * picture_bins));
        fullest = std::max(fullest, ++bins[b]);
    }
    scale_numbers(0.0, std::max(fullest, 1), 3, &f.count);

    put_header(out, run);
    put_legend(out, &f);
    put_axes(out, &f, run);
    put_histogram(out, &f, bins);
    put_figures(out, &f, &run->title);
    if (timed_count == 0) {
        std::fprintf(out, "<text class=\"note\" x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">no round trips</text>\n",
                     (plot_left + plot_right) / 2, (plot_top + plot_bottom) / 2);
    }
    if (banded > 0) {
        // The row above the plot: replies with no round trip, or the late and
        // copied replies of the columns.
        std::fprintf(out, "<text class=\"note\" x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\">%s</text>\n", plot_left - 6,
                     band_y + 4, f.aggregated ? "late, copies" : "no round trip");
    }
    if (f.aggregated) {
        put_columns(out, &f, run, n);
    } else {
        put_probes(out, &f, run, n);
    }
    if (run->oneway != picture_oneway_none) oneway_picture_write(out, run, scratch, height);
    std::fputs("</svg>\n", out);
    if (std::fflush(out) != 0 || std::ferror(out)) return errno != 0 ? errno : EIO;
    return 0;
}
