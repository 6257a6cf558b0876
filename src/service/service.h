// clockgap-service.exe: clockgap as a Windows service. `install` registers the service
// "clockgap" (started at boot, as NT AUTHORITY\LocalService, restarted by the service
// manager whenever it fails), `uninstall` stops and removes it, and `run` is what the
// service manager starts: the monitor, clockgap.exe from the same folder, with its
// output on a pipe that the service keeps open, read by the same watch as
// `clockgap-report --follow` in the service's own process. A monitor that dies is
// started again after a short pause; the watch's day files go on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct service_settings {
    int64_t period_ms;      // the monitor's sleep period
    std::string log_dir;    // day files and the service's own message file
    std::string prom_path;  // the metrics file; empty: none
    int64_t keep_days;      // --keep of the day files
    bool gzip;              // --gzip of the day files
    std::string listen;     // --listen of the watch: the metrics over HTTP; empty: none
    bool firewall;          // install adds a firewall rule for the port of --listen
};

inline constexpr const char* service_name = "clockgap";

// Reads the options after the verb into `s`, the defaults first; a later option wins over
// an earlier one. Returns 0, or 2 with what is wrong in `problem`.
int read_service_options(int argc, char** argv, int first, service_settings* s,
                         std::string* problem);
// The help of those options, a line or more each.
void print_service_option_help(FILE* out);
// The same of words held as strings: a program name, a verb, then the options.
int read_service_words(std::vector<std::string> words, service_settings* s, std::string* problem);

// The options that give `s` again (" --period 1 --log-dir \"C:\\x\" ..."), each name
// quoted so that the C runtime reads it back whole.
std::string option_words(const service_settings& s);
std::string quoted(const std::string& s);

// The verbs; each returns the exit status.
int install_service(const service_settings& s);
int uninstall_service();
int run_service(const service_settings& s);

// The inbound rule "clockgap metrics" of Windows Firewall: TCP to `port`, for `program`
// alone, in every profile; a rule of that name is replaced. False with why not.
bool add_firewall_rule(const std::string& program, int port, std::string* why);
bool remove_firewall_rule(std::string* why);

// This program's path, and the folder of a path ("." when it names none).
std::string own_path();
std::string folder_of(const std::string& path);

// A message of the service: to the Application event log under the source "clockgap",
// and as a line with its UTC time and level to clockgap-service.log in the log folder.
// The file is kept to notes_limit bytes: a line that would take it past moves it, whole,
// to clockgap-service.log.1 (the one older file), and begins it anew.
// Only what needs an administrator is a warning or an error; recoveries are information.
enum class note_level { information, warning, error };
inline constexpr long notes_limit = 1 << 20;
void service_note(note_level level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 2, 3)))
#endif
    ;
void open_service_notes(const std::string& log_dir);
