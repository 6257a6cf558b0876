#include "report/line_source.h"

#include <cstring>

namespace {

constexpr size_t buffer_size = size_t{1} << 20;

}  // namespace

void open_line_source(line_source* source, const log_input& input) {
    source->input = input;
    source->buffer = std::make_unique<char[]>(buffer_size);
    source->capacity = buffer_size;
    source->start = source->end = 0;
    source->at_end = false;
    source->line_started = false;
    source->number = 0;
    source->nul_bytes = 0;
}

bool line_waiting(const line_source* s) {
    return memchr(s->buffer.get() + s->start, '\n', s->end - s->start) != nullptr;
}

line_status next_line(line_source* s, std::string_view* text, char* reason, size_t reason_size) {
    for (;;) {
        char* const data = s->buffer.get();
        if (!s->line_started) {
            while (s->start < s->end && data[s->start] == '\0') {
                ++s->start;
                ++s->nul_bytes;
            }
            s->line_started = s->start < s->end;
        }
        const size_t unread = s->end - s->start;
        if (const void* nl = memchr(data + s->start, '\n', unread)) {
            const size_t length =
                static_cast<size_t>(static_cast<const char*>(nl) - data) - s->start;
            size_t shown = length;
            if (shown > 0 && data[s->start + shown - 1] == '\r') {
                --shown;
            }
            *text = std::string_view(data + s->start, shown);
            s->start += length + 1;
            s->line_started = false;
            ++s->number;
            return length > longest_line ? line_status::too_long : line_status::line;
        }
        if (s->at_end) {
            if (unread == 0) {
                return line_status::end;
            }
            *text = std::string_view(data + s->start, unread);
            s->start = s->end;
            s->line_started = false;
            ++s->number;
            return line_status::cut_short;
        }
        if (unread > longest_line) {
            // Skip the rest of an overlong line; it is reported once.
            s->start = s->end = 0;
            // The rest of an overlong line is skipped however long it takes to come.
            const int64_t quiet_at = s->input.quiet_at_ms;
            s->input.quiet_at_ms = INT64_MAX;
            for (;;) {
                const long n = read_log(&s->input, data, s->capacity, reason, reason_size);
                if (n < 0) {
                    return line_status::failed;
                }
                if (n == 0) {
                    s->at_end = true;
                    break;
                }
                if (const void* nl = memchr(data, '\n', static_cast<size_t>(n))) {
                    s->start = static_cast<size_t>(static_cast<const char*>(nl) - data) + 1;
                    s->end = static_cast<size_t>(n);
                    break;
                }
            }
            s->input.quiet_at_ms = quiet_at;
            s->line_started = false;
            ++s->number;
            *text = std::string_view();
            return line_status::too_long;
        }
        // Move the partial line to the front and fill the rest.
        if (s->start > 0) {
            memmove(data, data + s->start, unread);
            s->start = 0;
            s->end = unread;
        }
        const long n =
            read_log(&s->input, data + s->end, s->capacity - s->end, reason, reason_size);
        if (n == read_quiet) {
            return line_status::quiet;
        }
        if (n < 0) {
            return line_status::failed;
        }
        if (n == 0) {
            s->at_end = true;
        }
        s->end += static_cast<size_t>(n);
    }
}
