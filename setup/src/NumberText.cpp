#include "setup/NumberText.h"

#include <cctype>
#include <cmath>
#include <charconv>
#include <cstdio>

namespace numbertext {
namespace {

// "%.<precision>f" without the locale's decimal separator.
std::string Fixed(double value, int precision) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, precision);
    if (result.ec != std::errc()) return "0";
    return std::string(text, result.ptr);
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::string SizeText(double size) {
    std::string text = Fixed(size, 2);
    while (text.size() > 3 && text.back() == '0') text.pop_back();
    while (text.size() > 3 && text.front() == '0') text.erase(0, 1);
    if (text.size() > 3) text.resize(3);
    return text;
}

bool SizeFits(double size) { return std::isfinite(size) && LeadingNumber(SizeText(size)) == size; }

std::string SizeListText(double size) {
    if (SizeFits(size)) return SizeText(size);
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, size);
    return std::string(text, result.ptr);
}

std::string CalText(double value) {
    std::string text = Fixed(value, 3);
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

double LeadingNumber(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // from_chars takes no sign of its own here, so "+-5" stays 0 as it would for the C library.
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) return 0;
    double value = 0;
    const auto result = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (result.ec == std::errc::invalid_argument) return 0;
    return negative ? -value : value;
}

double ListSortKey(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    if (at == text.size()) return 999.99;
    return LeadingNumber(text);
}

std::uint64_t PlainSum(std::string_view bytes) {
    std::uint64_t sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    return sum;
}

bool ReplyChecksumPasses(std::string_view reply) {
    const std::string text = Upper(reply);
    const std::size_t cs = text.find("C/S");
    if (cs == std::string::npos) return false;
    const std::string_view data = std::string_view(text).substr(0, cs == 0 ? 0 : cs - 1);
    std::uint64_t value = 0;
    for (std::size_t i = cs + 4; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') continue;
        int digit = 0;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value == PlainSum(data);
}

std::vector<double> ReplyNumbers(std::string_view reply) {
    const std::string upper = Upper(reply);
    const std::size_t cs = upper.find("C/S");
    std::string text = cs == std::string::npos ? upper + " " : upper.substr(0, cs);
    const std::size_t first = text.find_first_not_of(' ');
    text.erase(0, first == std::string::npos ? text.size() : first);
    std::vector<double> numbers;
    std::size_t start = 0;
    for (std::size_t space = text.find(' '); space != std::string::npos; space = text.find(' ', start)) {
        numbers.push_back(LeadingNumber(std::string_view(text).substr(start, space - start)));
        start = space + 1;
    }
    return numbers;
}

std::vector<SetupCalPt> CalPointsFromNumbers(const std::vector<double>& numbers) {
    std::vector<SetupCalPt> points;
    for (std::size_t i = 0; i + 1 < numbers.size(); i += 2) points.push_back({numbers[i], numbers[i + 1]});
    return points;
}

std::string SizesCommandText(const std::vector<double>& sizes) {
    std::string data;
    for (double size : sizes) data += " " + SizeText(size);
    char digits[24];
    std::snprintf(digits, sizeof digits, "%08llX", static_cast<unsigned long long>(PlainSum(data) & 0xFFFFFFFFu));
    return data + " C/S " + std::string(digits + 2);
}

std::string CalCommandText(const std::vector<SetupCalPt>& points) {
    std::string text;
    for (const SetupCalPt& point : points) text += " " + CalText(point.size) + " " + CalText(point.voltage);
    return text;
}

}  // namespace numbertext
