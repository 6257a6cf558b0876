#include "report/input/log_facts.h"

const char* end_words(input_end ended) {
    switch (ended) {
        case input_end::ctrl_c:
            return "Ctrl-C";
        case input_end::sigterm:
            return "SIGTERM";
        case input_end::not_yet:
        case input_end::end_of_input:
            break;
    }
    return "end of input";
}
