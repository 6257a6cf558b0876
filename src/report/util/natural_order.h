// Names in the order people read them: a run of digits compares as the number it is, so
// web-2 comes before web-10; the rest compares byte by byte. Names that differ only in
// leading zeros (web-01, web-1) still have an order, so that sorting is stable.
#pragma once

#include <string_view>

bool natural_less(std::string_view a, std::string_view b);
