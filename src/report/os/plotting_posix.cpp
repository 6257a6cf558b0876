#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "report/os/plotting.h"

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
