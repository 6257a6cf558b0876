#include "report/util/report_time.h"

#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace {

namespace chrono = std::chrono;

int64_t days_of(int year, unsigned month, unsigned day) {
    const chrono::sys_days date{chrono::year{year} / chrono::month{month} / chrono::day{day}};
    return date.time_since_epoch().count();
}

// `count` decimal digits at the start of `text`, nothing else.
bool digits(std::string_view text, size_t count, int* value) {
    if (text.size() < count) {
        return false;
    }
    int parsed = 0;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        parsed = parsed * 10 + (text[i] - '0');
    }
    *value = parsed;
    return true;
}

}  // namespace

int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

int64_t unix_day_ms(const SYSTEMTIME& t) {
    return days_of(t.wYear, t.wMonth, t.wDay) * ms_per_day;
}

int64_t ms_of_day(const SYSTEMTIME& t) {
    return t.wHour * ms_per_hour + t.wMinute * int64_t{60'000} + t.wSecond * ms_per_second +
           t.wMilliseconds;
}

int64_t unix_ms(const SYSTEMTIME& t) {
    return unix_day_ms(t) + ms_of_day(t);
}

bool parse_utc(std::string_view text, int64_t* ms) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    if (!digits(text, 4, &year) || text.size() < 10 || text[4] != '-' ||
        !digits(text.substr(5), 2, &month) || text[7] != '-' || !digits(text.substr(8), 2, &day)) {
        return false;
    }
    text.remove_prefix(10);
    if (!text.empty() && (text[0] == 'T' || text[0] == ' ')) {
        if (!digits(text.substr(1), 2, &hour) || text.size() < 6 || text[3] != ':' ||
            !digits(text.substr(4), 2, &minute)) {
            return false;
        }
        text.remove_prefix(6);
        if (!text.empty() && text[0] == ':') {
            if (!digits(text.substr(1), 2, &second)) {
                return false;
            }
            text.remove_prefix(3);
            if (!text.empty() && text[0] == '.') {
                size_t n = 1;
                while (n < text.size() && n <= 3 && text[n] >= '0' && text[n] <= '9') {
                    milli = milli * 10 + (text[n] - '0');
                    ++n;
                }
                if (n == 1) {
                    return false;
                }
                for (size_t k = n; k <= 3; ++k) {
                    milli *= 10;
                }
                text.remove_prefix(n);
            }
        }
    }
    // The zone: "Z", or an offset from UTC ("+01:00", "-0530", "+01"); none is UTC.
    int64_t offset_ms = 0;
    if (text == "Z") {
        text.remove_prefix(1);
    } else if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        int offset_hours = 0, offset_minutes = 0;
        const int sign = text[0] == '-' ? -1 : 1;
        if (!digits(text.substr(1), 2, &offset_hours)) {
            return false;
        }
        text.remove_prefix(3);
        if (text.size() == 3 && text[0] == ':') {
            text.remove_prefix(1);
        }
        if (text.size() == 2) {
            if (!digits(text, 2, &offset_minutes)) {
                return false;
            }
            text.remove_prefix(2);
        }
        if (offset_hours > 23 || offset_minutes > 59) {
            return false;
        }
        offset_ms = sign * (offset_hours * ms_per_hour + offset_minutes * int64_t{60'000});
    }
    const chrono::year_month_day date{chrono::year{year},
                                      chrono::month{static_cast<unsigned>(month)},
                                      chrono::day{static_cast<unsigned>(day)}};
    if (!text.empty() || !date.ok() || year < 1601 || year > 30828 || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    *ms = days_of(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * ms_per_day +
          hour * ms_per_hour + minute * int64_t{60'000} + second * ms_per_second + milli -
          offset_ms;
    return true;
}

void format_utc(int64_t ms, bool iso, char* text, size_t size) {
    const int64_t days = floor_div(ms, ms_per_day);
    const int64_t in_day = ms - days * ms_per_day;
    const chrono::year_month_day date{chrono::sys_days{chrono::days{days}}};
    snprintf(text, size,
             "%04d-%02u-%02u%c%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%03" PRId64 "%s",
             static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
             static_cast<unsigned>(date.day()), iso ? 'T' : ' ', in_day / ms_per_hour,
             in_day / 60'000 % 60, in_day / 1000 % 60, in_day % 1000, iso ? "Z" : "");
}

const char* format_duration(int64_t ns, char* text, size_t size) {
    const double v = static_cast<double>(ns);
    const double a = std::fabs(v);
    if (a < 1e3) {
        snprintf(text, size, "%" PRId64 " ns", ns);
    } else if (a < 1e6) {
        snprintf(text, size, "%.1f us", v / 1e3);
    } else if (a < 1e9) {
        snprintf(text, size, "%.2f ms", v / 1e6);
    } else if (a < 86'400e9) {
        snprintf(text, size, "%.3f s", v / 1e9);
    } else {
        snprintf(text, size, "%.1f days", v / 86'400e9);
    }
    return text;
}

const char* threshold_text(int64_t ns, char* text, size_t size) {
    if (ns % 1'000'000 == 0) {
        snprintf(text, size, "%" PRId64 " ms", ns / 1'000'000);
    } else {
        format_duration(ns, text, size);
    }
    return text;
}

int64_t ms_as_ns(int64_t ms) {
    if (ms > INT64_MAX / 1'000'000) {
        return INT64_MAX;
    }
    if (ms < INT64_MIN / 1'000'000) {
        return INT64_MIN;
    }
    return ms * 1'000'000;
}
