#include "report/util/natural_order.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool natural_less(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            // The numbers without their leading zeros: the longer is the larger, and of
            // the same length the first digit that differs decides.
            while (i < a.size() && a[i] == '0') {
                ++i;
            }
            while (j < b.size() && b[j] == '0') {
                ++j;
            }
            size_t end_a = i, end_b = j;
            while (end_a < a.size() && is_digit(a[end_a])) {
                ++end_a;
            }
            while (end_b < b.size() && is_digit(b[end_b])) {
                ++end_b;
            }
            if (end_a - i != end_b - j) {
                return end_a - i < end_b - j;
            }
            if (const int c = a.substr(i, end_a - i).compare(b.substr(j, end_b - j)); c != 0) {
                return c < 0;
            }
            i = end_a;
            j = end_b;
        } else if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        } else {
            ++i;
            ++j;
        }
    }
    if (i < a.size() || j < b.size()) {
        return j < b.size();  // what is left of one is longer: the shorter goes first
    }
    return a < b;  // equal as numbers (web-01, web-1): the bytes decide
}
