#include "report/fleet/shared_moments.h"

#include <algorithm>
#include <map>

#include "report/util/natural_order.h"
#include "report/util/report_time.h"

namespace {

// Hosts with rows at second `s`.
int hosts_with_rows(const std::vector<const fleet_host*>& hosts, int64_t s) {
    int n = 0;
    for (const fleet_host* h : hosts) {
        n += has_rows_at(*h, s) ? 1 : 0;
    }
    return n;
}

// Adds the host's rows of `kind` in seconds first_s..last_s to the moment: its own
// seconds only, never the rest of a stretch that runs into them.
void take_rows(shared_moment* m, const fleet_host& h, fleet_kind kind) {
    for (const event_second& e : h.events[static_cast<int>(kind)]) {
        if (e.s < m->first_s || e.s > m->last_s) {
            continue;
        }
        m->largest_gap_ns = std::max(m->largest_gap_ns, e.gap_ns);
        ++m->causes[static_cast<int>(e.cause)];
    }
}

void find_of_kind(const std::vector<const fleet_host*>& hosts, fleet_kind kind,
                  std::vector<shared_moment>* moments) {
    // The hosts with an event in each second.
    std::map<int64_t, std::vector<int>> at;
    for (size_t i = 0; i < hosts.size(); ++i) {
        for (const event_second& e : hosts[i]->events[static_cast<int>(kind)]) {
            std::vector<int>& with = at[e.s];
            if (with.empty() || with.back() != static_cast<int>(i)) {
                with.push_back(static_cast<int>(i));
            }
        }
    }
    shared_moment* open = nullptr;
    for (auto it = at.begin(); it != at.end(); ++it) {
        const int64_t s = it->first;
        std::vector<int> with = it->second;
        int64_t last = s;
        if (const auto next = at.find(s + 1); next != at.end()) {
            with.insert(with.end(), next->second.begin(), next->second.end());
            last = s + 1;
        }
        std::sort(with.begin(), with.end());
        with.erase(std::unique(with.begin(), with.end()), with.end());
        const int of = hosts_with_rows(hosts, s);
        const int n = static_cast<int>(with.size());
        if (n < 2 || 4 * n < of) {
            open = nullptr;
            continue;
        }
        if (open == nullptr || s > open->last_s + 1) {
            moments->push_back(shared_moment{kind, s, last, {}, of, 0, {}});
            open = &moments->back();
        }
        open->last_s = std::max(open->last_s, last);
        std::vector<int> joined;
        std::set_union(open->hosts.begin(), open->hosts.end(), with.begin(), with.end(),
                       std::back_inserter(joined));
        open->hosts = joined;
    }
    for (shared_moment& m : *moments) {
        if (m.kind == kind) {
            for (int i : m.hosts) {
                take_rows(&m, *hosts[static_cast<size_t>(i)], kind);
            }
        }
    }
}

}  // namespace

bool has_rows_at(const fleet_host& h, int64_t s) {
    return h.rows > 0 && floor_div(h.first_ms, 1000) <= s && floor_div(h.last_ms, 1000) >= s;
}

std::vector<shared_moment> find_shared_moments(const std::vector<const fleet_host*>& hosts) {
    std::vector<shared_moment> moments;
    for (int k = 0; k < fleet_kinds; ++k) {
        find_of_kind(hosts, static_cast<fleet_kind>(k), &moments);
    }
    std::stable_sort(moments.begin(), moments.end(),
                     [](const shared_moment& a, const shared_moment& b) {
                         return a.first_s != b.first_s ? a.first_s < b.first_s : a.kind < b.kind;
                     });
    // Each moment's hosts in the order people read their names (web-2 before web-10).
    for (shared_moment& m : moments) {
        std::sort(m.hosts.begin(), m.hosts.end(), [&](int x, int y) {
            return natural_less(hosts[static_cast<size_t>(x)]->name,
                                hosts[static_cast<size_t>(y)]->name);
        });
    }
    return moments;
}
