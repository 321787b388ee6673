#pragma once
// What the tag dialogs and the scaling wizard decide without a window: the
// gain and offset through two measured points, the rules by which a
// measuring step takes its samples from a polled tag, the samples-to-collect
// count shared by every run, and which controls of the two tag pages the
// operator may use.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scalewizard {

// What the tag pages say about a pair of limits they cannot take.
inline constexpr const char* kNotANumber = "Please enter a number.";
inline constexpr const char* kMinAboveMax = "The minimum must not be greater than the maximum.";

// A number typed into a field, in the program's invariant form ('.' as the
// decimal point): the whole text (surrounding blanks aside), finite. "", "-",
// "2,5" and "12abc" are none, so that a half-typed entry never reaches a tag.
std::optional<double> ParseNumber(const std::string& text);
// A number as the fields show it: the shortest text that reads back as the
// same number (0.005, not 0.0050000000000000001).
std::string FormatNumber(double value);

// The linear scaling EU = count x gain + offset.
struct Scaling {
    double gain = 0;
    double offset = 0;
};

// The scaling that takes count a to value u and count b to value v; nullopt
// when the counts are equal (no line runs through two points at one count)
// or the result is not a finite number.
std::optional<Scaling> ComputeScaling(double a, double u, double b, double v);

// The number of samples each measuring step collects: one figure for the
// whole program, kept between runs, always 1 to 100.
constexpr int kMinSamples = 1;
constexpr int kMaxSamples = 100;
constexpr int kDefaultSamples = 5;
int SamplesToCollect();
// Clamped into 1..100.
void SetSamplesToCollect(int count);

// Collects the samples of one measuring step from the ticks of its timer.
// Each sample must be a poll result of its own: the first good tick only
// notes the tag's time stamp (the value then may be one the operator already
// saw before the step began), and a later good tick takes a sample only when
// the time stamp moved on. While the quality is not good the step waits.
class SampleCollector {
public:
    enum class Tick {
        Waiting,     // quality not good: nothing taken
        Armed,       // the first good tick: time stamp noted, no sample
        Unchanged,   // no new poll result since the last tick
        Taken,       // a sample was taken
        Unreadable,  // a new poll result that is not a number: not taken, the step waits for the next
        Complete,    // all samples were taken before this tick
    };

    explicit SampleCollector(int toCollect);

    // One timer tick: the tag's quality word, time stamp (100 ns units) and
    // device value as a number (nullopt when it is none).
    Tick Offer(std::uint16_t quality, std::uint64_t timestamp, std::optional<double> deviceValue);

    int ToCollect() const { return toCollect_; }
    int Collected() const { return static_cast<int>(samples_.size()); }
    bool IsComplete() const { return Collected() >= toCollect_; }
    const std::vector<double>& Samples() const { return samples_; }
    // The sum of the samples divided by the samples to collect; nullopt until complete.
    std::optional<double> Average() const;

private:
    int toCollect_;
    bool armed_ = false;
    std::uint64_t lastStamp_ = 0;
    std::vector<double> samples_;
};

// Which controls of the "Tag Properties" page the operator may use.
struct PropertiesControls {
    bool limitCheck = false;  // "Limit Tag Values"
    bool limitEdits = false;  // "Min:", "Max:", "Noise DeadBand (%)"
    bool simulation = false;  // "Type:", "Steps:"
};
PropertiesControls PropertiesEnabled(bool euLimitsEnabled, bool limitChecked, bool simulationEnabled);

// Which controls of the "Tag Scaling" page the operator may use. The wizard
// sets raw limits and scaling together, so it is offered only for a numeric
// tag on which both are enabled, and runs only while both boxes are checked.
struct ScalingControls {
    bool rawCheck = false;      // "Limit analog counts"
    bool rawEdits = false;      // its "Min:" and "Max:"
    bool scaleCheck = false;    // "Scale Analog Counts"
    bool scaleEdits = false;    // "Gain:" and "Offset:"
    bool wizardShown = false;   // the "Scaling Wizard" button
    bool wizardEnabled = false;
};
ScalingControls ScalingEnabled(bool rawLimitsEnabled, bool rawChecked, bool scalingEnabled, bool scaleChecked,
                               bool numericType);

}  // namespace scalewizard
