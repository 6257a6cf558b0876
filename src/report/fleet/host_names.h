// A moment's hosts in words that fit a line, against the whole fleet, both in the order
// people read names (natural_order.h): "all 200 hosts"; "all but 3: web-7, web-9,
// web-12" when five or fewer are missing; else "150 of 200: web-1 ... web-150, db-2",
// where each run of three or more hosts that are neighbours in the fleet is its first
// and last joined by `ellipsis`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "report/fleet/shared_moments.h"

std::string fold_host_names(const std::vector<std::string>& some,
                            const std::vector<std::string>& all, std::string_view ellipsis);

// The hosts of moment `m` so folded, against the hosts with rows at its start (and its
// own); `hosts` as find_shared_moments was given them.
std::string moment_host_names(const shared_moment& m, const std::vector<const fleet_host*>& hosts,
                              std::string_view ellipsis);
