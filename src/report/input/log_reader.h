// Reading a log written by clockgap, one line at a time: the lines before the header
// (argument line, start line), the header, and the rows, from Linux or Windows.
#pragma once

#include <string_view>

#include "monitor/report_format.h"

enum class log_line_kind {
    preamble,  // an argument line or a start line, written before the header
    header,    // the header line, exactly as the monitor writes it
    row,       // a row, parsed into `row`
    bad,       // anything else; `error` says what is wrong
};

struct log_line {
    log_line_kind kind;
    report_row row;
    char error[240];
};

// Classifies and parses one line, given without its line end (a CR before it is
// ignored). Never fails on any input: what cannot be read is `bad`, with the reason.
log_line read_log_line(std::string_view text);

// The fast way for the common line: a row, read in one forward pass. A row it accepts
// read_log_line accepts too, with the same values; false for every other line (and for
// a number padded with zeros beyond 19 digits), which read_log_line then reads.
bool read_row(std::string_view text, report_row* row);
