#include "report/input/log_reader.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "report/util/complain.h"

namespace {

// The lines the monitor writes before its header.
bool is_preamble(std::string_view text) {
    return text.starts_with("Starting at ") || text.starts_with("Sleep period adjusted to ") ||
           text.starts_with("Warning: sleep period = ") ||
           text.ends_with(" does not look like an integer.");
}

// A whole decimal number in [low, high], nothing before or after it.
template <typename T>
bool read_number(std::string_view text, T low, T high, T* value) {
    T parsed{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty() || parsed < low ||
        parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

// What is shown of a bad line or field: its start, enough to find it.
constexpr size_t shown_length = 40;

// The start of the text is shown escaped: a log's bytes never reach a terminal as they are.
log_line bad_line(const char* reason, std::string_view text) {
    log_line line{};
    line.kind = log_line_kind::bad;
    char shown[4 * shown_length + 1];
    escape_bytes(text.substr(0, shown_length), shown, sizeof shown);
    snprintf(line.error, sizeof line.error, "%s: '%s%s'", reason, shown,
             text.size() > shown_length ? "..." : "");
    return line;
}

// Field `index` (0-based) is not what its column holds.
log_line bad_field(int index, const char* expected, std::string_view text) {
    char reason[96];
    snprintf(reason, sizeof reason, "field %d (%s) is not %s", index + 1, report_columns[index],
             expected);
    return bad_line(reason, text);
}

// "YYYY-MM-DD HH:MM:SS", the year of four or more digits.
bool read_timestamp(std::string_view text, SYSTEMTIME* t) {
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos || text.size() != dash + 15 || text[dash + 3] != '-' ||
        text[dash + 6] != ' ' || text[dash + 9] != ':' || text[dash + 12] != ':') {
        return false;
    }
    uint16_t year, month, day, hour, minute, second;
    if (dash < 4 || !read_number<uint16_t>(text.substr(0, dash), 1601, 30828, &year) ||
        !read_number<uint16_t>(text.substr(dash + 1, 2), 1, 12, &month) ||
        !read_number<uint16_t>(text.substr(dash + 4, 2), 1, 31, &day) ||
        !read_number<uint16_t>(text.substr(dash + 7, 2), 0, 23, &hour) ||
        !read_number<uint16_t>(text.substr(dash + 10, 2), 0, 59, &minute) ||
        !read_number<uint16_t>(text.substr(dash + 13, 2), 0, 59, &second)) {
        return false;
    }
    *t = SYSTEMTIME{year, month, 0, day, hour, minute, second, 0};
    return true;
}

}  // namespace

log_line read_log_line(std::string_view text) {
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    if (text == report_header) {
        log_line line{};
        line.kind = log_line_kind::header;
        return line;
    }
    if (is_preamble(text)) {
        log_line line{};
        line.kind = log_line_kind::preamble;
        return line;
    }

    std::string_view fields[23];
    int count = 0;
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        const std::string_view field = text.substr(start, comma - start);
        if (count < 23) {
            fields[count] = field;
        }
        ++count;
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (count != 23) {
        char reason[64];
        snprintf(reason, sizeof reason, "has %d fields where a row has 23", count);
        return bad_line(reason, text);
    }

    log_line line{};
    line.kind = log_line_kind::row;
    report_row& row = line.row;
    if (!read_timestamp(fields[0], &row.timestamp)) {
        return bad_field(0, "a date and time", fields[0]);
    }
    if (fields[1].size() != 3 ||
        !read_number<uint16_t>(fields[1], 0, 999, &row.timestamp.wMilliseconds)) {
        return bad_field(1, "three digits of milliseconds", fields[1]);
    }
    int64_t* const numbers[] = {&row.diff_report,   &row.diff_avg,          &row.min_diff_this_rep,
                                &row.min_diff_ever, &row.max_diff_this_rep, &row.max_diff_ever};
    for (int i = 0; i < 6; ++i) {
        if (!read_number<int64_t>(fields[2 + i], std::numeric_limits<int64_t>::min(),
                                  std::numeric_limits<int64_t>::max(), numbers[i])) {
            return bad_field(2 + i, "a number", fields[2 + i]);
        }
    }
    for (int i = 0; i < band_count; ++i) {
        std::string_view field = fields[8 + i];
        // The monitor writes a space before the 1ms, 10ms, 100ms, 1s and out_to_lunch counts.
        if (!field.empty() && field.front() == ' ') {
            field.remove_prefix(1);
        }
        if (!read_number<uint32_t>(field, 0, std::numeric_limits<uint32_t>::max(),
                                   &(row.*band_columns[i]))) {
            return bad_field(8 + i, "a count", fields[8 + i]);
        }
    }
    if (!read_number<int64_t>(fields[22], std::numeric_limits<int64_t>::min(),
                              std::numeric_limits<int64_t>::max(), &row.printf_latency)) {
        return bad_field(22, "a number", fields[22]);
    }
    return line;
}

namespace {

// A forward pass over one line.
struct cursor {
    const char* at;
    const char* end;
};

bool take(cursor* c, char expected) {
    if (c->at < c->end && *c->at == expected) {
        ++c->at;
        return true;
    }
    return false;
}

// One to 19 decimal digits (more cannot pass 64 bits), at most `high`. A longer run of
// digits, leading zeros and all, is left to the careful reader.
template <typename U>
bool take_digits(cursor* c, U high, U* value) {
    const char* const start = c->at;
    const char* const limit = c->end - start > 19 ? start + 19 : c->end;
    uint64_t v = 0;
    while (c->at < limit && static_cast<unsigned char>(*c->at - '0') <= 9) {
        v = v * 10 + static_cast<unsigned char>(*c->at - '0');
        ++c->at;
    }
    if (c->at == start || v > high ||
        (c->at < c->end && static_cast<unsigned char>(*c->at - '0') <= 9)) {
        return false;
    }
    *value = static_cast<U>(v);
    return true;
}

// Exactly `count` digits, from `low` to `high`.
bool take_fixed(cursor* c, int count, uint16_t low, uint16_t high, uint16_t* value) {
    if (c->end - c->at < count) {
        return false;
    }
    uint16_t v = 0;
    for (int i = 0; i < count; ++i) {
        const auto digit = static_cast<unsigned char>(c->at[i] - '0');
        if (digit > 9) {
            return false;
        }
        v = static_cast<uint16_t>(v * 10 + digit);
    }
    c->at += count;
    *value = v;
    return v >= low && v <= high;
}

bool take_signed(cursor* c, int64_t* value) {
    const bool negative = take(c, '-');
    uint64_t magnitude = 0;
    const uint64_t high = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (!take_digits<uint64_t>(c, high, &magnitude)) {
        return false;
    }
    *value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
}

}  // namespace

bool read_row(std::string_view text, report_row* row) {
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    cursor c{text.data(), text.data() + text.size()};
    SYSTEMTIME& t = row->timestamp;
    const char* const year_start = c.at;
    if (!take_digits<uint16_t>(&c, 30828, &t.wYear) || c.at - year_start < 4 || t.wYear < 1601 ||
        !take(&c, '-') || !take_fixed(&c, 2, 1, 12, &t.wMonth) || !take(&c, '-') ||
        !take_fixed(&c, 2, 1, 31, &t.wDay) || !take(&c, ' ') ||
        !take_fixed(&c, 2, 0, 23, &t.wHour) || !take(&c, ':') ||
        !take_fixed(&c, 2, 0, 59, &t.wMinute) || !take(&c, ':') ||
        !take_fixed(&c, 2, 0, 59, &t.wSecond) || !take(&c, ',') ||
        !take_fixed(&c, 3, 0, 999, &t.wMilliseconds)) {
        return false;
    }
    t.wDayOfWeek = 0;
    int64_t* const numbers[] = {&row->diff_report,       &row->diff_avg,
                                &row->min_diff_this_rep, &row->min_diff_ever,
                                &row->max_diff_this_rep, &row->max_diff_ever};
    for (int64_t* number : numbers) {
        if (!take(&c, ',') || !take_signed(&c, number)) {
            return false;
        }
    }
    for (const auto column : band_columns) {
        if (!take(&c, ',')) {
            return false;
        }
        take(&c, ' ');  // the monitor writes one before some counts
        if (!take_digits<uint32_t>(&c, UINT32_MAX, &(row->*column))) {
            return false;
        }
    }
    return take(&c, ',') && take_signed(&c, &row->printf_latency) && c.at == c.end;
}
