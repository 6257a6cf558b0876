#include "monitor/console_output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void write_line(const char* format, ...) {
    errno = 0;
    va_list args;
    va_start(args, format);
    const int written = vprintf(format, args);
    va_end(args);
    // A flush after every line works the same on every C library, including those that
    // treat line buffering as full buffering.
    if (fflush(stdout) == 0 && written >= 0) {
        return;
    }
    const int error = errno;
    if (error == EPIPE || error == EBADF) {
        // Nobody can read what this program writes: running on would be unseen work.
        fprintf(stderr, "clockgap: standard output is gone (%s); stopping.\n", strerror(error));
        std::exit(EXIT_FAILURE);
    }
    // A passing fault (a full disk): this line is lost, the next one is tried afresh.
    clearerr(stdout);
}
