#include "monitor/console_output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Longer than any row or header; only an argument line that echoes a very long argument
// is longer, and it is written as it comes.
constexpr size_t line_capacity = 4096;

// The rest of a line that could be written only in part (a full disk): it is finished,
// before any later line, as soon as writes succeed again, so that no two lines are glued.
// Static storage: nothing is allocated in the loop.
char rest[line_capacity];
size_t rest_size = 0;

// Whether a failed write means that nobody can read the output any more. EPIPE: the
// reader of a pipe has gone (POSIX, with SIGPIPE ignored or blocked). EBADF: standard
// output is closed. EINVAL: the Windows C runtime's report of a pipe whose reader has
// gone, and of a handle that takes no writes. A runtime that flags the stream without
// saying why has met a pipe that took no bytes. Anything else (ENOSPC on a full disk,
// EIO) may pass.
bool reader_gone(int error) {
    return error == EPIPE || error == EBADF || error == EINVAL || error == 0;
}

// After a failed write: ends the program when nobody can read it, else clears the error
// so that the next line is tried afresh.
void after_failure(int error) {
    if (reader_gone(error)) {
        // Nobody can read what this program writes: running on would be unseen work.
        fprintf(stderr, "clockgap: standard output is gone (%s); stopping.\n",
                error != 0 ? strerror(error) : "write failed");
        std::exit(EXIT_FAILURE);
    }
    clearerr(stdout);
}

// Writes `size` bytes and returns how many reached the output. Standard output is
// unbuffered (set before the first line), so fwrite hands them to the system at once and
// its count is what the system took: on Linux write(2) takes a full disk's last free
// bytes and then fails, which leaves part of a line. The Windows C runtime's _write does
// not write part of a buffer to a full disk (it fails whole), so there a line is
// written whole or not at all already, and `rest` stays empty.
size_t put(const char* data, size_t size) {
    errno = 0;
    return fwrite(data, 1, size, stdout);
}

}  // namespace

void write_line(const char* format, ...) {
    static bool unbuffered = false;
    if (!unbuffered) {
        // Every line is handed to the system as soon as it is complete, on every C library.
        setvbuf(stdout, nullptr, _IONBF, 0);
        unbuffered = true;
    }
    char line[line_capacity];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= sizeof line) {
        va_start(args, format);
        errno = 0;
        const bool written = vprintf(format, args) >= 0 && ferror(stdout) == 0;
        va_end(args);
        if (!written) {
            after_failure(errno);
        }
        return;
    }
    if (rest_size > 0) {
        const size_t finished = put(rest, rest_size);
        memmove(rest, rest + finished, rest_size - finished);
        rest_size -= finished;
        if (rest_size > 0) {
            after_failure(errno);  // still no room: this line is lost whole
            return;
        }
    }
    const auto size = static_cast<size_t>(length);
    const size_t written = put(line, size);
    if (written == size && ferror(stdout) == 0) {
        return;
    }
    if (written > 0 && written < size) {
        // A line begun is finished later; one that could not be begun is lost whole.
        memcpy(rest, line + written, size - written);
        rest_size = size - written;
    }
    after_failure(errno);
}
