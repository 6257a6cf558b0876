#include "report/log_reader.h"

#include <charconv>
#include <cstdio>
#include <limits>

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
constexpr int shown_length = 40;

log_line bad_line(const char* reason, std::string_view text) {
    log_line line{};
    line.kind = log_line_kind::bad;
    const int shown = text.size() > shown_length ? shown_length : static_cast<int>(text.size());
    snprintf(line.error, sizeof line.error, "%s: '%.*s%s'", reason, shown, text.data(),
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
    for (int i = 0; i < 14; ++i) {
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
