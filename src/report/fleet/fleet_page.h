// The fleet as one page that needs nothing else: time across, the worst hosts (up to
// fleet_named_lanes, worst first) as named lanes of cells, each the worst gap of its
// stretch on the colours of the single host's page, with their clock steps marked and
// their chief cause; every other host folded into one band that counts, in each column,
// how many of them had a stall, a clock step or a silence; the shared moments as bands
// across, and listed below with their causes and hosts. Without its script it is this
// static picture; its script adds a search box that draws any host's lane, from the
// lanes of all hosts kept in the page in a compact form (a number a column).
#pragma once

#include <cstddef>
#include <vector>

#include "report/fleet/shared_moments.h"
#include "report/fold/fleet_host.h"

inline constexpr int fleet_columns = 240;
inline constexpr size_t fleet_named_lanes = 40;

// How the read ended: at every input's end, or cut by a signal, and how many hosts it
// kept from being read.
struct fleet_page_end {
    input_end ended;
    size_t not_started;
};

// Writes the page whole (a part beside it, then a move); `hosts` worst first. False with
// the reason if not.
bool write_fleet_page(const char* path, const std::vector<const fleet_host*>& hosts,
                      const std::vector<shared_moment>& moments, const fleet_page_end& end,
                      char* reason, size_t reason_size);

// The page's script: the search box, drawn from the page's data.
extern const char fleet_page_script[];
