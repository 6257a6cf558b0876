#include <unistd.h>

#include <csignal>

#include "report/os/signals.h"

namespace {

// The signal that asked the watch to stop; 0 while none has.
volatile sig_atomic_t interrupt_seen = 0;

void on_interrupt(int signal_number) {
    interrupt_seen = signal_number;
}

}  // namespace

int stop_signal() {
    return interrupt_seen;
}

void end_input_on_interrupt() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read waiting for the pipe returns at once. SA_RESETHAND: the next
    // Ctrl-C finds the default action and ends the program.
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void ignore_broken_pipe() {
    signal(SIGPIPE, SIG_IGN);
}

void end_for_broken_pipe() {
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
    _exit(1);  // only if the signal was blocked
}
