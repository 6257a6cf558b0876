// clockgap-service.exe install [--period MS] [--log-dir DIR] [--prometheus FILE]
//                              [--listen ADDR:PORT [--firewall]] [--keep N] [--gzip]
// clockgap-service.exe uninstall
// Exit status: 0 done; 1 the service manager refused or a folder could not be made;
// 2 wrong usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clock/build_info.h"
#include "service/service.h"

namespace {

const char usage_text[] =
    "usage: clockgap-service install [--period MS] [--log-dir DIR] [--prometheus FILE]\n"
    "                                [--listen ADDR:PORT [--firewall]] [--keep N]\n"
    "                                [--gzip | --no-gzip]\n"
    "       clockgap-service uninstall\n"
    "       clockgap-service --help | --version\n"
    "\n"
    "Installs clockgap as the Windows service \"clockgap\", started at boot as\n"
    "NT AUTHORITY\\LocalService and restarted whenever it fails: the monitor\n"
    "(clockgap.exe from this program's folder) into the watch, which writes day files\n"
    "and a metrics file. Run again, install updates the settings. Needs an\n"
    "administrator's prompt.\n"
    "\n";

void print_usage(FILE* out) {
    fputs(usage_text, out);
    print_service_option_help(out);
}

int usage(const char* problem, const char* what = "") {
    if (problem != nullptr) {
        fprintf(stderr, "clockgap-service: ");
        fprintf(stderr, problem, what);
        fprintf(stderr, "\n");
    }
    print_usage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    service_settings s;
    if (verb == "install" || verb == "run") {
        if (std::string problem; read_service_options(argc, argv, 2, &s, &problem) != 0) {
            return usage("%s", problem.c_str());
        }
        return verb == "install" ? install_service(s) : run_service(s);
    }
    if (verb == "uninstall" && argc == 2) {
        return uninstall_service();
    }
    if (verb == "--help" || verb == "-h") {
        print_usage(stdout);
        return 0;
    }
    if (verb == "--version") {
        printf("clockgap-service %s\nbuilt with %s\n", build_version(), build_words());
        return 0;
    }
    return usage(verb.empty() ? "install or uninstall?" : "unknown verb '%s'", verb.c_str());
}
