#include "sim/SimWire.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace simwire {

std::uint32_t Sum(std::string_view bytes) {
    std::uint32_t sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    return sum;
}

std::string ChecksumField(std::uint32_t sum, bool lowerCase) {
    char text[16];
    std::snprintf(text, sizeof text, lowerCase ? " C/S 00%04x\r\n" : " C/S 00%04X\r\n", sum & 0xFFFFu);
    return text;
}

std::string SizeLabel(double sizeUm) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", sizeUm);
    std::string label = text;
    while (label.find('.') != std::string::npos && label.size() > 3) label.pop_back();
    if (label.size() > 3) return {};
    return label;
}

std::string CalText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    std::string out = text;
    if (out.find('.') != std::string::npos) {
        while (!out.empty() && out.back() == '0') out.pop_back();
        if (!out.empty() && out.back() == '.') out.pop_back();
    }
    return out;
}

std::optional<double> ParseNumber(std::string_view token) {
    if (token.empty()) return std::nullopt;
    double value = 0;
    const char* first = token.data();
    const char* last = token.data() + token.size();
    if (*first == '+') ++first;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::vector<std::string_view> SplitAtSpaces(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t space = text.find(' ', pos);
        const std::size_t end = space == std::string_view::npos ? text.size() : space;
        if (end > pos) pieces.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return pieces;
}

}  // namespace simwire
