// A process shaped like a busy server, for the tests and benchmarks of who took the
// monitor's CPU: its first thread pinned to one CPU and asleep, its workers pinned to
// another and spinning, and any number of threads that only sleep.
// Usage: spinner MAIN_CPU WORK_CPU WORKERS [SLEEPERS]. It runs until it is killed.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace {

void pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<size_t>(cpu), &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        return 2;
    }
    const int main_cpu = atoi(argv[1]), work_cpu = atoi(argv[2]), workers = atoi(argv[3]);
    const int sleepers = argc == 5 ? atoi(argv[4]) : 0;
    pin(main_cpu);
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i) {
        threads.emplace_back([work_cpu] {
            pin(work_cpu);
            volatile unsigned long n = 0;
            for (;;) {
                n = n + 1;
            }
        });
    }
    for (int i = 0; i < sleepers; ++i) {
        threads.emplace_back([] {
            for (;;) {
                pause();
            }
        });
    }
    for (;;) {
        pause();
    }
}
