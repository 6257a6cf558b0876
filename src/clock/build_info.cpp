#include "clock/build_info.h"

const char* build_version() {
    return CLOCKGAP_VERSION;
}

const char* build_words() {
    return
#if defined(__clang__)
        "clang " __clang_version__
#elif defined(__GNUC__)
        "g++ " __VERSION__
#else
        "an unknown compiler"
#endif
        " for "
#if defined(_WIN32)
        "Windows x86-64";
#elif defined(__linux__)
        "Linux";
#else
        "a POSIX system";
#endif
}
