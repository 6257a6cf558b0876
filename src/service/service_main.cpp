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

std::string environment(const char* name, const char* fallback) {
    char value[MAX_PATH] = "";
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value) : std::string(fallback);
}

// windows_exporter's textfile folder, where it is installed.
std::string exporter_metrics_file() {
    const std::string folder =
        environment("ProgramFiles", "C:\\Program Files") + "\\windows_exporter\\textfile_inputs";
    const DWORD kind = GetFileAttributesA(folder.c_str());
    if (kind != INVALID_FILE_ATTRIBUTES && (kind & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return folder + "\\clockgap.prom";
    }
    return "";
}

// An option's whole number from `low` to `high` into `value`.
bool take_number(const char* text, long long low, long long high, int* value) {
    long long n = 0;
    if (!whole_number(text, low, high, &n)) {
        return false;
    }
    *value = static_cast<int>(n);
    return true;
}

}  // namespace

int read_service_options(int argc, char** argv, int first, service_settings* s) {
    s->period_ms = 1;
    s->log_dir = environment("ProgramData", "C:\\ProgramData") + "\\clockgap";
    s->prom_path = exporter_metrics_file();
    s->keep_days = 28;
    s->gzip = true;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--gzip" || arg == "--no-gzip") {
            s->gzip = arg == "--gzip";
            continue;
        }
        if (arg == "--period") {
            if (!take_number(value, 0, 100'000, &s->period_ms)) {
                return usage("--period needs a whole number of milliseconds, 0 to 100000");
            }
        } else if (arg == "--keep") {
            if (!take_number(value, 1, 100'000, &s->keep_days)) {
                return usage("--keep needs a whole number of day files, 1 to 100000");
            }
        } else if (arg == "--log-dir" || arg == "--prometheus") {
            if (value == nullptr || value[0] == '\0') {
                return usage("%s needs a name", arg.c_str());
            }
            (arg == "--log-dir" ? s->log_dir : s->prom_path) = value;
        } else {
            return usage("unknown argument '%s'", argv[i]);
        }
        ++i;
    }
    return 0;
}

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    service_settings s;
    if (verb == "install" || verb == "run") {
        if (const int status = read_service_options(argc, argv, 2, &s); status != 0) {
            return status;
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
