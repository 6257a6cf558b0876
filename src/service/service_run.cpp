#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "report/cli.h"
#include "report/os/files.h"
#include "report/pipeline/pipeline.h"
#include "report/util/complain.h"
#include "service/service.h"

namespace {

// The pause before a monitor that ended is started again.
constexpr DWORD restart_pause_ms = 2000;

const service_settings* settings;
SERVICE_STATUS_HANDLE status_handle;
HANDLE stop_event;
DWORD check_point;
int watch_status;
// The running monitor's process id, for the watch's figures of it; 0 between monitors.
std::atomic<long> monitor_pid{0};

std::mutex notes_lock;
HANDLE event_source;
std::string notes_path;

void set_state(DWORD state, DWORD exit_code = NO_ERROR, DWORD wait_hint = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exit_code == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exit_code;
    status.dwWaitHint = wait_hint;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ++check_point;
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            set_state(SERVICE_STOP_PENDING, NO_ERROR, 10000);
            SetEvent(stop_event);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The monitor, its standard output on `out`. It inherits that pipe and NUL and no other
// handle of the service's (a day file, the folder's lock): the list of handles to
// inherit is given with the process, and every file of the watch is opened
// non-inheritable besides. Returns its process, or nullptr.
HANDLE start_monitor(HANDLE out, HANDLE nul) {
    std::string command =
        "\"" + folder_of(own_path()) + "\\clockgap.exe\" " + std::to_string(settings->period_ms);
    STARTUPINFOEXA start{};
    start.StartupInfo.cb = sizeof start;
    start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    start.StartupInfo.hStdInput = nul;
    start.StartupInfo.hStdOutput = out;
    start.StartupInfo.hStdError = nul;
    HANDLE inherited[2] = {out, nul};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    DWORD flags = DETACHED_PROCESS;
    if (size > 0 && InitializeProcThreadAttributeList(list, 1, 0, &size) &&
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  sizeof inherited, nullptr, nullptr)) {
        start.lpAttributeList = list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, flags,
                                        nullptr, nullptr, &start.StartupInfo, &process);
    if (start.lpAttributeList != nullptr) {
        DeleteProcThreadAttributeList(list);
    }
    if (!started) {
        service_note(note_level::warning, "cannot start the monitor %s (error %lu); trying again",
                     command.c_str(), GetLastError());
        return nullptr;
    }
    CloseHandle(process.hThread);
    service_note(note_level::information, "monitor started: %s (process %lu)", command.c_str(),
                 process.dwProcessId);
    monitor_pid = static_cast<long>(process.dwProcessId);
    return process.hProcess;
}

// Keeps a monitor writing into `out` until the service stops, then ends it and closes
// `out`, which ends the watch's input.
void supervise(HANDLE out, HANDLE nul) {
    for (;;) {
        HANDLE monitor = start_monitor(out, nul);
        if (monitor != nullptr) {
            HANDLE both[2] = {stop_event, monitor};
            const DWORD which = WaitForMultipleObjects(2, both, FALSE, INFINITE);
            monitor_pid = 0;
            if (which == WAIT_OBJECT_0) {
                TerminateProcess(monitor, 0);
                WaitForSingleObject(monitor, 10000);
                CloseHandle(monitor);
                break;
            }
            DWORD code = 0;
            GetExitCodeProcess(monitor, &code);
            CloseHandle(monitor);
            service_note(note_level::warning,
                         "the monitor ended (status %lu); starting it again in %lu s", code,
                         restart_pause_ms / 1000);
        }
        if (WaitForSingleObject(stop_event, restart_pause_ms) == WAIT_OBJECT_0) {
            break;
        }
    }
    CloseHandle(out);
}

// The watch's words as the service's messages: what needs an administrator (a day file
// that cannot be written, another watch) a warning, its recoveries information.
void note_complaint(const char* line, bool information) {
    service_note(information ? note_level::information : note_level::warning, "%s", line);
}

// The watch's own arguments, as clockgap-report --follow takes them, reading `input`.
std::vector<std::string> watch_arguments(const std::string& input) {
    std::vector<std::string> args = {
        "clockgap-report", "--follow",
        "--log",           settings->log_dir + "\\clockgap-%Y-%m-%d.log",
        "--keep",          std::to_string(settings->keep_days)};
    if (settings->gzip) {
        args.push_back("--gzip");
    }
    if (!settings->prom_path.empty()) {
        args.push_back("--prometheus");
        args.push_back(settings->prom_path);
    }
    if (!settings->listen.empty()) {
        args.push_back("--listen");
        args.push_back(settings->listen);
    }
    args.push_back(input);
    return args;
}

// Runs the monitor into the watch until the service stops. Returns the watch's status.
int watch() {
    // The monitor writes into a pipe of the service's; the watch reads it by its name, as
    // it reads any log. The service holds the writing end for as long as it runs, so a
    // monitor that dies is no end of the watch's input.
    const std::string pipe_name =
        "\\\\.\\pipe\\clockgap-service-" + std::to_string(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND,
                                   PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   1 << 16, 1 << 16, 0, nullptr);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || nul == INVALID_HANDLE_VALUE ||
        !SetHandleInformation(pipe, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        service_note(note_level::error, "cannot make the monitor's pipe (error %lu)",
                     GetLastError());
        return 1;
    }
    send_complaints_to(note_complaint);
    std::vector<std::string> args = watch_arguments(pipe_name);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    report_options o;
    int status = read_options(static_cast<int>(argv.size()), argv.data(), &o);
    FILE* nothing = open_file("NUL", "wb");  // the event lines and the summary are not kept
    o.out = nothing;
    o.monitor_pid = &monitor_pid;
    // The monitor starts once the watch has opened the pipe.
    std::thread monitor([pipe, nul] {
        ConnectNamedPipe(pipe, nullptr);
        supervise(pipe, nul);
    });
    set_state(SERVICE_RUNNING);
    service_note(note_level::information, "started: the day files go to %s",
                 settings->log_dir.c_str());
    if (status == 0 && nothing != nullptr) {
        status = run_report(o);
    }
    SetEvent(stop_event);  // a watch that ended by itself ends the monitor too
    // A watch that never opened the pipe leaves the thread waiting for it: open it here.
    HANDLE poke =
        CreateFileA(pipe_name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    monitor.join();
    if (poke != INVALID_HANDLE_VALUE) {
        CloseHandle(poke);
    }
    if (nothing != nullptr) {
        fclose(nothing);
    }
    CloseHandle(nul);
    return status;
}

void WINAPI service_main(DWORD, LPSTR*) {
    status_handle = RegisterServiceCtrlHandlerExA(service_name, on_control, nullptr);
    if (status_handle == nullptr) {
        return;
    }
    set_state(SERVICE_START_PENDING, NO_ERROR, 5000);
    stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    watch_status = watch();
    service_note(watch_status != 0 ? note_level::error : note_level::information,
                 "stopped (the watch ended with status %d)", watch_status);
    set_state(SERVICE_STOPPED, static_cast<DWORD>(watch_status));
}

}  // namespace

void open_service_notes(const std::string& log_dir) {
    CreateDirectoryA(log_dir.c_str(), nullptr);
    notes_path = log_dir + "\\clockgap-service.log";
    event_source = RegisterEventSourceA(nullptr, service_name);
}

void service_note(note_level level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::lock_guard<std::mutex> held(notes_lock);
    if (event_source != nullptr) {
        const WORD types[] = {EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE,
                              EVENTLOG_ERROR_TYPE};
        const char* strings[1] = {text};
        ReportEventA(event_source, types[static_cast<int>(level)], 0, 1, nullptr, 1, 0, strings,
                     nullptr);
    }
    const time_t now = time(nullptr);
    tm utc{};
    gmtime_s(&utc, &now);
    char line[1200];
    const char* words[] = {"information", "warning", "error"};
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    const int length =
        snprintf(line, sizeof line, "%s %s: %s\r\n", when, words[static_cast<int>(level)], text);
    // Kept to a size, a whole line at a time: the older file makes room for this one.
    WIN32_FILE_ATTRIBUTE_DATA file{};
    if (GetFileAttributesExA(notes_path.c_str(), GetFileExInfoStandard, &file) &&
        (file.nFileSizeHigh != 0 ||
         file.nFileSizeLow + static_cast<DWORD>(length) > static_cast<DWORD>(notes_limit))) {
        MoveFileExA(notes_path.c_str(), (notes_path + ".1").c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    // A line at a time, whole: the file is opened for each, so that it can be moved or
    // read at any time, and a failure loses only this line.
    if (FILE* f = open_file(notes_path.c_str(), "ab")) {
        fputs(line, f);
        fclose(f);
    }
}

int run_service(const service_settings& s) {
    settings = &s;
    open_service_notes(s.log_dir);
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(service_name), service_main},
                                    {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        fprintf(stderr,
                "clockgap-service: run is for the service manager; use install, then "
                "net start clockgap\n");
        return 2;
    }
    return watch_status;
}
