#include "scripted_clock.h"

#include "clock/clock_sample.h"

clock_script script;

void GetSystemTimeAsFileTime(FILETIME* sample) {
    const std::optional<uint64_t> ticks = script.reading(script.readings_taken, script.now_ticks);
    if (!ticks) {
        throw script_over{};
    }
    ++script.readings_taken;
    if (script.record_events) {
        script.events += "R ";
    }
    sample->dwLowDateTime = static_cast<uint32_t>(*ticks);
    sample->dwHighDateTime = static_cast<uint32_t>(*ticks >> 32);
}

void Sleep(uint32_t milliseconds) {
    if (script.record_events) {
        script.events += "P" + std::to_string(milliseconds) + " ";
    }
    script.now_ticks += uint64_t{milliseconds} * ticks_per_ms;
}
