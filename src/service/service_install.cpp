#include <aclapi.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "report/os/report_os.h"
#include "service/service.h"

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

// Lets LocalService make, write and remove files in `folder` (and nothing more), on top
// of what the folder already grants.
DWORD grant_local_service(const std::string& folder) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    if (!CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &sid_size)) {
        return GetLastError();
    }
    PACL old_acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &old_acl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    EXPLICIT_ACCESSA access{};
    access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
    PACL new_acl = nullptr;
    status = SetEntriesInAclA(1, &access, old_acl, &new_acl);
    if (status == ERROR_SUCCESS) {
        status =
            SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, new_acl, nullptr);
        LocalFree(new_acl);
    }
    LocalFree(descriptor);
    return status;
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// The command the service manager starts.
std::string run_command(const service_settings& s) {
    std::string command = quoted(own_path()) + " run --period " + std::to_string(s.period_ms) +
                          " --log-dir " + quoted(s.log_dir) + " --keep " +
                          std::to_string(s.keep_days) + (s.gzip ? " --gzip" : " --no-gzip");
    if (!s.prom_path.empty()) {
        command += " --prometheus " + quoted(s.prom_path);
    }
    return command;
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

int install_service(const service_settings& s) {
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
    // The folders first: nothing is registered when one cannot be made.
    std::string folders[2] = {s.log_dir, s.prom_path.empty() ? "" : folder_of(s.prom_path)};
    for (const std::string& folder : folders) {
        if (folder.empty()) {
            continue;
        }
        if (!make_folder(folder)) {
            CloseServiceHandle(manager);
            return fail("cannot create the folder ", folder, GetLastError());
        }
        if (const DWORD status = grant_local_service(folder); status != ERROR_SUCCESS) {
            CloseServiceHandle(manager);
            return fail("cannot let LocalService write in ", folder, status);
        }
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
    return 0;
}
