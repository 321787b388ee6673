#pragma once
// The counter's text forms on the wire: checksum field, size labels,
// calibration numbers. Shared by the simulated counters and their tests.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simwire {

inline constexpr std::uint8_t kFirstAddressByte = 0x80;
inline constexpr std::uint8_t kLastAddressByte = 0xBF;
inline constexpr char kCR = '\r';
inline constexpr char kLF = '\n';

constexpr bool IsAddressByte(std::uint8_t byte) { return byte >= kFirstAddressByte && byte <= kLastAddressByte; }

// Plain sum of the byte values.
std::uint32_t Sum(std::string_view bytes);

// The 13-character checksum field " C/S 00XXXX\r\n" over the low 16 bits of sum.
std::string ChecksumField(std::uint32_t sum, bool lowerCase = false);

// The label a counter lists a bin size under: "%g", shortened while it holds
// a point and is longer than three characters ("0.75" gives "0.7"). Empty when
// it still does not fit in three characters.
std::string SizeLabel(double sizeUm);

// A calibration number: "%.3f" without trailing zeros or point (0.3, 500, 1.25).
std::string CalText(double value);

// A whole token as a decimal number; nullopt when it is not one.
std::optional<double> ParseNumber(std::string_view token);

// Pieces of text between spaces, empty pieces skipped.
std::vector<std::string_view> SplitAtSpaces(std::string_view text);

}  // namespace simwire
