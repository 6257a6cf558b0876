// The rule of a shared moment, on hosts whose events are given by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "report/fleet/host_names.h"
#include "report/fleet/shared_moments.h"
#include "report/util/natural_order.h"

namespace {

constexpr int64_t t0 = 1'796'601'600;  // a UTC midnight, Unix s

struct event {
    int host;
    fleet_kind kind;
    int64_t at;                   // s after t0
    int64_t gap_ns = 50'000'000;  // its row's largest gap
    cause_kind cause = cause_kind::unknown;
};

// `n` hosts with rows from t0 to t0 + 1000 s (host `late` only from t0 + 500 s), and the
// events given.
std::vector<std::unique_ptr<fleet_host>> fleet(int n, const std::vector<event>& events,
                                               int late = -1) {
    std::vector<std::unique_ptr<fleet_host>> hosts;
    for (int i = 0; i < n; ++i) {
        auto h = std::make_unique<fleet_host>();
        h->name = "h" + std::to_string(i);
        h->rows = 1000;
        h->first_ms = (t0 + (i == late ? 500 : 0)) * 1000;
        h->last_ms = (t0 + 1000) * 1000;
        hosts.push_back(std::move(h));
    }
    for (const event& e : events) {
        hosts[static_cast<size_t>(e.host)]->events[static_cast<int>(e.kind)].push_back(
            event_second{t0 + e.at, e.gap_ns, e.cause});
    }
    return hosts;
}

std::vector<const fleet_host*> pointers(const std::vector<std::unique_ptr<fleet_host>>& owned) {
    std::vector<const fleet_host*> hosts;
    for (const auto& h : owned) {
        hosts.push_back(h.get());
    }
    return hosts;
}

TEST(SharedMoments, TwoHostsAndAQuarterWithinASecond) {
    const fleet_kind stall = fleet_kind::stall, back = fleet_kind::clock_set_back;
    struct moment {
        fleet_kind kind;
        int64_t first, last;
        std::vector<int> hosts;
        int of;
        bool operator==(const moment&) const = default;
    };
    struct {
        const char* what;
        int hosts;
        std::vector<event> events;
        std::vector<moment> shared;
        int late = -1;
    } cases[] = {
        {"three of eight in one second",
         8,
         {{0, stall, 10}, {3, stall, 10}, {5, stall, 10}},
         {{stall, 10, 10, {0, 3, 5}, 8}}},
        {"one host alone is no moment", 8, {{2, stall, 10}}, {}},
        {"two of eight a second apart: a quarter",
         8,
         {{1, stall, 20}, {2, stall, 21}},
         {{stall, 20, 21, {1, 2}, 8}}},
        {"two of eight two seconds apart", 8, {{1, stall, 20}, {2, stall, 22}}, {}},
        {"two of nine: less than a quarter", 9, {{1, stall, 20}, {2, stall, 20}}, {}},
        {"two of eight ten minutes apart", 8, {{1, stall, 20}, {2, stall, 620}}, {}},
        {"consecutive seconds make one moment",
         4,
         {{0, stall, 30}, {1, stall, 30}, {0, stall, 31}, {1, stall, 31}, {2, stall, 32}},
         {{stall, 30, 32, {0, 1, 2}, 4}}},
        {"kinds apart: a step and a stall at once",
         4,
         {{0, stall, 40}, {1, back, 40}, {2, back, 40}, {3, stall, 40}},
         {{stall, 40, 40, {0, 3}, 4}, {back, 40, 40, {1, 2}, 4}}},
        {"a host without rows yet does not count",
         9,
         {{1, stall, 20}, {2, stall, 20}},
         {{stall, 20, 20, {1, 2}, 8}},
         8},
    };
    for (const auto& c : cases) {
        const auto owned = fleet(c.hosts, c.events, c.late);
        std::vector<moment> found;
        for (const shared_moment& m : find_shared_moments(pointers(owned))) {
            found.push_back(moment{m.kind, m.first_s - t0, m.last_s - t0, m.hosts, m.of});
        }
        EXPECT_EQ(found.size(), c.shared.size()) << c.what;
        EXPECT_TRUE(found == c.shared) << c.what;
    }
}

// A moment's largest gap and causes are its own seconds' rows, never the rest of a
// stretch of a host that runs into it.
TEST(SharedMoments, AMomentCountsOnlyTheRowsOfItsOwnSeconds) {
    const fleet_kind stall = fleet_kind::stall;
    constexpr int64_t ms_ns = 1'000'000;
    const cause_kind busy = cause_kind::cpu_contention, steal = cause_kind::hypervisor;
    struct figures {
        int64_t first, last, largest_gap_ns;
        uint32_t contention, hypervisor;
        bool operator==(const figures&) const = default;
    };
    struct {
        const char* what;
        int hosts;
        std::vector<event> events;
        std::vector<figures> shared;
    } cases[] = {
        {"a host stalled for an hour beside a moment of three hosts more",
         4,
         [&] {
             std::vector<event> e;
             for (int64_t s = 0; s <= 3602; ++s) {
                 e.push_back({0, stall, s, s < 3599 ? 900 * ms_ns : 100 * ms_ns, busy});
             }
             for (int h = 1; h < 4; ++h) {
                 for (int64_t s = 3600; s <= 3602; ++s) {
                     e.push_back({h, stall, s, 60 * ms_ns, steal});
                 }
             }
             return e;
         }(),
         {{3599, 3602, 100 * ms_ns, 4, 9}}},
        {"two moments a second apart, a host in both",
         12,
         {{0, stall, 10, 40 * ms_ns, busy},
          {1, stall, 10, 30 * ms_ns, busy},
          {2, stall, 10, 30 * ms_ns, busy},
          {0, stall, 12, 900 * ms_ns, steal},
          {3, stall, 12, 20 * ms_ns, steal},
          {4, stall, 12, 20 * ms_ns, steal}},
         {{10, 10, 40 * ms_ns, 3, 0}, {12, 12, 900 * ms_ns, 0, 3}}},
    };
    for (const auto& c : cases) {
        const auto owned = fleet(c.hosts, c.events);
        std::vector<figures> found;
        for (const shared_moment& m : find_shared_moments(pointers(owned))) {
            found.push_back(figures{m.first_s - t0, m.last_s - t0, m.largest_gap_ns,
                                    m.causes[static_cast<int>(busy)],
                                    m.causes[static_cast<int>(steal)]});
        }
        EXPECT_TRUE(found == c.shared) << c.what;
    }
}

}  // namespace

TEST(NaturalOrder, NamesAsPeopleReadThem) {
    // Each list is in order; every name must sort before every later one, never after.
    const std::vector<std::vector<std::string>> lists = {
        {"web-1", "web-2", "web-9", "web-10", "web-11", "web-100"},
        {"a", "a0", "a1", "ab", "b"},
        {"db", "db-2", "db-10", "web", "web-1"},
        {"host-0", "host-00", "host-01", "host-1", "host-007", "host-7", "host-8"},
        {"rack2-node9", "rack2-node10", "rack10-node1"},
        {"9", "10", "99999999999999999999", "100000000000000000000"},
        {"", "0", "a"},
    };
    for (const auto& list : lists) {
        for (size_t i = 0; i < list.size(); ++i) {
            for (size_t j = 0; j < list.size(); ++j) {
                EXPECT_EQ(natural_less(list[i], list[j]), i < j) << list[i] << " / " << list[j];
            }
        }
    }
}

TEST(SharedMoments, AMomentsHostsGoByName) {
    // Given worst first (web-10, web-9, web-2), named in the order people read them.
    auto owned = fleet(
        3, {{0, fleet_kind::stall, 10}, {1, fleet_kind::stall, 10}, {2, fleet_kind::stall, 10}});
    owned[0]->name = "web-10";
    owned[1]->name = "web-9";
    owned[2]->name = "web-2";
    const std::vector<shared_moment> moments = find_shared_moments(pointers(owned));
    ASSERT_EQ(moments.size(), 1u);
    EXPECT_EQ(moments[0].hosts, (std::vector<int>{2, 1, 0}));
}

TEST(HostNames, FoldedToFitALine) {
    const auto web = [](int from, int to) {
        std::vector<std::string> names;
        for (int i = from; i <= to; ++i) {
            names.push_back("web-" + std::to_string(i));
        }
        return names;
    };
    const auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        std::sort(a.begin(), a.end(), natural_less);
        return a;
    };
    const std::vector<std::string> two_hundred = web(1, 200);
    const struct {
        const char* what;
        std::vector<std::string> some, all;
        const char* said;
    } cases[] = {
        {"all", two_hundred, two_hundred, "all 200 hosts"},
        {"one host of one", {"db"}, {"db"}, "the 1 host"},
        {"consecutive numbers", web(1, 150), two_hundred, "150 of 200: web-1 ... web-150"},
        {"all but one", with(web(1, 6), web(8, 200)), two_hundred, "all but 1: web-7"},
        {"all but three", with(with(web(1, 6), {"web-8"}), with(web(10, 11), web(13, 200))),
         two_hundred, "all but 3: web-7, web-9, web-12"},
        {"web-9 and web-10 are neighbours", web(8, 11), web(1, 20), "4 of 20: web-8 ... web-11"},
        {"runs of two are not folded", with({"web-2", "web-3"}, {"web-7"}), web(1, 10),
         "3 of 10: web-2, web-3, web-7"},
        {"mixed names, neighbours in the fleet",
         {"api", "cache", "db-1", "db-2", "web-1"},
         {"api", "cache", "db-1", "db-2", "db-3", "lb", "mq", "web-1", "web-2", "web-3"},
         "5 of 10: api ... db-2, web-1"},
        {"names without numbers",
         {"alpha", "gamma"},
         {"alpha", "beta", "gamma", "delta-x", "epsilon", "zeta", "eta", "theta"},
         "2 of 8: alpha, gamma"},
        {"one host of many", {"web-42"}, two_hundred, "1 of 200: web-42"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> all = c.all;
        std::sort(all.begin(), all.end(), natural_less);
        EXPECT_EQ(fold_host_names(c.some, all, "..."), c.said) << c.what;
    }
}
