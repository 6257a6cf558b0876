#include "report/fleet/fleet.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "report/fleet/fleet_page.h"
#include "report/fleet/host_names.h"
#include "report/fleet/shared_moments.h"
#include "report/fold/fleet_host.h"
#include "report/input/input_list.h"
#include "report/input/log_facts.h"
#include "report/os/files.h"
#include "report/os/input.h"
#include "report/os/signals.h"
#include "report/pipeline/pipeline.h"
#include "report/util/complain.h"
#include "report/util/json_writer.h"
#include "report/util/natural_order.h"
#include "report/util/report_time.h"
#include "report/util/text_out.h"

namespace fs = std::filesystem;

namespace {

// A host's name: its folder's, or its file's without the date and the extensions.
std::string host_name(const fs::path& path, bool folder) {
    std::string name =
        (folder ? path.lexically_normal().parent_path().filename() : path.filename()).string();
    if (folder && name.empty()) {
        name = path.filename().string();
    }
    if (folder) {
        return name;
    }
    for (const std::string_view ending : {".gz", ".log", ".txt", ".csv"}) {
        if (name.size() > ending.size() && name.ends_with(ending)) {
            name = name.substr(0, name.size() - ending.size());
        }
    }
    // "-2026-12-01" or "_2026-12-01" at the end.
    if (name.size() > 11) {
        const std::string date = name.substr(name.size() - 10);
        const bool is_date =
            std::all_of(date.begin(), date.end(),
                        [](char c) { return (c >= '0' && c <= '9') || c == '-'; }) &&
            date[4] == '-' && date[7] == '-';
        const char before = name[name.size() - 11];
        if (is_date && (before == '-' || before == '_' || before == '.')) {
            name = name.substr(0, name.size() - 11);
        }
    }
    return name;
}

// The hosts the inputs stand for. A folder without folders is a host, and so is one that
// holds day files (a clockgap log whose name holds a date): the folders in it are passed
// over with a word. Any other folder stands for each folder in it and each clockgap log
// beside them, a host each; a file beside them that is not a log is passed over with a
// word.
std::vector<std::unique_ptr<fleet_host>> find_hosts(const std::vector<const char*>& inputs) {
    std::vector<std::unique_ptr<fleet_host>> hosts;
    const auto add = [&](const fs::path& path, bool folder) {
        auto h = std::make_unique<fleet_host>();
        h->name = host_name(folder ? path / "" : path, folder);
        h->inputs.push_back(path.string());
        hosts.push_back(std::move(h));
    };
    for (const char* input : inputs) {
        const fs::path path(input);
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            add(path, false);
            continue;
        }
        std::vector<fs::path> folders, files;
        for (fs::directory_iterator it(path, error); !error && it != fs::directory_iterator();
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (it->is_directory(error) && !name.starts_with(".")) {
                folders.push_back(it->path());
            } else if (it->is_regular_file(error) && !writers_own(name)) {
                files.push_back(it->path());
            }
        }
        std::sort(folders.begin(), folders.end());
        std::sort(files.begin(), files.end());
        const char* why = "";
        const bool day_files = std::any_of(files.begin(), files.end(), [&](const fs::path& f) {
            return names_a_day(f.filename().string()) && is_clockgap_log(f.string(), &why);
        });
        if (folders.empty() || day_files) {
            add(path, true);  // an empty folder: named, and said not to be readable
            for (const fs::path& sub : folders) {
                complain("passed over %s: a folder in the host folder %s", sub.string().c_str(),
                         input);
            }
            continue;
        }
        for (const fs::path& sub : folders) {
            add(sub, true);
        }
        for (const fs::path& file : files) {
            if (is_clockgap_log(file.string(), &why)) {
                add(file, false);
            } else {
                complain("passed over %s: %s", file.string().c_str(), why);
            }
        }
    }
    // Two inputs with one name are kept apart: the second gets a number.
    for (size_t i = 0; i < hosts.size(); ++i) {
        int same = 1;
        size_t first = i;
        for (size_t j = 0; j < i; ++j) {
            if (hosts[j]->name == hosts[i]->name ||
                hosts[j]->name.starts_with(hosts[i]->name + "#")) {
                ++same;
                first = std::min(first, j);
            }
        }
        if (same > 1) {
            const std::string was = hosts[i]->name;
            hosts[i]->name += "#" + std::to_string(same);
            complain("two hosts are named %s (%s and %s); the second is called %s", was.c_str(),
                     hosts[first]->inputs[0].c_str(), hosts[i]->inputs[0].c_str(),
                     hosts[i]->name.c_str());
        }
    }
    return hosts;
}

// Reads each host with the report's own pipeline, as many at once as there are CPUs.
void read_hosts(const report_options& o, std::vector<std::unique_ptr<fleet_host>>* hosts) {
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t i = next++; i < hosts->size(); i = next++) {
            fleet_host* h = (*hosts)[i].get();
            if (stop_signal() != 0) {
                continue;  // Ctrl-C or SIGTERM: the hosts after it are not begun
            }
            h->started = true;
            report_options one = o;
            one.fleet = false;
            one.html_path = nullptr;
            one.kind = output_kind::summary;
            one.inputs.clear();
            for (const std::string& input : h->inputs) {
                one.inputs.push_back(input.c_str());
            }
            h->read = run_pipeline(one, row_sink{nullptr, h}) == 0;
        }
    };
    const unsigned threads = std::max(
        1u, std::min(std::thread::hardware_concurrency(), static_cast<unsigned>(hosts->size())));
    std::vector<std::thread> workers;
    for (unsigned t = 1; t < threads; ++t) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& w : workers) {
        w.join();
    }
}

// Worst first: the most stall rows, then the largest gap, then the name as people read it.
bool worse(const fleet_host* a, const fleet_host* b) {
    if (a->stall_rows != b->stall_rows) {
        return a->stall_rows > b->stall_rows;
    }
    if (a->largest_gap_ns != b->largest_gap_ns) {
        return a->largest_gap_ns > b->largest_gap_ns;
    }
    return natural_less(a->name, b->name);
}

// How the whole read ended: cut by the signal that cut a host or kept one from being
// begun, else at the end of every input.
input_end fleet_ended(const std::vector<const fleet_host*>& hosts,
                      const std::vector<std::string>& not_started) {
    for (const fleet_host* h : hosts) {
        if (h->ended != input_end::end_of_input) {
            return h->ended;
        }
    }
    if (not_started.empty()) {
        return input_end::end_of_input;
    }
    return stop_signal() == SIGTERM ? input_end::sigterm : input_end::ctrl_c;
}

// After a Ctrl-C or SIGTERM: each host it cut and how far it was read, and those it kept
// from being read at all.
void print_interruption(text_out* out, const std::vector<const fleet_host*>& hosts,
                        const std::vector<std::string>& not_started) {
    const input_end ended = fleet_ended(hosts, not_started);
    if (ended == input_end::end_of_input) {
        return;
    }
    outf(out, "\nNote: the read was ended by %s; this is everything read before.",
         end_words(ended));
    const char* separator = "\n  cut short: ";
    for (const fleet_host* h : hosts) {
        if (h->ended != input_end::end_of_input) {
            char when[40];
            format_utc(h->last_ms, false, when, sizeof when);
            outf(out, "%s%s (read to %s UTC, %" PRIu64 " %s)", separator, h->name.c_str(),
                 h->rows > 0 ? when : "its start", h->rows, h->rows == 1 ? "row" : "rows");
            separator = ", ";
        }
    }
    separator = "\n  not read: ";
    for (const std::string& name : not_started) {
        outf(out, "%s%s", separator, name.c_str());
        separator = ", ";
    }
    outf(out, "\n");
}

// The hosts the text's table shows when --top is not given: every one of a fleet below
// most_listed, else the worst default_top (the JSON and the page have them all).
constexpr size_t most_listed = 50;
constexpr size_t default_top = 40;
// A moment of up to this many hosts names each; a larger one is folded (host_names.h).
constexpr size_t most_named = 10;

void print_text(FILE* file, const std::vector<const fleet_host*>& hosts, size_t named, size_t top,
                const std::vector<std::string>& not_started,
                const std::vector<shared_moment>& moments) {
    text_out out = to_file(file);
    uint64_t rows = 0;
    int64_t first = INT64_MAX, last = INT64_MIN;
    for (const fleet_host* h : hosts) {
        rows += h->rows;
        if (h->rows > 0) {
            first = std::min(first, h->first_ms);
            last = std::max(last, h->last_ms);
        }
    }
    char a[48], b[48];
    outf(&out, "Fleet: %zu %s read of %zu, %" PRIu64 " %s", hosts.size(),
         hosts.size() == 1 ? "host" : "hosts", named, rows, rows == 1 ? "row" : "rows");
    if (rows > 0) {
        format_utc(first, false, a, sizeof a);
        format_utc(last, false, b, sizeof b);
        outf(&out, " from %s to %s UTC", a, b);
    }
    outf(&out, "; %zu shared %s\n", moments.size(), moments.size() == 1 ? "moment" : "moments");
    print_interruption(&out, hosts, not_started);
    const size_t shown = std::min(hosts.size(), top > 0                      ? top
                                                : hosts.size() < most_listed ? hosts.size()
                                                                             : default_top);
    if (shown < hosts.size()) {
        outf(&out, "\nHosts, worst first (the %zu worst of %zu):\n", shown, hosts.size());
    } else {
        outf(&out, "\nHosts, worst first:\n");
    }
    outf(&out, "  %-20s %9s %5s %7s %12s  %-19s %5s %5s %5s  %s\n", "host", "rows", "runs",
         "stalls", "largest gap", "at (UTC)", "back", ">5s", "quiet", "chief cause");
    for (size_t i = 0; i < shown; ++i) {
        const fleet_host* h = hosts[i];
        format_duration(h->largest_gap_ns, a, sizeof a);
        format_utc(h->largest_gap_ms, false, b, sizeof b);
        b[19] = '\0';
        const char* chief = chief_cause(*h);
        outf(&out,
             "  %-20s %9" PRIu64 " %5d %7" PRIu64 " %12s  %-19s %5" PRIu64 " %5" PRIu64 " %5" PRIu64
             "  %s%s\n",
             h->name.c_str(), h->rows, h->runs, h->stall_rows, h->rows > 0 ? a : "-",
             h->rows > 0 ? b : "-", h->steps_back, h->gaps_above_5s, h->silences,
             chief != nullptr ? chief : "-",
             clock_stepped(*h) ? "  (its clock stepped: its times may be off)" : "");
    }
    if (shown < hosts.size()) {
        const size_t left = hosts.size() - shown;
        outf(&out,
             "  ... and %zu more %s, left out (--top %zu shows them all; --json lists them)\n",
             left, left == 1 ? "host" : "hosts", hosts.size());
    }
    if (hosts.size() < 2) {
        outf(&out, "\nNo shared moments: there is only one host to read.\n");
        return;
    }
    outf(&out, "\nShared moments%s\n", moments.empty() ? ": none" : ", in time order:");
    for (const shared_moment& m : moments) {
        format_utc(m.first_s * 1000, false, a, sizeof a);
        a[19] = '\0';
        format_utc(m.last_s * 1000, false, b, sizeof b);
        outf(&out, "  %s to %.8s  %-14s ", a, b + 11, fleet_kind_name(m.kind));
        if (m.hosts.size() > most_named) {
            outf(&out, "%s", moment_host_names(m, hosts, "...").c_str());
        } else {
            outf(&out, "%zu of %d hosts: ", m.hosts.size(), m.of);
            for (size_t i = 0; i < m.hosts.size(); ++i) {
                outf(&out, "%s%s", i == 0 ? "" : ", ",
                     hosts[static_cast<size_t>(m.hosts[i])]->name.c_str());
            }
        }
        outf(&out, "; largest %s", format_duration(m.largest_gap_ns, a, sizeof a));
        const char* separator = "; causes: ";
        for (int k = 0; k < cause_kinds; ++k) {
            if (m.causes[k] > 0) {
                outf(&out, "%s%s %" PRIu32, separator, cause_name(static_cast<cause_kind>(k)),
                     m.causes[k]);
                separator = ", ";
            }
        }
        outf(&out, "\n");
    }
}

// One host of the fleet's JSON.
void json_host(json_writer* w, const fleet_host& h) {
    json_open_object(w, nullptr);
    json_string(w, "name", h.name.c_str());
    json_uint(w, "rows", h.rows);
    json_int(w, "runs", h.runs);
    json_open_object(w, "stalls");
    json_uint(w, "rows", h.stall_rows);
    json_open_object(w, "causes");
    for (int k = 0; k < cause_kinds; ++k) {
        json_uint(w, cause_name(static_cast<cause_kind>(k)), h.causes[k]);
    }
    json_close(w);
    json_open_array(w, "culprits");
    for (int i = 0; i < h.culprit_count; ++i) {
        json_open_object(w, nullptr);
        json_string(w, "name", h.culprits[i].name);
        json_uint(w, "stall_rows", h.culprits[i].rows);
        json_string(w, "seen", seen_name(tally_seen(h.culprits[i])));
        json_close(w);
    }
    json_close(w);
    json_close(w);
    json_int(w, "largest_gap_ns", h.largest_gap_ns);
    if (h.rows > 0) {
        json_time(w, "largest_gap_time", h.largest_gap_ms);
    } else {
        json_null(w, "largest_gap_time");
    }
    json_uint(w, "clock_steps_back", h.steps_back);
    json_uint(w, "gaps_above_5s", h.gaps_above_5s);
    json_uint(w, "silences", h.silences);
    json_bool(w, "clock_stepped", clock_stepped(h));
    json_string(w, "ended_by", end_words(h.ended));
    if (h.rows > 0) {
        json_time(w, "read_to", h.last_ms);
    } else {
        json_null(w, "read_to");
    }
    json_close(w);
}

void print_json(FILE* file, const std::vector<const fleet_host*>& hosts,
                const std::vector<std::string>& unread, const std::vector<std::string>& not_started,
                const std::vector<shared_moment>& moments) {
    json_writer w = json_start(file, true);
    json_open_object(&w, nullptr);
    json_string(&w, "ended_by", end_words(fleet_ended(hosts, not_started)));
    json_open_array(&w, "hosts");
    for (const fleet_host* h : hosts) {
        json_host(&w, *h);
    }
    json_close(&w);
    json_open_array(&w, "not_read");
    for (const std::string& name : unread) {
        json_string(&w, nullptr, name.c_str());
    }
    json_close(&w);
    json_open_array(&w, "not_started");
    for (const std::string& name : not_started) {
        json_string(&w, nullptr, name.c_str());
    }
    json_close(&w);
    json_open_array(&w, "shared");
    for (const shared_moment& m : moments) {
        json_open_object(&w, nullptr);
        json_time(&w, "start", m.first_s * 1000);
        json_time(&w, "end", m.last_s * 1000 + 999);
        json_string(&w, "kind", fleet_kind_name(m.kind));
        json_int(&w, "count", static_cast<int64_t>(m.hosts.size()));
        json_int(&w, "of", m.of);
        json_open_array(&w, "hosts");
        for (int i : m.hosts) {
            json_string(&w, nullptr, hosts[static_cast<size_t>(i)]->name.c_str());
        }
        json_close(&w);
        json_int(&w, "largest_gap_ns", m.largest_gap_ns);
        json_open_object(&w, "causes");
        for (int k = 0; k < cause_kinds; ++k) {
            if (m.causes[k] > 0) {
                json_uint(&w, cause_name(static_cast<cause_kind>(k)), m.causes[k]);
            }
        }
        json_close(&w);
        json_close(&w);
    }
    json_close(&w);
    json_close(&w);
    fputc('\n', file);
}

}  // namespace

int run_fleet(const report_options& o) {
    if (o.html_path != nullptr) {
        char reason[160] = "";
        if (!file_name_writable(o.html_path, reason, sizeof reason)) {
            complain_cannot_write(o.html_path, reason);
            return 2;
        }
    }
    std::vector<std::unique_ptr<fleet_host>> all = find_hosts(o.inputs);
    ignore_broken_pipe();
    end_input_on_interrupt();
    read_hosts(o, &all);
    std::vector<const fleet_host*> hosts;
    std::vector<std::string> unread, not_started;
    for (const auto& h : all) {
        if (!h->started) {
            not_started.push_back(h->name);
        } else if (h->read) {
            hosts.push_back(h.get());
        } else {
            unread.push_back(h->name);
            complain("host %s (%s) could not be read; it is left out", h->name.c_str(),
                     h->inputs[0].c_str());
        }
    }
    std::sort(hosts.begin(), hosts.end(), worse);
    const std::vector<shared_moment> moments = find_shared_moments(hosts);
    if (o.kind == output_kind::json) {
        print_json(o.out, hosts, unread, not_started, moments);
    } else {
        print_text(o.out, hosts, all.size(), static_cast<size_t>(o.top_hosts), not_started,
                   moments);
    }
    if (fflush(o.out) != 0 || ferror(o.out)) {
        complain("standard output could not be written");
        return 1;
    }
    if (o.html_path != nullptr) {
        char reason[160] = "";
        if (!write_fleet_page(o.html_path, hosts, moments,
                              fleet_page_end{fleet_ended(hosts, not_started), not_started.size()},
                              reason, sizeof reason)) {
            complain_cannot_write(o.html_path, reason);
            return 1;
        }
        if (o.kind == output_kind::summary) {
            fprintf(o.out, "\nPage: %s\n", o.html_path);
        }
    }
    return unread.empty() ? 0 : 1;
}
