// Options from a table: one row an option, with its name, the kind of its value, where
// the value goes in the program's record of options, and its help. Reading checks each
// value as its kind says and never ends the program: it returns 2 with the words of
// what is wrong. clockgap-report and the Windows service read their options here, each
// from its own table, and each prints its help from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

enum class value_kind : uint8_t {
    none,   // a flag: sets `flag` to `set`
    whole,  // a whole number from `low` to `high` (`unit`) into `number`
    name,   // a name into `text` or `string`: not empty (with `what`: not an option either,
            // and ending in one of `endings`)
    time,   // an ISO 8601 date and time into `number`, as Unix ms
};

template <class T>
struct option_row {
    const char* name;
    value_kind kind = value_kind::none;
    const char* value_name = nullptr;  // in the help: "MS", "FILE"
    const char* help = "";             // lines apart by '\n'
    const char* alias = nullptr;       // another name for it ("-h"), not in the help
    bool T::*flag = nullptr;
    bool set = true;
    bool ends = false;  // reading stops after it (--help, --version)
    int64_t T::*number = nullptr;
    long long low = 0, high = 0;
    const char* unit = nullptr;  // of a whole number: "milliseconds"
    const char* T::*text = nullptr;
    std::string T::*string = nullptr;
    const char* what = nullptr;         // a name of a file of this kind ("picture")
    const char* endings = nullptr;      // the endings such a name may have, e.g. ".png .svg"
    const char* needs = "a file name";  // what a name without `what` must be
};

// The longest sleep period, in milliseconds, that the report (--monitor) and the service
// (--period) hand to a monitor they start.
inline constexpr long long longest_monitor_period_ms = 100'000;

// Whether `value` is all of a whole number from `low` to `high`; the number in `number`.
bool whole_number(const char* value, long long low, long long high, long long* number);

// Edits (insert, delete, change a character) from `a` to `b`; 99 for words over 31.
int edit_distance(const char* a, size_t a_size, const char* b, size_t b_size);

// Reads argv[first...] into `o` by `rows`; each argument that is not an option goes to
// `operands` (nullptr: none are taken). Returns 0, or 2 with the problem in `problem`.
template <class T>
int read_table_options(int argc, char** argv, int first, std::span<const option_row<T>> rows, T* o,
                       std::vector<const char*>* operands, std::string* problem);

// The help of each row: "  --keep N      keep the N day files ...", the help at
// `column` (on the next line when the name and value are longer).
template <class T>
void print_option_help(FILE* out, std::span<const option_row<T>> rows, int column = 16);

#include "report/options/option_table_impl.h"
