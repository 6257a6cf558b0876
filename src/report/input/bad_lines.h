// Lines that are not the monitor's, and the NUL bytes before lines: each costs itself
// alone. It is skipped and counted, and named on standard error (in a watch every one,
// otherwise the first ten, then how many more at the end). With --strict the first ends
// the report. The bytes of a bad line are shown escaped, and an input that is no log at
// all (compressed, binary) is said to be so once.
#pragma once

#include <string_view>

#include "report/input/line_source.h"
#include "report/input/log_facts.h"

inline constexpr uint64_t named_bad_lines = 10;

// A bad line at `number`, whose fault is `fault`. Returns false when it ends the report
// (--strict).
bool skip_bad_line(log_facts* facts, const line_source* source, long number, std::string_view text,
                   const char* fault, bool strict);

// NUL bytes passed over since the last note: one note for each run of them.
void note_nul_bytes(const line_source* source, log_facts* facts);

// At the end: how many bad lines were not named.
void note_unnamed_bad_lines(const log_facts& facts);
