#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/os/files.h"

bool replace_file(const char* from, const char* to, char* reason, size_t reason_size) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
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
    int fd = _open(probe, _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST) {
        // A probe left by a process that was killed, and whose id came again.
        _unlink(probe);
        fd = _open(probe, _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
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

long read_small_file(const char* path, char* data, size_t size) {
    const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0 || size == 0) {
        if (fd >= 0) {
            _close(fd);
        }
        return -1;
    }
    size_t got = 0;
    while (got + 1 < size) {
        const int n = _read(fd, data + got, static_cast<unsigned>(size - 1 - got));
        if (n < 0) {
            _close(fd);
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    _close(fd);
    data[got] = '\0';
    return static_cast<long>(got);
}

bool sync_file(FILE* file) {
    return fflush(file) == 0 &&
           FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != 0;
}

bool sync_path(const char* path) {
    // FlushFileBuffers needs a handle that may write.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool synced = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return synced;
}

bool sync_folder_of(const char*) {
    return true;  // MoveFileEx's MOVEFILE_WRITE_THROUGH returns once the move is on disk
}

bool hold_lock_file(const char* path, long* holder, char* reason, size_t reason_size) {
    *holder = -1;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        snprintf(reason, reason_size, "error %lu", GetLastError());
        return false;
    }
    // A byte far past the process id is locked, so that the id itself stays readable.
    OVERLAPPED at{};
    at.Offset = 0x40000000;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
            // Not another holder: the lock itself failed.
            snprintf(reason, reason_size, "it cannot be locked (error %lu)", error);
            CloseHandle(file);
            return false;
        }
        char text[32] = "";
        DWORD n = 0;
        *holder = 0;
        if (ReadFile(file, text, sizeof text - 1, &n, nullptr)) {
            text[n] = '\0';
            *holder = strtol(text, nullptr, 10);
        }
        snprintf(reason, reason_size, "another process holds it");
        CloseHandle(file);
        return false;
    }
    // Held until the process ends: the handle stays open, and the lock goes with it.
    char text[32];
    const int n = snprintf(text, sizeof text, "%lu\r\n", GetCurrentProcessId());
    DWORD written = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(file) || !WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr)) {
        snprintf(reason, reason_size, "error %lu", GetLastError());
        CloseHandle(file);
        return false;
    }
    return true;
}

FILE* open_file(const char* path, const char* mode) {
    char kept[8];
    snprintf(kept, sizeof kept, "%sN", mode);  // the C runtime: _O_NOINHERIT
    return fopen(path, kept);
}
