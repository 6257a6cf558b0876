#include <aclapi.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "report/options/listen_address.h"
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

// Where install keeps what it granted, for uninstall and the next install: the
// service's Parameters key, "Grants", a folder a line ("own C:\\x"), written before each
// grant is made.
const char parameters_key[] = "SYSTEM\\CurrentControlSet\\Services\\clockgap\\Parameters";

bool record_grants(const std::vector<granted_folder>& folders) {
    std::string lines;
    for (const std::string& line : grant_record(folders)) {
        lines += line + '\0';
    }
    lines += '\0';
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, parameters_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool written =
        RegSetValueExA(key, "Grants", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(lines.data()),
                       static_cast<DWORD>(lines.size())) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

std::string registry_text(const char* name, DWORD type, std::vector<char>* value) {
    value->assign(32768, '\0');
    DWORD size = static_cast<DWORD>(value->size() - 2);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, parameters_key, name, type, nullptr, value->data(),
                     &size) != ERROR_SUCCESS) {
        return "";
    }
    return std::string(value->data(), size);
}

// The folders the install before granted: its record, or the two values that older
// installs kept (the last log folder and metrics folder alone).
std::vector<granted_folder> recorded_grants() {
    std::vector<char> value;
    const std::string lines = registry_text("Grants", RRF_RT_REG_MULTI_SZ, &value);
    std::vector<std::string> record;
    for (size_t at = 0; at < lines.size() && lines[at] != '\0';) {
        const size_t end = lines.find('\0', at);
        record.push_back(lines.substr(at, end - at));
        at = end == std::string::npos ? lines.size() : end + 1;
    }
    if (!record.empty()) {
        return read_grant_record(record);
    }
    std::vector<granted_folder> older;
    for (const auto& [name, kind] : {std::pair{"LogDir", folder_kind::own},
                                     std::pair{"MetricsFolder", folder_kind::metrics}}) {
        std::string folder = registry_text(name, RRF_RT_REG_SZ, &value);
        folder = folder.c_str();  // without the string's own end
        if (!folder.empty()) {
            older.push_back(granted_folder{folder, kind});
        }
    }
    return older;
}

// Takes back the grants on each of `folders`, saying what became of each. Returns 0, or 1
// when one could not be taken back.
int revoke_grants(const std::vector<granted_folder>& folders) {
    int status = 0;
    for (const granted_folder& f : folders) {
        int removed = 0;
        if (const DWORD code = remove_grants(f.folder, grants_of(f.kind), &removed);
            code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            status = fail("cannot take back LocalService's rights on ", f.folder, code);
        } else if (removed > 0) {
            printf("took back what install granted on %s\n", f.folder.c_str());
        } else {
            printf("%s holds nothing that install granted any more\n", f.folder.c_str());
        }
    }
    return status;
}

// Whether an install before added the firewall rule, as its key records.
bool firewall_recorded() {
    DWORD value = 0;
    DWORD size = sizeof value;
    return RegGetValueA(HKEY_LOCAL_MACHINE, parameters_key, "FirewallRule", RRF_RT_REG_DWORD,
                        nullptr, &value, &size) == ERROR_SUCCESS &&
           value != 0;
}

void record_firewall(bool added) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, parameters_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) == ERROR_SUCCESS) {
        const DWORD value = added ? 1 : 0;
        RegSetValueExA(key, "FirewallRule", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
}

// Adds the firewall rule when asked, or removes the one an install before added; never
// touches the firewall otherwise. Returns 0, or 1 (said).
int settle_firewall(const service_settings& s) {
    std::string why;
    if (s.firewall) {
        std::string host;
        int port = 0;
        char reason[160] = "";
        if (!split_listen_address(s.listen.c_str(), &host, &port, reason, sizeof reason)) {
            fprintf(stderr, "clockgap-service: %s\n", reason);
            return 1;
        }
        // Recorded before it is added, as the grants are: no rule goes unrecorded.
        record_firewall(true);
        if (!add_firewall_rule(own_path(), port, &why)) {
            fprintf(stderr, "clockgap-service: %s\n", why.c_str());
            return 1;
        }
        printf("added the firewall rule \"clockgap metrics\": TCP port %d in, for %s\n", port,
               own_path().c_str());
        return 0;
    }
    if (!firewall_recorded()) {
        return 0;
    }
    if (!remove_firewall_rule(&why)) {
        fprintf(stderr, "clockgap-service: %s\n", why.c_str());
        return 1;
    }
    record_firewall(false);
    printf("removed the firewall rule \"clockgap metrics\" that install added before\n");
    return 0;
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

namespace {

// The folders install grants on: the log folder, the service's own, and a metrics folder
// elsewhere, another product's.
std::vector<granted_folder> wanted_folders(const service_settings& s) {
    std::vector<granted_folder> folders{{s.log_dir, folder_kind::own}};
    const std::string metrics = s.prom_path.empty() ? "" : folder_of(s.prom_path);
    if (!metrics.empty() && !inside(metrics, s.log_dir)) {
        folders.push_back(granted_folder{metrics, folder_kind::metrics});
    }
    return folders;
}

const char* grant_words(folder_kind kind) {
    return kind == folder_kind::own
               ? "make, write and remove files in it and below it"
               : "make files in it, and write and remove the files it made, no others";
}

// The service registered with `command`: created, or its settings changed; nullptr (said)
// when neither. `*created`: it is new.
SC_HANDLE register_service(SC_HANDLE manager, const std::string& command, bool* created) {
    const char account[] = "NT AUTHORITY\\LocalService";
    *created = true;
    SC_HANDLE service =
        CreateServiceA(manager, service_name, display_name, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, account, "");
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        *created = false;
        service = OpenServiceA(manager, service_name, SERVICE_ALL_ACCESS);
        if (service != nullptr &&
            !ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                  account, "", display_name)) {
            const DWORD error = GetLastError();
            CloseServiceHandle(service);
            fail("cannot change the service ", service_name, error);
            return nullptr;
        }
    }
    if (service == nullptr) {
        fail(*created ? "cannot create the service " : "cannot open the service ", service_name,
             GetLastError());
    }
    return service;
}

// Grants on each folder of `plan.grant`, each recorded before it is made. On a failure,
// what this did on folders the install before had not granted is taken back and the
// record is as it was: false, said.
bool grant_folders(const grant_plan& plan, const std::vector<granted_folder>& recorded) {
    std::vector<granted_folder> record = recorded, made;
    for (const granted_folder& f : plan.grant) {
        record.push_back(f);
        DWORD status = record_grants(record) ? ERROR_SUCCESS : ERROR_CANTWRITE;
        if (status == ERROR_SUCCESS) {
            status = add_grants(f.folder, grants_of(f.kind));
        }
        if (status != ERROR_SUCCESS) {
            fail("cannot let LocalService write in ", f.folder, status);
            made.push_back(f);
            revoke_grants(plan_grants(made, recorded).revoke);
            record_grants(recorded);
            return false;
        }
        made.push_back(f);
        printf("LocalService may now %s: %s\n", grant_words(f.kind), f.folder.c_str());
    }
    return true;
}

}  // namespace

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
    // The folders first: nothing is registered when one cannot be made. Then the service,
    // then the grants, so that every grant is recorded in the service's key.
    const std::vector<granted_folder> wanted = wanted_folders(s);
    for (const granted_folder& f : wanted) {
        if (!make_folder(f.folder)) {
            CloseServiceHandle(manager);
            return fail("cannot create the folder ", f.folder, GetLastError());
        }
    }
    const std::string command = run_command(s);
    bool created = false;
    SC_HANDLE service = register_service(manager, command, &created);
    if (service == nullptr) {
        CloseServiceHandle(manager);
        return 1;
    }
    const std::vector<granted_folder> recorded =
        created ? std::vector<granted_folder>{} : recorded_grants();
    const grant_plan plan = plan_grants(recorded, wanted);
    DWORD error = describe(service) ? ERROR_SUCCESS : GetLastError();
    error = error == ERROR_SUCCESS ? register_event_source() : error;
    if (error != ERROR_SUCCESS) {
        fail("cannot finish registering the service ", service_name, error);
    }
    const bool granted = error == ERROR_SUCCESS && grant_folders(plan, recorded);
    if (!granted && created) {
        DeleteService(service);  // never left half-registered
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!granted) {
        return 1;
    }
    // The folders the install before used and this one does not get their rights back.
    int status = revoke_grants(plan.revoke);
    record_grants(wanted);
    printf("%s the service %s: %s\nstart it with: net start %s\n",
           created ? "installed" : "updated", service_name, command.c_str(), service_name);
    if (settle_firewall(s) != 0) {
        status = 1;
    }
    return status;
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
    const std::vector<granted_folder> granted = recorded_grants();
    const bool had_rule = firewall_recorded();
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
    int status_code = revoke_grants(granted);
    if (std::string why; had_rule && !remove_firewall_rule(&why)) {
        fprintf(stderr, "clockgap-service: %s\n", why.c_str());
        status_code = 1;
    } else if (had_rule) {
        printf("removed the firewall rule \"clockgap metrics\"\n");
    }
    for (const granted_folder& f : granted) {
        if (f.kind == folder_kind::own) {
            printf("the day files and the service's messages stay in %s\n", f.folder.c_str());
        }
    }
    return status_code;
}
