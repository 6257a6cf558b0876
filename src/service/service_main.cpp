// clockgap-service.exe install [--period MS] [--log-dir DIR] [--prometheus FILE]
//                              [--keep N] [--gzip]
// clockgap-service.exe uninstall
// Exit status: 0 done; 1 the service manager refused or a folder could not be made;
// 2 wrong usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clock/build_info.h"
#include "report/cli.h"
#include "service/service.h"

namespace {

const char usage_text[] =
    "usage: clockgap-service install [--period MS] [--log-dir DIR] [--prometheus FILE]\n"
    "                                [--keep N] [--gzip | --no-gzip]\n"
    "       clockgap-service uninstall\n"
    "       clockgap-service --help | --version\n"
    "\n"
    "Installs clockgap as the Windows service \"clockgap\", started at boot as\n"
    "NT AUTHORITY\\LocalService and restarted whenever it fails: the monitor\n"
    "(clockgap.exe from this program's folder) into the watch, which writes day files\n"
    "and a metrics file. Run again, install updates the settings. Needs an\n"
    "administrator's prompt.\n"
    "\n"
    "  --period MS      the monitor's sleep period (default 1)\n"
    "  --log-dir DIR    the day files clockgap-YYYY-MM-DD.log (UTC days) and the\n"
    "                   service's messages, clockgap-service.log\n"
    "                   (default %ProgramData%\\clockgap)\n"
    "  --prometheus FILE\n"
    "                   the metrics file (default: clockgap.prom in windows_exporter's\n"
    "                   textfile_inputs folder where windows_exporter is installed;\n"
    "                   otherwise none)\n"
    "  --keep N         keep the N day files started last (default 28)\n"
    "  --gzip           compress finished day files (the default)\n"
    "  --no-gzip        leave finished day files as they are\n";

int usage(const char* problem, const char* what = "") {
    if (problem != nullptr) {
        fprintf(stderr, "clockgap-service: ");
        fprintf(stderr, problem, what);
        fprintf(stderr, "\n");
    }
    fputs(usage_text, stderr);
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
        fputs(usage_text, stdout);
        return 0;
    }
    if (verb == "--version") {
        printf("clockgap-service %s\nbuilt with %s\n", build_version(), build_words());
        return 0;
    }
    return usage(verb.empty() ? "install or uninstall?" : "unknown verb '%s'", verb.c_str());
}
