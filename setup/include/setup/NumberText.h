#pragma once
// The text forms of the numbers the setup tool shows and sends, and the
// reading of the counter's number replies. Independent of the process's
// locale: the counter always speaks with a decimal point.

#include "setup/CSensor.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace numbertext {

// A bin size as the lists show it and the sizes command sends it: at most
// three characters (0.3, .75, 5.0, 10., 100; 12.5 gives 12., 1000 gives 100).
std::string SizeText(double size);

// Whether the counter would hold exactly this size: its three-character text
// reads back as the same number (0.75 and 10 do; 12.5 and 1000 do not).
bool SizeFits(double size);

// A size as the sizes list shows it: its three-character text when the size
// fits, otherwise the number as it is (12.5, 1000), so that no one takes it for
// the size the counter would be given.
std::string SizeListText(double size);

// A calibration number: three decimals without trailing zeros or point
// (0.3, 500, 1.25).
std::string CalText(double value);

// The number at the start of text, as the counter's replies are read: leading
// white space skipped, an optional sign, then as many characters as make a
// decimal number; 0 when there is none.
double LeadingNumber(std::string_view text);

// The value an entry's text sorts by in a list; an entry without a value
// sorts as 999.99, behind every real size.
double ListSortKey(std::string_view text);

// The plain sum of the byte values, not reduced to any width.
std::uint64_t PlainSum(std::string_view bytes);

// The checksum test on a size or calibration reply (the bytes after the
// echoed LF): upper-cased, the data is everything before the character just
// ahead of "C/S", and the hexadecimal digits from four characters past the
// start of "C/S" (CR and LF dropped, any other non-digit read as 0) must equal
// the data's plain sum. A sum above 0xFFFF therefore never matches the
// counter's four-digit field. No "C/S" fails.
bool ReplyChecksumPasses(std::string_view reply);

// The numbers of a size or calibration reply: the text before "C/S" (or the
// whole text and one space), leading spaces dropped; every space ends a token
// read with LeadingNumber, so two spaces give a 0 and text after the last
// space is not taken.
std::vector<double> ReplyNumbers(std::string_view reply);

// The numbers taken in turn as size and voltage; a lone last number is dropped.
std::vector<SetupCalPt> CalPointsFromNumbers(const std::vector<double>& numbers);

// The sizes command text: for each size a space and its size text, then
// " C/S " and the last six of eight upper-case hexadecimal digits of the
// data's plain sum. Sizes 0.3 and 0.5 give " 0.3 0.5 C/S 000164".
std::string SizesCommandText(const std::vector<double>& sizes);

// The calibration command text: for each point a space, its size, a space and
// its voltage, all in calibration text. No checksum field.
std::string CalCommandText(const std::vector<SetupCalPt>& points);

}  // namespace numbertext
