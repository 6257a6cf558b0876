#include "report/util/complain.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

std::atomic<void (*)(const char*, bool)> complaint_sink{nullptr};

void say_line(bool information, const char* format, va_list args) {
    char line[1200];
    vsnprintf(line, sizeof line, format, args);
    if (void (*sink)(const char*, bool) = complaint_sink.load(); sink != nullptr) {
        sink(line, information);
        return;
    }
    fprintf(stderr, "clockgap-report: %s\n", line);  // one call: lines of two threads stay whole
}

}  // namespace

void send_complaints_to(void (*sink)(const char* line, bool information)) {
    complaint_sink = sink;
}

void complain(const char* format, ...) {
    va_list args;
    va_start(args, format);
    say_line(false, format, args);
    va_end(args);
}

void tell(const char* format, ...) {
    va_list args;
    va_start(args, format);
    say_line(true, format, args);
    va_end(args);
}

void complain_cannot_read(const char* name, const char* reason) {
    complain("cannot read %s: %s", name, reason);
}

void complain_cannot_write(const char* name, const char* reason) {
    complain("cannot write %s: %s", name, reason);
}

void escape_bytes(std::string_view bytes, char* shown, size_t size) {
    static const char hex[] = "0123456789abcdef";
    size_t at = 0;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = byte >= 0x20 && byte < 0x7f && byte != '\\';
        const size_t need = plain ? 1 : 4;
        if (at + need >= size) {
            break;
        }
        if (plain) {
            shown[at++] = c;
        } else {
            shown[at++] = '\\';
            shown[at++] = 'x';
            shown[at++] = hex[byte >> 4];
            shown[at++] = hex[byte & 15];
        }
    }
    if (size > 0) {
        shown[at] = '\0';
    }
}
