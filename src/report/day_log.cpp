#include "report/day_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "report/report_os.h"
#include "report/report_time.h"

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
    if (!log->failed) {
        fprintf(stderr, "clockgap-report: cannot %s %s (%s); the log is off from here\n", what,
                log->path, strerror(errno));
    }
    log->failed = true;
    if (log->file != nullptr) {
        fclose(log->file);
        log->file = nullptr;
    }
}

void put(day_log* log, std::string_view text) {
    if (log->file == nullptr) {
        return;
    }
    fwrite(text.data(), 1, text.size(), log->file);
    fputc('\n', log->file);
    if (fflush(log->file) != 0 || ferror(log->file)) {
        fail(log, "write to");
    }
}

}  // namespace

bool start_day_log(day_log* log, const char* pattern, char* reason, size_t reason_size) {
    *log = day_log{};
    log->pattern = pattern;
    log->dated = strchr(pattern, '%') != nullptr;
    log->day = INT64_MIN;
    // Checked with today's name: the folder is the same for every day.
    name_file(log, floor_div(static_cast<int64_t>(time(nullptr)) * 1000, ms_per_day));
    if (log->path[0] == '\0') {
        snprintf(reason, reason_size, "the name it makes is empty or too long");
        return false;
    }
    return folder_writable(log->path, reason, reason_size);
}

void log_preamble(day_log* log, std::string_view text) {
    if (log->pattern == nullptr || log->failed) {
        return;
    }
    if (text.starts_with("Starting at ") && text.size() < sizeof log->start_line) {
        memcpy(log->start_line, text.data(), text.size());
        log->start_line[text.size()] = '\0';
    }
    put(log, text);
}

void log_header(day_log* log) {
    if (log->pattern == nullptr || log->failed) {
        return;
    }
    put(log, report_header);
}

void log_row(day_log* log, std::string_view text, const report_row& row) {
    if (log->pattern == nullptr || log->failed) {
        return;
    }
    const int64_t day = log->dated ? floor_div(unix_ms(row.timestamp), ms_per_day) : 0;
    if (log->file == nullptr || day != log->day) {
        if (log->file != nullptr) {
            if (fclose(log->file) != 0) {
                log->file = nullptr;
                fail(log, "write to");
                return;
            }
            log->file = nullptr;
        }
        name_file(log, day);
        log->day = day;
        log->file = fopen(log->path, "ab");
        if (log->file == nullptr) {
            fail(log, "open");
            return;
        }
        // Each file is a log on its own: the start line (when one was read) and header.
        if (log->start_line[0] != '\0') {
            put(log, log->start_line);
        }
        put(log, report_header);
    }
    put(log, text);
}

bool finish_day_log(day_log* log) {
    if (log->file != nullptr && fclose(log->file) != 0) {
        log->file = nullptr;
        fail(log, "write to");
    }
    log->file = nullptr;
    return !log->failed;
}
