#include "report/options/option_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

bool whole_number(const char* value, long long low, long long high, long long* number) {
    char* end = nullptr;
    errno = 0;
    *number = value != nullptr ? strtoll(value, &end, 10) : 0;
    return value != nullptr && end != value && *end == '\0' && errno == 0 && *number >= low &&
           *number <= high;
}

int edit_distance(const char* a, size_t a_size, const char* b, size_t b_size) {
    if (a_size > 31 || b_size > 31) {
        return 99;
    }
    int row[32];
    for (size_t j = 0; j <= b_size; ++j) {
        row[j] = static_cast<int>(j);
    }
    for (size_t i = 1; i <= a_size; ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (size_t j = 1; j <= b_size; ++j) {
            const int above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b_size];
}

namespace option_table_detail {

std::string words(const char* format, const char* a, const char* b) {
    char text[512];
    snprintf(text, sizeof text, format, a, b);
    return text;
}

}  // namespace option_table_detail
