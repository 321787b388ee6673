#pragma once
// The checks and texts of the device's property pages, without widgets: the
// sample interval from minutes and seconds, the port shown and chosen, the
// bin sizes typed on the Bin Sizes page, and the analog input rows.

#include "platform/WinTypes.h"

#include <optional>
#include <string>
#include <vector>

namespace devicesheet {

// The longest sample interval the counter keeps.
constexpr DWORD kMaxSampleInterval = 3599;
constexpr int kBinEdits = 32;
constexpr int kAnalogRows = 8;

// "%g", as every number of the pages is shown.
std::string NumberText(double value);

// Minutes and seconds (each 0 to 59) as seconds; nullopt above the longest interval.
std::optional<DWORD> SampleInterval(int minutes, int seconds);

// The port's name in the list, or "None" when its number is not there.
std::string PortText(std::int32_t portNumber, const std::vector<std::string>& portNames);
// The number of a chosen port ("COM7" gives 7); nullopt for "None" or a name without one.
std::optional<std::int32_t> PortNumber(const std::string& name);

// The Bin Sizes page's edits read back: empty edits are skipped, the others
// read as numbers and rewritten as the page shows them. The list is refused
// when a text is no number, a size is not above the one before it, more than
// the counter's bins are given, or a size does not fit the counter's three
// characters.
struct BinsCheck {
    bool ok = false;
    std::vector<double> sizes;
    std::vector<std::string> texts;  // one per edit, rewritten where read
    std::string refused;             // the first text refused, for the message
};
BinsCheck CheckBins(const std::vector<std::string>& edits);

// One analog input row as its edits hold it.
struct AnalogRow {
    bool enabled = false;
    std::string minimum, maximum, deadBand;
};
// A row checked by the operator: empty edits get the defaults; unchecked: all emptied.
void SetRowEnabled(AnalogRow& row, bool enabled);
// A checked row's three numbers; nullopt when one of them is no finite number.
struct AnalogValues {
    double minimum = 0, maximum = 0, deadBand = 0;
};
std::optional<AnalogValues> ReadRow(const AnalogRow& row);

// A number typed into an edit: the whole text (blanks around allowed) must be one finite decimal.
std::optional<double> ReadNumber(const std::string& text);

}  // namespace devicesheet
