#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "report/os/clocks.h"
#include "report/os/input.h"
#include "report/os/signals.h"

namespace {

input_end end_of(log_input* in) {
    if (!in->interrupted) {
        return input_end::end_of_input;
    }
    return stop_signal() == SIGTERM ? input_end::sigterm : input_end::ctrl_c;
}

// Waits until `fd` has something to read or `quiet_at_ms` passes; false when it passed.
bool wait_for_input(int fd, int64_t quiet_at_ms) {
    for (;;) {
        const int64_t left = quiet_at_ms - monotonic_ms();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left < 250 ? left : 250));
        if (ready != 0 || stop_signal() != 0) {
            return true;  // input, its end, an error or a signal: the read tells which
        }
    }
}

}  // namespace

bool open_log(const char* path, log_input* in, char* reason, size_t reason_size) {
    in->interrupted = false;
    in->ended = input_end::not_yet;
    in->quiet_at_ms = INT64_MAX;
    in->waits = false;
    struct stat st {};
    if (path == nullptr) {
        in->fd = STDIN_FILENO;
        in->waits = fstat(in->fd, &st) == 0 && !S_ISREG(st.st_mode);
        return true;
    }
    in->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (in->fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    if (fstat(in->fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        snprintf(reason, reason_size, "%s", strerror(EISDIR));
        close(in->fd);
        return false;
    }
    in->waits = !S_ISREG(st.st_mode);
    return true;
}

long read_log(log_input* in, char* data, size_t size, char* reason, size_t reason_size) {
    for (;;) {
        if (stop_signal() != 0 && !in->interrupted) {
            // Drain what the writer already put in the pipe, without waiting for more.
            in->interrupted = true;
            const int flags = fcntl(in->fd, F_GETFL);
            if (flags >= 0) {
                fcntl(in->fd, F_SETFL, flags | O_NONBLOCK);
            }
        }
        // A pipe is waited on in steps, so that a Ctrl-C another thread took is seen.
        if (!in->interrupted && (in->quiet_at_ms != INT64_MAX || in->waits)) {
            if (!wait_for_input(in->fd, in->quiet_at_ms)) {
                return read_quiet;
            }
            if (stop_signal() != 0) {
                continue;  // drain without waiting, as above
            }
        }
        const ssize_t n = read(in->fd, data, size);
        if (n == 0 && in->follow && stop_signal() == 0) {
            struct stat st {};
            if (fstat(in->fd, &st) == 0 && S_ISREG(st.st_mode)) {
                if (in->quiet_at_ms != INT64_MAX && monotonic_ms() >= in->quiet_at_ms) {
                    return read_quiet;
                }
                const timespec wait{0, 100'000'000};
                nanosleep(&wait, nullptr);
                continue;
            }
        }
        if (n >= 0) {
            // The writer may have gone with the same Ctrl-C before the handler ran.
            in->interrupted = in->interrupted || stop_signal() != 0;
            if (n == 0) {
                in->ended = end_of(in);
            }
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (in->interrupted && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            in->ended = end_of(in);
            return 0;
        }
        snprintf(reason, reason_size, "%s", strerror(errno));
        return -1;
    }
}

void close_log(log_input* in) {
    if (in->fd != STDIN_FILENO) {
        close(in->fd);
    }
}

bool is_regular_file(int fd) {
    struct stat st {};
    return fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool stdin_is_terminal() {
    return isatty(STDIN_FILENO) == 1;
}
