// The watch's own timer: when no row has come for 2 s, a note is due at once, and again at
// growing intervals (2, 4, 8 ... s, then every hour) while the silence lasts; the row that
// ends a reported silence is noted too. It runs on a clock that only moves forward
// (monotonic ms), so a clock step on the watched host cannot delay it.
#pragma once

#include <cstdint>

struct silence_timer {
    int64_t since_ms;     // monotonic time the last row came (or the watch started)
    int64_t next_ms;      // monotonic time of the next note
    int64_t last_row_ms;  // Unix ms of the last row
    long last_line;       // 0 before the first row
    bool reported;        // a note was given since the last row
};

void start_silence(silence_timer* t, int64_t now_ms);

// Whether a note is due at `now_ms`; if so, `silent_ms` gets how long the silence has
// lasted, and the next note is set.
bool silence_due(silence_timer* t, int64_t now_ms, int64_t* silent_ms);

// A row of Unix ms `row_ms` came at `line`. True, with the silence's length in
// `silent_ms`, when it ends a silence that was reported.
bool silence_ends(silence_timer* t, int64_t now_ms, int64_t row_ms, long line, int64_t* silent_ms);
