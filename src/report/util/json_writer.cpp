#include "report/util/json_writer.h"

#include <cinttypes>
#include <cstdlib>

#include "report/util/report_time.h"

namespace {

[[noreturn]] void misuse(const char* what) {
    fprintf(stderr, "clockgap-report: a fault in writing JSON: %s\n", what);
    abort();
}

void put_string(FILE* out, const char* text) {
    fputc('"', out);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        const unsigned c = *p;
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(static_cast<int>(c), out);
        } else if (c < 0x20) {
            fprintf(out, "\\u%04x", c);
        } else {
            fputc(static_cast<int>(c), out);
        }
    }
    fputc('"', out);
}

// The separator and indentation before a value, and its key.
void begin_value(json_writer* w, const char* key) {
    const bool in_object = w->depth > 0 && w->open[w->depth - 1] == '{';
    if (in_object != (key != nullptr)) {
        misuse(key != nullptr ? "a key outside an object" : "a value without a key in an object");
    }
    if (w->depth > 0) {
        bool& has = w->has_items[w->depth - 1];
        if (has) {
            fputc(',', w->out);
        }
        if (w->pretty) {
            fprintf(w->out, "\n%*s", 2 * w->depth, "");
        } else if (has) {
            fputc(' ', w->out);
        }
        has = true;
    }
    if (key != nullptr) {
        put_string(w->out, key);
        fputs(": ", w->out);
    }
}

void open(json_writer* w, const char* key, char bracket) {
    if (w->depth == json_deepest) {
        misuse("nested too deep");
    }
    begin_value(w, key);
    fputc(bracket, w->out);
    w->open[w->depth] = bracket;
    w->has_items[w->depth] = false;
    ++w->depth;
}

}  // namespace

json_writer json_start(FILE* out, bool pretty) {
    return json_writer{out, pretty, 0, {}, {}};
}

void json_open_object(json_writer* w, const char* key) {
    open(w, key, '{');
}

void json_open_array(json_writer* w, const char* key) {
    open(w, key, '[');
}

void json_close(json_writer* w) {
    if (w->depth == 0) {
        misuse("closing what is not open");
    }
    --w->depth;
    if (w->pretty && w->has_items[w->depth]) {
        fprintf(w->out, "\n%*s", 2 * w->depth, "");
    }
    fputc(w->open[w->depth] == '{' ? '}' : ']', w->out);
    if (w->depth == 0) {
        fputc('\n', w->out);
    }
}

void json_int(json_writer* w, const char* key, int64_t value) {
    begin_value(w, key);
    fprintf(w->out, "%" PRId64, value);
}

void json_uint(json_writer* w, const char* key, uint64_t value) {
    begin_value(w, key);
    fprintf(w->out, "%" PRIu64, value);
}

void json_bool(json_writer* w, const char* key, bool value) {
    begin_value(w, key);
    fputs(value ? "true" : "false", w->out);
}

void json_null(json_writer* w, const char* key) {
    begin_value(w, key);
    fputs("null", w->out);
}

void json_string(json_writer* w, const char* key, const char* text) {
    begin_value(w, key);
    put_string(w->out, text);
}

void json_time(json_writer* w, const char* key, int64_t ms) {
    char t[40];
    format_utc(ms, true, t, sizeof t);
    json_string(w, key, t);
}
