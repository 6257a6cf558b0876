#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "report/os/files.h"

bool replace_file(const char* from, const char* to, char* reason, size_t reason_size) {
    if (rename(from, to) != 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    return true;
}

size_t file_name_start(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
}

bool folder_writable(const char* path, char* reason, size_t reason_size) {
    const std::string probe =
        std::string(path, file_name_start(path)) + ".clockgap-check." + std::to_string(getpid());
    int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        // A probe left by a process that was killed, and whose id came again.
        unlink(probe.c_str());
        fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

bool file_has_content(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

bool is_folder(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool truncate_file(FILE* file, long size) {
    return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

long read_small_file(const char* path, char* data, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || size == 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    size_t got = 0;
    while (got + 1 < size) {
        const ssize_t n = read(fd, data + got, size - 1 - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n < 0) {
                close(fd);
                return -1;
            }
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    data[got] = '\0';
    return static_cast<long>(got);
}

bool sync_file(FILE* file) {
    return fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool sync_path(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool sync_folder_of(const char* path) {
    const size_t start = file_name_start(path);
    const std::string folder = start > 0 ? std::string(path, start) : std::string(".");
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool hold_lock_file(const char* path, long* holder, char* reason, size_t reason_size) {
    *holder = -1;
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error != EWOULDBLOCK) {
            // Not another holder: the lock itself failed (a file system without locks).
            snprintf(reason, reason_size, "it cannot be locked (%s)", strerror(error));
            close(fd);
            return false;
        }
        char text[32] = "";
        const ssize_t n = pread(fd, text, sizeof text - 1, 0);
        text[n > 0 ? n : 0] = '\0';
        *holder = strtol(text, nullptr, 10);
        snprintf(reason, reason_size, "another process holds it");
        close(fd);
        return false;
    }
    // Held until the process ends: the descriptor stays open, and the lock goes with it.
    char text[32];
    const int n = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        close(fd);
        return false;
    }
    return true;
}

FILE* open_file(const char* path, const char* mode) {
    char kept[8];
    snprintf(kept, sizeof kept, "%se", mode);  // glibc: O_CLOEXEC
    return fopen(path, kept);
}
