#include "report/outputs/picture.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "report/util/report_time.h"

namespace {

// A UTC time in the parts a picture shows, whatever the number of the year's digits:
// its date "YYYY-MM-DD", and its time of day "HH:MM:SS".
struct utc_parts {
    char date[16];
    char time[16];
};

utc_parts utc_of(int64_t ms) {
    char text[40];
    format_utc(ms, false, text, sizeof text);  // "YYYY-MM-DD HH:MM:SS.mmm"
    const char* const space = strchr(text, ' ');
    utc_parts p{};
    snprintf(p.date, sizeof p.date, "%.*s", static_cast<int>(space - text), text);
    snprintf(p.time, sizeof p.time, "%.8s", space + 1);
    return p;
}

// The steps between time ticks; past four weeks a step doubles until it fits.
constexpr int64_t tick_steps_ms[] = {
    1'000,       2'000,       5'000,         10'000,       15'000,     30'000,
    60'000,      120'000,     300'000,       600'000,      900'000,    1'800'000,
    3'600'000,   7'200'000,   10'800'000,    21'600'000,   43'200'000, 86'400'000,
    172'800'000, 604'800'000, 1'209'600'000, 2'419'200'000};
constexpr int64_t most_time_ticks = 8;

void time_ticks(picture_model* m) {
    int64_t step = tick_steps_ms[0];
    for (const int64_t s : tick_steps_ms) {
        step = s;
        if (m->span_ms / s <= most_time_ticks) {
            break;
        }
    }
    while (m->span_ms / step > most_time_ticks) {
        step *= 2;
    }
    const int64_t width = m->grid->width_ms;
    m->time_tick_count = 0;
    for (int64_t t = (floor_div(m->first_ms - 1, step) + 1) * step;
         t <= m->first_ms + m->span_ms && m->time_tick_count < most_ticks; t += step) {
        picture_tick& tick = m->time_ticks[m->time_tick_count++];
        tick.at = static_cast<double>(t - m->first_ms) / static_cast<double>(width);
        const utc_parts utc = utc_of(t);
        if (step >= ms_per_day) {
            snprintf(tick.label, sizeof tick.label, "%s", utc.date);
        } else if (m->span_ms > 2 * ms_per_day) {
            // The month and day of a date, whose year may have more than four digits.
            snprintf(tick.label, sizeof tick.label, "%s %.5s", utc.date + strlen(utc.date) - 5,
                     utc.time);
        } else if (m->span_ms > 10 * 60'000) {
            snprintf(tick.label, sizeof tick.label, "%.5s", utc.time);
        } else {
            snprintf(tick.label, sizeof tick.label, "%s", utc.time);
        }
    }
}

struct named_ms {
    double ms;
    const char* label;
};

// The labels the worst-gap axis may carry.
constexpr named_ms worst_labels[] = {{1e-6, "1 ns"},
                                     {1e-5, "10 ns"},
                                     {1e-4, "100 ns"},
                                     {1e-3, "1 µs"},
                                     {1e-2, "10 µs"},
                                     {1e-1, "100 µs"},
                                     {1, "1 ms"},
                                     {10, "10 ms"},
                                     {100, "100 ms"},
                                     {1e3, "1 s"},
                                     {1e4, "10 s"},
                                     {1e5, "100 s"},
                                     {1e6, "1000 s"},
                                     {1.08e7, "3 h"},
                                     {8.64e7, "1 day"},
                                     {8.64e8, "10 days"},
                                     {8.64e9, "100 days"},
                                     {9.4672e10, "3 years"},
                                     {9.4672e11, "30 years"},
                                     {9.4672e12, "300 years"}};

double ms_of(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

void worst_axis(picture_model* m) {
    double low = m->stall_at, high = m->stall_at;
    for (int i = 0; i < m->grid->count; ++i) {
        double y = 0;
        if (worst_point(*m, i, &y)) {
            low = std::min(low, y);
            high = std::max(high, y);
        }
    }
    low = std::floor(low);
    high = std::max(std::ceil(high), low + 1);
    m->worst_low = low;
    // Room above the line for the marks.
    m->worst_high = high + (high - low) * 0.3;
    m->worst_tick_count = 0;
    for (const named_ms& l : worst_labels) {
        const double at = log10_exact_ops(l.ms);
        if (at >= low - 1e-9 && at <= high + 1e-9 && m->worst_tick_count < most_ticks) {
            picture_tick& tick = m->worst_ticks[m->worst_tick_count++];
            tick.at = at;
            snprintf(tick.label, sizeof tick.label, "%s", l.label);
        }
    }
}

// The colour scale runs from 1 to the first power of ten at or above the largest count.
void colour_axis(picture_model* m) {
    uint64_t most = 1;
    for (int i = 0; i < m->grid->count; ++i) {
        for (const uint64_t n : m->grid->cells[i].bands) {
            most = std::max(most, n);
        }
    }
    int decades = 1;  // at least 1 to 10, so that a scale always has two ends
    uint64_t top = 10;
    while (top < most && decades < 19) {
        top *= 10;
        ++decades;
    }
    m->colour_top = top;
    static const char* const suffixes[] = {"", "k", "M", "G", "T", "P", "E"};
    m->colour_tick_count = decades + 1;
    for (int k = 0; k <= decades; ++k) {
        picture_tick& tick = m->colour_ticks[k];
        tick.at = static_cast<double>(k) / decades;
        snprintf(tick.label, sizeof tick.label, "%s%s",
                 k % 3 == 0   ? "1"
                 : k % 3 == 1 ? "10"
                              : "100",
                 suffixes[k / 3]);
    }
}

}  // namespace

double log10_exact_ops(double x) {
    // x = f * 2^e with f in [0.5, 1); ln f = 2 atanh(s) with s = (f - 1) / (f + 1), whose
    // series has converged to double precision by its 25th term (|s| <= 1/3).
    int e = 0;
    const double f = std::frexp(x, &e);
    const double s = (f - 1) / (f + 1);
    const double s2 = s * s;
    double term = s, sum = 0;
    for (int k = 0; k < 25; ++k) {
        sum += term / (2 * k + 1);
        term *= s2;
    }
    constexpr double ln2 = 0.693147180559945309417;
    constexpr double ln10 = 2.302585092994045684018;
    const double v = (2 * sum + e * ln2) / ln10;
    // A power of ten lands on its whole number, as a decade's tick and line must.
    const double whole = std::round(v);
    return std::fabs(v - whole) < 1e-12 ? whole : v;
}

void build_picture(picture_model* m, const heat_grid* g, int64_t stall_ns) {
    memset(static_cast<void*>(m), 0, sizeof *m);
    m->grid = g;
    m->first_ms = g->first * g->width_ms;
    m->span_ms = g->count * g->width_ms;
    const utc_parts from = utc_of(m->first_ms), to = utc_of(m->first_ms + m->span_ms);
    char span[32];
    span_words(m->span_ms, span, sizeof span);
    span_words(g->width_ms, m->column_words, sizeof m->column_words);
    snprintf(m->title, sizeof m->title,
             "clockgap: %" PRIu64 " rows, %s %s to %s %s UTC (%s; one column = %s)", g->rows,
             from.date, from.time, to.date, to.time, span, m->column_words);
    time_ticks(m);
    m->stall_at = log10_exact_ops(ms_of(std::max<int64_t>(stall_ns, 1)));
    char threshold[40];
    snprintf(m->stall_words, sizeof m->stall_words, "stall (%s)",
             threshold_text(stall_ns, threshold, sizeof threshold));
    worst_axis(m);
    colour_axis(m);
}

uint32_t cell_colour(const picture_model& m, uint64_t count) {
    return scale_colour(log10_exact_ops(static_cast<double>(std::max<uint64_t>(count, 1))) /
                        log10_exact_ops(static_cast<double>(m.colour_top)));
}

uint32_t scale_colour(double fraction) {
    const double at = std::clamp(fraction, 0.0, 1.0) * 4;
    const int from = std::min(static_cast<int>(at), 3);
    const double t = at - from;
    uint32_t colour = 0;
    for (const int shift : {16, 8, 0}) {
        const double a = (colour_stops[from] >> shift) & 0xff;
        const double b = (colour_stops[from + 1] >> shift) & 0xff;
        colour |= static_cast<uint32_t>(a + (b - a) * t + 0.5) << shift;
    }
    return colour;
}

bool worst_point(const picture_model& m, int i, double* y) {
    const heat_cell& c = m.grid->cells[i];
    if (c.rows == 0 || c.worst_ns <= 0) {
        return false;
    }
    *y = log10_exact_ops(ms_of(c.worst_ns));
    return true;
}

void span_words(int64_t ms, char* text, size_t size) {
    if (ms < 60'000) {
        snprintf(text, size, "%" PRId64 " s", ms / 1000);
    } else if (ms < ms_per_hour) {
        snprintf(text, size, "%" PRId64 " min", ms / 60'000);
    } else if (ms < ms_per_day) {
        snprintf(text, size, "%" PRId64 " h", ms / ms_per_hour);
    } else {
        const int64_t days = ms / ms_per_day;
        snprintf(text, size, "%" PRId64 " %s", days, days == 1 ? "day" : "days");
    }
}

void band_range_words(int band, char* text, size_t size) {
    if (band == 0) {
        snprintf(text, size, "negative (the clock set back)");
    } else if (band == band_count - 1) {
        snprintf(text, size, "above %" PRId64 " ms", band_low_ns(band) / 1'000'000 - 1);
    } else if (const int64_t low = band_low_ns(band) / 1'000'000,
               high = band_high_ns(band) / 1'000'000 - 1;
               low == high) {
        snprintf(text, size, "%" PRId64 " ms", low);
    } else {
        snprintf(text, size, "%" PRId64 " to %" PRId64 " ms", low, high);
    }
}

void column_span_words(const picture_model& m, int i, char* text, size_t size) {
    const int64_t from = m.first_ms + i * m.grid->width_ms;
    const utc_parts a = utc_of(from), b = utc_of(from + m.grid->width_ms);
    // Past a day a column is two minutes or more: its seconds are always 0.
    const bool same_day = strcmp(a.date, b.date) == 0;
    if (m.span_ms <= ms_per_day && same_day) {
        snprintf(text, size, "%s to %s UTC", a.time, b.time);
    } else if (m.span_ms <= ms_per_day) {
        snprintf(text, size, "%s %s to %s %s UTC", a.date, a.time, b.date, b.time);
    } else if (same_day) {
        snprintf(text, size, "%s %.5s to %.5s UTC", a.date, a.time, b.time);
    } else {
        snprintf(text, size, "%s %.5s to %s %.5s UTC", a.date, a.time, b.date, b.time);
    }
}
