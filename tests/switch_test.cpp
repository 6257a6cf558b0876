// Who ran on the monitor's CPU while it waited, from context-switch records laid out as
// the kernel writes them into its rings: recorded buffers, not a live kernel.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "report/causes/culprits.h"
#include "report/causes/switch_account.h"

namespace {

// A ring of `size` bytes that records are written into as the kernel writes them, from
// position `start` on (so that a record may cross the ring's end).
struct recorded_ring {
    std::vector<char> data;
    uint64_t start, head;

    recorded_ring(uint64_t size, uint64_t at) : data(size), start(at), head(at) {}

    void put(const void* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            data[(head + i) % data.size()] = static_cast<const char*>(bytes)[i];
        }
        head += n;
    }
    void header(uint32_t type, uint16_t misc, uint16_t size) {
        put(&type, 4);
        put(&misc, 2);
        put(&size, 2);
    }
    void sample(int32_t pid, int32_t tid, int64_t at, int32_t cpu) {
        const uint32_t zero = 0;
        put(&pid, 4);
        put(&tid, 4);
        put(&at, 8);
        put(&cpu, 4);
        put(&zero, 4);
    }
    // `pid`/`tid` switched out (and `other` in), or in (after `other`).
    void change(int32_t cpu, int64_t at, bool out, bool preempted, int32_t pid, int32_t tid,
                int32_t other_pid, int32_t other_tid) {
        const uint16_t misc =
            static_cast<uint16_t>((out ? 1u << 13 : 0) | (preempted ? 1u << 14 : 0));
        header(15, misc, 40);
        put(&other_pid, 4);
        put(&other_tid, 4);
        sample(pid, tid, at, cpu);
    }
    void lost(int32_t cpu, int64_t at, uint64_t n) {
        const uint64_t id = 1;
        header(2, 0, 48);
        put(&id, 8);
        put(&n, 8);
        sample(-1, -1, at, cpu);
    }
    void comm(int32_t cpu, int64_t at, int32_t pid, const char (&name)[16]) {
        header(3, 1u << 13, 56);
        put(&pid, 4);
        put(&pid, 4);
        put(name, 16);
        sample(pid, pid, at, cpu);
    }
    ring_view view() const { return ring_view{data.data(), data.size(), start, head}; }
};

// A CPU's tasks in turn: each runs from its time until the next one's, and the monitor
// (pid 10) is switched out preempted (or to sleep) and back in like any other.
struct turn {
    int64_t at;
    int32_t pid, tid;
    bool sleeps = false;  // the task before it went to sleep (else it was preempted)
};
void play(recorded_ring* ring, int32_t cpu, const std::vector<turn>& turns) {
    for (size_t i = 1; i < turns.size(); ++i) {
        const turn& was = turns[i - 1];
        const turn& now = turns[i];
        ring->change(cpu, now.at, true, !now.sleeps, was.pid, was.tid, now.pid, now.tid);
        ring->change(cpu, now.at, false, false, now.pid, now.tid, was.pid, was.tid);
    }
}

// Feeds every ring into an account in time order, as the watch does.
void feed(switch_account* a, std::vector<recorded_ring*> rings) {
    std::vector<std::pair<int64_t, std::pair<ring_item, switch_record>>> items;
    std::vector<uint64_t> losses;
    for (recorded_ring* ring : rings) {
        ring_view v = ring->view();
        switch_record r;
        uint64_t lost = 0;
        for (ring_item item; (item = next_ring_item(&v, &r, &lost)) != ring_item::none;) {
            if (item == ring_item::lost) {
                r.other_pid = static_cast<int32_t>(lost);
            }
            items.push_back({r.at_ns, {item, r}});
        }
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    for (const auto& [at, item] : items) {
        if (item.first == ring_item::lost) {
            account_lost(a, item.second.cpu, item.second.at_ns,
                         static_cast<uint64_t>(item.second.other_pid));
        } else {
            account_switch(a, item.second);
        }
    }
}

std::map<std::pair<int32_t, int32_t>, int64_t> tallied(const switch_tally& t) {
    std::map<std::pair<int32_t, int32_t>, int64_t> out;
    for (int i = 0; i < t.count; ++i) {
        out[{t.tasks[i].pid, t.tasks[i].tid}] += t.tasks[i].ns;
    }
    return out;
}

TEST(SwitchRecords, ReadAcrossTheRingsEndAndNotBeyondWhatIsWhole) {
    recorded_ring ring(256, 230);  // the first record crosses the end
    ring.change(3, 1'000, true, true, 10, 11, 20, 21);
    ring.comm(3, 1'500, 30, {'b', 'u', 's', 'y', '\0'});
    ring.lost(3, 2'000, 42);
    ring.change(3, 3'000, false, false, 20, 21, 10, 11);
    ring_view v = ring.view();
    v.head -= 1;  // the last record not yet whole
    switch_record r{};
    uint64_t lost = 0;
    ASSERT_EQ(next_ring_item(&v, &r, &lost), ring_item::record);
    EXPECT_EQ(std::vector<int64_t>({r.at_ns, r.cpu, r.out, r.preempted, r.pid, r.tid, r.other_pid,
                                    r.other_tid, r.comm}),
              std::vector<int64_t>({1'000, 3, 1, 1, 10, 11, 20, 21, 0}));
    ASSERT_EQ(next_ring_item(&v, &r, &lost), ring_item::record);
    EXPECT_TRUE(r.comm);
    EXPECT_EQ(r.pid, 30);
    EXPECT_STREQ(r.name, "busy");
    ASSERT_EQ(next_ring_item(&v, &r, &lost), ring_item::lost);
    EXPECT_EQ(lost, 42u);
    EXPECT_EQ(r.cpu, 3);
    const uint64_t before_last = v.at;
    EXPECT_EQ(next_ring_item(&v, &r, &lost), ring_item::none);
    EXPECT_EQ(v.at, before_last);  // left for the next read
    v.head += 1;
    ASSERT_EQ(next_ring_item(&v, &r, &lost), ring_item::record);
    EXPECT_EQ(r.at_ns, 3'000);
    EXPECT_FALSE(r.out);
}

TEST(SwitchAccount, OnlyWhatRanOnItsCpuWhileItWaitedIsCounted) {
    const int cpus[] = {0, 1};
    struct {
        const char* what;
        std::vector<int> watched;  // the monitor's CPUs
        std::vector<turn> cpu0, cpu1;
        std::map<std::pair<int32_t, int32_t>, int64_t> counted;
    } cases[] = {
        {"preempted: who ran until it came back, a task in and out twice",
         {0},
         {{0, 10, 10},
          {100, 20, 20},
          {150, 30, 31},
          {180, 20, 20},
          {200, 10, 10},
          {300, 20, 20},
          {350, 10, 10}},
         {},
         {{{20, 20}, 50 + 20 + 50}, {{30, 31}, 30}}},
        {"asleep: only what ran after its pause (1000 ns) ended",
         {0},
         {{0, 10, 10}, {500, 20, 20, true}, {2'000, 10, 10}},
         {},
         {{{20, 20}, 500}}},
        {"asleep: its sleeps take 1100 ns when nothing holds it, so the wait begins then",
         {0},
         {{0, 10, 10}, {100, 0, 0, true}, {1'200, 10, 10}, {1'300, 20, 20, true}, {3'000, 10, 10}},
         {},
         {{{20, 20}, 3'000 - 1'300 - 1'100}}},
        {"asleep for its whole pause: nothing",
         {0},
         {{0, 10, 10}, {500, 20, 20, true}, {1'400, 0, 0}, {1'500, 10, 10}},
         {},
         {}},
        {"the idle task is never counted", {0}, {{0, 10, 10}, {100, 0, 0}, {200, 10, 10}}, {}, {}},
        {"preempted on CPU 0 and back on CPU 1: what ran on 0, not on 1",
         {0, 1},
         {{0, 10, 10}, {100, 20, 20}},
         {{0, 40, 40}, {150, 10, 10}},
         {{{20, 20}, 50}}},
        {"asleep on CPU 1 and back on CPU 0: what ran on 0 after the pause",
         {0, 1},
         {{0, 50, 50}, {2'000, 10, 10}},
         {{0, 10, 10}, {200, 60, 60, true}},
         {{{50, 50}, 2'000 - 1'200}}},
        {"a CPU not watched tells nothing",
         {0},
         {{0, 10, 10}, {100, 20, 20}, {200, 10, 10}},
         {{0, 70, 70}, {50, 71, 71}, {150, 72, 72}},
         {{{20, 20}, 100}}},
    };
    for (const auto& c : cases) {
        auto a = std::make_unique<switch_account>();
        start_switch_account(a.get(), 10, 1'000, c.watched.data(),
                             static_cast<int>(c.watched.size()), 0);
        recorded_ring ring0(4096, 0), ring1(4096, 0);
        play(&ring0, cpus[0], c.cpu0);
        play(&ring1, cpus[1], c.cpu1);
        feed(a.get(), {&ring0, &ring1});
        switch_tally span{};
        close_switch_window(a.get(), false, &span);
        auto counted = c.counted;
        std::erase_if(counted, [](const auto& kv) { return kv.second <= 0; });
        EXPECT_EQ(tallied(span), counted) << c.what;
        EXPECT_EQ(span.lost, 0u) << c.what;
    }
}

TEST(SwitchAccount, LostRecordsLeaveAHoleAndSaySo) {
    const int cpu0[] = {0};
    auto a = std::make_unique<switch_account>();
    start_switch_account(a.get(), 10, 0, cpu0, 1, 0);
    recorded_ring ring(4096, 0);
    play(&ring, 0, {{0, 10, 10}, {100, 20, 20}});
    ring.lost(0, 150, 5);  // who ran from 100 on is not known whole
    play(&ring, 0, {{150, 20, 20}, {180, 30, 30}, {200, 10, 10}});
    feed(a.get(), {&ring});
    switch_tally span{};
    close_switch_window(a.get(), false, &span);
    // Task 20, whom the next record names, counts from the note of the loss on.
    EXPECT_EQ(tallied(span),
              (std::map<std::pair<int32_t, int32_t>, int64_t>{{{20, 20}, 30}, {{30, 30}, 20}}));
    EXPECT_EQ(span.lost, 5u);
}

TEST(SwitchAccount, ASpanOfTwoRowsJoinsTheirWindowsAndNamesProcesses) {
    const int cpu0[] = {0};
    auto a = std::make_unique<switch_account>();
    start_switch_account(a.get(), 10, 0, cpu0, 1, 0);
    recorded_ring first(4096, 0), second(4096, 0);
    play(&first, 0, {{0, 10, 10}, {100, 30, 31}, {300, 10, 10}});
    feed(a.get(), {&first});
    switch_tally span{};
    close_switch_window(a.get(), false, &span);
    play(
        &second, 0,
        {{300, 10, 10}, {400, 30, 32}, {500, 40, 40}, {520, 30, 31}, {600, 10, 10}, {700, 10, 10}});
    feed(a.get(), {&second});
    close_switch_window(a.get(), true, &span);
    culprit top[max_culprits];
    ASSERT_EQ(rank_switch_tally(span, 10, top, max_culprits), 2);
    EXPECT_EQ(top[0].pid, 30);
    EXPECT_EQ(top[0].cpu_ns, 200 + 100 + 80);
    EXPECT_EQ(std::vector<long>(top[0].tids, top[0].tids + top[0].threads),
              (std::vector<long>{31, 32}));
    EXPECT_EQ(top[1].pid, 40);
    EXPECT_EQ(top[1].threads, 0);  // its only thread is the process itself
    // A third row: the first window is no longer in the span.
    close_switch_window(a.get(), true, &span);
    EXPECT_EQ(tallied(span).at({30, 31}), 80);
}

}  // namespace
