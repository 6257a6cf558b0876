// Where a printer writes: an open FILE, or a string in memory. The summary prints the
// same text to standard output and into the page, which takes it without a scratch file.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#if defined(__clang__)
#define CLOCKGAP_PRINTF(format_at, args_at) __attribute__((format(printf, format_at, args_at)))
#elif defined(__GNUC__)
#define CLOCKGAP_PRINTF(format_at, args_at) __attribute__((format(gnu_printf, format_at, args_at)))
#else
#define CLOCKGAP_PRINTF(format_at, args_at)
#endif

struct text_out {
    FILE* file;         // written here when set
    std::string* text;  // otherwise appended here
};

inline text_out to_file(FILE* file) {
    return text_out{file, nullptr};
}
inline text_out to_text(std::string* text) {
    return text_out{nullptr, text};
}

// printf into `out`.
void outf(text_out* out, const char* format, ...) CLOCKGAP_PRINTF(2, 3);
// `text` as it is.
void out_text(text_out* out, std::string_view text);
