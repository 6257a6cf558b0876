// The causes of a stall: the table of rules on figures given by hand, and the reader of
// /proc on recorded folders (steal time, pressure and a suspend cannot be made on demand).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "report/causes/cause_file.h"
#include "report/causes/cause_rules.h"
#include "report/causes/cause_watch.h"

namespace {

constexpr int64_t ms = 1'000'000;

cause_figures linux_figures() {
    cause_figures f{};
    f.have = have_run_delay | have_steal | have_cpu_steal | have_psi | have_faults | have_switches |
             have_suspend | have_watch | have_state | have_monitor_cpu;
    f.span_ns = 2000 * ms;
    f.watch_gap_ns = 101 * ms;
    return f;
}

TEST(CauseRules, EachKindAndTheBordersBetweenThem) {
    struct {
        const char* what;
        void (*set)(cause_figures*);
        int64_t gap_ns;
        bool step_only;
        cause_kind kind;
    } cases[] = {
        {"nothing accounts for a short gap", [](cause_figures*) {}, 20 * ms, false,
         cause_kind::unexplained},
        {"run delay beyond the usual covers the gap",
         [](cause_figures* f) { f->wait_excess_ns = 20 * ms; }, 20 * ms, false,
         cause_kind::cpu_contention},
        {"run delay just short of it", [](cause_figures* f) { f->wait_excess_ns = 20 * ms - 1; },
         20 * ms, false, cause_kind::unexplained},
        {"the usual waits alone name nothing", [](cause_figures* f) { f->run_delay_ns = 30 * ms; },
         20 * ms, false, cause_kind::unexplained},
        {"steal on its CPU", [](cause_figures* f) { f->cpu_steal_ns = 10 * ms; }, 20 * ms, false,
         cause_kind::hypervisor},
        {"steal elsewhere, not on its CPU", [](cause_figures* f) { f->steal_ns = 40 * ms; },
         20 * ms, false, cause_kind::unexplained},
        {"machine steal when its CPU is not known",
         [](cause_figures* f) {
             f->have &= ~have_cpu_steal;
             f->steal_ns = 10 * ms;
         },
         20 * ms, false, cause_kind::hypervisor},
        {"a major fault", [](cause_figures* f) { f->major_faults = 1; }, 20 * ms, false,
         cause_kind::memory},
        {"all tasks stalled on memory", [](cause_figures* f) { f->psi_memory_full_us = 10'000; },
         20 * ms, false, cause_kind::memory},
        {"some memory pressure only", [](cause_figures* f) { f->psi_memory_some_us = 20'000; },
         20 * ms, false, cause_kind::unexplained},
        {"seen stopped, whatever else",
         [](cause_figures* f) {
             f->stopped = true;
             f->wait_excess_ns = 100 * ms;
         },
         20 * ms, false, cause_kind::stopped},
        {"the watch ran through a long gap", [](cause_figures*) {}, 500 * ms, false,
         cause_kind::stopped},
        {"the clock set forward while all ran",
         [](cause_figures* f) {
             f->have |= have_clock;
             f->clock_set_ns = 30'000 * ms;
         },
         30'000 * ms, false, cause_kind::unexplained},
        {"a small step forward is no stop",
         [](cause_figures* f) {
             f->have |= have_clock;
             f->clock_set_ns = 300 * ms;
         },
         301 * ms, false, cause_kind::unexplained},
        {"a step alone on a system without figures",
         [](cause_figures* f) {
             f->have = have_clock | have_watch;
             f->clock_set_ns = 6'000 * ms;
         },
         6'000 * ms, false, cause_kind::unexplained},
        {"a monitor stopped while the clock was set",
         [](cause_figures* f) {
             f->have |= have_clock;
             f->clock_set_ns = 6'000 * ms;
             f->stopped = true;
         },
         6'000 * ms, false, cause_kind::stopped},
        {"the watch was held as long", [](cause_figures* f) { f->watch_gap_ns = 490 * ms; },
         500 * ms, false, cause_kind::unexplained},
        {"suspended through most of it", [](cause_figures* f) { f->suspended_ns = 30'000 * ms; },
         31'000 * ms, false, cause_kind::suspended},
        {"a step back after a suspend", [](cause_figures* f) { f->suspended_ns = 5'000 * ms; }, 0,
         true, cause_kind::suspended},
        {"a step back with nothing else", [](cause_figures* f) { f->wait_excess_ns = 100 * ms; }, 0,
         true, cause_kind::unexplained},
        {"interrupts on Windows",
         [](cause_figures* f) {
             f->have = have_interrupts | have_suspend | have_watch;
             f->interrupt_ns = 15 * ms;
         },
         20 * ms, false, cause_kind::interrupts},
        {"without run delay the watch's witness names nothing",
         [](cause_figures* f) { f->have = have_suspend | have_watch; }, 500 * ms, false,
         cause_kind::unexplained},
        {"a figure not taken is not read",
         [](cause_figures* f) {
             f->have &= ~(have_run_delay | have_faults);
             f->wait_excess_ns = 100 * ms;
             f->major_faults = 3;
         },
         20 * ms, false, cause_kind::unexplained},
        {"the watch's own figures alone",
         [](cause_figures* f) { f->have = have_watch | have_monitor_cpu; }, 500 * ms, false,
         cause_kind::unknown},
        {"no figures", [](cause_figures* f) { *f = cause_figures{}; }, 20 * ms, false,
         cause_kind::unknown},
        {"an extreme gap",
         [](cause_figures* f) {
             f->span_ns = INT64_MAX;
             f->wait_excess_ns = INT64_MAX;
         },
         INT64_MAX, false, cause_kind::cpu_contention},
    };
    for (const auto& c : cases) {
        cause_figures f = linux_figures();
        c.set(&f);
        EXPECT_EQ(cause_name(name_cause(f, c.gap_ns, c.step_only)), std::string(cause_name(c.kind)))
            << c.what;
    }
}

// A folder in /proc's layout, written from a table of file contents.
struct recorded_proc {
    std::filesystem::path root;
    explicit recorded_proc(const std::map<std::string, std::string>& files) {
        root = std::filesystem::temp_directory_path() /
               ("clockgap-proc-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::remove_all(root);
        for (const auto& [name, text] : files) {
            std::filesystem::create_directories((root / name).parent_path());
            std::ofstream(root / name) << text;
        }
    }
    ~recorded_proc() { std::filesystem::remove_all(root); }
};

std::map<std::string, std::string> calm_proc() {
    return {
        {"stat",
         "cpu  100 0 50 1000 0 0 2 7 0 0\ncpu0 50 0 25 500 0 0 1 3 0 0\n"
         "cpu1 50 0 25 500 0 0 1 4 0 0\nintr 12345 0 0\n"},
        {"pressure/cpu",
         "some avg10=0.00 avg60=0.00 avg300=0.00 total=1000\n"
         "full avg10=0.00 avg60=0.00 avg300=0.00 total=0\n"},
        {"pressure/memory",
         "some avg10=0.00 avg60=0.00 avg300=0.00 total=200\n"
         "full avg10=0.00 avg60=0.00 avg300=0.00 total=100\n"},
        {"pressure/io",
         "some avg10=0.00 avg60=0.00 avg300=0.00 total=300\n"
         "full avg10=0.00 avg60=0.00 avg300=0.00 total=30\n"},
        {"4242/task/4242/stat",
         "4242 (clock gap) S 1 4242 1 0 -1 4194304 97 0 5 0 0 0 0 0 20 0 1 0 2151915 3133440 356 "
         "18446744073709551615 1 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 1 1 1 1 1 1 1 0\n"},
        {"4242/task/4242/schedstat", "500000000 6000000 1000\n"},
        {"4242/task/4242/status",
         "Name:\tclockgap\nvoluntary_ctxt_switches:\t900\n"
         "nonvoluntary_ctxt_switches:\t2\n"},
    };
}

cause_sample read_sample(const std::filesystem::path& root, int64_t at_ns, int64_t suspended_ns) {
    static char buffer[65536];
    proc_reader r{nullptr, 10 * ms, 4242, {4242}, 1, buffer, sizeof buffer};
    const std::string folder = root.string();
    r.root = folder.c_str();
    auto s = std::make_unique<cause_sample>();
    s->at_ns = at_ns;
    s->proc.have = 0;
    read_steal(&r, &s->proc);
    read_pressure(&r, &s->proc);
    read_threads(&r, &s->proc);
    s->os = os_counters{have_suspend, suspended_ns, 0, {}, 0};
    return *s;
}

TEST(CauseFigures, RecordedProcFoldersNameWhatCannotBeMadeOnDemand) {
    struct {
        const char* what;
        std::map<std::string, std::string> later;  // files that change, second folder
        int64_t suspended_ns;                      // of the second sample
        int64_t gap_ns;
        cause_kind kind;
        const char* figure;
        int64_t value;
    } cases[] = {
        {"steal on the monitor's CPU",
         {{"stat",
           "cpu  100 0 50 1000 0 0 2 10 0 0\ncpu0 50 0 25 500 0 0 1 3 0 0\n"
           "cpu1 50 0 25 500 0 0 1 7 0 0\n"}},
         0,
         40 * ms,
         cause_kind::hypervisor,
         "cpu_steal_ns",
         30 * ms},
        {"all tasks stalled on memory",
         {{"pressure/memory",
           "some avg10=1.00 avg60=0.00 avg300=0.00 total=40200\n"
           "full avg10=1.00 avg60=0.00 avg300=0.00 total=30100\n"}},
         0,
         40 * ms,
         cause_kind::memory,
         "psi_memory_full_us",
         30'000},
        {"major faults",
         {{"4242/task/4242/stat",
           "4242 (clock gap) S 1 4242 1 0 -1 4194304 97 0 9 0 0 0 0 0 20 0 1 0 2151915 3133440 "
           "356 18446744073709551615 1 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 1 1 1 1 1 1 1 0\n"}},
         0,
         40 * ms,
         cause_kind::memory,
         "major_faults",
         4},
        {"waiting for its CPU",
         {{"4242/task/4242/schedstat", "510000000 47000000 1010\n"}},
         0,
         40 * ms,
         cause_kind::cpu_contention,
         "run_delay_ns",
         41 * ms},
        {"stopped by a signal",
         {{"4242/task/4242/stat",
           "4242 (clock gap) T 1 4242 1 0 -1 4194304 97 0 5 0 0 0 0 0 20 0 1 0 2151915 3133440 "
           "356 18446744073709551615 1 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 1 1 1 1 1 1 1 0\n"}},
         0,
         40 * ms,
         cause_kind::stopped,
         "stopped",
         1},
        {"the machine slept",
         {},
         29'000 * ms,
         30'000 * ms,
         cause_kind::suspended,
         "suspended_ns",
         29'000 * ms},
        {"a kernel without pressure files",
         {{"pressure/io", ""}},
         0,
         40 * ms,
         cause_kind::unexplained,
         "psi_io_some_us",
         -1},
    };
    for (const auto& c : cases) {
        const recorded_proc before(calm_proc());
        std::map<std::string, std::string> files = calm_proc();
        for (const auto& [name, text] : c.later) {
            files[name] = text;
        }
        const recorded_proc after(files);
        const cause_sample a = read_sample(before.root, 0, 0);
        const cause_sample b = read_sample(after.root, 1000 * ms, c.suspended_ns);
        const cause_figures f = counters_between(a, b, 5000);
        EXPECT_EQ(cause_name(name_cause(f, c.gap_ns, false)), std::string(cause_name(c.kind)))
            << c.what;
        cause_figure_value figures[max_cause_figures];
        const int n = list_cause_figures(f, figures);
        int64_t value = -1;
        for (int i = 0; i < n; ++i) {
            if (std::string(figures[i].key) == c.figure) {
                value = figures[i].value;
            }
        }
        EXPECT_EQ(value, c.value) << c.what;
    }
}

TEST(CauseFigures, AThreadThatHasEndedLeavesItsFiguresOut) {
    const recorded_proc root(
        std::map<std::string, std::string>{{"stat", "cpu  1 2 3 4 5 6 7 8\n"}});
    char buffer[4096];
    const std::string folder = root.root.string();
    proc_reader r{folder.c_str(), 10 * ms, 4242, {4242}, 1, buffer, sizeof buffer};
    auto c = std::make_unique<proc_counters>();
    read_threads(&r, c.get());
    read_steal(&r, c.get());
    EXPECT_TRUE(c->gone);
    EXPECT_EQ(c->have, have_steal);
    EXPECT_EQ(c->steal_ns, 80 * ms);
}

TEST(CauseFile, ACauseKeptBesideADayFileIsFoundByItsRowAlone) {
    const auto folder = std::filesystem::temp_directory_path() / "clockgap-causes-test";
    std::filesystem::create_directories(folder);
    const std::string day = (folder / "run-2026-12-08.log").string();
    FILE* file = fopen(causes_path((day + ".gz").c_str()).c_str(), "w");
    ASSERT_NE(file, nullptr);
    cause_figures f = linux_figures();
    f.run_delay_ns = 17 * ms;
    write_cause_line(file, 1796601601000, 18 * ms, cause_kind::cpu_contention, f);
    write_cause_line(file, 1796601600000, 12 * ms, cause_kind::stopped, f);
    fputs("not a cause line\n", file);
    fclose(file);
    cause_book book;
    load_causes((day + ".gz").c_str(), &book);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(book.entries.size(), 2u);
    EXPECT_EQ(find_cause(&book, 1796601601000, 18 * ms), cause_kind::cpu_contention);
    EXPECT_EQ(find_cause(&book, 1796601600000, 12 * ms), cause_kind::stopped);
    EXPECT_EQ(find_cause(&book, 1796601600000, 13 * ms), cause_kind::unknown);
    EXPECT_EQ(find_cause(&book, 1796601602000, 18 * ms), cause_kind::unknown);
}

}  // namespace
