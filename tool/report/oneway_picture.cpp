// The one-way panels of the run picture.  Every mark carries its probe
// (data-probe) or, for a column of many probes, how many (data-count), as
// the round trips' marks do.
#include "tool/report/oneway_picture.hpp"

#include <algorithm>
#include <cmath>

#include "tool/report/picture_scale.hpp"

namespace {

constexpr double panel_left[2] = {84, 540};
constexpr double panel_width = 396;
constexpr double plot_top = 40;      // from the panels' top
constexpr double plot_height = 200;  // each plot's
constexpr int columns = 200;         // of one plot, when the probes are too many for a mark each

const char* const panel_style =
    ".out{fill:#d9541e}.back{fill:#2a9d8f}.out-spread{stroke:#d9541e;stroke-opacity:.45}"
    ".back-spread{stroke:#2a9d8f;stroke-opacity:.45}.oneway-title{font-size:13px;font-weight:bold}";

struct panel_frame {
    picture_axis x, y;
    double top;
    int n;
};

double value_of(const picture_probe* p, int direction) { return direction == 0 ? p->out : p->back; }

bool drawn(const picture_probe* p, int direction) { return std::isfinite(value_of(p, direction)); }

double x_of(const panel_frame* f, int direction, double value) {
    return panel_left[direction] + 6 + scale_fraction(&f->x, value) * (panel_width - 12);
}

double y_of(const panel_frame* f, double seconds) {
    return f->top + plot_top + plot_height - scale_fraction(&f->y, std::max(0.0, seconds)) * plot_height;
}

void put_axes(std::FILE* out, const panel_frame* f, const picture_run* run, int direction) {
    char label[48];
    const double left = panel_left[direction];
    const double bottom = f->top + plot_top + plot_height;
    for (int k = 0; k < f->y.ticks; k++) {
        const double y = y_of(f, f->y.tick[k]);
        scale_label(&f->y, f->y.tick[k], label, sizeof label);
        std::fprintf(out, "<path class=\"grid\" d=\"M%.0f,%.1fH%.0f\"/>\n", left, y, left + panel_width);
        std::fprintf(out, "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", left - 6, y + 4, label);
    }
    for (int k = 0; k < f->x.ticks; k++) {
        const double x = x_of(f, direction, f->x.tick[k]);
        std::fprintf(out, "<path class=\"tick\" d=\"M%.1f,%.0fv5\"/>\n", x, bottom);
        // A plot half as wide as the round trips' has room for half the labels.
        if (f->x.ticks > 6 && k % 2 == 1) continue;
        scale_label(&f->x, f->x.tick[k], label, sizeof label);
        std::fprintf(out, "<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>\n", x, bottom + 18, label);
    }
    std::fprintf(out, "<rect class=\"frame\" x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\"/>\n", left,
                 f->top + plot_top, panel_width, plot_height);
    std::fprintf(out, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">%s, by %s</text>\n", left + panel_width / 2,
                 bottom + 38, direction == 0 ? "out (to the far end)" : "back (from it)",
                 run->by_time ? "time since the run started" : "probe number");
}

double x_value(const picture_run* run, int i) {
    const picture_probe* p = &run->probe[i];
    return run->by_time ? std::max(0.0, p->sent_at) : static_cast<double>(p->index);
}

void put_marks(std::FILE* out, const panel_frame* f, const picture_run* run, int direction) {
    const char* name = direction == 0 ? "out" : "back";
    char value[32];
    for (int i = 0; i < f->n; i++) {
        const picture_probe* p = &run->probe[i];
        if (!drawn(p, direction)) continue;
        format_duration(value_of(p, direction), value, sizeof value);
        std::fprintf(out,
                     "<circle class=\"%s\" data-probe=\"%d\" cx=\"%.1f\" cy=\"%.1f\" r=\"2\"><title>probe %d: %s "
                     "%s</title></circle>\n",
                     name, p->index, x_of(f, direction, x_value(run, i)), y_of(f, value_of(p, direction)), p->index,
                     name, value);
    }
}

// Too many probes for a mark each: each column of them as a bar from its
// least to its largest delay, with a dot at the median.
void put_columns(std::FILE* out, const panel_frame* f, const picture_run* run, int direction,
                 picture_scratch* scratch) {
    const char* name = direction == 0 ? "out" : "back";
    int* column_of = scratch->column_of;
    double* values = scratch->column_values;
    for (int i = 0; i < f->n; i++) {
        column_of[i] = std::min(columns - 1, static_cast<int>(scale_fraction(&f->x, x_value(run, i)) * columns));
    }
    // The probes lie in sending order, so each column's probes follow one another.
    int i = 0;
    while (i < f->n) {
        const int column = column_of[i];
        int count = 0;
        const int first = run->probe[i].index;
        int last = first;
        for (; i < f->n && column_of[i] == column; i++) {
            last = run->probe[i].index;
            if (drawn(&run->probe[i], direction)) values[count++] = value_of(&run->probe[i], direction);
        }
        if (count == 0) continue;
        std::sort(values, values + count);
        const double x = x_of(f, direction, f->x.low + (column + 0.5) * (f->x.high - f->x.low) / columns);
        if (count > 1) {
            std::fprintf(out, "<path class=\"%s-spread\" d=\"M%.1f,%.1fV%.1f\"/>\n", name, x, y_of(f, values[0]),
                         y_of(f, values[count - 1]));
        }
        std::fprintf(out,
                     "<circle class=\"%s\" data-probes=\"%d-%d\" data-count=\"%d\" cx=\"%.1f\" cy=\"%.1f\" "
                     "r=\"1.4\"/>\n",
                     name, first, last, count, x, y_of(f, values[count / 2]));
    }
}

}  // namespace

void oneway_picture_from_run(const oneway_figures* oneway, picture_run* run) {
    const bool trusted = oneway_figures_trusted(oneway);
    run->oneway = trusted ? picture_oneway_delay : picture_oneway_queueing;
    for (int i = 0; i < run->probes; i++) {
        picture_probe* p = &run->probe[i];
        p->out = NAN;
        p->back = NAN;
        const int probe = p->index;
        if (probe < 0 || probe >= oneway->count) continue;
        const oneway_probe& kept = oneway->probe[probe];
        if ((kept.flags & oneway_has_times) == 0) continue;
        if (trusted) {
            p->out = static_cast<double>(kept.t2_ns - kept.t1_ns) / 1e9;
            p->back = static_cast<double>(kept.t4_ns - kept.t3_ns) / 1e9;
        } else {
            oneway_probe_queueing(oneway, probe, &p->out, &p->back);
        }
    }
}

void oneway_picture_write(std::FILE* out, const picture_run* run, picture_scratch* scratch, double top) {
    panel_frame f = {};
    f.top = top;
    f.n = std::clamp(run->probes, 0, picture_probes_max);
    double low = 0.0, high = 0.0, x_max = 0.0, x_min = 0.0;
    int values = 0;
    for (int i = 0; i < f.n; i++) {
        const double x = x_value(run, i);
        x_min = i == 0 ? x : std::min(x_min, x);
        x_max = i == 0 ? x : std::max(x_max, x);
        for (int direction = 0; direction < 2; direction++) {
            if (!drawn(&run->probe[i], direction)) continue;
            const double v = std::max(0.0, value_of(&run->probe[i], direction));
            low = values == 0 ? v : std::min(low, v);
            high = values == 0 ? v : std::max(high, v);
            values++;
        }
    }
    if (run->by_time) {
        scale_elapsed(x_max, &f.x);
    } else {
        scale_numbers(x_min, x_max, 4, &f.x);
    }
    scale_durations(low, high, values, &f.y);

    std::fprintf(out, "<style>%s</style>\n<g class=\"oneway\">\n", panel_style);
    std::fprintf(out, "<text class=\"oneway-title\" x=\"16\" y=\"%.0f\">%s</text>\n", top + 22,
                 run->oneway == picture_oneway_delay
                     ? "one-way delay, out and back (both clocks synchronized)"
                     : "queueing delay, out and back (clocks not synchronized: the offset and the drift removed)");
    for (int direction = 0; direction < 2; direction++) {
        put_axes(out, &f, run, direction);
        if (f.n > picture_points_max) {
            put_columns(out, &f, run, direction, scratch);
        } else {
            put_marks(out, &f, run, direction);
        }
    }
    if (values == 0) {
        std::fprintf(out, "<text class=\"note\" x=\"480\" y=\"%.0f\" text-anchor=\"middle\">no far-end times</text>\n",
                     top + plot_top + plot_height / 2);
    }
    std::fputs("</g>\n", out);
}
