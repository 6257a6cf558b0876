#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/os/report_os.h"

int64_t monotonic_ms() {
    return static_cast<int64_t>(GetTickCount64());
}

bool open_log(const char* path, log_input* in, char* reason, size_t reason_size) {
    in->interrupted = false;
    in->ended = input_end::not_yet;
    in->quiet_at_ms = INT64_MAX;
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
    in->fd = _open(path, _O_RDONLY | _O_BINARY);
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

bool stdin_is_terminal() {
    return _isatty(_fileno(stdin)) != 0;
}

// The console's Ctrl-C ends the program as usual: a pipe's reader on Windows cannot be
// woken from its wait, and the monitor on the other side ends anyway.
void end_input_on_interrupt() {}

// Windows sends no signal for a broken pipe: the write fails.
void ignore_broken_pipe() {}

void end_for_broken_pipe() {
    _exit(1);
}

bool program_on_path(const char* program) {
    char found[MAX_PATH];
    return SearchPathA(nullptr, program, ".exe", MAX_PATH, found, nullptr) > 0;
}

const char* gnuplot_install_hint() {
    return "Windows: install gnuplot for Windows and let its installer add it to the PATH, "
           "or add its bin folder to the PATH";
}

FILE* start_gnuplot() {
    return _popen("gnuplot 2>NUL", "w");
}

bool finish_gnuplot(FILE* gnuplot) {
    return _pclose(gnuplot) == 0;
}

long process_id() {
    return static_cast<long>(GetCurrentProcessId());
}

bool replace_file(const char* from, const char* to, char* reason, size_t reason_size) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) == 0) {
        snprintf(reason, reason_size, "error %lu", GetLastError());
        return false;
    }
    return true;
}

size_t file_name_start(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* backslash = strrchr(path, '\\');
    const char* end = backslash > slash ? backslash : slash;
    return end != nullptr ? static_cast<size_t>(end - path) + 1 : 0;
}

bool folder_writable(const char* path, char* reason, size_t reason_size) {
    char probe[4096];
    const int folder = static_cast<int>(file_name_start(path));
    snprintf(probe, sizeof probe, "%.*s.clockgap-check.%lu", folder, path, GetCurrentProcessId());
    int fd = _open(probe, _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST) {
        // A probe left by a process that was killed, and whose id came again.
        _unlink(probe);
        fd = _open(probe, _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
    }
    if (fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    _close(fd);
    _unlink(probe);
    return true;
}

bool file_has_content(const char* path) {
    struct _stat64 st {};
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFREG) != 0 && st.st_size > 0;
}

bool is_folder(const char* path) {
    struct _stat64 st {};
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
}

bool truncate_file(FILE* file, long size) {
    return _chsize_s(_fileno(file), size) == 0;
}
