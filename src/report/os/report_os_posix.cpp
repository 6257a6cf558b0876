#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "report/causes/cause_rules.h"
#include "report/os/report_os.h"

namespace {

// The signal that asked the watch to stop; 0 while none has.
volatile sig_atomic_t interrupt_seen = 0;

void on_interrupt(int signal_number) {
    interrupt_seen = signal_number;
}

input_end end_of(log_input* in) {
    if (!in->interrupted) {
        return input_end::end_of_input;
    }
    return interrupt_seen == SIGTERM ? input_end::sigterm : input_end::ctrl_c;
}

// Waits until `fd` has something to read or `quiet_at_ms` passes; false when it passed.
bool wait_for_input(int fd, int64_t quiet_at_ms) {
    for (;;) {
        const int64_t left = quiet_at_ms - monotonic_ms();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left < 1000 ? left : 1000));
        if (ready != 0 || interrupt_seen != 0) {
            return true;  // input, its end, an error or a signal: the read tells which
        }
    }
}

// The process or thread id that a /proc entry's name is, or 0 for any other entry.
long id_named(const char* name) {
    char* end = nullptr;
    const long id = strtol(name, &end, 10);
    return end != name && *end == '\0' ? id : 0;
}

void say(const char* what, char* reason, size_t size) {
    snprintf(reason, size, "%s", what);
}

}  // namespace

bool open_log(const char* path, log_input* in, char* reason, size_t reason_size) {
    in->interrupted = false;
    in->ended = input_end::not_yet;
    in->quiet_at_ms = INT64_MAX;
    if (path == nullptr) {
        in->fd = STDIN_FILENO;
        return true;
    }
    in->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (in->fd < 0) {
        say(strerror(errno), reason, reason_size);
        return false;
    }
    struct stat st {};
    if (fstat(in->fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        say(strerror(EISDIR), reason, reason_size);
        close(in->fd);
        return false;
    }
    return true;
}

long read_log(log_input* in, char* data, size_t size, char* reason, size_t reason_size) {
    for (;;) {
        if (interrupt_seen && !in->interrupted) {
            // Drain what the writer already put in the pipe, without waiting for more.
            in->interrupted = true;
            const int flags = fcntl(in->fd, F_GETFL);
            if (flags >= 0) {
                fcntl(in->fd, F_SETFL, flags | O_NONBLOCK);
            }
        }
        if (!in->interrupted && in->quiet_at_ms != INT64_MAX) {
            if (!wait_for_input(in->fd, in->quiet_at_ms)) {
                return read_quiet;
            }
            if (interrupt_seen != 0) {
                continue;  // drain without waiting, as above
            }
        }
        const ssize_t n = read(in->fd, data, size);
        if (n == 0 && in->follow && interrupt_seen == 0) {
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
            in->interrupted = in->interrupted || interrupt_seen != 0;
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
        say(strerror(errno), reason, reason_size);
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

bool program_on_path(const char* program) {
    const char* path = getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const size_t colon = dirs.find(':');
        const std::string candidate = std::string(dirs.substr(0, colon)) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
    }
    return false;
}

const char* gnuplot_install_hint() {
    return "Debian: apt-get install gnuplot-nox";
}

FILE* start_gnuplot() {
    return popen("gnuplot 2>/dev/null", "w");
}

bool finish_gnuplot(FILE* gnuplot) {
    return pclose(gnuplot) == 0;
}

long process_id() {
    return static_cast<long>(getpid());
}

bool replace_file(const char* from, const char* to, char* reason, size_t reason_size) {
    if (rename(from, to) != 0) {
        say(strerror(errno), reason, reason_size);
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
        say(strerror(errno), reason, reason_size);
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
        say(strerror(errno), reason, reason_size);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
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
        say(strerror(errno), reason, reason_size);
        close(fd);
        return false;
    }
    return true;
}

bool process_running(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int64_t wall_clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t ns = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(now.tv_sec), int64_t{1'000'000'000}, &ns) ||
        __builtin_add_overflow(ns, static_cast<int64_t>(now.tv_nsec), &ns)) {
        return now.tv_sec < 0 ? INT64_MIN : INT64_MAX;
    }
    return ns;
}

const char* proc_folder() {
    return "/proc";
}

int64_t ns_per_clock_tick() {
    const long ticks = sysconf(_SC_CLK_TCK);
    return ticks > 0 ? 1'000'000'000 / ticks : 10'000'000;
}

long find_input_writer(int fd, const char* program) {
    struct stat in {};
    if (fd < 0 || fstat(fd, &in) != 0 || !(S_ISFIFO(in.st_mode) || S_ISREG(in.st_mode))) {
        return 0;
    }
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    long found = 0;
    const long self = static_cast<long>(getpid());
    while (const dirent* entry = readdir(proc)) {
        const long pid = id_named(entry->d_name);
        if (pid <= 0 || pid == self) {
            continue;
        }
        char path[64], name[64];
        struct stat st {};
        snprintf(path, sizeof path, "/proc/%ld", pid);
        if (stat(path, &st) != 0 || st.st_uid != getuid()) {
            continue;
        }
        // Its standard output is the same pipe, named pipe or file as the watch's input.
        snprintf(path, sizeof path, "/proc/%ld/fd/1", pid);
        if (stat(path, &st) != 0 || st.st_dev != in.st_dev || st.st_ino != in.st_ino) {
            continue;
        }
        snprintf(path, sizeof path, "/proc/%ld/comm", pid);
        if (read_small_file(path, name, sizeof name) > 0) {
            name[strcspn(name, "\n")] = '\0';
            if (strcmp(name, program) == 0) {
                found = pid;
                break;
            }
        }
    }
    closedir(proc);
    return found;
}

int list_ids(const char* folder, long* ids, int capacity) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) {
        return 0;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        const long id = id_named(entry->d_name);
        if (id > 0 && count < capacity) {
            ids[count++] = id;
        }
    }
    closedir(dir);
    return count;
}

int list_threads(long pid, long* tids, int capacity) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/task", pid);
    const int count = list_ids(path, tids, capacity);
    // The process's own first thread first: its CPU is the one the figures follow.
    for (int i = 0; i < count; ++i) {
        if (tids[i] == pid) {
            tids[i] = tids[0];
            tids[0] = pid;
        }
    }
    return count;
}

int read_process_times(process_time*, int) {
    return -1;  // /proc has them, one file a process
}

void read_os_counters(long, os_counters* c) {
    timespec boot{}, mono{};
    c->have = 0;
    // The boot clock counts time suspended; the monotonic clock does not.
    if (clock_gettime(CLOCK_MONOTONIC, &mono) == 0 && clock_gettime(CLOCK_BOOTTIME, &boot) == 0) {
        c->suspended_ns = (static_cast<int64_t>(boot.tv_sec) - mono.tv_sec) * 1'000'000'000 +
                          (boot.tv_nsec - mono.tv_nsec);
        c->have |= have_suspend;
    }
}
