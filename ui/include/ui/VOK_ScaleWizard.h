#pragma once
// The eight-step scaling wizard of an analog tag: it measures the average
// device count at the bottom and at the top of the signal, lets the operator
// name the values they stand for, and on Finish gives the tag the raw
// limits, EU limits and the gain and offset of the line through the two
// points. Cancel on any step changes nothing. Samples are new poll results,
// taken on a timer, so the window stays live while the device polls. When
// the operator was not polling the tag's device, the wizard polls it for its
// run and withdraws that request when it ends, whatever the outcome.

#include "ui/ScaleWizardLogic.h"

#include <QWizard>

#include <optional>

class OPCS_Tag;
class VOKDevice;

class VOK_ScaleWizard : public QWizard {
public:
    enum Step { kIntro, kZeroCount, kZeroCollect, kZeroValue, kFullCount, kFullCollect, kFullValue, kSummary };

    // One measured point: the average count and the value it stands for.
    struct Point {
        double count = 0;
        double value = 0;
    };
    // What Finish gave the tag.
    struct Result {
        Point min;
        Point max;
        scalewizard::Scaling scaling;
    };

    VOK_ScaleWizard(OPCS_Tag& tag, QWidget* parent = nullptr);
    ~VOK_ScaleWizard() override;

    // The tag's counter device when the tag is live and has one, else null.
    static VOKDevice* CounterDeviceOf(OPCS_Tag& tag);

    OPCS_Tag& Tag() const { return tag_; }
    // Whether this run made the operator poll request it will withdraw.
    bool HoldsPollRequest() const { return pollDevice_ != nullptr; }
    // Set when Finish changed the tag.
    const std::optional<Result>& Outcome() const { return outcome_; }

    // The average counts of the zero-scale (full = false) and the full-scale
    // measuring step, set on their Next.
    std::optional<double> Average(bool full) const { return full ? fullAverage_ : zeroAverage_; }
    void SetAverage(bool full, double average) { (full ? fullAverage_ : zeroAverage_) = average; }

    void accept() override;
    void done(int result) override;

private:
    void ReleasePollRequest();

    OPCS_Tag& tag_;
    VOKDevice* pollDevice_ = nullptr;
    std::optional<Result> outcome_;
    std::optional<double> zeroAverage_;
    std::optional<double> fullAverage_;
};
