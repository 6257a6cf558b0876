#include "report/util/gzip_file.h"
#include "report/os/files.h"

#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "report/os/whole_file.h"

namespace {

constexpr size_t chunk = size_t{1} << 16;

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

void say(char* reason, size_t reason_size, const char* what) {
    snprintf(reason, reason_size, "%s", what);
}

// Copies all of `from` to `to`.
bool copy_bytes(FILE* from, FILE* to, unsigned char* buffer) {
    size_t n = 0;
    while ((n = fread(buffer, 1, chunk, from)) > 0) {
        if (fwrite(buffer, 1, n, to) != n) {
            return false;
        }
    }
    return !ferror(from);
}

// Compresses all of `from` as one gzip member at the end of `to`.
bool deflate_member(FILE* from, FILE* to, unsigned char* in, unsigned char* out, char* reason,
                    size_t reason_size) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        say(reason, reason_size, "zlib could not start (out of memory)");
        return false;
    }
    bool ok = true;
    int flush = Z_NO_FLUSH;
    while (ok && flush != Z_FINISH) {
        const size_t n = fread(in, 1, chunk, from);
        if (ferror(from)) {
            say(reason, reason_size, strerror(errno));
            ok = false;
            break;
        }
        flush = feof(from) ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = in;
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = out;
            z.avail_out = static_cast<uInt>(chunk);
            deflate(&z, flush);  // cannot fail with these buffers
            const size_t made = chunk - z.avail_out;
            if (fwrite(out, 1, made, to) != made) {
                say(reason, reason_size, strerror(errno));
                ok = false;
                break;
            }
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return ok;
}

}  // namespace

bool gzip_into(const char* plain, const char* gz, whole_file* w, char* reason, size_t reason_size) {
    const file_ptr from(open_file(plain, "rb"));
    if (!from) {
        say(reason, reason_size, strerror(errno));
        return false;
    }
    if (!begin_whole_file(w, gz, true, reason, reason_size)) {
        return false;
    }
    const auto buffers = std::make_unique<unsigned char[]>(2 * chunk);
    bool ok = true;
    if (const file_ptr before{open_file(gz, "rb")}) {
        ok = copy_bytes(before.get(), w->file, buffers.get());
        if (!ok) {
            say(reason, reason_size, strerror(errno));
        }
    }
    ok = ok && deflate_member(from.get(), w->file, buffers.get(), buffers.get() + chunk, reason,
                              reason_size);
    if (ok && (fflush(w->file) != 0 || ferror(w->file))) {
        say(reason, reason_size, strerror(errno));
        ok = false;
    }
    if (!ok) {
        abandon_whole_file(w);
    }
    return ok;
}

bool gzip_ends_with(const char* gz, const char* plain) {
    const file_ptr z(open_file(gz, "rb"));
    const file_ptr p(open_file(plain, "rb"));
    unsigned char trailer[8];
    if (!z || !p || fseek(z.get(), -8, SEEK_END) != 0 || fread(trailer, 1, 8, z.get()) != 8) {
        return false;
    }
    const auto word = [&](int at) {
        return static_cast<uint32_t>(trailer[at]) | static_cast<uint32_t>(trailer[at + 1]) << 8 |
               static_cast<uint32_t>(trailer[at + 2]) << 16 |
               static_cast<uint32_t>(trailer[at + 3]) << 24;
    };
    const auto buffer = std::make_unique<unsigned char[]>(chunk);
    uLong crc = crc32(0L, Z_NULL, 0);
    uint32_t size = 0;
    size_t n = 0;
    while ((n = fread(buffer.get(), 1, chunk, p.get())) > 0) {
        crc = crc32(crc, buffer.get(), static_cast<uInt>(n));
        size += static_cast<uint32_t>(n);  // gzip keeps the size modulo 2^32
    }
    return !ferror(p.get()) && static_cast<uint32_t>(crc) == word(0) && size == word(4);
}
