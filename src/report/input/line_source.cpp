#include "report/input/line_source.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t buffer_size = size_t{1} << 20;

}  // namespace

void open_line_source(line_source* source, const log_input& input) {
    open_gzip_input(&source->in, input);
    if (!source->buffer) {
        source->buffer = std::make_unique<char[]>(buffer_size);
    }
    source->capacity = buffer_size;
    source->start = source->end = 0;
    source->at_end = false;
    source->line_started = false;
    source->number = 0;
    source->nul_bytes = 0;
    source->first_bytes_seen = 0;
}

bool line_waiting(const line_source* s) {
    return memchr(s->buffer.get() + s->start, '\n', s->end - s->start) != nullptr;
}

namespace {

// Passes over NUL bytes where a line begins, counting them.
void skip_nul_run(line_source* s) {
    const char* const data = s->buffer.get();
    if (s->line_started) {
        return;
    }
    while (s->start < s->end && data[s->start] == '\0') {
        ++s->start;
        ++s->nul_bytes;
    }
    s->line_started = s->start < s->end;
}

// Hands out the unread bytes up to `length` as a line whose end is `skip` bytes long.
std::string_view hand_out(line_source* s, size_t length, size_t skip) {
    const char* const data = s->buffer.get() + s->start;
    const size_t shown = length > 0 && skip > 0 && data[length - 1] == '\r' ? length - 1 : length;
    s->start += length + skip;
    s->line_started = false;
    ++s->number;
    return std::string_view(data, shown);
}

// Reads past the rest of an overlong line, however long it takes to come; the bytes after
// its end stay in the buffer.
line_status skip_overlong(line_source* s, char* reason, size_t reason_size) {
    char* const data = s->buffer.get();
    s->start = s->end = 0;
    const int64_t quiet_at = s->in.input.quiet_at_ms;
    s->in.input.quiet_at_ms = INT64_MAX;
    line_status status = line_status::too_long;
    for (;;) {
        const long n = read_gzip_input(&s->in, data, s->capacity, reason, reason_size);
        if (n < 0) {
            status = line_status::failed;
            break;
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
    s->in.input.quiet_at_ms = quiet_at;
    s->line_started = false;
    ++s->number;
    return status;
}

// Moves the partial line to the front and reads more after it.
line_status fill(line_source* s, char* reason, size_t reason_size) {
    char* const data = s->buffer.get();
    const size_t unread = s->end - s->start;
    if (s->start > 0) {
        memmove(data, data + s->start, unread);
        s->start = 0;
        s->end = unread;
    }
    const long n =
        read_gzip_input(&s->in, data + s->end, s->capacity - s->end, reason, reason_size);
    if (n == read_quiet) {
        return line_status::quiet;
    }
    if (n < 0) {
        return line_status::failed;
    }
    if (s->first_bytes_seen < sizeof s->first_bytes) {
        const size_t take =
            std::min(sizeof s->first_bytes - s->first_bytes_seen, static_cast<size_t>(n));
        memcpy(s->first_bytes + s->first_bytes_seen, data + s->end, take);
        s->first_bytes_seen += take;
    }
    s->at_end = n == 0;
    s->end += static_cast<size_t>(n);
    return line_status::line;
}

}  // namespace

line_status next_line(line_source* s, std::string_view* text, char* reason, size_t reason_size) {
    for (;;) {
        skip_nul_run(s);
        const char* const data = s->buffer.get();
        const size_t unread = s->end - s->start;
        if (const void* nl = memchr(data + s->start, '\n', unread)) {
            const auto length =
                static_cast<size_t>(static_cast<const char*>(nl) - (data + s->start));
            *text = hand_out(s, length, 1);
            return length > longest_line ? line_status::too_long : line_status::line;
        }
        if (s->at_end) {
            if (unread == 0) {
                return line_status::end;
            }
            *text = hand_out(s, unread, 0);
            return line_status::cut_short;
        }
        if (unread > longest_line) {
            *text = std::string_view();
            return skip_overlong(s, reason, reason_size);
        }
        if (const line_status status = fill(s, reason, reason_size); status != line_status::line) {
            return status;
        }
    }
}
