// Feeds arbitrary text to the log line reader: it must never crash, must say why a line
// is bad, every row it reads must come back the same when written out and read again,
// and a row the fast reader accepts the careful one must accept, with the same values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "report/input/log_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const log_line line = read_log_line(text);
    report_row fast{};
    const bool fast_read = read_row(text, &fast);
    if ((fast_read && line.kind != log_line_kind::row) ||
        (fast_read && memcmp(&fast, &line.row, sizeof fast) != 0)) {
        fprintf(stderr, "the fast and the careful reader differ on [%.*s]\n",
                static_cast<int>(size), reinterpret_cast<const char*>(data));
        abort();
    }
    if (line.kind == log_line_kind::bad) {
        if (line.error[0] == '\0' || memchr(line.error, '\0', sizeof line.error) == nullptr) {
            fprintf(stderr, "a bad line without a reason\n");
            abort();
        }
        return 0;
    }
    if (line.kind != log_line_kind::row) {
        return 0;
    }
    char written[report_row_capacity];
    const int length = format_report_row(&line.row, written, sizeof written);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof written) {
        fprintf(stderr, "a row read from the log does not fit a written row\n");
        abort();
    }
    const log_line again =
        read_log_line(std::string_view(written, static_cast<size_t>(length) - 1));
    if (again.kind != log_line_kind::row || memcmp(&again.row, &line.row, sizeof line.row) != 0) {
        fprintf(stderr, "row [%.*s] read back from [%s] differs\n", static_cast<int>(size),
                reinterpret_cast<const char*>(data), written);
        abort();
    }
    return 0;
}
