// The files a report reads, in order: each INPUT as given, "-" standing for standard
// input. A folder stands for the clockgap logs in it, compressed or not, in the order of
// their first rows; a file in it that holds no row of clockgap's is skipped with a note,
// as is a day file whose text its FILE.gz already holds. With a window, a file of the
// folder whose name gives a UTC date (YYYY-MM-DD) that lies wholly outside the window,
// and whose first row agrees with that date, is not read at all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Fills `files` with paths ("-" for standard input), and counts in `days_not_read` the
// day files left out by the window. Returns 0, or 1 after saying why: a file or folder
// that cannot be read, or a folder that holds no log.
int list_inputs(const std::vector<const char*>& inputs, int64_t from_ms, int64_t to_ms,
                std::vector<std::string>* files, long* days_not_read);

// Whether `path` is a clockgap log: a row among its first lines. If not, `why` says why.
bool is_clockgap_log(const std::string& path, const char** why);
// Whether a folder's file is one its writer keeps beside the days (hidden, a part being
// written, the causes, the Windows service's messages): a read passes it over unsaid.
bool writers_own(const std::string& name);
// Whether a file's name holds a UTC date (YYYY-MM-DD), as a day file's does.
bool names_a_day(std::string_view name);

// Whether the inputs are several files, or a folder: lines are then named with their file.
bool several_inputs(const std::vector<const char*>& inputs);

// What the report calls its input: the one INPUT's name, "standard input", or the first
// and how many more.
std::string inputs_name(const std::vector<const char*>& inputs);
