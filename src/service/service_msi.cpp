// clockgap-msi.dll: the custom actions of the installer package. It decides nothing of
// its own: the settings are read by the same code as `clockgap-service install`, and the
// service is installed and removed by running clockgap-service.exe itself, whose every
// line goes into the installer's log.
//
//   CheckSettings (before anything changes): the service's present settings, then the
//     properties PERIOD, LOGDIR, KEEP, GZIP, PROMETHEUS and LISTEN over them; a wrong one ends
//     the installation. Sets the commands of the deferred actions below.
//   RunService (deferred): runs the command in CustomActionData; fails when it does.
#include <windows.h>
// After windows.h.
#include <msi.h>
#include <msiquery.h>
#include <shellapi.h>

#include <cctype>
#include <string>
#include <vector>

#include "service/service.h"

namespace {

std::string property(MSIHANDLE install, const char* name) {
    char small[1] = "";
    DWORD size = 0;
    if (MsiGetPropertyA(install, name, small, &size) != ERROR_MORE_DATA) {
        return "";
    }
    std::string value(size + 1, '\0');
    size += 1;
    if (MsiGetPropertyA(install, name, value.data(), &size) != ERROR_SUCCESS) {
        return "";
    }
    value.resize(size);
    return value;
}

// A line in the installer's log; an error is also shown where the installation has a
// user interface.
void say(MSIHANDLE install, const std::string& text, bool error = false) {
    const MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringA(record, 0, "[1]");
    MsiRecordSetStringA(record, 1, text.c_str());
    MsiProcessMessage(
        install,
        error ? INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR) : INSTALLMESSAGE_INFO,
        record);
    MsiCloseHandle(record);
}

std::string narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

// The words of the installed service's command, as its C runtime reads them; none when
// there is no service. `exists` says whether there is one.
std::vector<std::string> service_command(bool* exists) {
    std::vector<std::string> words;
    *exists = false;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceA(manager, service_name, SERVICE_QUERY_CONFIG) : nullptr;
    DWORD size = 0;
    if (service != nullptr) {
        *exists = true;
        QueryServiceConfigA(service, nullptr, 0, &size);
        std::vector<char> buffer(size);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (size > 0 && QueryServiceConfigA(service, config, size, &size)) {
            const int n = MultiByteToWideChar(CP_ACP, 0, config->lpBinaryPathName, -1, nullptr, 0);
            std::wstring wide(static_cast<size_t>(n), L'\0');
            MultiByteToWideChar(CP_ACP, 0, config->lpBinaryPathName, -1, wide.data(), n);
            int count = 0;
            if (wchar_t** argv = CommandLineToArgvW(wide.c_str(), &count)) {
                for (int i = 0; i < count; ++i) {
                    words.push_back(narrow(argv[i]));
                }
                LocalFree(argv);
            }
        }
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return words;
}

bool whole_path(const std::string& p) {
    return (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' &&
            (p[2] == '\\' || p[2] == '/')) ||
           p.rfind("\\\\", 0) == 0;
}

// A setting given as a property. A property of 1 or 0 (GZIP, FIREWALL: `off` the
// option of 0, `meaning` what the two say) is a flag; any other a value.
struct given_property {
    const char* name;
    const char* option;
    bool path;
    const char* off;
    const char* meaning;
};

// Appends to `words` the options a property's value stands for, a value checked alone
// with the service's own reading. False, with what is wrong in `problem`.
bool property_words(const given_property& g, const std::string& value,
                    std::vector<std::string>* words, std::string* problem) {
    const char* option = g.option;
    if (g.off != nullptr) {
        if (value != "1" && value != "0") {
            *problem = g.meaning;
            return false;
        }
        words->push_back(value == "1" ? option : g.off);
        return true;
    }
    const bool path = g.path;
    if (path && !whole_path(value)) {
        *problem = "a whole path such as D:\\clockgap is needed";
        return false;
    }
    service_settings alone;
    if (read_service_words({"clockgap-service", "install", option, value}, &alone, problem) != 0) {
        return false;
    }
    words->insert(words->end(), {option, value});
    return true;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
    std::vector<std::string> words = {"clockgap-service", "install"};
    // What the service runs with now: an upgrade or a repair keeps it.
    bool exists = false;
    std::vector<std::string> present = service_command(&exists);
    service_settings s;
    std::string problem;
    if (present.size() >= 2 && present[1] == "run") {
        present[1] = "install";
        if (read_service_words(present, &s, &problem) == 0) {
            words = present;
            say(install, "clockgap: the service's present settings:" + option_words(s));
        } else {
            say(install, "clockgap: the service's present command is not read (" + problem +
                             "): the defaults are taken");
        }
    }
    const given_property given[] = {
        {"PERIOD", "--period", false, nullptr, nullptr},
        {"LOGDIR", "--log-dir", true, nullptr, nullptr},
        {"KEEP", "--keep", false, nullptr, nullptr},
        {"PROMETHEUS", "--prometheus", true, nullptr, nullptr},
        {"LISTEN", "--listen", false, nullptr, nullptr},
        {"GZIP", "--gzip", false, "--no-gzip", "1 compresses finished day files, 0 leaves them"},
        {"FIREWALL", "--firewall", false, "--no-firewall",
         "1 adds a firewall rule for the port of LISTEN, 0 adds none"}};
    for (const given_property& g : given) {
        const std::string value = property(install, g.name);
        if (value.empty()) {
            continue;
        }
        if (!property_words(g, value, &words, &problem)) {
            say(install,
                std::string("clockgap: ") + g.name + "=" + value + " is wrong: " + problem +
                    ". Nothing was installed or changed.",
                true);
            return ERROR_INSTALL_FAILURE;
        }
    }
    if (read_service_words(words, &s, &problem) != 0) {
        say(install, "clockgap: " + problem, true);
        return ERROR_INSTALL_FAILURE;
    }
    const std::string program = quoted(property(install, "INSTALLFOLDER") + "clockgap-service.exe");
    MsiSetPropertyA(install, "InstallService", (program + " install" + option_words(s)).c_str());
    // Undone, a service that was not there before is removed again.
    MsiSetPropertyA(install, "UndoInstallService", exists ? "" : (program + " uninstall").c_str());
    say(install, "clockgap: the service will run with" + option_words(s));
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RunService(MSIHANDLE install) {
    std::string command = property(install, "CustomActionData");
    if (command.empty()) {
        return ERROR_SUCCESS;
    }
    say(install, "clockgap: running " + command);
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE from = nullptr;
    HANDLE to = nullptr;
    if (!CreatePipe(&from, &to, &inherited, 0)) {
        say(install, "clockgap: cannot make a pipe", true);
        return ERROR_INSTALL_FAILURE;
    }
    SetHandleInformation(from, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = to;
    start.hStdError = to;
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &start, &process);
    CloseHandle(to);
    if (!started) {
        CloseHandle(from);
        say(install, "clockgap: cannot start " + command, true);
        return ERROR_INSTALL_FAILURE;
    }
    // Every line it writes, into the log.
    std::string line;
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(from, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            if (chunk[i] == '\n') {
                say(install, line);
                line.clear();
            } else if (chunk[i] != '\r') {
                line += chunk[i];
            }
        }
    }
    if (!line.empty()) {
        say(install, line);
    }
    CloseHandle(from);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (status != 0) {
        say(install, "clockgap: " + command + " ended with status " + std::to_string(status));
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}
