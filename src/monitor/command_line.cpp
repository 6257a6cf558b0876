#include "monitor/command_line.h"

#include <limits>
#include <string_view>

#include "clock/build_info.h"

#include "monitor/console_output.h"

namespace {

bool is_scan_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

scanned_int scan_decimal_int(const char* text) {
    const char* p = text;
    while (is_scan_space(*p)) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if (!is_digit(*p)) {
        return {false, 0};
    }
    // Accumulate the magnitude, stopping at one past the 32-bit limit so that no digit
    // string, however long, can overflow.
    constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; is_digit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) {
        return {true, std::numeric_limits<int32_t>::max()};
    }
    return {true, static_cast<int32_t>(value)};
}

monitor_request read_request(const char* argument) {
    const std::string_view word = argument != nullptr ? argument : "";
    if (word == "--help" || word == "-h") {
        return monitor_request::help;
    }
    return word == "--version" ? monitor_request::version : monitor_request::run;
}

void print_monitor_usage() {
    write_line(
        "usage: clockgap [SLEEP_PERIOD_MS]\n"
        "\n"
        "Reads the wall clock in an endless loop, pausing SLEEP_PERIOD_MS milliseconds after\n"
        "each reading (0 when none is given: one CPU's worth), and writes one row of the gaps\n"
        "between readings just after the start of every second, until it is stopped\n"
        "(Ctrl-C). Read its rows with clockgap-report.\n");
}

void print_monitor_version() {
    write_line("clockgap %s\nbuilt with %s\n", build_version(), build_words());
}

int32_t parse_sleep_period(const char* argument) {
    if (argument == nullptr) {
        return 0;
    }
    const scanned_int scanned = scan_decimal_int(argument);
    if (!scanned.converted) {
        write_line("%s does not look like an integer.\n", argument);
        return 0;
    }
    if (scanned.value > 1000) {
        write_line("Warning: sleep period = %d ms sounds a little too high.\n", scanned.value);
    } else {
        write_line("Sleep period adjusted to %d ms\n", scanned.value);
    }
    return scanned.value;
}

uint32_t pause_milliseconds(int32_t sleep_period) {
    // Handed on unchanged, -1 would become a pause of about 49.7 days.
    return sleep_period < 0 ? 0 : static_cast<uint32_t>(sleep_period);
}
