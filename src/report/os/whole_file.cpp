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
    w->folder_error = 0;
    part_name(path, w->part, sizeof w->part);
    w->file = open_file(w->part, "wb");
    if (w->file == nullptr) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    return true;
}

bool commit_whole_file(whole_file* w, char* reason, size_t reason_size) {
    // A write that failed before is tried again by the flush, which fails as it did: its
    // error is the one taken here.
    errno = 0;
    bool written = fflush(w->file) == 0;
    int error = written ? 0 : errno;
    if (written && ferror(w->file)) {
        written = false;  // a write failed, and the flush did not say why
    }
    if (written && w->durable && !sync_file(w->file)) {
        written = false;
        error = errno;
    }
    if (fclose(w->file) != 0 && written) {
        written = false;
        error = errno;
    }
    w->file = nullptr;
    if (!written) {
        snprintf(reason, reason_size, "%s",
                 error != 0 ? strerror(error) : "a write failed, and the system did not say why");
        remove(w->part);
        return false;
    }
    if (!replace_file(w->part, w->path, reason, reason_size)) {
        remove(w->part);
        return false;
    }
    if (w->durable && !sync_folder_of(w->path)) {
        w->folder_error = errno;
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
