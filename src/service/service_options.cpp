// The service's settings from its options, and the options again from the settings: the
// one reading that `install`, `run` and the installer package's check all use.
#include <windows.h>

#include <string>
#include <vector>

#include "report/options/listen_address.h"
#include "report/options/option_table.h"
#include "service/service.h"

namespace {

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

using row = option_row<service_settings>;
using ss = service_settings;

// The options of `install` and `run`, each one row.
constexpr row option_table[] = {
    {.name = "--period",
     .kind = value_kind::whole,
     .value_name = "MS",
     .help = "the monitor's sleep period (default 1)",
     .number = &ss::period_ms,
     .low = 0,
     .high = longest_monitor_period_ms,
     .unit = "milliseconds"},
    {.name = "--log-dir",
     .kind = value_kind::name,
     .value_name = "DIR",
     .help = "the day files clockgap-YYYY-MM-DD.log (UTC days) and the\n"
             "service's messages, clockgap-service.log\n"
             "(default %ProgramData%\\clockgap)",
     .string = &ss::log_dir,
     .needs = "a name"},
    {.name = "--prometheus",
     .kind = value_kind::name,
     .value_name = "FILE",
     .help = "the metrics file (default: clockgap.prom in windows_exporter's\n"
             "textfile_inputs folder where windows_exporter is installed;\n"
             "otherwise none)",
     .string = &ss::prom_path,
     .needs = "a name"},
    {.name = "--listen",
     .kind = value_kind::name,
     .value_name = "ADDR:PORT",
     .help = "also serve the metrics over HTTP at /metrics (PORT alone:\n"
             "127.0.0.1; 0.0.0.0:PORT for every address); none by default",
     .string = &ss::listen,
     .needs = "an address"},
    {.name = "--firewall",
     .help = "with --listen: install adds an inbound rule of Windows Firewall\n"
             "for its port (\"clockgap metrics\"); uninstall removes it",
     .flag = &ss::firewall},
    {.name = "--no-firewall",
     .help = "add no firewall rule, and remove one added before (the default)",
     .flag = &ss::firewall,
     .set = false},
    {.name = "--keep",
     .kind = value_kind::whole,
     .value_name = "N",
     .help = "keep the N day files started last (default 28)",
     .number = &ss::keep_days,
     .low = 1,
     .high = 100'000,
     .unit = "day files"},
    {.name = "--gzip", .help = "compress finished day files (the default)", .flag = &ss::gzip},
    {.name = "--no-gzip",
     .help = "leave finished day files as they are",
     .flag = &ss::gzip,
     .set = false},
};

}  // namespace

int read_service_options(int argc, char** argv, int first, service_settings* s,
                         std::string* problem) {
    s->period_ms = 1;
    s->log_dir = environment("ProgramData", "C:\\ProgramData") + "\\clockgap";
    s->prom_path = exporter_metrics_file();
    s->keep_days = 28;
    s->gzip = true;
    s->listen.clear();
    s->firewall = false;
    const int status = read_table_options(argc, argv, first, std::span<const row>(option_table), s,
                                          nullptr, problem);
    std::string host;
    int port = 0;
    char why[160] = "";
    if (status == 0 && !s->listen.empty() &&
        !split_listen_address(s->listen.c_str(), &host, &port, why, sizeof why)) {
        *problem = std::string("--listen takes PORT, IPV4:PORT or [IPV6]:PORT: ") + why;
        return 2;
    }
    if (status == 0 && s->firewall && s->listen.empty()) {
        *problem = "--firewall goes with --listen: it opens the port that --listen serves";
        return 2;
    }
    return status;
}

void print_service_option_help(FILE* out) {
    print_option_help(out, std::span<const row>(option_table), 19);
}

int read_service_words(std::vector<std::string> words, service_settings* s, std::string* problem) {
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    return read_service_options(static_cast<int>(argv.size()), argv.data(), 2, s, problem);
}

std::string quoted(const std::string& s) {
    // A backslash before the closing quote would escape it: "D:\" is written "D:\\".
    size_t trailing = 0;
    while (trailing < s.size() && s[s.size() - 1 - trailing] == '\\') {
        ++trailing;
    }
    return "\"" + s + std::string(trailing, '\\') + "\"";
}

std::string option_words(const service_settings& s) {
    std::string words = " --period " + std::to_string(s.period_ms) + " --log-dir " +
                        quoted(s.log_dir) + " --keep " + std::to_string(s.keep_days) +
                        (s.gzip ? " --gzip" : " --no-gzip");
    if (!s.prom_path.empty()) {
        words += " --prometheus " + quoted(s.prom_path);
    }
    if (!s.listen.empty()) {
        words += " --listen " + quoted(s.listen);
    }
    if (s.firewall) {
        words += " --firewall";
    }
    return words;
}
