#include "report/os/whole_file.h"

#include <cerrno>
#include <cstring>

#include "report/os/files.h"
#include "report/os/processes.h"

void part_name(const char* path, char* part, size_t size) {
    snprintf(part, size, "%s.part-%ld", path, process_id());
}

bool begin_whole_file(whole_file* w, const char* path, bool durable, char* reason,
                      size_t reason_size) {
    w->path = path;
    w->durable = durable;
    part_name(path, w->part, sizeof w->part);
    w->file = fopen(w->part, "wb");
    if (w->file == nullptr) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    return true;
}

bool commit_whole_file(whole_file* w, char* reason, size_t reason_size) {
    const bool written = !ferror(w->file) && (!w->durable || sync_file(w->file));
    const int error = errno;
    const bool closed = fclose(w->file) == 0;
    w->file = nullptr;
    if (!written || !closed) {
        snprintf(reason, reason_size, "%s", strerror(written ? errno : error));
        remove(w->part);
        return false;
    }
    if (!replace_file(w->part, w->path, reason, reason_size)) {
        remove(w->part);
        return false;
    }
    if (w->durable && !sync_folder_of(w->path)) {
        snprintf(reason, reason_size, "its folder could not be flushed to disk (%s)",
                 strerror(errno));
        return false;
    }
    return true;
}

bool commit_part(const char* part, const char* path, char* reason, size_t reason_size) {
    if (!file_has_content(part)) {
        snprintf(reason, reason_size, "nothing was drawn");
        remove(part);
        return false;
    }
    if (!replace_file(part, path, reason, reason_size)) {
        remove(part);
        return false;
    }
    return true;
}

void abandon_whole_file(whole_file* w) {
    if (w->file != nullptr) {
        fclose(w->file);
        w->file = nullptr;
    }
    remove(w->part);
}
