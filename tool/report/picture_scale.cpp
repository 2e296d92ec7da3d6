// Axes, ticks and labels of the run picture.
#include "tool/report/picture_scale.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Round trips spanning more than this factor are drawn on a log axis.
constexpr double log_span = 20.0;
// Linear axes aim at about this many steps.
constexpr double steps_wanted = 6.0;
// A value this close to a step boundary counts as on it (floating error).
constexpr double nudge = 1e-9;

const char* const micro = "\xC2\xB5s";  // "us" with the micro sign, UTF-8

// Round step of 1, 2 or 5 times a power of ten, near span / wanted.
double round_step(double span, double wanted) {
    double raw = span / wanted;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double norm = raw / magnitude;
    double factor = norm < 1.5 ? 1.0 : norm < 3.5 ? 2.0 : norm < 7.5 ? 5.0 : 10.0;
    return factor * magnitude;
}

// Linear axis over [low, high] widened to whole steps, about `wanted` of
// them; `unit` is what the values are counted in for the step and the labels.
void linear(double low, double high, double unit, double wanted, picture_axis* axis) {
    double span = (high - low) / unit;
    double step = round_step(span > 0.0 ? span : 1.0, wanted);
    if (axis->kind == scale_plain && step < 1.0) step = 1.0;
    double first = std::floor(low / unit / step + nudge);
    double last = std::ceil(high / unit / step - nudge);
    if (last <= first) last = first + 1.0;
    axis->log = false;
    axis->low = first * step * unit;
    axis->high = last * step * unit;
    axis->ticks = 0;
    for (double k = first; k <= last + nudge && axis->ticks < scale_ticks_max; k += 1.0) {
        axis->tick[axis->ticks++] = k * step * unit;
    }
    axis->unit = unit;
    axis->decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + nudge)));
}

// Seconds per unit of a duration axis reaching `high`, and the unit's name.
double duration_unit(double high, const char** name) {
    if (high < 1e-3) {
        *name = micro;
        return 1e-6;
    }
    if (high < 1.0) {
        *name = "ms";
        return 1e-3;
    }
    *name = "s";
    return 1.0;
}

// The value of the 1-2-5 series at position n: n = 3k + {0,1,2} is
// {1,2,5} * 10^k.
double series_value(int n) {
    static const double mantissa[3] = {1.0, 2.0, 5.0};
    int k = n >= 0 ? n / 3 : -((-n + 2) / 3);
    return mantissa[n - 3 * k] * std::pow(10.0, k);
}

// Position in the 1-2-5 series of the largest value at or below `value`.
int series_floor(double value) {
    int n = 3 * static_cast<int>(std::floor(std::log10(value) + nudge));
    while (series_value(n + 1) <= value * (1.0 + nudge)) n++;
    while (series_value(n) > value * (1.0 + nudge)) n--;
    return n;
}

// The ends a little beyond the values, so that no point sits on the frame;
// ticks at the 1-2-5 values between them, or at the powers of ten when
// those are too many, or at every other power.
void logarithmic(double min, double max, picture_axis* axis) {
    axis->log = true;
    axis->low = min / 1.12;
    axis->high = max * 1.12;
    int first = series_floor(axis->low);
    if (series_value(first) < axis->low * (1.0 - nudge)) first++;
    int last = series_floor(axis->high);
    int stride = last - first + 1 <= 10 ? 1 : 3;
    while (stride > 1 && (last - first) / stride + 1 > 10) stride += 3;
    axis->ticks = 0;
    for (int n = first; n <= last && axis->ticks < scale_ticks_max; n++) {
        bool decade = n % 3 == 0;
        if (stride == 1 || (decade && (n / 3) % (stride / 3) == 0)) axis->tick[axis->ticks++] = series_value(n);
    }
}

// Text of `value` with at most `decimals` decimals, trailing zeros dropped.
void trimmed(double value, int decimals, char* out, int size) {
    std::snprintf(out, static_cast<std::size_t>(size), "%.*f", decimals, value);
    char* dot = std::strchr(out, '.');
    if (dot == nullptr) return;
    char* end = out + std::strlen(out);
    while (end > dot + 1 && end[-1] == '0') *--end = '\0';
    if (end == dot + 1) *dot = '\0';
    if (std::strcmp(out, "-0") == 0) std::snprintf(out, static_cast<std::size_t>(size), "0");
}

}  // namespace

void scale_durations(double min, double max, int count, picture_axis* axis) {
    axis->kind = scale_duration;
    if (count <= 0 || !(max >= 0.0) || !(min >= 0.0)) {
        min = 0.0;
        max = 1e-3;
    }
    if (min > 0.0 && max / min > log_span) {
        logarithmic(min, max, axis);
        return;
    }
    // A little room so that no point sits on the frame.
    double pad = (max - min) * 0.05;
    if (pad <= 0.0) pad = max > 0.0 ? max * 0.1 : 1e-3;
    double low = std::max(0.0, min - pad);
    double high = max + pad;
    axis->unit = duration_unit(high, &axis->unit_name);
    linear(low, high, axis->unit, steps_wanted, axis);
}

void scale_elapsed(double max, picture_axis* axis) {
    axis->kind = scale_duration;
    if (!(max > 0.0)) max = 1.0;
    double unit;
    if (max < 1.0) {
        unit = 1e-3;
        axis->unit_name = "ms";
    } else if (max < 180.0) {
        unit = 1.0;
        axis->unit_name = "s";
    } else {
        unit = 60.0;
        axis->unit_name = "min";
    }
    linear(0.0, max, unit, steps_wanted, axis);
}

void scale_numbers(double min, double max, int steps, picture_axis* axis) {
    axis->kind = scale_plain;
    axis->unit_name = "";
    linear(min, max, 1.0, steps, axis);
}

double scale_fraction(const picture_axis* axis, double value) {
    double low = axis->low;
    double high = axis->high;
    if (axis->log) {
        if (!(value > 0.0)) return 0.0;
        value = std::log10(value);
        low = std::log10(low);
        high = std::log10(high);
    }
    if (!(high > low)) return 0.0;
    double fraction = (value - low) / (high - low);
    if (!(fraction >= 0.0)) return 0.0;  // also NaN
    return fraction > 1.0 ? 1.0 : fraction;
}

void scale_label(const picture_axis* axis, double value, char* out, int size) {
    char number[48];
    if (axis->log) {
        // Each power of ten in its own unit: 500 us, 1 ms, 2 ms.
        const char* name = nullptr;
        double unit = duration_unit(value * (1.0 + nudge), &name);
        trimmed(value / unit, 6, number, sizeof number);
        std::snprintf(out, static_cast<std::size_t>(size), "%s %s", number, name);
        return;
    }
    trimmed(value / axis->unit, axis->decimals, number, sizeof number);
    if (axis->kind == scale_plain || std::strcmp(number, "0") == 0) {
        std::snprintf(out, static_cast<std::size_t>(size), "%s", number);
    } else {
        std::snprintf(out, static_cast<std::size_t>(size), "%s %s", number, axis->unit_name);
    }
}

void format_duration(double seconds, char* out, int size) {
    if (seconds == 0.0 || !std::isfinite(seconds)) {
        std::snprintf(out, static_cast<std::size_t>(size), "%s", seconds == 0.0 ? "0" : "-");
        return;
    }
    const char* name = nullptr;
    double unit = duration_unit(seconds, &name);
    // 999.96 us would print as 1000 us: say 1.00 ms instead.
    if (seconds / unit >= 999.5 && unit < 1.0) unit = duration_unit(unit * 1000.0, &name);
    double value = seconds / unit;
    int decimals = value >= 99.95 ? 0 : value >= 9.995 ? 1 : 2;
    std::snprintf(out, static_cast<std::size_t>(size), "%.*f %s", decimals, value, name);
}
