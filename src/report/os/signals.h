// Signals that end the program's input or the program: Ctrl-C and SIGTERM end the input
// as its end would, and a reader that has gone ends it quietly. One file a platform:
// signals_posix.cpp, signals_windows.cpp.
#pragma once

// From now on the first Ctrl-C (SIGINT) or SIGTERM ends the input instead of the
// program, like the end of a pipe; a second one ends the program at once.
void end_input_on_interrupt();

// The signal that asked the program to stop (SIGINT or SIGTERM, by number); 0 while none
// has.
int stop_signal();

// A write to a pipe whose reader has gone fails instead of ending the program.
void ignore_broken_pipe();

// Ends the program as a filter ends when the reader of its output has gone: quietly (on
// Linux by SIGPIPE at its default, as the shell expects; on Windows with status 1).
[[noreturn]] void end_for_broken_pipe();
