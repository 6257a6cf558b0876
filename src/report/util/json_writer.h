// A JSON document written as it goes: the writer places the commas, the indentation and
// the escapes, and keeps its own stack of what is open. Pretty: an object member or array
// element a line; compact: the whole value on one line (JSON Lines). Numbers are exact
// integers. A value needs a key exactly inside an object; misuse (a key in an array,
// none in an object, closing what is not open, nesting past json_deepest) is a fault of
// the program: the writer says so on standard error and stops it.
#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr int json_deepest = 8;

struct json_writer {
    FILE* out;
    bool pretty;
    int depth;
    char open[json_deepest];       // at each level, '{' or '['
    bool has_items[json_deepest];  // at each level, whether a value was written yet
};

json_writer json_start(FILE* out, bool pretty);

// `key` names the member inside an object; nullptr inside an array or at the top.
void json_open_object(json_writer* w, const char* key);
void json_open_array(json_writer* w, const char* key);
// Closes the innermost object or array; closing the outermost ends the line.
void json_close(json_writer* w);

void json_int(json_writer* w, const char* key, int64_t value);
void json_uint(json_writer* w, const char* key, uint64_t value);
void json_bool(json_writer* w, const char* key, bool value);
void json_null(json_writer* w, const char* key);
void json_string(json_writer* w, const char* key, const char* text);
// A Unix time in ms as an ISO 8601 UTC string.
void json_time(json_writer* w, const char* key, int64_t ms);
