#include <aclapi.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "report/os/files.h"
#include "service/service.h"
#include "service/service_acl.h"

namespace {

const char display_name[] = "clockgap clock watch";
const char description[] =
    "Watches how regularly a process gets to read the wall clock: the clockgap monitor "
    "into its watch, which writes day files and a metrics file.";
const char event_source_key[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\clockgap";

// The system's words for an error code.
std::string words(DWORD code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) {
        s.pop_back();
    }
    return s.empty() ? "error " + std::to_string(code) : s;
}

int fail(const char* what, const std::string& name, DWORD code) {
    fprintf(stderr, "clockgap-service: %s%s (%s)\n", what, name.c_str(), words(code).c_str());
    return 1;
}

// Makes `folder` and the folders above it that are missing.
bool make_folder(const std::string& folder) {
    if (CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
        return true;
    }
    if (GetLastError() != ERROR_PATH_NOT_FOUND) {
        return false;
    }
    const std::string above = folder_of(folder);
    return above != folder && make_folder(above) &&
           (CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
}

// Where install keeps what it granted, for uninstall: the service's Parameters key.
const char parameters_key[] = "SYSTEM\\CurrentControlSet\\Services\\clockgap\\Parameters";

void remember(const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, parameters_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        RegCloseKey(key);
    }
}

std::string recall(const char* name) {
    char value[MAX_PATH * 2] = "";
    DWORD size = sizeof value - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, parameters_key, name, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS) {
        return "";
    }
    return value;
}

// `path` made absolute against this process's current folder ("C:" alone: the current
// folder on C:), as the service, started elsewhere, must be given it.
std::string absolute(const std::string& path) {
    char full[MAX_PATH * 2];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full) : path;
}

// The command the service manager starts.
std::string run_command(const service_settings& s) {
    return quoted(own_path()) + " run" + option_words(s);
}

// Description, and recovery: a restart 5 s after every failure, without end (the last
// action repeats), also when the service stops with an error of its own.
bool describe(SC_HANDLE service) {
    SERVICE_DESCRIPTIONA text{const_cast<char*>(description)};
    SC_ACTION restart[3] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}};
    SERVICE_FAILURE_ACTIONSA actions{};
    actions.dwResetPeriod = 86400;
    actions.cActions = 3;
    actions.lpsaActions = restart;
    SERVICE_FAILURE_ACTIONS_FLAG on_error{TRUE};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text) ||
        !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
        return false;
    }
    // Older service managers (and Wine's) lack the flag: a crash is still a failure.
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error)) {
        fprintf(stderr,
                "clockgap-service: note: this service manager restarts the service when it "
                "crashes, not when it stops with an error\n");
    }
    return true;
}

// The event source "clockgap", whose messages this program's message table words.
DWORD register_event_source() {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, event_source_key, 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return static_cast<DWORD>(status);
    }
    const std::string path = own_path();
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(path.c_str()),
                            static_cast<DWORD>(path.size() + 1));
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

}  // namespace

std::string own_path() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

std::string folder_of(const std::string& path) {
    const size_t start = file_name_start(path.c_str());
    return start == 0 ? std::string(".") : path.substr(0, start - 1);
}

// Whether `folder` is `outer` or lies below it (Windows names: case does not count).
bool inside(const std::string& folder, const std::string& outer) {
    return folder.size() >= outer.size() &&
           _strnicmp(folder.c_str(), outer.c_str(), outer.size()) == 0 &&
           (folder.size() == outer.size() || folder[outer.size()] == '\\' ||
            folder[outer.size()] == '/');
}

int install_service(const service_settings& given) {
    // The service starts in another folder: relative names are made whole here.
    service_settings s = given;
    s.log_dir = absolute(given.log_dir);
    s.prom_path = given.prom_path.empty() ? "" : absolute(given.prom_path);
    for (const auto& [was, is] :
         {std::pair{given.log_dir, s.log_dir}, std::pair{given.prom_path, s.prom_path}}) {
        if (was != is) {
            printf("%s is %s here\n", was.c_str(), is.c_str());
        }
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            fprintf(stderr,
                    "clockgap-service: installing a service needs administrator rights: run it "
                    "from an administrator's prompt\n");
            return 1;
        }
        return fail("cannot open the service manager", "", GetLastError());
    }
    // The folders first: nothing is registered when one cannot be made. The log folder
    // is the service's own; a metrics folder elsewhere is another product's.
    const std::string metrics_folder = s.prom_path.empty() ? "" : folder_of(s.prom_path);
    const bool metrics_apart = !metrics_folder.empty() && !inside(metrics_folder, s.log_dir);
    struct {
        std::string folder;
        const grant* grants;
        int count;
        const char* words;
    } folders[2] = {
        {s.log_dir, own_folder_grants, 1, "make, write and remove files in it and below it"},
        {metrics_apart ? metrics_folder : "", metrics_folder_grants, 2,
         "make files in it, and write and remove the files it made, no others"},
    };
    for (const auto& f : folders) {
        if (f.folder.empty()) {
            continue;
        }
        if (!make_folder(f.folder)) {
            CloseServiceHandle(manager);
            return fail("cannot create the folder ", f.folder, GetLastError());
        }
        if (const DWORD status = add_grants(f.folder, f.grants, f.count); status != ERROR_SUCCESS) {
            CloseServiceHandle(manager);
            return fail("cannot let LocalService write in ", f.folder, status);
        }
        printf("LocalService may now %s: %s\n", f.words, f.folder.c_str());
    }
    const std::string command = run_command(s);
    const char account[] = "NT AUTHORITY\\LocalService";
    bool created = true;
    SC_HANDLE service =
        CreateServiceA(manager, service_name, display_name, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, account, "");
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        created = false;
        service = OpenServiceA(manager, service_name, SERVICE_ALL_ACCESS);
        if (service != nullptr &&
            !ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                  account, "", display_name)) {
            const DWORD error = GetLastError();
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return fail("cannot change the service ", service_name, error);
        }
    }
    if (service == nullptr) {
        const DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return fail("cannot create the service ", service_name, error);
    }
    DWORD error = describe(service) ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SUCCESS) {
        error = register_event_source();
    }
    remember("LogDir", s.log_dir);
    remember("MetricsFolder", metrics_apart ? metrics_folder : "");
    if (error != ERROR_SUCCESS && created) {
        DeleteService(service);  // never left half-registered
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (error != ERROR_SUCCESS) {
        return fail("cannot finish registering the service ", service_name, error);
    }
    printf("%s the service %s: %s\nstart it with: net start %s\n",
           created ? "installed" : "updated", service_name, command.c_str(), service_name);
    return 0;
}

int uninstall_service() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return fail("cannot open the service manager", "", GetLastError());
    }
    SC_HANDLE service =
        OpenServiceA(manager, service_name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return fail("cannot open the service ", service_name, error);
    }
    // What install granted, read before the service's key goes with it.
    const std::string log_dir = recall("LogDir");
    const std::string metrics_folder = recall("MetricsFolder");
    SERVICE_STATUS status{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        for (int i = 0; i < 300 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
            Sleep(100);
            if (!QueryServiceStatus(service, &status)) {
                break;
            }
        }
    }
    const bool deleted = DeleteService(service) != 0;
    const DWORD error = GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!deleted) {
        return fail("cannot remove the service ", service_name, error);
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, event_source_key);
    printf("removed the service %s\n", service_name);
    int status_code = 0;
    for (const auto& [folder, grants, count] :
         {std::tuple{log_dir, own_folder_grants, 1},
          std::tuple{metrics_folder, metrics_folder_grants, 2}}) {
        if (folder.empty()) {
            continue;
        }
        int removed = 0;
        if (const DWORD code = remove_grants(folder, grants, count, &removed);
            code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            status_code = fail("cannot take back LocalService's rights on ", folder, code);
        } else if (removed > 0) {
            printf("took back what install granted on %s\n", folder.c_str());
        } else {
            printf("%s holds nothing that install granted any more\n", folder.c_str());
        }
    }
    if (!log_dir.empty()) {
        printf("the day files and the service's messages stay in %s\n", log_dir.c_str());
    }
    return status_code;
}
