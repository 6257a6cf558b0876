// The reading of option_table.h, for each program's record of options.
#pragma once

#include <cstring>
#include <string_view>

#include "report/util/report_time.h"

namespace option_table_detail {

std::string words(const char* format, const char* a = "", const char* b = "");

// Takes `value` as the row says into `o`; 0, or 2 with the problem.
template <class T>
int take_value(const option_row<T>& r, const char* value, T* o, std::string* problem) {
    switch (r.kind) {
        case value_kind::none:
            o->*r.flag = r.set;
            return 0;
        case value_kind::whole: {
            long long n = 0;
            if (!whole_number(value, r.low, r.high, &n)) {
                *problem = words("%s needs a whole number of %s", r.name, r.unit) + ", " +
                           std::to_string(r.low) + " to " + std::to_string(r.high);
                return 2;
            }
            o->*r.number = n;
            return 0;
        }
        case value_kind::time: {
            int64_t ms = 0;
            if (value == nullptr || !parse_utc(value, &ms)) {
                *problem = words(
                    "%s needs an ISO 8601 date and time such as 2026-12-07T08:30:00Z or "
                    "2026-12-07T09:30+01:00, not '%s'",
                    r.name, value != nullptr ? value : "");
                return 2;
            }
            o->*r.number = ms;
            return 0;
        }
        case value_kind::name:
            break;
    }
    if (r.what != nullptr) {
        if (value == nullptr || value[0] == '-') {
            *problem = words("%s needs the name of a %s file", r.name, r.what);
            return 2;
        }
        bool ends_well = false;
        const std::string_view name(value);
        for (std::string_view rest(r.endings); !rest.empty();) {
            const size_t space = rest.find(' ');
            ends_well = ends_well || name.ends_with(rest.substr(0, space));
            rest = space == std::string_view::npos ? "" : rest.substr(space + 1);
        }
        if (!ends_well) {
            std::string endings = r.endings;
            const size_t space = endings.rfind(' ');
            endings = space == std::string::npos ? endings : endings.replace(space, 1, " or ");
            *problem = words("the %s's name must end in ", r.what) + endings + ": " + value;
            return 2;
        }
    } else if (value == nullptr || value[0] == '\0') {
        *problem = words("%s needs %s", r.name, r.needs);
        return 2;
    }
    if (r.text != nullptr) {
        o->*r.text = value;
    } else {
        o->*r.string = value;
    }
    return 0;
}

// The row named `name`, or nullptr.
template <class T>
const option_row<T>* find_row(std::span<const option_row<T>> rows, std::string_view name) {
    for (const option_row<T>& r : rows) {
        if (name == r.name || (r.alias != nullptr && name == r.alias)) {
            return &r;
        }
    }
    return nullptr;
}

// The option nearest to `word`, when it is near enough to be what was meant.
template <class T>
const char* nearest(std::span<const option_row<T>> rows, std::string_view word) {
    const char* best = nullptr;
    int best_distance = 3;
    for (const option_row<T>& r : rows) {
        const int d = edit_distance(word.data(), word.size(), r.name, strlen(r.name));
        if (d < best_distance) {
            best = r.name;
            best_distance = d;
        }
    }
    return best;
}

}  // namespace option_table_detail

template <class T>
int read_table_options(int argc, char** argv, int first, std::span<const option_row<T>> rows, T* o,
                       std::vector<const char*>* operands, std::string* problem) {
    using namespace option_table_detail;
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // --opt=value is the same as --opt value.
        const size_t equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        const option_row<T>* r = find_row(rows, name);
        if (r == nullptr) {
            if (operands != nullptr && (arg.empty() || arg[0] != '-' || arg.size() == 1)) {
                operands->push_back(argv[i]);
                continue;
            }
            const char* guess = arg.starts_with("-") ? nearest(rows, name) : nullptr;
            *problem = guess != nullptr
                           ? words("unknown option '%s'; did you mean %s?", argv[i], guess)
                       : operands == nullptr ? words("unknown argument '%s'", argv[i])
                                             : words("unknown or repeated argument '%s'", argv[i]);
            return 2;
        }
        const bool takes_value = r->kind != value_kind::none;
        if (equals != std::string_view::npos && !takes_value) {
            *problem = words("%s takes no value", r->name);
            return 2;
        }
        const char* value = equals != std::string_view::npos ? argv[i] + equals + 1
                            : takes_value && i + 1 < argc    ? argv[i + 1]
                                                             : nullptr;
        if (const int status = take_value(*r, value, o, problem); status != 0) {
            return status;
        }
        if (r->ends) {
            return 0;
        }
        i += takes_value && equals == std::string_view::npos ? 1 : 0;
    }
    return 0;
}

template <class T>
void print_option_help(FILE* out, std::span<const option_row<T>> rows, int help_column) {
    for (const option_row<T>& r : rows) {
        std::string left = std::string("  ") + r.name;
        if (r.value_name != nullptr) {
            left += std::string(" ") + r.value_name;
        }
        const char* help = r.help;
        const size_t first_end = strcspn(help, "\n");
        if (left.size() < static_cast<size_t>(help_column)) {
            fprintf(out, "%-*s%.*s\n", help_column, left.c_str(), static_cast<int>(first_end),
                    help);
        } else {
            fprintf(out, "%s\n%*s%.*s\n", left.c_str(), help_column, "",
                    static_cast<int>(first_end), help);
        }
        for (const char* line = help + first_end; *line == '\n';) {
            ++line;
            const size_t end = strcspn(line, "\n");
            fprintf(out, "%*s%.*s\n", help_column, "", static_cast<int>(end), line);
            line += end;
        }
    }
}
