#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "report/os/files.h"
#include "report/os/processes.h"

namespace {

// The process or thread id that a /proc entry's name is, or 0 for any other entry.
long id_named(const char* name) {
    char* end = nullptr;
    const long id = strtol(name, &end, 10);
    return end != name && *end == '\0' ? id : 0;
}

}  // namespace

long process_id() {
    return static_cast<long>(getpid());
}

bool process_running(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
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
    c->suspended_read = c->interrupts_read = c->monitor_cpu_read = false;
    // The boot clock counts time suspended; the monotonic clock does not.
    if (clock_gettime(CLOCK_MONOTONIC, &mono) == 0 && clock_gettime(CLOCK_BOOTTIME, &boot) == 0) {
        c->suspended_ns = (static_cast<int64_t>(boot.tv_sec) - mono.tv_sec) * 1'000'000'000 +
                          (boot.tv_nsec - mono.tv_nsec);
        c->suspended_read = true;
    }
}

std::string own_folder() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return "";
    }
    path[n] = '\0';
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? std::string(path, static_cast<size_t>(slash - path)) : "";
}

long start_monitor(const char* program, const char* argument, char* reason, size_t reason_size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return 0;
    }
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, ends[1], STDOUT_FILENO);
    // The monitor's signals at their defaults: it ends when its reader has gone.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    char* const args[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t pid = 0;
    const int error = posix_spawn(&pid, program, &files, &attributes, args, environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    if (error != 0 || dup2(ends[0], STDIN_FILENO) < 0) {
        snprintf(reason, reason_size, "%s", strerror(error != 0 ? error : errno));
        close(ends[0]);
        return 0;
    }
    close(ends[0]);
    return static_cast<long>(pid);
}

void stop_monitor(long pid, char* how, size_t how_size) {
    how[0] = '\0';
    if (pid <= 0) {
        return;
    }
    int status = 0;
    pid_t ended = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
    const bool sent = ended == 0 && kill(static_cast<pid_t>(pid), SIGTERM) == 0;
    while (ended == 0 || (ended < 0 && errno == EINTR)) {
        ended = waitpid(static_cast<pid_t>(pid), &status, 0);
    }
    if (ended < 0) {
        snprintf(how, how_size, "could not be waited for (%s)", strerror(errno));
    } else if (WIFEXITED(status)) {
        snprintf(how, how_size, "exited with status %d", WEXITSTATUS(status));
    } else if (WIFSIGNALED(status) && !(sent && WTERMSIG(status) == SIGTERM)) {
        snprintf(how, how_size, "was killed by signal %d (%s)", WTERMSIG(status),
                 strsignal(WTERMSIG(status)));
    }
}
