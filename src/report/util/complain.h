// The tool's own words on standard error. Every line begins with the program's name, and
// the sentences said in more than one place are said here.
#pragma once

#include <cstddef>
#include <string_view>

#include "report/util/text_out.h"

// One line: "clockgap-report: " and the text.
void complain(const char* format, ...) CLOCKGAP_PRINTF(1, 2);
// The same for a line that needs nobody's action: a recovery, or what the watch cleared
// up itself. Only a sink tells the two apart.
void tell(const char* format, ...) CLOCKGAP_PRINTF(1, 2);

// A program without a standard error (the Windows service) has each line, without the
// name, handed to `sink` instead, from whichever thread says it, with whether it came
// through tell(). nullptr: standard error.
void send_complaints_to(void (*sink)(const char* line, bool information));

// "cannot read NAME: REASON" and "cannot write NAME: REASON".
void complain_cannot_read(const char* name, const char* reason);
void complain_cannot_write(const char* name, const char* reason);

// Bytes of a log as they may be shown on a terminal: printable ASCII as it is, every
// other byte as \xNN, so that no byte of a hostile log can drive the terminal. Writes
// at most `size` - 1 characters and a NUL into `shown`.
void escape_bytes(std::string_view bytes, char* shown, size_t size);
