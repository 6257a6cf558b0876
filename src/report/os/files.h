// Files, folders and their durability: a file moved into place in one step, what was
// written brought to the disk before what depends on it, a folder's lock. Files kept for
// years reach the disk in order: what was written to a file before it is renamed or its
// source removed, and a rename before what depends on it. On failure each call says why
// in the system's words, taken at the failing call. One file a platform: files_posix.cpp,
// files_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdio>

// fopen(path, mode), the file kept from programs this one starts (close-on-exec; on
// Windows not inherited): a monitor the Windows service starts must never hold the
// watch's files open.
FILE* open_file(const char* path, const char* mode);

// Whether `path` is a file of at least one byte.
bool file_has_content(const char* path);

// Moves `from` over `to` in one step: a reader of `to` sees the old file or the new one,
// never a part. On failure returns false with the reason.
bool replace_file(const char* from, const char* to, char* reason, size_t reason_size);

// Where the file name in `path` begins: just after its last folder separator ('/', and
// on Windows '\\' too), or 0 when it names no folder.
size_t file_name_start(const char* path);

// Whether a file can be made in the folder of `path`: makes one and removes it. On
// failure returns false with the reason.
bool folder_writable(const char* path, char* reason, size_t reason_size);

// Whether `path` names an existing folder.
bool is_folder(const char* path);

// Whether a file named `path` can be made: the name is not a folder's, and its folder
// takes files. On failure returns false with the reason.
inline bool file_name_writable(const char* path, char* reason, size_t reason_size) {
    if (is_folder(path)) {
        snprintf(reason, reason_size, "it is a folder, not a file");
        return false;
    }
    return folder_writable(path, reason, reason_size);
}

// Cuts the open `file` back to `size` bytes (a line that could be written only in part).
bool truncate_file(FILE* file, long size);

// Reads the file `path` (at most `size` - 1 bytes) into `data` as a C string, with no
// allocation: its length, or -1 when it cannot be read.
long read_small_file(const char* path, char* data, size_t size);

// What was written to `file` reaches the disk (fflush, then fsync / FlushFileBuffers).
bool sync_file(FILE* file);
// The same for the file at `path`, opened for it.
bool sync_path(const char* path);
// The names in the folder of `path` (a rename, a new file) reach the disk. On Windows
// replace_file's move is written through already.
bool sync_folder_of(const char* path);

// Holds an exclusive lock on the file `path` (made if need be) until the process ends,
// and writes the process id into it: flock on Linux, LockFileEx on Windows, so that a
// lock never outlives its process. False when another process holds it: `*holder` is
// its id (0 if it cannot be read); or, `*holder` -1, with the reason the file could not
// be opened or written.
bool hold_lock_file(const char* path, long* holder, char* reason, size_t reason_size);
