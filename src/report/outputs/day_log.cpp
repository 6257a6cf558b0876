#include "report/outputs/day_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "report/causes/cause_file.h"
#include "report/os/clocks.h"
#include "report/os/files.h"
#include "report/util/complain.h"
#include "report/util/report_time.h"

namespace {

void name_file(day_log* log, int64_t day) {
    if (!log->dated) {
        snprintf(log->path, sizeof log->path, "%s", log->pattern);
        return;
    }
    namespace chrono = std::chrono;
    const chrono::sys_days date{chrono::days{day}};
    const chrono::year_month_day ymd{date};
    std::tm fields{};
    fields.tm_year = static_cast<int>(ymd.year()) - 1900;
    fields.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
    fields.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
    fields.tm_wday = static_cast<int>(chrono::weekday{date}.c_encoding());
    fields.tm_yday =
        static_cast<int>((date - chrono::sys_days{ymd.year() / chrono::January / 1}).count());
    if (strftime(log->path, sizeof log->path, log->pattern, &fields) == 0) {
        log->path[0] = '\0';
    }
}

void fail(day_log* log, const char* what) {
    if (!log->failing) {
        complain("cannot %s %s (%s); lines are lost until it can be written again", what, log->path,
                 strerror(errno));
    }
    log->failing = log->failed = true;
    if (log->file != nullptr) {
        fclose(log->file);
        log->file = nullptr;
    }
}

// Writes `text` and its line end whole, or nothing: a line cut short (a full disk) is
// cut back to where it began. The file is unbuffered, so nothing of a failed line is
// left to be written later.
bool write_line(FILE* file, std::string_view text) {
    if (fseek(file, 0, SEEK_END) != 0) {
        return false;
    }
    const long before = ftell(file);
    if (before >= 0 && fwrite(text.data(), 1, text.size(), file) == text.size() &&
        fputc('\n', file) != EOF) {
        return true;
    }
    const int error = errno;
    if (before >= 0) {
        truncate_file(file, before);
    }
    errno = error;
    return false;
}

void put(day_log* log, std::string_view text) {
    if (log->file == nullptr) {
        return;
    }
    if (!write_line(log->file, text)) {
        fail(log, "write to");
        return;
    }
    if (log->failing) {
        tell("lines reach %s again", log->path);
        log->failing = false;
    }
    if (const int64_t now = monotonic_ms(); now - log->synced_ms >= day_sync_ms) {
        log->synced_ms = now;
        if (!sync_file(log->file)) {
            fail(log, "flush to disk");
        }
    }
}

// Closes the open file once it has reached the disk.
void close_file(day_log* log) {
    if (log->file == nullptr) {
        return;
    }
    const bool synced = sync_file(log->file);
    const bool closed = fclose(log->file) == 0;  // closed also when the flush failed
    log->file = nullptr;
    if (!synced || !closed) {
        fail(log, "write to");
    }
}

// The run's lines before its header, as `top` keeps them.
void put_top(day_log* log) {
    for (const char* line = log->top; *line != '\0'; line = strchr(line, '\n') + 1) {
        put(log, std::string_view(line, static_cast<size_t>(strchr(line, '\n') - line)));
    }
}

// Opens the day's file for the next line, after a new day or a failed write.
void open_day_file(day_log* log) {
    log->file = open_file(log->path, "ab");
    if (log->file == nullptr) {
        fail(log, "open");
        return;
    }
    setvbuf(log->file, nullptr, _IONBF, 0);
    // Each file is a log on its own: the run's lines before its header, and the header.
    if (log->needs_top) {
        put_top(log);
        put(log, report_header);
        log->needs_top = log->file == nullptr;
        log->top_held = log->header_held = false;
    }
}

// Writes what waited for a row (or for the end) into the open file.
void put_held(day_log* log) {
    if (log->top_held) {
        put_top(log);
    }
    if (log->header_held) {
        put(log, report_header);
    }
    log->top_held = log->header_held = false;
}

}  // namespace

bool start_day_log(day_log* log, const char* pattern, int64_t keep_days, bool gzip, char* reason,
                   size_t reason_size, long* held_by) {
    *log = day_log{};
    *held_by = -1;
    log->synced_ms = monotonic_ms();
    log->pattern = pattern;
    log->dated = strchr(pattern, '%') != nullptr;
    log->day = INT64_MIN;
    // Checked with today's name: the folder is the same for every day.
    name_file(log, floor_div(static_cast<int64_t>(time(nullptr)) * 1000, ms_per_day));
    if (log->path[0] == '\0') {
        snprintf(reason, reason_size, "the name it makes is empty or too long");
        return false;
    }
    if (!file_name_writable(log->path, reason, reason_size)) {
        return false;
    }
    // Two watches would write two monitors into one file, and one keeper could compress
    // the day that the other still writes.
    const std::string lock = std::string(pattern, file_name_start(pattern)) + watch_lock_name;
    if (!hold_lock_file(lock.c_str(), held_by, reason, reason_size)) {
        return false;
    }
    if (keep_days > 0 || gzip) {
        log->keeper = start_day_keeper(pattern, keep_days, gzip);
    }
    return true;
}

void log_preamble(day_log* log, std::string_view text) {
    if (log->pattern == nullptr) {
        return;
    }
    if (log->top_closed) {
        put_held(log);  // a run that wrote no row: its lines stay where the last row went
        log->top[0] = '\0';
        log->top_closed = false;
    }
    const size_t used = strlen(log->top);
    if (used + text.size() + 2 <= sizeof log->top) {
        memcpy(log->top + used, text.data(), text.size());
        log->top[used + text.size()] = '\n';
        log->top[used + text.size() + 1] = '\0';
        log->top_held = true;  // written with the row that follows, in its day's file
    } else {
        put_held(log);  // too long to hold: written where the lines before it went
        put(log, text);
    }
}

void log_header(day_log* log) {
    if (log->pattern != nullptr) {
        log->top_closed = true;
        log->header_held = true;
    }
}

void log_row(day_log* log, std::string_view text, const report_row& row) {
    if (log->pattern == nullptr) {
        return;
    }
    log->top_closed = true;
    const int64_t day = log->dated ? floor_div(unix_ms(row.timestamp), ms_per_day) : 0;
    if (day != log->day) {
        close_file(log);
        name_file(log, day);
        log->day = day;
        log->needs_top = true;
        if (log->keeper) {
            keeper_day_started(log->keeper.get(), log->path);
        }
    }
    if (log->keeper) {
        keeper_row(log->keeper.get());
    }
    if (log->file == nullptr) {
        open_day_file(log);
    }
    put_held(log);
    put(log, text);
}

void log_cause(day_log* log, const report_row& row, const row_events& events,
               const cause_figures& figures) {
    if (log->pattern == nullptr || log->path[0] == '\0') {
        return;
    }
    // Stall rows are few: the file is opened for each, and so never left half written.
    const std::string path = causes_path(log->path);
    FILE* file = open_file(path.c_str(), "ab");
    int error = errno;  // of the open, or of the close below
    bool written = false;
    if (file != nullptr) {
        write_cause_line(file, unix_ms(row.timestamp), events.largest_gap_ns, events.cause, figures,
                         events.culprits);
        written = fclose(file) == 0;
        error = errno;
    }
    log->failed = log->failed || !written;  // a cause lost: the watch ends with status 1
    if (!written && !log->causes_failing) {
        complain("cannot write %s (%s); the causes of stalls are not kept until it can be",
                 path.c_str(), strerror(error));
    } else if (written && log->causes_failing) {
        tell("causes reach %s again", path.c_str());
    }
    log->causes_failing = !written;
}

bool finish_day_log(day_log* log) {
    put_held(log);  // a run that wrote no row ends where the one before it did
    close_file(log);
    log->keeper.reset();
    return !log->failed;
}
