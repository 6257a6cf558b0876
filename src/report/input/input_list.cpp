#include "report/input/input_list.h"
#include "report/causes/cause_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "report/input/line_source.h"
#include "report/input/log_reader.h"
#include "report/os/files.h"
#include "report/os/input.h"
#include "report/util/complain.h"
#include "report/util/gzip_file.h"
#include "report/util/report_time.h"

namespace fs = std::filesystem;

namespace {

// Lines read at the top of a file in search of its first row: the argument line, the
// start line and the header come before it.
constexpr int lines_to_first_row = 20;

struct folder_log {
    std::string path;
    int64_t first_ms;  // the first row's time
};

// The time of the first row of `path`. False, with what it is, when no row comes first.
bool first_row_ms(const std::string& path, line_source* source, int64_t* ms, const char** why) {
    char reason[160] = "";
    log_input input{};
    if (!open_log(path.c_str(), &input, reason, sizeof reason)) {
        *why = "it cannot be read";
        return false;
    }
    open_line_source(source, input);
    *why = "it holds no row of clockgap's";
    bool found = false;
    for (int i = 0; i < lines_to_first_row && !found; ++i) {
        std::string_view text;
        if (next_line(source, &text, reason, sizeof reason) != line_status::line) {
            break;
        }
        const log_line line = read_log_line(text);
        if (line.kind == log_line_kind::row) {
            *ms = unix_ms(line.row.timestamp);
            found = true;
        } else if (line.kind == log_line_kind::bad) {
            *why = "it is not a clockgap log";
            break;
        }
    }
    close_log(&source->in.input);
    return found;
}

// The UTC midnight of a date YYYY-MM-DD in a file's name. False when it has none.
bool name_date_ms(std::string_view name, int64_t* ms) {
    const auto digits = [&](size_t at, size_t n) {
        return std::all_of(name.begin() + static_cast<long>(at),
                           name.begin() + static_cast<long>(at + n),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    for (size_t i = 0; i + 10 <= name.size(); ++i) {
        if (digits(i, 4) && name[i + 4] == '-' && digits(i + 5, 2) && name[i + 7] == '-' &&
            digits(i + 8, 2)) {
            return parse_utc(name.substr(i, 10), ms);
        }
    }
    return false;
}

// The logs of `folder` that the window needs, in the order of their first rows.
int list_folder(const char* folder, int64_t from_ms, int64_t to_ms, std::vector<std::string>* files,
                long* days_not_read) {
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (it->is_regular_file(error) && !writers_own(name)) {
            names.push_back(name);
        }
    }
    if (error) {
        complain_cannot_read(folder, error.message().c_str());
        return 1;
    }
    std::sort(names.begin(), names.end());
    // The folder's own separator: C:\ProgramData\clockgap's files keep backslashes.
    const bool backslashes = strchr(folder, '\\') != nullptr && strchr(folder, '/') == nullptr;
    const std::string base = std::string(folder) + (file_name_start(folder) == strlen(folder) ? ""
                                                    : backslashes                             ? "\\"
                                                                  : "/");
    line_source source{};
    std::vector<folder_log> logs;
    bool any_log = false;
    for (const std::string& name : names) {
        const std::string path = base + name;
        if (!name.ends_with(".gz") &&
            std::binary_search(names.begin(), names.end(), name + ".gz") &&
            gzip_ends_with((path + ".gz").c_str(), path.c_str())) {
            complain("skipped %s: %s.gz holds the same text", path.c_str(), name.c_str());
            continue;
        }
        int64_t first = 0;
        const char* why = "";
        if (!first_row_ms(path, &source, &first, &why)) {
            complain("skipped %s: %s", path.c_str(), why);
            continue;
        }
        any_log = true;
        int64_t day = 0;
        const bool named_day = name_date_ms(name, &day) && first >= day && first - day < ms_per_day;
        if (named_day && (day + ms_per_day <= from_ms || day >= to_ms)) {
            ++*days_not_read;  // a day wholly outside the window
            continue;
        }
        logs.push_back(folder_log{path, first});
    }
    if (!any_log) {
        complain("%s holds no clockgap log", folder);
        return 1;
    }
    std::stable_sort(logs.begin(), logs.end(), [](const folder_log& a, const folder_log& b) {
        return a.first_ms < b.first_ms;
    });
    for (const folder_log& log : logs) {
        files->push_back(log.path);
    }
    return 0;
}

}  // namespace

// Hidden files are the keeper's order and the watch's lock; parts are NAME.part-PID.
bool writers_own(const std::string& name) {
    return name.starts_with(".") || name.find(".part-") != std::string::npos ||
           name.ends_with(causes_suffix) || name == "clockgap-service.log" ||
           name == "clockgap-service.log.1";
}

bool is_clockgap_log(const std::string& path, const char** why) {
    line_source source{};
    int64_t first = 0;
    return first_row_ms(path, &source, &first, why);
}

bool names_a_day(std::string_view name) {
    int64_t ms = 0;
    return name_date_ms(name, &ms);
}

int list_inputs(const std::vector<const char*>& inputs, int64_t from_ms, int64_t to_ms,
                std::vector<std::string>* files, long* days_not_read) {
    if (inputs.empty()) {
        files->push_back("-");
    }
    for (const char* input : inputs) {
        if (is_folder(input)) {
            if (const int status = list_folder(input, from_ms, to_ms, files, days_not_read);
                status != 0) {
                return status;
            }
        } else {
            // Of several files, each is opened once before any is read: a name that
            // cannot be read ends the report before it says anything of the others. (One
            // alone is not: opening a pipe by its name may be all the pipe allows.)
            char reason[160] = "";
            log_input probe{};
            if (inputs.size() > 1 && strcmp(input, "-") != 0) {
                if (!open_log(input, &probe, reason, sizeof reason)) {
                    complain_cannot_read(input, reason);
                    return 1;
                }
                close_log(&probe);
            }
            files->push_back(input);
        }
    }
    return 0;
}

std::string inputs_name(const std::vector<const char*>& inputs) {
    if (inputs.empty() || (inputs.size() == 1 && std::string_view(inputs[0]) == "-")) {
        return "standard input";
    }
    std::string name = inputs[0];
    if (name == "-") {
        name = "standard input";
    }
    if (inputs.size() > 1) {
        name += " and " + std::to_string(inputs.size() - 1) + " more";
    }
    return name;
}

bool several_inputs(const std::vector<const char*>& inputs) {
    return inputs.size() > 1 ||
           (inputs.size() == 1 && strcmp(inputs[0], "-") != 0 && is_folder(inputs[0]));
}
