#include <cstdlib>

#include "report/os/signals.h"

int stop_signal() {
    return 0;  // the service stops the watch by ending its input
}

// The console's Ctrl-C ends the program as usual: a pipe's reader on Windows cannot be
// woken from its wait, and the monitor on the other side ends anyway.
void end_input_on_interrupt() {}

// Windows sends no signal for a broken pipe: the write fails.
void ignore_broken_pipe() {}

void end_for_broken_pipe() {
    _exit(1);
}
