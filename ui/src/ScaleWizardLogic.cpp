#include "ui/ScaleWizardLogic.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace scalewizard {

namespace {
constexpr std::uint16_t kGoodQuality = 0xC0;
int samplesToCollect = kDefaultSamples;
}  // namespace

std::optional<double> ParseNumber(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::nullopt;
    const auto last = text.find_last_not_of(" \t");
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    if (*begin == '+') {  // from_chars takes no plus sign; an operator may type one
        ++begin;
        if (begin == end || *begin == '-' || *begin == '+') return std::nullopt;
    }
    double value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string FormatNumber(double value) {
    // The shortest text that reads back as the same double: a field the
    // operator leaves alone gives the tag back exactly what it showed.
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    if (error != std::errc()) return "0";
    return std::string(text, end);
}

std::optional<Scaling> ComputeScaling(double a, double u, double b, double v) {
    if (b == a) return std::nullopt;
    Scaling scaling;
    scaling.gain = (v - u) / (b - a);
    scaling.offset = u - scaling.gain * a;
    if (!std::isfinite(scaling.gain) || !std::isfinite(scaling.offset)) return std::nullopt;
    return scaling;
}

int SamplesToCollect() { return samplesToCollect; }

void SetSamplesToCollect(int count) { samplesToCollect = std::clamp(count, kMinSamples, kMaxSamples); }

SampleCollector::SampleCollector(int toCollect) : toCollect_(std::clamp(toCollect, kMinSamples, kMaxSamples)) {
    samples_.reserve(static_cast<std::size_t>(toCollect_));
}

SampleCollector::Tick SampleCollector::Offer(std::uint16_t quality, std::uint64_t timestamp,
                                             std::optional<double> deviceValue) {
    if (IsComplete()) return Tick::Complete;
    if (quality != kGoodQuality) return Tick::Waiting;
    if (!armed_) {
        armed_ = true;
        lastStamp_ = timestamp;
        return Tick::Armed;
    }
    if (timestamp == lastStamp_) return Tick::Unchanged;
    lastStamp_ = timestamp;
    // A value that is no number would enter the average as some made-up
    // figure; the step rather waits for the next poll result.
    if (!deviceValue || !std::isfinite(*deviceValue)) return Tick::Unreadable;
    samples_.push_back(*deviceValue);
    return Tick::Taken;
}

std::optional<double> SampleCollector::Average() const {
    if (!IsComplete()) return std::nullopt;
    double sum = 0;
    for (double sample : samples_) sum += sample;
    return sum / toCollect_;
}

PropertiesControls PropertiesEnabled(bool euLimitsEnabled, bool limitChecked, bool simulationEnabled) {
    PropertiesControls controls;
    controls.limitCheck = euLimitsEnabled;
    controls.limitEdits = euLimitsEnabled && limitChecked;
    controls.simulation = simulationEnabled;
    return controls;
}

ScalingControls ScalingEnabled(bool rawLimitsEnabled, bool rawChecked, bool scalingEnabled, bool scaleChecked,
                               bool numericType) {
    ScalingControls controls;
    controls.rawCheck = rawLimitsEnabled;
    controls.rawEdits = rawLimitsEnabled && rawChecked;
    controls.scaleCheck = scalingEnabled;
    controls.scaleEdits = scalingEnabled && scaleChecked;
    controls.wizardShown = rawLimitsEnabled && scalingEnabled && numericType;
    controls.wizardEnabled = controls.wizardShown && rawChecked && scaleChecked;
    return controls;
}

}  // namespace scalewizard
