#include "report/outputs/day_keeper.h"
#include "report/causes/cause_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "report/os/files.h"
#include "report/os/input.h"
#include "report/os/processes.h"
#include "report/os/whole_file.h"
#include "report/util/complain.h"
#include "report/util/gzip_file.h"

namespace fs = std::filesystem;

namespace {

constexpr int retry_rows = 600;

// The characters a strftime field can put in a name: digits for the numeric fields,
// letters for the names of days and months, and for the others any of both and "+-:".
bool field_char(char field, char c) {
    const bool digit = c >= '0' && c <= '9';
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (strchr("CdgGHIjmMSuUVwWyYs", field) != nullptr) {
        return digit;
    }
    if (field == 'e') {
        return digit || c == ' ';
    }
    if (field == 'F' || field == 'D' || field == 'T' || field == 'R') {
        return digit || c == '-' || c == '/' || c == ':';
    }
    if (strchr("aAbBhpZ", field) != nullptr) {
        return letter;
    }
    return digit || letter || c == '+' || c == '-' || c == ':';
}

// Whether `name` matches `pattern` exactly, each field standing for one or more of its
// characters.
bool matches(const char* pattern, const char* name) {
    if (*pattern == '\0') {
        return *name == '\0';
    }
    if (pattern[0] == '%' && pattern[1] == '%') {
        return *name == '%' && matches(pattern + 2, name + 1);
    }
    if (pattern[0] == '%' && pattern[1] != '\0') {
        const char field = pattern[1] == 'E' || pattern[1] == 'O' ? pattern[2] : pattern[1];
        const char* rest = pattern + (pattern[1] == 'E' || pattern[1] == 'O' ? 3 : 2);
        for (const char* p = name; *p != '\0' && field_char(field, *p); ++p) {
            if (matches(rest, p + 1)) {
                return true;
            }
        }
        return false;
    }
    return *pattern == *name && matches(pattern + 1, name + 1);
}

}  // namespace

bool day_pattern_ok(const char* pattern) {
    const size_t start = file_name_start(pattern);
    return pattern != nullptr && strchr(pattern + start, '%') != nullptr &&
           std::string_view(pattern, start).find('%') == std::string_view::npos;
}

bool pattern_could_write(const char* pattern, const char* name) {
    const char* own = pattern + file_name_start(pattern);
    const size_t length = strlen(name);
    if (length > 3 && strcmp(name + length - 3, ".gz") == 0) {
        return matches(own, std::string(name, length - 3).c_str());
    }
    return matches(own, name);
}

// The keeper's state: what the watch's thread hands over under `lock`, and what only
// the keeper's thread touches.
struct day_keeper {
    std::string pattern, folder, order_path;
    int64_t keep_days;
    bool gzip;
    std::mutex lock;
    std::condition_variable wake;
    std::string current;               // the day file being written (its name in the folder)
    std::vector<std::string> started;  // days started since the last sweep, in order
    bool asked, closing;
    int rows;
    std::atomic<bool> retry;  // a sweep left something undone
    std::thread worker;
    // The keeper's thread only:
    std::vector<std::string> order;  // day names, least recently started first
    bool order_read;
    std::vector<std::string> said;  // files whose failure was said once
};

namespace {

struct day_entry {
    std::string name;  // without .gz
    bool plain, gz;
    fs::file_time_type written;
};

std::string path_of(const day_keeper* k, const std::string& name) {
    return k->folder + name;
}

// The days of the pattern in the folder.
std::vector<day_entry> list_days(const day_keeper* k) {
    std::vector<day_entry> days;
    std::error_code error;
    fs::directory_iterator it(k->folder.empty() ? fs::path(".") : fs::path(k->folder), error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!it->is_regular_file(error) || !pattern_could_write(k->pattern.c_str(), name.c_str())) {
            continue;
        }
        const bool gz = name.size() > 3 && name.ends_with(".gz");
        const std::string day = gz ? name.substr(0, name.size() - 3) : name;
        auto found = std::find_if(days.begin(), days.end(),
                                  [&](const day_entry& d) { return d.name == day; });
        if (found == days.end()) {
            days.push_back(day_entry{day, false, false, it->last_write_time(error)});
            found = days.end() - 1;
        }
        (gz ? found->gz : found->plain) = true;
    }
    return days;
}

// Says a failure once for each file, until it succeeds.
void fail_once(day_keeper* k, const std::string& path, const char* what, const char* reason) {
    k->retry = true;
    if (std::find(k->said.begin(), k->said.end(), path) == k->said.end()) {
        k->said.push_back(path);
        complain("cannot %s %s (%s); trying again later", what, path.c_str(), reason);
    }
}

void succeeded(day_keeper* k, const std::string& path, const char* what) {
    const auto found = std::find(k->said.begin(), k->said.end(), path);
    if (found != k->said.end()) {
        k->said.erase(found);
        tell("%s %s now", what, path.c_str());
    }
}

// Removes the day file `name` (plain, or with .gz) unless it has become the day being
// written. The watch starts a day only under the lock, so nothing written is lost.
void remove_day_file(day_keeper* k, const std::string& day, const std::string& file) {
    const std::lock_guard<std::mutex> held(k->lock);
    if (day == k->current) {
        return;
    }
    if (remove(path_of(k, file).c_str()) != 0 && errno != ENOENT) {
        fail_once(k, path_of(k, file), "remove", strerror(errno));
    }
}

// A file moved whole into the folder is not kept for sure until the folder is flushed:
// until then the day it was made from stays. Said once, as a warning of durability, not
// a failed write; tried again at the next sweep, without writing the file again.
bool folder_flushed(day_keeper* k, const std::string& made, int error) {
    const std::string folder = k->folder.empty() ? std::string(".") : k->folder;
    if (error == 0) {
        succeeded(k, folder, "flushed the folder");
        return true;
    }
    k->retry = true;
    if (std::find(k->said.begin(), k->said.end(), folder) == k->said.end()) {
        k->said.push_back(folder);
        complain(
            "%s is whole, but the folder %s could not be flushed to disk (%s): a power cut "
            "may lose it; its day stays until the folder is flushed, tried again later",
            made.c_str(), folder.c_str(), strerror(error));
    }
    return false;
}

void compress_day(day_keeper* k, const day_entry& day) {
    const std::string plain = path_of(k, day.name);
    const std::string gz = plain + ".gz";
    if (day.gz && gzip_ends_with(gz.c_str(), plain.c_str())) {
        // Compressed before; only this was left, or the folder's flush failed.
        if (folder_flushed(k, gz, sync_folder_of(gz.c_str()) ? 0 : errno)) {
            remove_day_file(k, day.name, day.name);
        }
        return;
    }
    whole_file w{};
    char reason[200] = "";
    // The day reaches the disk before anything is made of it, its .gz before its move,
    // and the move before the day is removed: a power cut leaves one of them whole.
    if (!sync_path(plain.c_str())) {
        fail_once(k, plain, "flush to disk", strerror(errno));
        return;
    }
    if (!gzip_into(plain.c_str(), gz.c_str(), &w, reason, sizeof reason)) {
        fail_once(k, gz, "write", reason);
        return;
    }
    const std::lock_guard<std::mutex> held(k->lock);
    if (day.name == k->current) {
        abandon_whole_file(&w);  // a clock step made it the day being written again
        return;
    }
    if (!commit_whole_file(&w, reason, sizeof reason)) {
        fail_once(k, gz, "write", reason);
        return;
    }
    succeeded(k, gz, "wrote");
    if (!folder_flushed(k, gz, w.folder_error)) {
        return;
    }
    if (remove(plain.c_str()) != 0) {
        fail_once(k, plain, "remove", strerror(errno));
    }
}

void read_order(day_keeper* k) {
    k->order_read = true;
    FILE* f = open_file(k->order_path.c_str(), "rb");
    if (f == nullptr) {
        return;
    }
    char line[4200];
    while (fgets(line, sizeof line, f) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (pattern_could_write(k->pattern.c_str(), line)) {
            k->order.push_back(line);
        }
    }
    fclose(f);
}

void write_order(day_keeper* k) {
    whole_file w{};
    char reason[200] = "";
    bool ok = begin_whole_file(&w, k->order_path.c_str(), true, reason, sizeof reason);
    for (size_t i = 0; ok && i < k->order.size(); ++i) {
        fprintf(w.file, "%s\n", k->order[i].c_str());
    }
    ok = ok && commit_whole_file(&w, reason, sizeof reason);
    if (!ok) {
        fail_once(k, k->order_path, "write", reason);
    } else {
        folder_flushed(k, k->order_path, w.folder_error);
    }
}

// The days in the order they were last started: those the order file does not know
// (written before it, by their time of writing), then the known ones.
std::vector<std::string> days_in_order(const day_keeper* k, std::vector<day_entry> days) {
    std::vector<std::string> known;
    for (const std::string& name : k->order) {
        const bool there = std::any_of(days.begin(), days.end(),
                                       [&](const day_entry& d) { return d.name == name; });
        if (there) {
            known.push_back(name);
        }
    }
    std::erase_if(days, [&](const day_entry& d) {
        return std::find(known.begin(), known.end(), d.name) != known.end();
    });
    std::sort(days.begin(), days.end(), [](const day_entry& a, const day_entry& b) {
        return a.written != b.written ? a.written < b.written : a.name < b.name;
    });
    std::vector<std::string> order;
    for (const day_entry& d : days) {
        order.push_back(d.name);
    }
    order.insert(order.end(), known.begin(), known.end());
    return order;
}

// Takes the days the watch has started since into the order, and returns the day being
// written. Every day file listed before this call is then in the order: the watch
// starts a day before it makes its file.
std::string take_started(day_keeper* k) {
    const std::lock_guard<std::mutex> held(k->lock);
    for (const std::string& day : k->started) {
        std::erase(k->order, day);
        k->order.push_back(day);
    }
    k->started.clear();
    return k->current;
}

// The order to keep after a sweep: the days it kept that the order did not know (files
// from before it, which come first), then the days the order knows, less those removed.
// A day the listing did not show is forgotten only when it is older than every day the
// listing showed: a day started during the sweep may have been made after the listing,
// and it keeps its place until the next sweep sees it.
void remember_order(day_keeper* k, const std::vector<std::string>& kept,
                    const std::vector<std::string>& removed, const std::vector<day_entry>& days) {
    const auto listed = [&](const std::string& name) {
        return std::any_of(days.begin(), days.end(),
                           [&](const day_entry& d) { return d.name == name; });
    };
    const auto in = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    std::vector<std::string> known = k->order;
    std::erase_if(known, [&](const std::string& name) { return in(removed, name); });
    while (!known.empty() && !listed(known.front()) && known.front() != k->order.back()) {
        known.erase(known.begin());
    }
    std::vector<std::string> order;
    for (const std::string& name : kept) {
        if (!in(k->order, name)) {
            order.push_back(name);
        }
    }
    order.insert(order.end(), known.begin(), known.end());
    k->order = order;
}

// Removes the parts (NAME.part-PID) of the pattern's .gz files and of the order file
// that a process left when it was killed while writing them: its process has ended, or
// the part is more than a day old. The part of a process that runs is never touched.
void clear_litter(day_keeper* k) {
    const std::string order_name = k->order_path.substr(k->folder.size());
    std::error_code error;
    fs::directory_iterator it(k->folder.empty() ? fs::path(".") : fs::path(k->folder), error);
    const auto now = fs::file_time_type::clock::now();
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        const size_t at = name.rfind(".part-");
        if (at == std::string::npos || !it->is_regular_file(error)) {
            continue;
        }
        const std::string whole = name.substr(0, at);
        char* end = nullptr;
        const long pid = strtol(name.c_str() + at + 6, &end, 10);
        const bool ours =
            (whole.ends_with(".gz") && pattern_could_write(k->pattern.c_str(), whole.c_str())) ||
            whole == order_name;
        if (!ours || *end != '\0' || pid <= 0 || pid == process_id()) {
            continue;
        }
        const bool old = now - it->last_write_time(error) > std::chrono::hours(24);
        if (process_running(pid) && !old) {
            continue;
        }
        const std::string path = path_of(k, name);
        if (remove(path.c_str()) == 0) {
            tell("removed %s, left by a %s that did not finish (%s)", path.c_str(),
                 whole == order_name ? "write" : "compression",
                 old ? "it is more than a day old" : "its process has ended");
        } else if (errno != ENOENT) {
            fail_once(k, path, "remove", strerror(errno));
        }
    }
}

// Compresses the finished days and removes the days beyond the newest keep_days.
void sweep(day_keeper* k) {
    if (!k->order_read) {
        read_order(k);
    }
    clear_litter(k);
    std::string current = take_started(k);
    k->retry = false;
    if (k->gzip) {
        for (const day_entry& day : list_days(k)) {
            if (day.plain && day.name != current) {
                compress_day(k, day);
            }
        }
    }
    const std::vector<day_entry> days = list_days(k);
    current = take_started(k);
    std::vector<std::string> order = days_in_order(k, days);
    std::erase(order, current);  // the newest, even before its file is made
    order.push_back(current);
    const size_t keep = k->keep_days > 0 ? static_cast<size_t>(k->keep_days) : order.size();
    std::vector<std::string> removed;
    while (order.size() > keep) {
        const std::string day = order.front();
        order.erase(order.begin());
        if (day != current) {
            remove_day_file(k, day, day);
            remove_day_file(k, day, day + ".gz");
            remove_day_file(k, day, day + causes_suffix);
            removed.push_back(day);
        }
    }
    remember_order(k, order, removed, days);
    write_order(k);
}

// Sweeps when asked; once the watch closes, it ends after the sweep it was asked for, and
// one more if a sweep left something undone (a day kept for a folder flush that failed
// while a later one succeeded), so that the days are as --keep and --gzip say when the
// watch has ended.
void run_keeper(day_keeper* k) {
    std::unique_lock<std::mutex> held(k->lock);
    bool retried_at_close = false;
    for (;;) {
        k->wake.wait(held, [k] { return k->asked || k->closing; });
        if (!k->asked && k->retry && !retried_at_close) {
            retried_at_close = true;
            k->asked = true;
        }
        if (!k->asked) {
            return;
        }
        k->asked = false;
        held.unlock();
        sweep(k);
        held.lock();
    }
}

}  // namespace

day_keeper_ptr start_day_keeper(const char* pattern, int64_t keep_days, bool gzip) {
    day_keeper_ptr k(new day_keeper{});
    k->pattern = pattern;
    const size_t start = file_name_start(pattern);
    k->folder.assign(pattern, start);
    k->order_path = k->folder + "." + (pattern + start) + ".order";
    k->keep_days = keep_days;
    k->gzip = gzip;
    k->worker = std::thread(run_keeper, k.get());
    return k;
}

void keeper_day_started(day_keeper* k, const char* path) {
    const std::lock_guard<std::mutex> held(k->lock);
    k->current = path + file_name_start(path);
    k->started.push_back(k->current);
    k->asked = true;
    k->rows = 0;
    k->wake.notify_one();
}

void keeper_row(day_keeper* k) {
    if (++k->rows < retry_rows) {
        return;
    }
    k->rows = 0;
    const std::lock_guard<std::mutex> held(k->lock);
    if (k->retry) {
        k->asked = true;
        k->wake.notify_one();
    }
}

void finish_day_keeper(day_keeper* k) {
    {
        const std::lock_guard<std::mutex> held(k->lock);
        k->closing = true;
        k->wake.notify_one();
    }
    if (k->worker.joinable()) {
        k->worker.join();
    }
}

void day_keeper_free::operator()(day_keeper* k) const {
    finish_day_keeper(k);
    delete k;
}
