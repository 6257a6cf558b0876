#include "report/util/json_writer.h"

#include <cinttypes>

#include "report/util/report_time.h"

namespace {

// The separator and indentation before a value, and its key.
void begin_value(json_writer* w, const char* key) {
    if (w->depth > 0) {
        bool& has = w->has_items[w->depth <= json_deepest ? w->depth - 1 : json_deepest - 1];
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
        fprintf(w->out, "\"%s\": ", key);
    }
}

void open(json_writer* w, const char* key, char bracket) {
    begin_value(w, key);
    fputc(bracket, w->out);
    if (w->depth < json_deepest) {
        w->has_items[w->depth] = false;
    }
    ++w->depth;
}

}  // namespace

json_writer json_start(FILE* out, bool pretty) {
    return json_writer{out, pretty, 0, {}};
}

void json_open_object(json_writer* w, const char* key) {
    open(w, key, '{');
}

void json_open_array(json_writer* w, const char* key) {
    open(w, key, '[');
}

void json_close(json_writer* w, char bracket) {
    --w->depth;
    if (w->pretty && w->depth < json_deepest && w->has_items[w->depth]) {
        fprintf(w->out, "\n%*s", 2 * w->depth, "");
    }
    fputc(bracket, w->out);
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
    fputc('"', w->out);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        const unsigned c = *p;
        if (c == '"' || c == '\\') {
            fputc('\\', w->out);
            fputc(static_cast<int>(c), w->out);
        } else if (c < 0x20) {
            fprintf(w->out, "\\u%04x", c);
        } else {
            fputc(static_cast<int>(c), w->out);
        }
    }
    fputc('"', w->out);
}

void json_time(json_writer* w, const char* key, int64_t ms) {
    char t[40];
    format_utc(ms, true, t, sizeof t);
    json_string(w, key, t);
}
