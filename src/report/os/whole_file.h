// A file written whole or not at all, for the page, the metrics file and the picture: it
// is written under a name of its own beside the file (NAME.part-PID, in the same folder,
// so that the move cannot cross file systems) and moved over NAME in one step once
// complete. A reader of NAME sees the old file or the new one, never a part; a write that
// fails leaves the old file as it was, and the part is removed. A durable one (a file
// kept for years) reaches the disk before it is moved, and its move before the commit
// returns.
#pragma once

#include <cstddef>
#include <cstdio>

struct whole_file {
    const char* path;
    char part[4200];
    FILE* file;    // open while it is written (binary: LF line ends on every platform)
    bool durable;  // flush the part before the move, and the folder after it
    // A durable file moved whole whose folder could not be flushed after the move: the
    // system's error then. A power cut may lose the move (not the file's contents).
    int folder_error;
};

// The name a file is written under before it is moved over `path`.
void part_name(const char* path, char* part, size_t size);

// Opens the part for writing; `durable` for a file kept for years. False, with the
// reason, if it cannot be made.
bool begin_whole_file(whole_file* w, const char* path, bool durable, char* reason,
                      size_t reason_size);

// Closes the part and moves it over the file. False, with the reason, if anything failed
// along the way (the writes, the close or the move); the part is then removed. Each
// reason is the system's error taken at the call that failed. A folder that could not
// be flushed after the move leaves the file whole: true, with `folder_error` set.
bool commit_whole_file(whole_file* w, char* reason, size_t reason_size);

// For a part that another program wrote (gnuplot): moves it over `path` when it holds at
// least a byte, and removes it otherwise. False, with the reason, when it was not moved.
bool commit_part(const char* part, const char* path, char* reason, size_t reason_size);

// Closes and removes the part: the file stays as it was.
void abandon_whole_file(whole_file* w);
