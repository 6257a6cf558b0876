#include "report/input/gzip_input.h"

#include <zlib.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

constexpr size_t raw_size = size_t{1} << 16;

// What the input has turned out to be; named outside the anonymous namespace because
// the gzip_state record, declared in the header, holds one.
enum class gzip_kind { unknown, plain, gzip };

struct gzip_state {
    z_stream z;
    bool z_ready;           // inflateInit2 succeeded
    gzip_kind seen;         // unknown until the first two bytes have come
    bool at_end;            // the raw input has ended
    bool done;              // nothing more is handed out
    bool in_member;         // inside a gzip member (its end not yet reached)
    uint64_t member_start;  // offset in the raw input of the member being inflated
    unsigned char raw[raw_size];
    size_t raw_start, raw_end;  // unread raw bytes
};

void gzip_state_free::operator()(gzip_state* s) const {
    if (s->z_ready) {
        inflateEnd(&s->z);
    }
    delete s;
}

namespace {

// Reads more raw bytes after the unread ones. Returns what read_log returns.
long read_raw(gzip_input* in, char* reason, size_t reason_size) {
    gzip_state* s = in->state.get();
    if (s->raw_start > 0) {
        memmove(s->raw, s->raw + s->raw_start, s->raw_end - s->raw_start);
        s->raw_end -= s->raw_start;
        s->raw_start = 0;
    }
    const long n = read_log(&in->input, reinterpret_cast<char*>(s->raw) + s->raw_end,
                            raw_size - s->raw_end, reason, reason_size);
    if (n == 0) {
        s->at_end = true;
    }
    if (n > 0) {
        s->raw_end += static_cast<size_t>(n);
    }
    return n;
}

// The offset in the raw input of the next unread compressed byte.
uint64_t raw_offset(const gzip_state* s) {
    return s->member_start + s->z.total_in;
}

void set_damage(gzip_input* in, const char* what) {
    gzip_state* s = in->state.get();
    snprintf(in->damage, sizeof in->damage, "%s at byte %" PRIu64, what, raw_offset(s));
    s->done = true;
}

// Starts the next gzip member at the unread raw bytes, which begin with gzip's magic.
bool start_member(gzip_input* in) {
    gzip_state* s = in->state.get();
    const uint64_t start = s->z_ready ? raw_offset(s) : 0;
    if (!s->z_ready) {
        s->z = z_stream{};
        if (inflateInit2(&s->z, 15 + 16) != Z_OK) {
            snprintf(in->damage, sizeof in->damage, "zlib could not start (out of memory)");
            s->done = true;
            return false;
        }
        s->z_ready = true;
    } else {
        inflateReset(&s->z);
    }
    s->member_start = start;
    s->in_member = true;
    return true;
}

// Inflates into `data`. Returns the bytes made, 0 at the end, or what read_log returned.
long inflate_some(gzip_input* in, char* data, size_t size, char* reason, size_t reason_size) {
    gzip_state* s = in->state.get();
    while (!s->done) {
        if (s->raw_start == s->raw_end && !s->at_end) {
            if (const long n = read_raw(in, reason, reason_size); n < 0) {
                return n;
            }
            continue;
        }
        if (!s->in_member) {
            // Between members: another member, the end, or bytes that are not gzip's.
            const size_t left = s->raw_end - s->raw_start;
            if (left == 0) {
                s->done = true;
                break;
            }
            if (left < 2 && !s->at_end) {
                if (const long n = read_raw(in, reason, reason_size); n < 0) {
                    return n;
                }
                continue;
            }
            if (left < 2 || s->raw[s->raw_start] != 0x1f || s->raw[s->raw_start + 1] != 0x8b) {
                set_damage(in, "bytes that are not gzip data follow the compressed log");
                break;
            }
            if (!start_member(in)) {
                break;
            }
        }
        const uInt before_in = static_cast<uInt>(s->raw_end - s->raw_start);
        s->z.next_in = s->raw + s->raw_start;
        s->z.avail_in = before_in;
        s->z.next_out = reinterpret_cast<Bytef*>(data);
        s->z.avail_out = static_cast<uInt>(size);
        const int status = inflate(&s->z, Z_NO_FLUSH);
        s->raw_start += before_in - s->z.avail_in;
        const size_t made = size - s->z.avail_out;
        if (status == Z_STREAM_END) {
            s->in_member = false;
        } else if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR) {
            set_damage(in, "the gzip data is damaged");
        } else if (status == Z_BUF_ERROR && s->at_end && s->raw_start == s->raw_end) {
            // Cut short; an interrupt that ended the input early is no damage.
            if (in->input.ended == input_end::end_of_input) {
                set_damage(in, "the gzip data ends early");
            }
            s->done = true;
        }
        if (made > 0) {
            return static_cast<long>(made);
        }
    }
    return 0;
}

// Hands out raw bytes already read, then reads on without a copy.
long pass_plain(gzip_input* in, char* data, size_t size, char* reason, size_t reason_size) {
    gzip_state* s = in->state.get();
    const size_t left = s->raw_end - s->raw_start;
    if (left == 0) {
        return read_log(&in->input, data, size, reason, reason_size);
    }
    const size_t take = left < size ? left : size;
    memcpy(data, s->raw + s->raw_start, take);
    s->raw_start += take;
    return static_cast<long>(take);
}

}  // namespace

void open_gzip_input(gzip_input* in, const log_input& input) {
    in->input = input;
    if (!in->state) {
        in->state.reset(new gzip_state{});
    } else if (in->state->z_ready) {
        inflateEnd(&in->state->z);
    }
    gzip_state* s = in->state.get();
    s->z_ready = false;
    s->seen = gzip_kind::unknown;
    s->at_end = s->done = s->in_member = false;
    s->member_start = 0;
    s->raw_start = s->raw_end = 0;
    in->damage[0] = '\0';
}

long read_gzip_input(gzip_input* in, char* data, size_t size, char* reason, size_t reason_size) {
    gzip_state* s = in->state.get();
    while (s->seen == gzip_kind::unknown) {
        if (s->raw_end >= 2 || s->at_end) {
            const bool magic = s->raw_end >= 2 && s->raw[0] == 0x1f && s->raw[1] == 0x8b;
            s->seen = magic ? gzip_kind::gzip : gzip_kind::plain;
            break;
        }
        if (const long n = read_raw(in, reason, reason_size); n < 0) {
            return n;
        }
    }
    if (size > (size_t{1} << 30)) {
        size = size_t{1} << 30;  // what one inflate call is given
    }
    return s->seen == gzip_kind::gzip ? inflate_some(in, data, size, reason, reason_size)
                                      : pass_plain(in, data, size, reason, reason_size);
}
