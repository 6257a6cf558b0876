// A scripted stand-in for the platform's clock and pause, linked into loop tests in
// place of the real ones. Readings come from `reading`, which gets the number of the
// reading (0, 1, ...) and the virtual time, advanced by every pause; a pause is recorded
// and moves the virtual time on by its length. When `reading` says the script is over,
// the next reading throws script_over, which ends the loop under test.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct script_over {};

struct clock_script {
    uint64_t now_ticks = 0;
    int readings_taken = 0;
    // Returns the reading to hand out, or nothing to end the script.
    std::function<std::optional<uint64_t>(int index, uint64_t now_ticks)> reading;
    // "R" for each reading and "P<ms>" for each pause, space-separated, in call order,
    // while record_events is set.
    bool record_events = true;
    std::string events;
};

extern clock_script script;

constexpr uint64_t ticks_per_ms = 10'000;
