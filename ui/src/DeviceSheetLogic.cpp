#include "ui/DeviceSheetLogic.h"

#include "model/VOKDevice.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace devicesheet {

std::string NumberText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::optional<DWORD> SampleInterval(int minutes, int seconds) {
    if (minutes < 0 || seconds < 0) return std::nullopt;
    const long total = static_cast<long>(minutes) * 60 + seconds;
    if (total > static_cast<long>(kMaxSampleInterval)) return std::nullopt;
    return static_cast<DWORD>(total);
}

std::string PortText(std::int32_t portNumber, const std::vector<std::string>& portNames) {
    for (const std::string& name : portNames) {
        if (PortNumber(name) == portNumber) return name;
    }
    return "None";
}

std::optional<std::int32_t> PortNumber(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return std::nullopt;
    char* end = nullptr;
    const long number = std::strtol(name.c_str() + 3, &end, 10);
    if (end == name.c_str() + 3 || *end != '\0' || number <= 0 || number > 255) return std::nullopt;
    return static_cast<std::int32_t>(number);
}

std::optional<double> ReadNumber(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::nullopt;
    const std::size_t last = text.find_last_not_of(" \t");
    const std::string number = text.substr(first, last - first + 1);
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

BinsCheck CheckBins(const std::vector<std::string>& edits) {
    BinsCheck check;
    check.ok = true;
    check.texts = edits;
    for (std::size_t i = 0; i < edits.size(); ++i) {
        if (edits[i].find_first_not_of(" \t") == std::string::npos) {
            check.texts[i].clear();
            continue;
        }
        const std::optional<double> size = ReadNumber(edits[i]);
        const bool fits = size && VOKDevice::FitsCounter(*size) &&
                          (check.sizes.empty() || *size > check.sizes.back());
        if (!fits) {
            if (check.ok) check.refused = edits[i];
            check.ok = false;
            continue;
        }
        check.texts[i] = NumberText(*size);
        check.sizes.push_back(*size);
    }
    if (check.sizes.size() > static_cast<std::size_t>(VOKDevice::kMaxBins)) check.ok = false;
    if (check.sizes.empty()) check.ok = false;
    return check;
}

void SetRowEnabled(AnalogRow& row, bool enabled) {
    row.enabled = enabled;
    if (!enabled) {
        row.minimum.clear();
        row.maximum.clear();
        row.deadBand.clear();
        return;
    }
    if (row.minimum.empty()) row.minimum = "4.0";
    if (row.maximum.empty()) row.maximum = "20.0";
    if (row.deadBand.empty()) row.deadBand = "0.0";
}

std::optional<AnalogValues> ReadRow(const AnalogRow& row) {
    const auto minimum = ReadNumber(row.minimum), maximum = ReadNumber(row.maximum), deadBand = ReadNumber(row.deadBand);
    if (!minimum || !maximum || !deadBand) return std::nullopt;
    return AnalogValues{*minimum, *maximum, *deadBand};
}

}  // namespace devicesheet
