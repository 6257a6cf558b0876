#include "report/causes/cause_file.h"
#include "report/os/files.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
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

namespace {

void put_escaped(FILE* file, const char* text) {
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte <= ' ' || byte == '%' || byte == ',' || byte == 127) {
            fprintf(file, "%%%02X", byte);
        } else {
            fputc(byte, file);
        }
    }
}

int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Copies the escaped text from `*at` up to `stop` (or the word's end) into `out`.
void take_escaped(const char** at, char stop, char* out, size_t size) {
    size_t n = 0;
    const char* p = *at;
    for (; *p != '\0' && *p != stop && *p != ' ' && *p != '\n'; ++p) {
        char c = *p;
        if (c == '%' && hex_digit(p[1]) >= 0 && hex_digit(p[2]) >= 0) {
            c = static_cast<char>(hex_digit(p[1]) * 16 + hex_digit(p[2]));
            p += 2;
        }
        if (n + 1 < size) {
            out[n++] = c;
        }
    }
    out[n] = '\0';
    *at = p;
}

// "culprit=PID,CPU_NS,NAME,CGROUP" at `at`, into `c`.
bool read_culprit(const char* at, culprit* c) {
    char* end = nullptr;
    c->pid = strtol(at, &end, 10);
    if (end == at || *end != ',') {
        return false;
    }
    at = end + 1;
    c->cpu_ns = strtoll(at, &end, 10);
    if (end == at || *end != ',') {
        return false;
    }
    at = end + 1;
    take_escaped(&at, ',', c->name, sizeof c->name);
    if (*at == ',') {
        ++at;
    }
    take_escaped(&at, ',', c->cgroup, sizeof c->cgroup);
    // Then, from watches that tell them, the threads: ",TID:TID".
    c->threads = 0;
    if (*at == ',') {
        do {
            const long tid = strtol(at + 1, &end, 10);
            if (end == at + 1 || tid <= 0) {
                break;
            }
            c->tids[c->threads++] = tid;
            at = end;
        } while (*at == ':' && c->threads < max_culprit_threads);
    }
    return true;
}

// The value of " NAME=" in `line` as a number; `fallback` when it is not there.
uint64_t number_named(const char* line, const char* name, uint64_t fallback) {
    const char* at = strstr(line, name);
    return at != nullptr ? strtoull(at + strlen(name), nullptr, 10) : fallback;
}

}  // namespace

void write_cause_line(FILE* file, int64_t row_ms, int64_t gap_ns, cause_kind kind,
                      const cause_figures& f, const culprit_list& who) {
    fprintf(file, "%" PRId64 " %" PRId64 " %s", row_ms, gap_ns, cause_name(kind));
    cause_figure_value figures[max_cause_figures];
    const int n = list_cause_figures(f, figures);
    for (int i = 0; i < n; ++i) {
        fprintf(file, " %s=%" PRId64, figures[i].key, figures[i].value);
    }
    if (who.count > 0) {
        fprintf(file, " culprits_seen=%s", seen_name(who.seen));
    }
    if (who.count > 0 && who.seen == culprit_seen::switches) {
        fprintf(file, " culprits_lost=%" PRIu64 " culprits_partial=%d", who.lost,
                who.partial ? 1 : 0);
    }
    for (int i = 0; i < who.count; ++i) {
        const culprit& c = who.top[i];
        fprintf(file, " culprit=%ld,%" PRId64 ",", c.pid, c.cpu_ns);
        put_escaped(file, c.name);
        fputc(',', file);
        put_escaped(file, c.cgroup);
        for (int t = 0; t < c.threads; ++t) {
            fprintf(file, "%c%ld", t == 0 ? ',' : ':', c.tids[t]);
        }
    }
    fputc('\n', file);
}

void load_causes(const char* path, cause_book* book) {
    book->entries.clear();
    book->culprits.clear();
    FILE* file = open_file(causes_path(path).c_str(), "r");
    if (file == nullptr) {
        return;
    }
    char line[4096];
    while (fgets(line, sizeof line, file) != nullptr) {
        long long ms = 0, gap = 0;
        char kind_name[32];
        cause_kind kind{};
        if (sscanf(line, "%lld %lld %31s", &ms, &gap, kind_name) != 3 ||
            !cause_from_name(kind_name, &kind)) {
            continue;
        }
        culprit_list who{};
        for (const char* at = strstr(line, " culprit="); at != nullptr && who.count < max_culprits;
             at = strstr(at + 1, " culprit=")) {
            who.count += read_culprit(at + 9, &who.top[who.count]) ? 1 : 0;
        }
        // Watches before these words sampled every process's last CPU.
        const char* seen = strstr(line, " culprits_seen=");
        char seen_word[16] = "";
        if (seen == nullptr || sscanf(seen, " culprits_seen=%15s", seen_word) != 1 ||
            !seen_from_name(seen_word, &who.seen)) {
            who.seen = culprit_seen::sampled;
        }
        who.lost = number_named(line, " culprits_lost=", 0);
        who.partial = number_named(line, " culprits_partial=", 0) != 0;
        int place = -1;
        if (who.count > 0) {
            place = static_cast<int>(book->culprits.size());
            book->culprits.push_back(who);
        }
        book->entries.push_back(cause_entry{ms, gap, kind, place});
    }
    fclose(file);
    std::stable_sort(book->entries.begin(), book->entries.end(), before);
}

cause_kind find_cause(const cause_book* book, int64_t ms, int64_t gap_ns, culprit_list* who) {
    const cause_entry key{ms, gap_ns, cause_kind::unknown, -1};
    const auto at = std::lower_bound(book->entries.begin(), book->entries.end(), key, before);
    who->count = 0;
    if (at == book->entries.end() || at->ms != ms || at->gap_ns != gap_ns) {
        return cause_kind::unknown;
    }
    if (at->culprits >= 0) {
        *who = book->culprits[static_cast<size_t>(at->culprits)];
    }
    return at->kind;
}
