#include "report/fleet/host_names.h"

#include <algorithm>

#include "report/util/natural_order.h"

namespace {

constexpr size_t most_left_out = 5;  // "all but N" names up to this many
constexpr size_t shortest_run = 3;   // runs of this many neighbours or more are folded

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) {
        text += (text.empty() ? "" : ", ") + n;
    }
    return text;
}

}  // namespace

std::string fold_host_names(const std::vector<std::string>& some,
                            const std::vector<std::string>& all, std::string_view ellipsis) {
    // Where each of `some` stands in the fleet: neighbours there are one apart.
    std::vector<size_t> place;
    for (const std::string& name : some) {
        place.push_back(static_cast<size_t>(
            std::lower_bound(all.begin(), all.end(), name, natural_less) - all.begin()));
    }
    const std::string total = std::to_string(all.size());
    if (some.size() == all.size()) {
        return some.size() == 1 ? "the 1 host" : "all " + total + " hosts";
    }
    if (all.size() - some.size() <= most_left_out && some.size() > all.size() - some.size()) {
        std::vector<std::string> missing;
        size_t i = 0;
        for (const std::string& name : all) {
            if (i < some.size() && some[i] == name) {
                ++i;
            } else {
                missing.push_back(name);
            }
        }
        return "all but " + std::to_string(missing.size()) + ": " + joined(missing);
    }
    std::string text = std::to_string(some.size()) + " of " + total + ": ";
    for (size_t i = 0; i < some.size();) {
        // The run of neighbours in the fleet that starts here.
        size_t j = i + 1;
        while (j < some.size() && place[j] == place[j - 1] + 1) {
            ++j;
        }
        text += i == 0 ? "" : ", ";
        if (j - i >= shortest_run) {
            text += some[i] + " " + std::string(ellipsis) + " " + some[j - 1];
        } else {
            for (size_t k = i; k < j; ++k) {
                text += (k == i ? "" : ", ") + some[k];
            }
        }
        i = j;
    }
    return text;
}

std::string moment_host_names(const shared_moment& m, const std::vector<const fleet_host*>& hosts,
                              std::string_view ellipsis) {
    std::vector<std::string> some, present;
    std::vector<bool> in_moment(hosts.size());
    for (const int i : m.hosts) {
        some.push_back(hosts[static_cast<size_t>(i)]->name);
        in_moment[static_cast<size_t>(i)] = true;
    }
    for (size_t i = 0; i < hosts.size(); ++i) {
        if (in_moment[i] || has_rows_at(*hosts[i], m.first_s)) {
            present.push_back(hosts[i]->name);
        }
    }
    std::sort(present.begin(), present.end(), natural_less);
    return fold_host_names(some, present, ellipsis);
}
