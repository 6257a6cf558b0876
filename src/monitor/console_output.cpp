#include "monitor/console_output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Whether a failed write means that nobody can read the output any more. EPIPE: the
// reader of a pipe has gone (POSIX, with SIGPIPE ignored or blocked). EBADF: standard
// output is closed. EINVAL: the Windows C runtime's report of a pipe whose reader has
// gone, and of a handle that takes no writes. A runtime that flags the stream without
// saying why has met a pipe that took no bytes. Anything else (ENOSPC on a full disk,
// EIO) may pass.
bool reader_gone(int error) {
    return error == EPIPE || error == EBADF || error == EINVAL || error == 0;
}

}  // namespace

void write_line(const char* format, ...) {
    errno = 0;
    va_list args;
    va_start(args, format);
    const int written = vprintf(format, args);
    va_end(args);
    // A flush after every line works the same on every C library, including those that
    // treat line buffering as full buffering. Some runtimes report a failed flush only
    // through the stream's error flag.
    const bool flushed = fflush(stdout) == 0;
    if (written >= 0 && flushed && ferror(stdout) == 0) {
        return;
    }
    const int error = errno;
    if (reader_gone(error)) {
        // Nobody can read what this program writes: running on would be unseen work.
        fprintf(stderr, "clockgap: standard output is gone (%s); stopping.\n",
                error != 0 ? strerror(error) : "write failed");
        std::exit(EXIT_FAILURE);
    }
    // A passing fault (a full disk): this line is lost, the next one is tried afresh.
    clearerr(stdout);
}
