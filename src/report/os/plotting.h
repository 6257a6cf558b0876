// gnuplot, run as a separate program with a pipe to its input. One file a platform:
// plotting_posix.cpp, plotting_windows.cpp.
#pragma once

#include <cstdio>

// How to get gnuplot on this system, for the message when it is missing.
const char* gnuplot_install_hint();

// Whether `program` is found on the PATH.
bool program_on_path(const char* program);

// Starts gnuplot with a pipe to its input; its own messages are discarded. nullptr when
// it cannot be started.
FILE* start_gnuplot();
// Closes the pipe and waits for gnuplot; true when it ended with status 0.
bool finish_gnuplot(FILE* gnuplot);
