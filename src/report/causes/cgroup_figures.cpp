#include "report/causes/cgroup_figures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report/causes/cause_rules.h"
#include "report/causes/proc_figures.h"
#include "report/os/files.h"

namespace {

bool load(const char* folder, const char* file, char* buffer, size_t size) {
    char path[600];
    const int n = snprintf(path, sizeof path, "%s/%s", folder, file);
    return n > 0 && static_cast<size_t>(n) < sizeof path &&
           read_small_file(path, buffer, size) >= 0;
}

// The next space-separated word of `*at` into `word` (mountinfo's \ooo escapes undone),
// moving `*at` past it; false at the end of the line.
bool next_word(const char** at, char* word, size_t size) {
    const char* p = *at;
    while (*p == ' ') {
        ++p;
    }
    size_t n = 0;
    for (; *p != '\0' && *p != ' ' && *p != '\n'; ++p) {
        char c = *p;
        if (c == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0' &&
            p[3] <= '7') {
            c = static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
            p += 3;
        }
        if (n + 1 < size) {
            word[n++] = c;
        }
    }
    word[n] = '\0';
    *at = p;
    return n > 0;
}

// Whether the comma-separated `list` holds `item`.
bool listed(const char* list, const char* item) {
    const size_t length = strlen(item);
    for (const char* at = list; at != nullptr;
         at = strchr(at, ',') ? strchr(at, ',') + 1 : nullptr) {
        if (strncmp(at, item, length) == 0 && (at[length] == ',' || at[length] == '\0')) {
            return true;
        }
    }
    return false;
}

// The mount of the hierarchy that has `controller` (v1), or of cgroup2 (`controller`
// nullptr): its root inside the hierarchy and its mount point.
bool find_mount(const char* mountinfo, const char* controller, char* root, char* point,
                size_t size) {
    for (const char* line = mountinfo; line != nullptr && *line != '\0';) {
        const char* end = strchr(line, '\n');
        const char* dash = strstr(line, " - ");
        char word[512], type[32], options[256];
        const char* at = line;
        bool ok = dash != nullptr && (end == nullptr || dash < end);
        for (int field = 0; ok && field < 3; ++field) {
            ok = next_word(&at, word, sizeof word);  // id, parent id, major:minor
        }
        ok = ok && next_word(&at, root, size) && next_word(&at, point, size);
        if (ok) {
            at = dash + 3;
            ok = next_word(&at, type, sizeof type) && next_word(&at, word, sizeof word) &&
                 next_word(&at, options, sizeof options);
        }
        if (ok && controller == nullptr && strcmp(type, "cgroup2") == 0) {
            return true;
        }
        if (ok && controller != nullptr && strcmp(type, "cgroup") == 0 &&
            listed(options, controller)) {
            return true;
        }
        line = end == nullptr ? nullptr : end + 1;
    }
    return false;
}

// The path of the group in /proc/PID/cgroup's line for `controller` (v1), or of the v2
// line "0::" (`controller` nullptr).
bool group_path(const char* cgroups, const char* controller, char* path, size_t size) {
    for (const char* line = cgroups; line != nullptr && *line != '\0';) {
        const char* end = strchr(line, '\n');
        const size_t length = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
        const char* first = static_cast<const char*>(memchr(line, ':', length));
        const char* second =
            first != nullptr ? static_cast<const char*>(memchr(
                                   first + 1, ':', length - static_cast<size_t>(first + 1 - line)))
                             : nullptr;
        if (second != nullptr) {
            char controllers[128];
            const size_t n =
                std::min(static_cast<size_t>(second - first - 1), sizeof controllers - 1);
            memcpy(controllers, first + 1, n);
            controllers[n] = '\0';
            const bool match = controller == nullptr ? strncmp(line, "0::", 3) == 0
                                                     : listed(controllers, controller);
            if (match) {
                const size_t rest = length - static_cast<size_t>(second + 1 - line);
                if (rest + 1 > size) {
                    return false;
                }
                memcpy(path, second + 1, rest);
                path[rest] = '\0';
                return true;
            }
        }
        line = end == nullptr ? nullptr : end + 1;
    }
    return false;
}

// The folder of the group at `path` in the hierarchy mounted at `point` with `root`.
bool folder_of(const char* sys_root, const char* root, const char* point, const char* path, bool v2,
               cgroup_folder* folder) {
    // A mount of part of the hierarchy (a container without a cgroup namespace) shows
    // the groups below its root.
    const size_t root_length = strcmp(root, "/") == 0 ? 0 : strlen(root);
    if (root_length > 0 && strncmp(path, root, root_length) == 0 &&
        (path[root_length] == '/' || path[root_length] == '\0')) {
        path += root_length;
    }
    const int mount = snprintf(folder->path, sizeof folder->path, "%s%s", sys_root, point);
    const int n = snprintf(folder->path, sizeof folder->path, "%s%s%s", sys_root, point,
                           strcmp(path, "/") == 0 ? "" : path);
    if (mount < 0 || n < 0 || static_cast<size_t>(n) >= sizeof folder->path) {
        return false;
    }
    folder->mount_length = static_cast<size_t>(mount);
    folder->v2 = v2;
    return true;
}

bool find_group(const char* sys_root, const char* mountinfo, const char* cgroups,
                const char* controller, cgroup_folder* folder, char* group, size_t group_size) {
    char root[512], point[512], path[512];
    return find_mount(mountinfo, controller, root, point, sizeof root) &&
           group_path(cgroups, controller, path, sizeof path) &&
           snprintf(group, group_size, "%s", path) >= 0 &&
           folder_of(sys_root, root, point, path, controller == nullptr, folder);
}

// The folder `levels_up` above `folder`'s group, if it is not above the mount point.
bool ancestor(const cgroup_folder& folder, int levels_up, char* path, size_t size) {
    if (snprintf(path, size, "%s", folder.path) < 0) {
        return false;
    }
    for (int i = 0; i < levels_up; ++i) {
        char* slash = strrchr(path, '/');
        if (slash == nullptr || static_cast<size_t>(slash - path) < folder.mount_length) {
            return false;
        }
        *slash = '\0';
    }
    return strlen(path) >= folder.mount_length;
}

// A "name value" line's value in a flat-keyed file (cpu.stat, cgroup.events).
bool keyed(const char* text, const char* key, int64_t* value) {
    const size_t length = strlen(key);
    for (const char* line = text; line != nullptr && *line != '\0';) {
        if (strncmp(line, key, length) == 0 && line[length] == ' ') {
            char* end = nullptr;
            const long long v = strtoll(line + length + 1, &end, 10);
            if (end == line + length + 1) {
                return false;
            }
            *value = v;
            return true;
        }
        const char* end = strchr(line, '\n');
        line = end == nullptr ? nullptr : end + 1;
    }
    return false;
}

// Throttled time (ns) of a group's cpu.stat or cpu.stat.local text, v1 or v2.
bool throttled_in(const char* text, bool v2, int64_t* ns) {
    int64_t value = 0;
    if (v2 ? !keyed(text, "throttled_usec", &value) : !keyed(text, "throttled_time", &value)) {
        return false;
    }
    *ns = v2 ? (value > INT64_MAX / 1000 ? INT64_MAX : value * 1000) : value;
    return true;
}

// The group's CPU limit in thousandths of a CPU; 0 when it has none.
int64_t limit_of(const char* folder, bool v2, char* buffer, size_t size) {
    int64_t quota = -1, period = 0;
    if (v2) {
        if (load(folder, "cpu.max", buffer, size) && strncmp(buffer, "max", 3) != 0) {
            char* end = nullptr;
            quota = strtoll(buffer, &end, 10);
            period = strtoll(end, nullptr, 10);
        }
    } else if (load(folder, "cpu.cfs_quota_us", buffer, size)) {
        quota = strtoll(buffer, nullptr, 10);
        if (load(folder, "cpu.cfs_period_us", buffer, size)) {
            period = strtoll(buffer, nullptr, 10);
        }
    }
    return quota > 0 && period > 0 && quota < INT64_MAX / 1000 ? quota * 1000 / period : 0;
}

// Whether the group in `path` is frozen, by its v1 freezer.state or v2 cgroup.events.
bool frozen_at(const char* path, bool v2, bool* known, char* buffer, size_t size) {
    if (v2) {
        int64_t frozen = 0;
        if (load(path, "cgroup.events", buffer, size) && keyed(buffer, "frozen", &frozen)) {
            *known = true;
            return frozen != 0;
        }
        return false;
    }
    if (load(path, "freezer.state", buffer, size)) {
        *known = true;
        return strncmp(buffer, "FROZEN", 6) == 0 || strncmp(buffer, "FREEZING", 8) == 0;
    }
    return false;
}

}  // namespace

void find_cgroups(const char* proc_root, const char* sys_root, long pid, cgroup_place* place,
                  char* buffer, size_t size) {
    *place = cgroup_place{};
    char name[64];
    snprintf(name, sizeof name, "%ld/cgroup", pid);
    // Both files at once: the buffer's halves.
    const size_t half = size / 2;
    char* cgroups = buffer;
    char* mountinfo = buffer + half;
    if (!load(proc_root, name, cgroups, half) ||
        !load(proc_root, "self/mountinfo", mountinfo, half)) {
        return;
    }
    char ignored[256];
    place->cpu_found = find_group(sys_root, mountinfo, cgroups, "cpu", &place->cpu,
                                  place->cpu_group, sizeof place->cpu_group);
    place->unified_found =
        find_group(sys_root, mountinfo, cgroups, nullptr, &place->unified, ignored, sizeof ignored);
    if (!place->cpu_found && place->unified_found) {
        place->cpu = place->unified;
        place->cpu_found = group_path(cgroups, nullptr, place->cpu_group, sizeof place->cpu_group);
    }
    place->freezer_found = find_group(sys_root, mountinfo, cgroups, "freezer", &place->freezer,
                                      ignored, sizeof ignored);
}

void read_cgroup_counters(const cgroup_place* place, cgroup_counters* c, char* buffer,
                          size_t size) {
    c->have = 0;
    c->levels = 0;
    char path[512];
    bool throttle_known = false, limit_known = false;
    for (int level = 0; place->cpu_found && level < max_cgroup_levels &&
                        ancestor(place->cpu, level, path, sizeof path);
         ++level) {
        int64_t ns = 0, local_ns = 0, periods = 0;
        const bool stat =
            load(path, "cpu.stat", buffer, size) && throttled_in(buffer, place->cpu.v2, &ns);
        if (stat) {
            keyed(buffer, "nr_throttled", &periods);
        }
        // Time held by an ancestor's limit too, where the kernel counts it apart.
        if (load(path, "cpu.stat.local", buffer, size) &&
            throttled_in(buffer, place->cpu.v2, &local_ns) && local_ns > ns) {
            ns = local_ns;
        }
        c->throttled_ns[level] = ns;
        c->throttled_periods[level] = periods;
        c->limit_millicpus[level] = limit_of(path, place->cpu.v2, buffer, size);
        throttle_known = throttle_known || stat;
        limit_known = true;
        c->levels = level + 1;
    }
    c->have |= (throttle_known ? have_throttle : 0u) | (limit_known ? have_limit : 0u);
    bool known = false;
    c->frozen = read_frozen(place, &known, buffer, size);
    c->have |= known ? have_freezer : 0u;
    if (place->unified_found && load(place->unified.path, "memory.pressure", buffer, size) &&
        place->unified.path[place->unified.mount_length] != '\0' &&
        pressure_total(buffer, "full", &c->memory_full_us)) {
        c->have |= have_group_memory;  // a group's own; the root's is the machine's
    }
}

bool read_frozen(const cgroup_place* place, bool* known, char* buffer, size_t size) {
    *known = false;
    const cgroup_folder* folders[] = {place->freezer_found ? &place->freezer : nullptr,
                                      place->unified_found ? &place->unified : nullptr};
    char path[512];
    for (const cgroup_folder* folder : folders) {
        for (int level = 0; folder != nullptr && level < max_cgroup_levels &&
                            ancestor(*folder, level, path, sizeof path);
             ++level) {
            if (strlen(path) == folder->mount_length) {
                *known = true;  // the root group, which cannot be frozen
            } else if (frozen_at(path, folder->v2, known, buffer, size)) {
                return true;
            }
        }
    }
    return false;
}

void cpu_cgroup_of(const char* proc_root, long pid, char* group, size_t group_size, char* buffer,
                   size_t size) {
    char name[64];
    snprintf(name, sizeof name, "%ld/cgroup", pid);
    group[0] = '\0';
    if (load(proc_root, name, buffer, size) && !group_path(buffer, "cpu", group, group_size) &&
        !group_path(buffer, nullptr, group, group_size)) {
        group[0] = '\0';
    }
}

void cpu_group_at(const cgroup_place* place, int levels_up, char* group, size_t size) {
    snprintf(group, size, "%s", place->cpu_group);
    for (int i = 0; i < levels_up; ++i) {
        char* slash = strrchr(group, '/');
        if (slash == nullptr) {
            break;
        }
        *slash = slash == group ? '/' : '\0';
        if (slash == group) {
            slash[1] = '\0';
            break;
        }
    }
}
