// Feeds arbitrary text to the sleep-period argument and checks the period and the exact
// line written against a reference that follows the decimal-scan rules another way:
// it measures the digit string instead of accumulating it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "monitor/command_line.h"

namespace {

int captured = -1;  // read end of the pipe that standard output writes into

struct answer {
    int32_t period;
    std::string line;
};

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

answer reference(const std::string& argument) {
    size_t i = 0;
    while (i < argument.size() && is_space(argument[i])) {
        ++i;
    }
    bool negative = false;
    if (i < argument.size() && (argument[i] == '+' || argument[i] == '-')) {
        negative = argument[i] == '-';
        ++i;
    }
    size_t end = i;
    while (end < argument.size() && is_digit(argument[end])) {
        ++end;
    }
    if (end == i) {
        return {0, argument + " does not look like an integer.\n"};
    }
    while (i + 1 < end && argument[i] == '0') {
        ++i;
    }
    const std::string digits = argument.substr(i, end - i);
    int64_t value;
    if (digits.size() > 10) {
        value = negative ? INT32_MIN : INT32_MAX;
    } else {
        value = std::stoll(digits) * (negative ? -1 : 1);
        value = value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : value;
    }
    char line[96];
    snprintf(line, sizeof line,
             value > 1000 ? "Warning: sleep period = %lld ms sounds a little too high.\n"
                          : "Sleep period adjusted to %lld ms\n",
             static_cast<long long>(value));
    return {static_cast<int32_t>(value), line};
}

std::string drain() {
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = read(captured, buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Standard output goes into a pipe that the checks read back.
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[1], 1) < 0 || fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0 ||
        fcntl(ends[1], F_SETPIPE_SZ, 1 << 20) < 0) {
        perror("pipe for standard output");
        abort();
    }
    captured = ends[0];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An argument ends at its first NUL, as on a command line.
    const std::string argument = std::string(reinterpret_cast<const char*>(data), size).c_str();
    const int32_t period = parse_sleep_period(argument.c_str());
    const std::string written = drain();
    const answer expected = reference(argument);
    if (period != expected.period || written != expected.line) {
        fprintf(stderr, "argument [%s]: period %d, wrote [%s]; expected %d, [%s]\n",
                argument.c_str(), period, written.c_str(), expected.period, expected.line.c_str());
        abort();
    }
    return 0;
}
