#include "report/causes/cause_file.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string_view>

namespace {

bool before(const cause_entry& a, const cause_entry& b) {
    return a.ms != b.ms ? a.ms < b.ms : a.gap_ns < b.gap_ns;
}

}  // namespace

std::string causes_path(const char* path) {
    std::string day = path;
    if (day.ends_with(".gz")) {
        day.resize(day.size() - 3);
    }
    return day + causes_suffix;
}

void write_cause_line(FILE* file, int64_t row_ms, int64_t gap_ns, cause_kind kind,
                      const cause_figures& f) {
    fprintf(file, "%" PRId64 " %" PRId64 " %s", row_ms, gap_ns, cause_name(kind));
    cause_figure_value figures[max_cause_figures];
    const int n = list_cause_figures(f, figures);
    for (int i = 0; i < n; ++i) {
        fprintf(file, " %s=%" PRId64, figures[i].key, figures[i].value);
    }
    fputc('\n', file);
}

void load_causes(const char* path, cause_book* book) {
    book->entries.clear();
    FILE* file = fopen(causes_path(path).c_str(), "r");
    if (file == nullptr) {
        return;
    }
    char line[1024];
    while (fgets(line, sizeof line, file) != nullptr) {
        long long ms = 0, gap = 0;
        char kind_name[32];
        cause_kind kind{};
        if (sscanf(line, "%lld %lld %31s", &ms, &gap, kind_name) == 3 &&
            cause_from_name(kind_name, &kind)) {
            book->entries.push_back(cause_entry{ms, gap, kind});
        }
    }
    fclose(file);
    std::stable_sort(book->entries.begin(), book->entries.end(), before);
}

cause_kind find_cause(const cause_book* book, int64_t ms, int64_t gap_ns) {
    const cause_entry key{ms, gap_ns, cause_kind::unknown};
    const auto at = std::lower_bound(book->entries.begin(), book->entries.end(), key, before);
    return at != book->entries.end() && at->ms == ms && at->gap_ns == gap_ns ? at->kind
                                                                             : cause_kind::unknown;
}
