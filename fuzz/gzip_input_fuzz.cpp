// Feeds arbitrary bytes, taken as a gzip file (the magic bytes put in front), through the
// report's input, as a pipe would bring them: inflating damaged, cut or hostile data must
// end the input cleanly with a note, never read or write out of bounds, and every line
// handed out must lie within the source's buffer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "report/input/line_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static line_source source{};
    // A file of its own: the input is read as the report reads any log file.
    char path[] = "/tmp/clockgap-gzip-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        abort();
    }
    const unsigned char magic[] = {0x1f, 0x8b, 0x08, 0x00};
    if (write(fd, magic, sizeof magic) != sizeof magic ||
        write(fd, data, size) != static_cast<ssize_t>(size)) {
        abort();
    }
    close(fd);
    char reason[160] = "";
    log_input input{};
    if (!open_log(path, &input, reason, sizeof reason)) {
        abort();
    }
    unlink(path);
    open_line_source(&source, input);
    std::string_view text;
    for (;;) {
        const line_status status = next_line(&source, &text, reason, sizeof reason);
        if (status == line_status::end || status == line_status::failed ||
            status == line_status::cut_short) {
            break;
        }
        if (text.data() != nullptr &&
            (text.data() < source.buffer.get() ||
             text.data() + text.size() > source.buffer.get() + source.capacity)) {
            abort();
        }
    }
    close_log(&source.in.input);
    return 0;
}
