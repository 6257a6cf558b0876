// The causes of a stall: the table of rules on figures given by hand, and the reader of
// /proc on recorded folders (steal time, pressure and a suspend cannot be made on demand).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "report/causes/cause_file.h"
#include "report/causes/cause_rules.h"
#include "report/causes/cause_watch.h"
#include "report/causes/culprits.h"

namespace {

constexpr int64_t ms = 1'000'000;

cause_figures linux_figures() {
    cause_figures f{};
    f.have = have_run_delay | have_steal | have_cpu_steal | have_psi | have_faults | have_switches |
             have_suspend | have_watch | have_state | have_monitor_cpu | have_throttle |
             have_limit | have_freezer | have_group_memory;
    f.span_ns = 2000 * ms;
    f.watch_gap_ns = 101 * ms;
    return f;
}

TEST(CauseRules, EachKindAndTheBordersBetweenThem) {
    struct {
        const char* what;
        void (*set)(cause_figures*);
        int64_t gap_ns;
        int64_t step_back_ns;  // 0: the row held something up
        cause_kind kind;
    } cases[] = {
        {"nothing accounts for a short gap", [](cause_figures*) {}, 20 * ms, 0,
         cause_kind::unexplained},
        {"run delay beyond the usual covers the gap",
         [](cause_figures* f) { f->wait_excess_ns = 20 * ms; }, 20 * ms, 0,
         cause_kind::cpu_contention},
        {"run delay just short of it", [](cause_figures* f) { f->wait_excess_ns = 20 * ms - 1; },
         20 * ms, 0, cause_kind::unexplained},
        {"the usual waits alone name nothing", [](cause_figures* f) { f->run_delay_ns = 30 * ms; },
         20 * ms, 0, cause_kind::unexplained},
        {"steal on its CPU", [](cause_figures* f) { f->cpu_steal_ns = 10 * ms; }, 20 * ms, 0,
         cause_kind::hypervisor},
        {"steal elsewhere, not on its CPU", [](cause_figures* f) { f->steal_ns = 40 * ms; },
         20 * ms, 0, cause_kind::unexplained},
        {"machine steal when its CPU is not known",
         [](cause_figures* f) {
             f->have &= ~have_cpu_steal;
             f->steal_ns = 10 * ms;
         },
         20 * ms, 0, cause_kind::hypervisor},
        {"a major fault is a count, not a time", [](cause_figures* f) { f->major_faults = 1; },
         20 * ms, 0, cause_kind::unexplained},
        {"all tasks stalled on memory", [](cause_figures* f) { f->psi_memory_full_us = 10'000; },
         20 * ms, 0, cause_kind::memory},
        {"its cgroup's tasks stalled on memory",
         [](cause_figures* f) { f->group_memory_full_us = 10'000; }, 20 * ms, 0,
         cause_kind::memory},
        {"its cgroup's memory pressure, short of half",
         [](cause_figures* f) { f->group_memory_full_us = 9'999; }, 20 * ms, 0,
         cause_kind::unexplained},
        {"its cgroup's limit held it through half the gap",
         [](cause_figures* f) {
             f->throttled_ns = 10 * ms;
             f->run_delay_ns = f->wait_excess_ns = 25 * ms;
         },
         20 * ms, 0, cause_kind::throttled},
        {"throttled, but the monitor did not wait",
         [](cause_figures* f) {
             f->throttled_ns = 30 * ms;
             f->run_delay_ns = 9 * ms;
         },
         20 * ms, 0, cause_kind::unexplained},
        {"the wait that throttling explains is not contention",
         [](cause_figures* f) {
             f->throttled_ns = 19 * ms;
             f->run_delay_ns = f->wait_excess_ns = 40 * ms;
         },
         40 * ms, 0, cause_kind::unexplained},
        {"a little throttling beside much waiting behind others",
         [](cause_figures* f) {
             f->throttled_ns = 9 * ms;
             f->run_delay_ns = f->wait_excess_ns = 40 * ms;
         },
         20 * ms, 0, cause_kind::cpu_contention},
        {"its cgroup seen frozen", [](cause_figures* f) { f->frozen = 1; }, 3'000 * ms, 0,
         cause_kind::frozen},
        {"stopped and frozen: the signal is named",
         [](cause_figures* f) {
             f->frozen = 1;
             f->stopped = 1;
         },
         3'000 * ms, 0, cause_kind::stopped},
        {"frozen, but no freezer was read",
         [](cause_figures* f) {
             f->have &= ~have_freezer;
             f->frozen = 1;
         },
         3'000 * ms, 0, cause_kind::stopped},
        {"a silence while the clock is behind the last row",
         [](cause_figures* f) {
             f->have |= have_clock | have_due;
             f->clock_set_ns = -3'000 * ms;
             f->row_due_ns = 900 * ms;
         },
         2'000 * ms, 0, cause_kind::clock_set},
        {"a silence once the next row was due",
         [](cause_figures* f) {
             f->have |= have_clock | have_due;
             f->clock_set_ns = -3'000 * ms;
             f->row_due_ns = -100 * ms;
         },
         4'000 * ms, 0, cause_kind::stopped},
        {"a step back the watch's clock took too",
         [](cause_figures* f) {
             f->have |= have_clock;
             f->clock_set_ns = -3'000 * ms;
         },
         0, 3'000 * ms, cause_kind::clock_set},
        {"a step back larger than the watch's clock took",
         [](cause_figures* f) {
             f->have |= have_clock;
             f->clock_set_ns = -1'000 * ms;
         },
         0, 3'000 * ms, cause_kind::unexplained},
        {"seen stopped, whatever else",
         [](cause_figures* f) {
             f->stopped = true;
             f->wait_excess_ns = 100 * ms;
         },
         20 * ms, 0, cause_kind::stopped},
        {"the watch ran through a long gap", [](cause_figures*) {}, 500 * ms, 0,
         cause_kind::stopped},
        {"the watch ran, but the monitor waited for a CPU through half of it",
         [](cause_figures* f) { f->run_delay_ns = 250 * ms; }, 500 * ms, 0,
         cause_kind::unexplained},
        {"the clock set forward while all ran",
         [](cause_figures* f) {
             f->have |= have_clock;
             f->clock_set_ns = 30'000 * ms;
         },
         30'000 * ms, 0, cause_kind::clock_set},
        {"a step forward of less than half the gap",
         [](cause_figures* f) {
             f->have |= have_clock;
             f->clock_set_ns = 140 * ms;
         },
         301 * ms, 0, cause_kind::stopped},
        {"a step alone on a system without figures",
         [](cause_figures* f) {
             f->have = have_clock | have_watch;
             f->clock_set_ns = 6'000 * ms;
         },
         6'000 * ms, 0, cause_kind::clock_set},
        {"a monitor stopped while the clock was set",
         [](cause_figures* f) {
             f->have |= have_clock;
             f->clock_set_ns = 6'000 * ms;
             f->stopped = true;
         },
         6'000 * ms, 0, cause_kind::stopped},
        {"the watch was held as long", [](cause_figures* f) { f->watch_gap_ns = 490 * ms; },
         500 * ms, 0, cause_kind::unexplained},
        {"suspended through most of it", [](cause_figures* f) { f->suspended_ns = 30'000 * ms; },
         31'000 * ms, 0, cause_kind::suspended},
        {"a step back after a suspend", [](cause_figures* f) { f->suspended_ns = 5'000 * ms; }, 0,
         3'000 * ms, cause_kind::suspended},
        {"a step back the watch's clock did not see",
         [](cause_figures* f) { f->wait_excess_ns = 100 * ms; }, 0, 3'000 * ms,
         cause_kind::unexplained},
        {"an interrupt storm on its CPU explains the wait, which is then not contention",
         [](cause_figures* f) {
             f->have |= have_interrupts | have_softirqs;
             f->run_delay_ns = f->wait_excess_ns = 1500 * ms;
             f->interrupt_ns = 1500 * ms;  // of the 2 s span: 1125 ms while it waited
         },
         1200 * ms, 0, cause_kind::interrupts},
        {"interrupts now and then beside much waiting behind others",
         [](cause_figures* f) {
             f->have |= have_interrupts | have_softirqs;
             f->run_delay_ns = f->wait_excess_ns = 80 * ms;
             f->interrupt_ns = 120 * ms;  // 4.8 ms of them while it waited
         },
         13 * ms, 0, cause_kind::cpu_contention},
        {"interrupts on Windows",
         [](cause_figures* f) {
             f->have = have_interrupts | have_suspend | have_watch;
             f->interrupt_ns = 15 * ms;
         },
         20 * ms, 0, cause_kind::interrupts},
        {"without run delay the watch's witness names nothing",
         [](cause_figures* f) { f->have = have_suspend | have_watch; }, 500 * ms, 0,
         cause_kind::unexplained},
        {"a figure not taken is not read",
         [](cause_figures* f) {
             f->have &= ~(have_run_delay | have_faults);
             f->wait_excess_ns = 100 * ms;
             f->major_faults = 3;
         },
         20 * ms, 0, cause_kind::unexplained},
        {"the watch's own figures alone",
         [](cause_figures* f) { f->have = have_watch | have_monitor_cpu; }, 500 * ms, 0,
         cause_kind::unknown},
        {"no figures", [](cause_figures* f) { *f = cause_figures{}; }, 20 * ms, 0,
         cause_kind::unknown},
        {"the watch's clocks a microsecond apart, without figures, and no step",
         [](cause_figures* f) {
             f->have = have_clock | have_watch | have_monitor_cpu;
             f->clock_set_ns = -1'000;
         },
         300 * ms, 0, cause_kind::unknown},
        {"an extreme gap",
         [](cause_figures* f) {
             f->span_ns = INT64_MAX;
             f->wait_excess_ns = INT64_MAX;
         },
         INT64_MAX, 0, cause_kind::cpu_contention},
    };
    for (const auto& c : cases) {
        cause_figures f = linux_figures();
        c.set(&f);
        EXPECT_EQ(cause_name(name_cause(f, c.gap_ns, c.step_back_ns)),
                  std::string(cause_name(c.kind)))
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

// /proc/softirqs of two CPUs, with CPU1's TIMER and NET_RX counts as given.
std::string softirqs(int timer, int net_rx) {
    return "                    CPU0       CPU1\n"
           "          HI:          0          0\n"
           "       TIMER:        100 " +
           std::to_string(timer) +
           "\n"
           "      NET_TX:          0          0\n"
           "      NET_RX:         10 " +
           std::to_string(net_rx) +
           "\n"
           "       BLOCK:          0          0\n"
           "    IRQ_POLL:          0          0\n"
           "     TASKLET:          0          0\n"
           "       SCHED:         50          60\n"
           "     HRTIMER:          0          0\n"
           "         RCU:         30          40\n";
}

std::map<std::string, std::string> calm_proc() {
    return {
        {"stat",
         "cpu  100 0 50 1000 0 0 2 7 0 0\ncpu0 50 0 25 500 0 0 1 3 0 0\n"
         "cpu1 50 0 25 500 0 0 1 4 0 0\nintr 12345 0 0\n"},
        {"softirqs", softirqs(200, 20)},
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
    read_cpu_times(&r, &s->proc);
    read_pressure(&r, &s->proc);
    read_threads(&r, &s->proc);
    read_softirqs(&r, &s->proc);
    s->os = os_counters{true, false, false, suspended_ns, 0, {}, 0};
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
         cause_kind::unexplained,
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
        {"hard and soft interrupts on the monitor's CPU (1) cover the gap",
         {{"stat",
           "cpu  100 0 50 1000 0 2 4 7 0 0\ncpu0 50 0 25 500 0 0 1 3 0 0\n"
           "cpu1 50 0 25 500 0 2 3 4 0 0\n"},
          {"softirqs", softirqs(250, 12020)}},
         0,
         40 * ms,
         cause_kind::interrupts,
         "interrupt_ns",
         40 * ms},
        {"the same interrupts, counted by kind",
         {{"stat",
           "cpu  100 0 50 1000 0 2 4 7 0 0\ncpu0 50 0 25 500 0 0 1 3 0 0\n"
           "cpu1 50 0 25 500 0 2 3 4 0 0\n"},
          {"softirqs", softirqs(250, 12020)}},
         0,
         40 * ms,
         cause_kind::interrupts,
         "softirq_net_rx",
         12000},
        {"interrupts on another CPU do not",
         {{"stat",
           "cpu  100 0 50 1000 0 4 5 7 0 0\ncpu0 50 0 25 500 0 4 5 3 0 0\n"
           "cpu1 50 0 25 500 0 0 1 4 0 0\n"}},
         0,
         40 * ms,
         cause_kind::unexplained,
         "interrupt_ns",
         0},
        {"a kernel without pressure files",
         {{"pressure/memory", ""}},
         0,
         40 * ms,
         cause_kind::unexplained,
         "psi_memory_full_us",
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
        EXPECT_EQ(cause_name(name_cause(f, c.gap_ns, 0)), std::string(cause_name(c.kind)))
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
    read_cpu_times(&r, c.get());
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
    culprit_list who{
        2,
        culprit_seen::switches,
        7,
        true,
        {{4242, 1912 * ms, "busy, loop %1", "/system.slice/batch job.service", 2, {4243, 4250}},
         {77, 400 * ms, "make", "", 0, {}}}};
    write_cause_line(file, 1796601601000, 18 * ms, cause_kind::cpu_contention, f, who);
    write_cause_line(file, 1796601600000, 12 * ms, cause_kind::stopped, f, culprit_list{});
    fputs("not a cause line\n", file);
    // As a watch before culprits wrote it.
    fputs("1796601603000 6000000 memory span_ns=2000000000 psi_io_some_us=5 major_faults=3\n",
          file);
    // As a watch before the switch records wrote it: processes sampled.
    fputs("1796601604000 20000000 cpu_contention span_ns=2000000000 culprit=9,990000000,sh,/\n",
          file);
    fclose(file);
    cause_book book;
    load_causes((day + ".gz").c_str(), &book);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(book.entries.size(), 4u);
    culprit_list found{};
    EXPECT_EQ(find_cause(&book, 1796601601000, 18 * ms, &found), cause_kind::cpu_contention);
    ASSERT_EQ(found.count, 2);
    EXPECT_EQ(found.seen, culprit_seen::switches);
    EXPECT_EQ(found.lost, 7u);
    EXPECT_TRUE(found.partial);
    EXPECT_EQ(found.top[0].pid, 4242);
    EXPECT_EQ(found.top[0].cpu_ns, 1912 * ms);
    EXPECT_STREQ(found.top[0].name, "busy, loop %1");
    EXPECT_STREQ(found.top[0].cgroup, "/system.slice/batch job.service");
    EXPECT_EQ(std::vector<long>(found.top[0].tids, found.top[0].tids + found.top[0].threads),
              (std::vector<long>{4243, 4250}));
    EXPECT_STREQ(found.top[1].name, "make");
    EXPECT_STREQ(found.top[1].cgroup, "");
    EXPECT_EQ(found.top[1].threads, 0);
    EXPECT_EQ(find_cause(&book, 1796601604000, 20 * ms, &found), cause_kind::cpu_contention);
    ASSERT_EQ(found.count, 1);
    EXPECT_EQ(found.seen, culprit_seen::sampled);
    EXPECT_STREQ(found.top[0].cgroup, "/");
    EXPECT_EQ(found.top[0].threads, 0);
    EXPECT_EQ(find_cause(&book, 1796601600000, 12 * ms, &found), cause_kind::stopped);
    EXPECT_EQ(found.count, 0);
    EXPECT_EQ(find_cause(&book, 1796601603000, 6 * ms, &found), cause_kind::memory);
    EXPECT_EQ(find_cause(&book, 1796601600000, 13 * ms, &found), cause_kind::unknown);
    EXPECT_EQ(find_cause(&book, 1796601602000, 18 * ms, &found), cause_kind::unknown);
}

// Two recorded machines' cgroups, before and after a span: where the groups are mounted,
// what the kernel counted, and what the figures and the rule make of it.
struct cgroup_case {
    const char* what;
    std::map<std::string, std::string> before, after;  // after: changed files only
    int64_t gap_ns;
    cause_kind kind;
    int64_t throttled_ns, limit_millicpus, frozen, group_memory_us;  // -1: not taken
    bool waited = true;  // the monitor waited for a CPU through the gap
};

std::map<std::string, std::string> v1_machine() {
    return {
        {"proc/4242/cgroup",
         "12:freezer:/batch/job\n4:cpu,cpuacct:/batch/job\n1:name=systemd:/batch/job\n0::/\n"},
        {"proc/self/mountinfo",
         "30 22 0:27 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
         "31 30 0:28 / /sys/fs/cgroup/cpu\\040acct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n"
         "32 30 0:29 / /sys/fs/cgroup/cpuset rw,relatime - cgroup cgroup rw,cpuset\n"
         "36 30 0:33 / /sys/fs/cgroup/freezer rw,relatime - cgroup cgroup rw,freezer\n"
         "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/cpu acct/cpu.stat", "nr_periods 0\nnr_throttled 0\nthrottled_time 0\n"},
        {"sys/fs/cgroup/cpu acct/batch/cpu.stat",
         "nr_periods 100\nnr_throttled 10\nthrottled_time 1000000\n"},
        {"sys/fs/cgroup/cpu acct/batch/cpu.cfs_quota_us", "50000\n"},
        {"sys/fs/cgroup/cpu acct/batch/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu acct/batch/job/cpu.stat",
         "nr_periods 100\nnr_throttled 0\nthrottled_time 0\n"},
        {"sys/fs/cgroup/cpu acct/batch/job/cpu.cfs_quota_us", "-1\n"},
        {"sys/fs/cgroup/cpu acct/batch/job/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/freezer/batch/freezer.state", "THAWED\n"},
        {"sys/fs/cgroup/freezer/batch/job/freezer.state", "THAWED\n"},
    };
}

std::map<std::string, std::string> v2_machine() {
    return {
        {"proc/4242/cgroup", "0::/system.slice/clock-gap.service\n"},
        {"proc/self/mountinfo",
         "25 30 0:22 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n"},
        {"sys/fs/cgroup/system.slice/cpu.stat", "usage_usec 5\nnr_throttled 0\nthrottled_usec 0\n"},
        {"sys/fs/cgroup/system.slice/cpu.max", "max 100000\n"},
        {"sys/fs/cgroup/system.slice/cgroup.events", "populated 1\nfrozen 0\n"},
        {"sys/fs/cgroup/system.slice/clock-gap.service/cpu.stat",
         "usage_usec 5\nnr_periods 7\nnr_throttled 2\nthrottled_usec 100\n"},
        {"sys/fs/cgroup/system.slice/clock-gap.service/cpu.max", "25000 100000\n"},
        {"sys/fs/cgroup/system.slice/clock-gap.service/cgroup.events", "populated 1\nfrozen 0\n"},
        {"sys/fs/cgroup/system.slice/clock-gap.service/memory.pressure",
         "some avg10=0.00 avg60=0.00 avg300=0.00 total=10\n"
         "full avg10=0.00 avg60=0.00 avg300=0.00 total=5\n"},
    };
}

void read_cgroup_sample(const recorded_proc& machine, cause_sample* s) {
    static char buffer[65536];
    const std::string root = machine.root.string();
    cgroup_place place;
    find_cgroups((root + "/proc").c_str(), root.c_str(), 4242, &place, buffer, sizeof buffer);
    read_cgroup_counters(&place, &s->cgroup, buffer, sizeof buffer);
}

TEST(CauseFigures, RecordedCgroupsNameALimitAFreezeAndTheirOwnPressure) {
    if (proc_folder() == nullptr) {
        GTEST_SKIP() << "no cgroups on this system: the watch never reads them here";
    }
    const auto with = [](std::map<std::string, std::string> files,
                         const std::map<std::string, std::string>& changes) {
        for (const auto& [name, text] : changes) {
            files[name] = text;
        }
        return files;
    };
    const cgroup_case cases[] = {
        {"v1: its parent's limit held it", v1_machine(),
         with(v1_machine(), {{"sys/fs/cgroup/cpu acct/batch/cpu.stat",
                              "nr_periods 110\nnr_throttled 19\nthrottled_time 481000000\n"}}),
         60 * ms, cause_kind::throttled, 480 * ms, 500, 0, -1},
        {"v1: a limit that did not hold it", v1_machine(), v1_machine(), 60 * ms,
         cause_kind::cpu_contention, 0, 0, 0, -1},
        {"v1: its parent frozen", v1_machine(),
         with(v1_machine(), {{"sys/fs/cgroup/freezer/batch/freezer.state", "FROZEN\n"}}), 3000 * ms,
         cause_kind::frozen, 0, 0, 1, -1},
        {"v1: its own group freezing", v1_machine(),
         with(v1_machine(), {{"sys/fs/cgroup/freezer/batch/job/freezer.state", "FREEZING\n"}}),
         3000 * ms, cause_kind::frozen, 0, 0, 1, -1},
        {"v2: its own limit, counted in cpu.stat.local too", v2_machine(),
         with(v2_machine(),
              {{"sys/fs/cgroup/system.slice/clock-gap.service/cpu.stat",
                "usage_usec 5\nnr_periods 17\nnr_throttled 12\nthrottled_usec 30100\n"},
               {"sys/fs/cgroup/system.slice/clock-gap.service/cpu.stat.local",
                "throttled_usec 40100\n"}}),
         60 * ms, cause_kind::throttled, 40 * ms, 250, 0, 0},
        {"v2: an ancestor frozen", v2_machine(),
         with(v2_machine(),
              {{"sys/fs/cgroup/system.slice/cgroup.events", "populated 1\nfrozen 1\n"}}),
         3000 * ms, cause_kind::frozen, 0, 250, 1, 0},
        {"v2: its tasks stalled on memory", v2_machine(),
         with(v2_machine(), {{"sys/fs/cgroup/system.slice/clock-gap.service/memory.pressure",
                              "some avg10=0.00 avg60=0.00 avg300=0.00 total=40010\n"
                              "full avg10=0.00 avg60=0.00 avg300=0.00 total=30005\n"}}),
         40 * ms, cause_kind::memory, 0, 250, 0, 30'000, false},
        {"a container: the hierarchy mounted from its own group",
         {{"proc/4242/cgroup", "0::/docker/abc/app\n"},
          {"proc/self/mountinfo",
           "25 30 0:22 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
          {"sys/fs/cgroup/cpu.stat", "nr_throttled 0\nthrottled_usec 0\n"},
          {"sys/fs/cgroup/app/cpu.stat", "nr_throttled 0\nthrottled_usec 0\n"},
          {"sys/fs/cgroup/app/cpu.max", "200000 100000\n"}},
         {{"proc/4242/cgroup", "0::/docker/abc/app\n"},
          {"proc/self/mountinfo",
           "25 30 0:22 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
          {"sys/fs/cgroup/cpu.stat", "nr_throttled 0\nthrottled_usec 0\n"},
          {"sys/fs/cgroup/app/cpu.stat", "nr_throttled 4\nthrottled_usec 50000\n"},
          {"sys/fs/cgroup/app/cpu.max", "200000 100000\n"}},
         60 * ms,
         cause_kind::throttled,
         50 * ms,
         2000,
         0,
         -1},
        {"no cgroups mounted",
         {{"proc/4242/cgroup", "0::/\n"}, {"proc/self/mountinfo", ""}},
         {{"proc/4242/cgroup", "0::/\n"}, {"proc/self/mountinfo", ""}},
         60 * ms,
         cause_kind::cpu_contention,
         -1,
         -1,
         -1,
         -1},
    };
    for (const auto& c : cases) {
        const recorded_proc before(c.before), after(c.after);
        auto a = std::make_unique<cause_sample>(), b = std::make_unique<cause_sample>();
        read_cgroup_sample(before, a.get());
        read_cgroup_sample(after, b.get());
        b->at_ns = 1000 * ms;
        cause_figures f = counters_between(*a, *b, 5000);
        // The monitor waited through the gap, as a throttled task does.
        f.have |= have_run_delay | have_watch;
        f.run_delay_ns = f.wait_excess_ns = c.waited ? c.gap_ns : 0;
        f.watch_gap_ns = 100 * ms;
        EXPECT_EQ(cause_name(name_cause(f, c.gap_ns, 0)), std::string(cause_name(c.kind)))
            << c.what;
        const auto figure = [&f](const char* key) {
            cause_figure_value figures[max_cause_figures];
            const int n = list_cause_figures(f, figures);
            for (int i = 0; i < n; ++i) {
                if (std::string(figures[i].key) == key) {
                    return figures[i].value;
                }
            }
            return int64_t{-1};
        };
        EXPECT_EQ(figure("throttled_ns"), c.throttled_ns) << c.what;
        EXPECT_EQ(figure("cpu_limit_millicpus"), c.limit_millicpus) << c.what;
        EXPECT_EQ(figure("frozen"), c.frozen) << c.what;
        EXPECT_EQ(figure("group_memory_full_us"), c.group_memory_us) << c.what;
    }
}

// A task's stat line: its name, CPU time in ticks and last CPU.
std::string task_stat(long id, const char* name, int64_t ticks, int cpu) {
    return std::to_string(id) + " (" + name + ") R 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(ticks) +
           " 0 0 0 20 0 1 0 100 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 " + std::to_string(cpu) +
           " 0 0 0 0 0\n";
}

// Every process's CPU time from a recorded /proc, on any CPU: for a quota's group, and
// the busiest processes where nothing tells who ran where.
TEST(Culprits, TheProcessesThatRanMostAnywhereAreNamed) {
    const auto stat = task_stat;
    const recorded_proc before({{"4242/stat", stat(4242, "clockgap", 10, 1)},
                                {"100/stat", stat(100, "busy (1)", 100, 1)},
                                {"101/stat", stat(101, "other cpu", 100, 0)},
                                {"102/stat", stat(102, "make", 50, 1)},
                                {"103/stat", stat(103, "idle", 7, 1)},
                                {"stat", "cpu  1 2 3 4 5 6 7 8\n"}});
    const recorded_proc after({{"4242/stat", stat(4242, "clockgap", 200, 1)},
                               {"100/stat", stat(100, "busy (1)", 291, 1)},
                               {"101/stat", stat(101, "other cpu", 300, 0)},
                               {"102/stat", stat(102, "make", 90, 0)},
                               {"103/stat", stat(103, "idle", 7, 1)},
                               {"104/stat", stat(104, "new", 20, 1)},
                               {"105/stat", stat(105, "small", 1, 1)}});
    const auto read = [](const recorded_proc& root, std::vector<process_time>* out) {
        static char buffer[4096];
        static long pids[64];
        const std::string folder = root.root.string();
        proc_reader r{folder.c_str(), 10 * ms, 4242, {4242}, 1, buffer, sizeof buffer};
        out->resize(64);
        out->resize(static_cast<size_t>(read_processes(&r, pids, out->data(), 64)));
        return process_list{static_cast<int>(out->size()), out->data()};
    };
    if (proc_folder() == nullptr) {
        GTEST_SKIP() << "no /proc on this system: its processes come from one list";
    }
    std::vector<process_time> a, b;
    const process_list then = read(before, &a), now = read(after, &b);
    ASSERT_EQ(now.count, 7);
    const long skip[] = {4242};
    culprit top[max_culprits];
    const int n = rank_processes(then, now, skip, 1, top, max_culprits);
    std::vector<std::pair<long, int64_t>> named;
    for (int i = 0; i < n; ++i) {
        named.emplace_back(top[i].pid, top[i].cpu_ns);
    }
    EXPECT_EQ(named, (std::vector<std::pair<long, int64_t>>{
                         {101, 2000 * ms}, {100, 1910 * ms}, {102, 400 * ms}}));
    // A name with spaces and parentheses is read whole.
    EXPECT_STREQ(top[1].name, "busy (1)");
}

// Where the switch records are refused, who took the monitor's CPU is sampled from the
// threads of a recorded /proc: a process counts only by its threads last seen on the
// monitor's CPU, never by where its first thread sleeps.
TEST(Culprits, ThreadsLastSeenOnItsCpuNameTheirProcess) {
    if (proc_folder() == nullptr) {
        GTEST_SKIP() << "no /proc on this system";
    }
    const auto stat = task_stat;
    // The monitor on CPU 0. A server: its first thread asleep on CPU 1, two workers
    // spinning on CPU 0. A bystander busy on CPU 1 throughout. A worker that moved from
    // CPU 0 to CPU 1, and one that moved from CPU 1 to CPU 0. A newcomer on CPU 0.
    const std::map<std::string, std::string> before{
        {"200/task/200/stat", stat(200, "server", 5, 1)},
        {"200/task/201/stat", stat(201, "worker", 100, 0)},
        {"200/task/202/stat", stat(202, "worker", 100, 0)},
        {"300/task/300/stat", stat(300, "bystander", 100, 1)},
        {"400/task/400/stat", stat(400, "left", 100, 0)},
        {"500/task/500/stat", stat(500, "came", 100, 1)},
    };
    const std::map<std::string, std::string> after{
        {"200/task/200/stat", stat(200, "server", 5, 1)},
        {"200/task/201/stat", stat(201, "worker", 195, 0)},
        {"200/task/202/stat", stat(202, "worker", 194, 0)},
        {"200/task/203/stat", stat(203, "worker", 3, 0)},
        {"300/task/300/stat", stat(300, "bystander", 300, 1)},
        {"400/task/400/stat", stat(400, "left", 110, 1)},
        {"500/task/500/stat", stat(500, "came", 120, 0)},
        {"600/task/600/stat", stat(600, "newcomer", 50, 0)},
    };
    const auto read = [](const std::map<std::string, std::string>& files,
                         std::vector<thread_time>* out) {
        const recorded_proc root(files);
        static char buffer[4096];
        static long tids[64];
        const std::string folder = root.root.string();
        proc_reader r{folder.c_str(), 10 * ms, 4242, {4242}, 1, buffer, sizeof buffer};
        out->clear();
        for (long pid : {200L, 300L, 400L, 500L, 600L}) {
            thread_time threads[16];
            const int n = read_process_threads(&r, pid, tids, threads, 16);
            out->insert(out->end(), threads, threads + n);
        }
    };
    std::vector<thread_time> a, b;
    read(before, &a);
    read(after, &b);
    ASSERT_EQ(b.size(), 8u);
    const thread_list start{static_cast<int>(a.size()), a.data(), 0};
    const thread_list end{static_cast<int>(b.size()), b.data(), 0};
    culprit top[max_culprits];
    const long skip[] = {4242};
    const int n = rank_threads(&start, 1, end, skip, 1, top, max_culprits);
    std::vector<std::tuple<long, int64_t, std::vector<long>>> named;
    for (int i = 0; i < n; ++i) {
        named.emplace_back(top[i].pid, top[i].cpu_ns,
                           std::vector<long>(top[i].tids, top[i].tids + top[i].threads));
    }
    // The server by its workers (the newest counted from 0); the two that moved by
    // their whole time, each seen on CPU 0 at one end; never the bystander nor the
    // newcomer, whose process was not sampled at the span's start.
    EXPECT_EQ(named,
              (std::vector<std::tuple<long, int64_t, std::vector<long>>>{
                  {200, 1920 * ms, {201, 202, 203}}, {500, 200 * ms, {}}, {400, 100 * ms, {}}}));
    // Seen from the other CPU, only the bystander and the movers.
    const thread_list start1{static_cast<int>(a.size()), a.data(), 1};
    const thread_list end1{static_cast<int>(b.size()), b.data(), 1};
    ASSERT_EQ(rank_threads(&start1, 1, end1, skip, 1, top, max_culprits), 3);
    EXPECT_EQ(top[0].pid, 300);
}

// Windows lists every process's CPU time in one call; Linux keeps them in /proc.
TEST(Culprits, TheSystemsOneListHoldsThisProcess) {
    static process_time list[max_processes];
    const int n = read_process_times(list, max_processes);
    if (proc_folder() != nullptr) {
        EXPECT_EQ(n, -1);
        return;
    }
    ASSERT_GT(n, 1);
    const auto find_self = [] {
        const int count = read_process_times(list, max_processes);
        for (int i = 0; i < count; ++i) {
            if (list[i].pid == process_id()) {
                return &list[i];
            }
        }
        return static_cast<process_time*>(nullptr);
    };
    const process_time* self = find_self();
    ASSERT_NE(self, nullptr);
    EXPECT_STREQ(self->name, "clockgap_report_tests.exe");
    EXPECT_EQ(self->cpu, -1);
    // Its CPU time grows as it works (Wine counts it too).
    uint64_t sum = 0;
    for (int tries = 0; tries < 1000 && (self == nullptr || self->cpu_ns == 0); ++tries) {
        for (uint64_t i = 0; i < 10'000'000; ++i) {
            sum = sum * 31 + i;
        }
        self = find_self();
    }
    ASSERT_NE(self, nullptr);
    EXPECT_GT(self->cpu_ns, 0) << sum;
}

}  // namespace
