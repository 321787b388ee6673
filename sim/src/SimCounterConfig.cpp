#include "sim/SimCounterConfig.h"

#include "sim/SimWire.h"

#include <cmath>
#include <set>

namespace {

bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

bool PrintableText(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return !text.empty();
}

}  // namespace

bool ValidateSimCounterConfig(const SimCounterConfig& config, std::string* error) {
    const std::string who = "counter " + std::to_string(config.address) + ": ";
    if (config.address < 0 || config.address > 63)
        return Fail(error, "counter address " + std::to_string(config.address) + " is outside 0..63");
    if (config.binsUm.empty() || config.binsUm.size() > 32) return Fail(error, who + "needs 1 to 32 bins");
    std::set<std::string> labels;
    double previous = 0;
    for (double size : config.binsUm) {
        if (!std::isfinite(size) || size <= previous) return Fail(error, who + "bins must be positive and ascending");
        previous = size;
        const std::string label = simwire::SizeLabel(size);
        if (label.empty()) return Fail(error, who + "bin size does not fit in three characters");
        if (!labels.insert(label).second) return Fail(error, who + "two bins share the label " + label);
    }
    // The calibration reply needs at least one point to pass the host's length check.
    if (config.calibration.empty()) return Fail(error, who + "needs at least one calibration point");
    for (const SimCalPoint& point : config.calibration)
        if (!std::isfinite(point.sizeUm) || !std::isfinite(point.millivolts) || point.sizeUm <= 0)
            return Fail(error, who + "calibration points need a positive size and a finite voltage");
    if (config.sampleIntervalS < 1 || config.sampleIntervalS > 5999)
        return Fail(error, who + "sample interval must be 1..5999 s");
    if (!PrintableText(config.versionText) || config.versionText.size() > 64)
        return Fail(error, who + "version text must be 1..64 printable characters");
    // The setup tool reads the type reply into 32 bytes, CR and LF included.
    if (!PrintableText(config.modelText) || config.modelText.size() > 30)
        return Fail(error, who + "model text must be 1..30 printable characters");
    if (config.analogInputs > 8) return Fail(error, who + "at most 8 analog inputs");
    return true;
}
