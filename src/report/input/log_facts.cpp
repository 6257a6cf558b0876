#include "report/input/log_facts.h"

#include <algorithm>
#include <cstdio>

const char* end_words(input_end ended) {
    switch (ended) {
        case input_end::ctrl_c:
            return "Ctrl-C";
        case input_end::sigterm:
            return "SIGTERM";
        case input_end::not_yet:
        case input_end::end_of_input:
            break;
    }
    return "end of input";
}

line_place place_of(const log_facts& facts, long line) {
    if (!facts.several_files || facts.files.empty()) {
        return line_place{nullptr, line};
    }
    const auto after = std::upper_bound(
        facts.files.begin(), facts.files.end(), line,
        [](long l, const log_facts::file_span& span) { return l < span.first_line; });
    if (after == facts.files.begin()) {
        return line_place{nullptr, line};
    }
    const log_facts::file_span& span = *(after - 1);
    return line_place{span.name.c_str(), line - span.first_line + 1};
}

const char* place_words(const log_facts& facts, long line, char* text, size_t size) {
    const line_place place = place_of(facts, line);
    if (place.file == nullptr) {
        snprintf(text, size, "line %ld", place.line);
    } else {
        snprintf(text, size, "%s line %ld", place.file, place.line);
    }
    return text;
}
