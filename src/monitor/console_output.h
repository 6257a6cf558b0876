// Line output to standard output.
//
// Every line is handed to the OS as soon as it is complete, so a file, a pipe or
// `tail -f` sees each row within its second and nothing is held back when the run is
// stopped. When nobody can read the output any more (the reader of a pipe has gone, or
// standard output is closed) the program ends with status 1. Any other failed write,
// such as a full disk, never glues two lines: a line written in part is finished first
// when writes succeed again, and a line that could not be begun is lost whole.
#pragma once

#include <cstdio>

#if defined(__MINGW32__)
#define CLOCKGAP_PRINTF_FORMAT __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#else
#define CLOCKGAP_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#endif

// Writes one formatted line; `format` ends in "\n".
void write_line(const char* format, ...) CLOCKGAP_PRINTF_FORMAT;
