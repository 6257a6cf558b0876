// The whole report as one HTML page that needs nothing else: the summary's chief figures,
// the picture drawn by the tool itself as inline SVG (tooltips from <title>), and the
// summary's text. No script, no network, no other file; CSS in the page gives a light
// and a dark theme and a landscape print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "report/fold/report_figures.h"

// `text` with &, <, > and " as entities, for the page's text and attributes.
void put_text(FILE* out, std::string_view text);

// Whether `path` ends in .html or .htm.
bool page_name_ok(const char* path);

// Writes the page to `path`: first to a file beside it, moved over it once whole, so a
// reader never sees a part. A window with fewer than two rows gets its page without a
// picture, and a line that says why. False with the reason when it cannot be written.
bool write_html_page(const char* path, const report_figures& figures, char* reason,
                     size_t reason_size);
