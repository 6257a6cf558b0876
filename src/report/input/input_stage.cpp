#include "report/input/input_stage.h"

#include <charconv>
#include <cstring>

#include "report/util/report_time.h"

void start_input(input_stage* in, int64_t from_ms, int64_t to_ms) {
    *in = input_stage{};
    in->from_ms = from_ms;
    in->to_ms = to_ms;
    in->run = 1;
    in->pause_ms = -1;
    in->day_key = UINT32_MAX;  // no row's date
}

namespace {

void append_line(char* block, size_t size, std::string_view text) {
    const size_t used = strlen(block);
    if (used + text.size() + 2 <= size) {
        memcpy(block + used, text.data(), text.size());
        block[used + text.size()] = '\n';
        block[used + text.size() + 1] = '\0';
    }
}

}  // namespace

int32_t pause_of(std::string_view text) {
    constexpr std::string_view prefix = "Sleep period adjusted to ";
    if (!text.starts_with(prefix) || !text.ends_with(" ms")) {
        return -1;
    }
    text = text.substr(prefix.size(), text.size() - prefix.size() - 3);
    int32_t ms = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty() ? ms : -1;
}

void input_run_line(input_stage* in, std::string_view text, bool header) {
    // Only rows make a run: the lines before them are one start.
    if (in->run_first_line != 0 && !in->boundary) {
        in->boundary = true;
        in->next_start[0] = '\0';
    }
    if (!header) {
        append_line(in->boundary ? in->next_start : in->start,
                    in->boundary ? sizeof in->next_start : sizeof in->start, text);
        if (!in->boundary) {
            in->start_line_seen = in->start_line_seen || text.starts_with("Starting at ");
            if (const int32_t pause = pause_of(text); pause >= 0) {
                in->pause_ms = pause;
            }
        }
    }
    in->any_line_of_run = true;
}

bool input_row(input_stage* in, const report_row& row, long line, window_row* out) {
    const SYSTEMTIME& t = row.timestamp;
    const uint32_t day_key = (uint32_t{t.wYear} << 9) | (uint32_t{t.wMonth} << 5) | t.wDay;
    if (day_key != in->day_key) {
        in->day_key = day_key;
        in->day_ms = unix_day_ms(t);
    }
    const int64_t ms = in->day_ms + ms_of_day(t);
    const bool same_start =
        in->start_line_seen && strcmp(in->start, in->next_start) == 0 && ms >= in->last_ms;
    if (in->boundary && same_start) {
        in->boundary = false;  // the next day's file of the same run goes on with it
    } else if (in->boundary) {
        ++in->run;
        in->boundary = false;
        in->run_has_start = true;
        in->run_first_line = 0;
        memcpy(in->start, in->next_start, sizeof in->start);
        in->start_line_seen = strstr(in->start, "Starting at ") != nullptr;
        in->pause_ms = -1;
        for (const char* start_line = in->start; *start_line != '\0';
             start_line = strchr(start_line, '\n') + 1) {
            const char* const end = strchr(start_line, '\n');
            if (const int32_t pause =
                    pause_of(std::string_view(start_line, static_cast<size_t>(end - start_line)));
                pause >= 0) {
                in->pause_ms = pause;
            }
        }
    } else if (!in->any_line_of_run) {
        // Rows before any start line or header: the log's beginning was cut off.
        in->start_missing = true;
        in->any_line_of_run = true;
        in->run_has_start = false;
    } else if (in->run_first_line == 0) {
        in->run_has_start = true;
    }
    if (in->run_first_line == 0) {
        in->run_first_line = line;
    }
    in->last_ms = ms;
    // Half-open, so that adjacent windows split a log with no row in both.
    if (ms < in->from_ms || ms >= in->to_ms) {
        ++in->rows_outside;
        return false;
    }
    *out = window_row{&row, ms, line, in->run, in->run_has_start, in->run_first_line};
    return true;
}
