// Whole numbers of options, apart from the rest of the command line: the service's
// installer links this alone.
#include <cerrno>
#include <cstdlib>

#include "report/cli.h"

bool whole_number(const char* value, long long low, long long high, long long* number) {
    char* end = nullptr;
    errno = 0;
    *number = value != nullptr ? strtoll(value, &end, 10) : 0;
    return value != nullptr && end != value && *end == '\0' && errno == 0 && *number >= low &&
           *number <= high;
}
