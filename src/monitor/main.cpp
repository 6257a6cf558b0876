// clockgap: watches how regularly this process gets to read the wall clock.
#include "clock/clock_sample.h"
#include "monitor/command_line.h"
#include "monitor/console_output.h"
#include "monitor/monitor.h"
#include "monitor/report_format.h"

int main(int argc, char** argv) {
    // Only the first argument counts; further ones are ignored.
    switch (read_request(argc > 1 ? argv[1] : nullptr)) {
        case monitor_request::help:
            print_monitor_usage();
            return 0;
        case monitor_request::version:
            print_monitor_version();
            return 0;
        case monitor_request::run:
            break;
    }
    const int32_t sleep_period = parse_sleep_period(argc > 1 ? argv[1] : nullptr);

    FILETIME start_reading;
    SYSTEMTIME start_fields{};
    GetSystemTimeAsFileTime(&start_reading);
    FileTimeToSystemTime(&start_reading, &start_fields);
    write_line("Starting at %02hu:%02hu:%02hu.%03hu\n", start_fields.wHour, start_fields.wMinute,
               start_fields.wSecond, start_fields.wMilliseconds);
    print_header();

    run_monitor(sleep_period, start_reading);
}
