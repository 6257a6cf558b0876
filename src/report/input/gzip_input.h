// The bytes of a log that may be compressed with gzip. The input's first two bytes tell,
// whatever its name; a compressed input is inflated as it is read, and several gzip
// members one after another are one stream, as gzip itself reads them. Damaged or cut
// gzip data ends the input there: what came before it is handed out, and `damage` says
// where the data breaks.
#pragma once

#include <cstdint>
#include <memory>

#include "report/os/input.h"

struct gzip_state;
struct gzip_state_free {
    void operator()(gzip_state* state) const;
};

struct gzip_input {
    log_input input;
    std::unique_ptr<gzip_state, gzip_state_free> state;  // made at open, held for the life
    char damage[160];  // empty, or where and how the gzip data breaks
};

void open_gzip_input(gzip_input* in, const log_input& input);

// Reads up to `size` bytes of the log (inflated when it is compressed), as read_log does:
// how many, 0 at the end (or where damaged gzip data ends it), read_quiet, or -1 with the
// reason.
long read_gzip_input(gzip_input* in, char* data, size_t size, char* reason, size_t reason_size);
