// The service's settings from its options, and the options again from the settings: the
// one reading that `install`, `run` and the installer package's check all use.
#include <windows.h>

#include <string>
#include <vector>

#include "report/cli.h"
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

// An option's whole number from `low` to `high` into `value`.
bool take_number(const char* text, long long low, long long high, int* value) {
    long long n = 0;
    if (!whole_number(text, low, high, &n)) {
        return false;
    }
    *value = static_cast<int>(n);
    return true;
}

int wrong(std::string* problem, const std::string& what) {
    *problem = what;
    return 2;
}

}  // namespace

int read_service_options(int argc, char** argv, int first, service_settings* s,
                         std::string* problem) {
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
                return wrong(problem, "--period needs a whole number of milliseconds, 0 to 100000");
            }
        } else if (arg == "--keep") {
            if (!take_number(value, 1, 100'000, &s->keep_days)) {
                return wrong(problem, "--keep needs a whole number of day files, 1 to 100000");
            }
        } else if (arg == "--log-dir" || arg == "--prometheus") {
            if (value == nullptr || value[0] == '\0') {
                return wrong(problem, arg + " needs a name");
            }
            (arg == "--log-dir" ? s->log_dir : s->prom_path) = value;
        } else {
            return wrong(problem, "unknown argument '" + arg + "'");
        }
        ++i;
    }
    return 0;
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
    return words;
}
