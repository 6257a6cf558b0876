#include "report/util/text_out.h"

#include <cstdarg>

void outf(text_out* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (out->file != nullptr) {
        vfprintf(out->file, format, args);
        va_end(args);
        return;
    }
    va_list again;
    va_copy(again, args);
    char small[256];
    const int length = vsnprintf(small, sizeof small, format, args);
    if (length >= 0 && static_cast<size_t>(length) < sizeof small) {
        out->text->append(small, static_cast<size_t>(length));
    } else if (length > 0) {
        const size_t at = out->text->size();
        out->text->resize(at + static_cast<size_t>(length) + 1);
        vsnprintf(out->text->data() + at, static_cast<size_t>(length) + 1, format, again);
        out->text->resize(at + static_cast<size_t>(length));
    }
    va_end(again);
    va_end(args);
}

void out_text(text_out* out, std::string_view text) {
    if (out->file != nullptr) {
        fwrite(text.data(), 1, text.size(), out->file);
    } else {
        out->text->append(text);
    }
}
