#pragma once
// Names in this system (files, ports, devices, groups, tags, registry values)
// compare without regard to letter case, as on Windows: ASCII case folding.

#include <algorithm>
#include <string_view>

inline bool EqualNoCase(std::string_view a, std::string_view b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
               return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
           });
}
