#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/os/clocks.h"
#include "report/os/input.h"

bool open_log(const char* path, log_input* in, char* reason, size_t reason_size) {
    in->interrupted = false;
    in->ended = input_end::not_yet;
    in->quiet_at_ms = INT64_MAX;
    in->waits = false;
    if (path == nullptr) {
        // Bytes as written: the reader takes CR LF and LF alike.
        _setmode(_fileno(stdin), _O_BINARY);
        in->fd = _fileno(stdin);
        return true;
    }
    struct _stat64 st {};
    if (_stat64(path, &st) == 0 && (st.st_mode & _S_IFDIR) != 0) {
        snprintf(reason, reason_size, "%s", strerror(EISDIR));
        return false;
    }
    in->fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (in->fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    return true;
}

namespace {

// A read from a pipe blocks with no time limit, so a pipe is watched until it holds
// bytes, its writer has gone (the read then tells) or `quiet_at_ms` passes; false when
// it passed. Other inputs are read as they are.
bool wait_for_input(int fd, int64_t quiet_at_ms) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (GetFileType(handle) != FILE_TYPE_PIPE) {
        return true;
    }
    for (;;) {
        DWORD available = 0;
        if (PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) == 0 || available > 0) {
            return true;
        }
        if (monotonic_ms() >= quiet_at_ms) {
            return false;
        }
        ::Sleep(20);
    }
}

}  // namespace

long read_log(log_input* in, char* data, size_t size, char* reason, size_t reason_size) {
    const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    if (in->quiet_at_ms != INT64_MAX && !wait_for_input(in->fd, in->quiet_at_ms)) {
        return read_quiet;
    }
    int n = _read(in->fd, data, chunk);
    while (n == 0 && in->follow &&
           GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(in->fd))) == FILE_TYPE_DISK) {
        if (in->quiet_at_ms != INT64_MAX && monotonic_ms() >= in->quiet_at_ms) {
            return read_quiet;
        }
        ::Sleep(100);
        n = _read(in->fd, data, chunk);
    }
    if (n < 0) {
        // A pipe whose writer has gone reads as its end.
        if (errno == EPIPE) {
            in->ended = input_end::end_of_input;
            return 0;
        }
        snprintf(reason, reason_size, "%s", strerror(errno));
        return -1;
    }
    if (n == 0) {
        in->ended = input_end::end_of_input;
    }
    return n;
}

void close_log(log_input* in) {
    if (in->fd != _fileno(stdin)) {
        _close(in->fd);
    }
}

bool is_regular_file(int fd) {
    struct _stat64 st {};
    return fd >= 0 && _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

bool stdin_is_terminal() {
    return _isatty(_fileno(stdin)) != 0;
}
