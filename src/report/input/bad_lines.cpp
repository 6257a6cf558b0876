#include "report/input/bad_lines.h"

#include <algorithm>
#include <cinttypes>

#include "report/util/complain.h"

namespace {

// Why a file whose first bytes (as text, once inflated) are `first` holds no log:
// "binary", or nullptr when it looks like text.
const char* not_text(const line_source* source) {
    const unsigned char* b = source->first_bytes;
    for (size_t i = 0; i < source->first_bytes_seen; ++i) {
        if (b[i] < 0x09 || (b[i] > 0x0d && b[i] < 0x20) || b[i] == 0x7f) {
            return "it holds binary bytes, not text";
        }
    }
    return nullptr;
}

// Whether `text` could be the end of a row cut off at its start: only the characters of
// a row's fields, and at least one comma. Any other first line is simply not a row.
bool row_tail(std::string_view text) {
    const bool row_chars = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == ',' || c == ' ' || c == '-' || c == ':' || c == '.' ||
               c == '\r';
    });
    return row_chars && text.find(',') != std::string_view::npos;
}

}  // namespace

bool skip_bad_line(log_facts* facts, const line_source* source, long number, std::string_view text,
                   const char* fault, bool strict) {
    if (!facts->not_a_log_said && facts->skipped_lines == 0 && !facts->fragment_first) {
        if (const char* why = not_text(source)) {
            facts->not_a_log_said = true;
            complain("%s does not look like a clockgap log: %s", facts->file, why);
        }
    }
    if (strict) {
        complain("%s line %ld %s", facts->file, number, fault);
        return false;
    }
    if (number == 1 && !facts->fragment_first && !facts->not_a_log_said && row_tail(text)) {
        facts->fragment_first = true;
        complain(
            "%s line 1 is the rest of a line whose start is missing (the log was cut "
            "there); skipped it",
            facts->file);
        return true;
    }
    ++facts->skipped_lines;
    facts->first_skipped_line = facts->first_skipped_line == 0 ? number : facts->first_skipped_line;
    if (facts->follow || facts->skipped_lines <= named_bad_lines) {
        complain("%s line %ld %s; skipped it", facts->file, number, fault);
    }
    return true;
}

void note_nul_bytes(const line_source* source, log_facts* facts) {
    if (source->nul_bytes == facts->nul_bytes) {
        return;
    }
    complain("%s line %ld begins after %" PRIu64
             " NUL bytes (a log truncated while it was written, as logrotate's copytruncate "
             "does); passed over them",
             facts->file, source->number, source->nul_bytes - facts->nul_bytes);
    facts->nul_bytes = source->nul_bytes;
}

void note_unnamed_bad_lines(const log_facts& facts) {
    if (facts.skipped_lines > named_bad_lines && !facts.follow) {
        complain("%s: %" PRIu64 " more lines that are not clockgap's were skipped", facts.name,
                 facts.skipped_lines - named_bad_lines);
    }
}
