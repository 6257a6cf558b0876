#include <windows.h>

#include <cstdio>

#include "report/os/plotting.h"

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
