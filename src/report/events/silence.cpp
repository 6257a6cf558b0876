#include "report/events/silence.h"

#include <algorithm>

namespace {

constexpr int64_t first_silence_ms = 2000;
constexpr int64_t longest_silence_step_ms = 3'600'000;

}  // namespace

void start_silence(silence_timer* t, int64_t now_ms) {
    t->since_ms = now_ms;
    t->next_ms = now_ms + first_silence_ms;
    t->reported = false;
}

bool silence_due(silence_timer* t, int64_t now_ms, int64_t* silent_ms) {
    if (now_ms < t->next_ms) {
        return false;
    }
    *silent_ms = now_ms - t->since_ms;
    t->reported = true;
    const int64_t step = std::min(t->next_ms - t->since_ms, longest_silence_step_ms);
    while (t->next_ms <= now_ms) {
        t->next_ms += step;
    }
    return true;
}

bool silence_ends(silence_timer* t, int64_t now_ms, int64_t row_ms, long line, int64_t* silent_ms) {
    const bool ends = t->reported;
    *silent_ms = now_ms - t->since_ms;
    start_silence(t, now_ms);
    t->last_row_ms = row_ms;
    t->last_line = line;
    return ends;
}
