#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/report_os.h"

bool open_log(const char* path, log_input* in, char* reason, size_t reason_size) {
    in->interrupted = false;
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

long read_log(log_input* in, char* data, size_t size, char* reason, size_t reason_size) {
    const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    const int n = _read(in->fd, data, chunk);
    if (n < 0) {
        // A pipe whose writer has gone reads as its end.
        if (errno == EPIPE) {
            return 0;
        }
        snprintf(reason, reason_size, "%s", strerror(errno));
        return -1;
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

bool program_on_path(const char* program) {
    char found[MAX_PATH];
    return SearchPathA(nullptr, program, ".exe", MAX_PATH, found, nullptr) > 0;
}

FILE* start_gnuplot() {
    return _popen("gnuplot 2>NUL", "w");
}

bool finish_gnuplot(FILE* gnuplot) {
    return _pclose(gnuplot) == 0;
}

bool file_has_content(const char* path) {
    struct _stat64 st {};
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFREG) != 0 && st.st_size > 0;
}
