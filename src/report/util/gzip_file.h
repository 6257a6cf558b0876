// Compressing a finished day file with zlib. FILE.gz is written whole or not at all
// (through a part beside it); when FILE.gz is there already (a day written again after a
// clock step), the new text is added to it as one more gzip member, which every gzip
// reader reads as the text of both, one after the other.
#pragma once

#include <cstddef>

#include "report/os/whole_file.h"

// Writes what `gz` is to become, with `plain` compressed at its end, into the part of
// `w` (durable: a day kept for years), which the caller then commits (commit_whole_file) or
// abandons. False, with the reason, if it could not be written; the part is then removed and `gz`
// is as it was.
bool gzip_into(const char* plain, const char* gz, whole_file* w, char* reason, size_t reason_size);

// Whether `gz` ends with a member that holds exactly the bytes of `plain` (its CRC-32 and
// size): `plain` was compressed, and only its removal was left undone.
bool gzip_ends_with(const char* gz, const char* plain);
