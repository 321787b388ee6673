#include "setup/CSetupEditor.h"

#include "setup/CSensorScan.h"
#include "setup/NumberText.h"
#include "setup/SetupTexts.h"

#include <algorithm>
#include <cmath>

namespace {

// An entry without a usable value sorts behind every real one, as in the lists.
double SortKey(double value) { return std::isfinite(value) ? value : 999.99; }

void SortSizes(std::vector<double>& sizes) {
    std::stable_sort(sizes.begin(), sizes.end(), [](double a, double b) { return SortKey(a) < SortKey(b); });
}

void SortPoints(std::vector<SetupCalPt>& points) {
    std::stable_sort(points.begin(), points.end(),
                     [](const SetupCalPt& a, const SetupCalPt& b) { return SortKey(a.size) < SortKey(b.size); });
}

// The values as the counter receives them: the sent texts read back.
double SentCal(double value) { return numbertext::LeadingNumber(numbertext::CalText(value)); }

bool InCalRange(double value) {
    return std::isfinite(value) && value >= setuptexts::kCalFieldMin && value <= setuptexts::kCalFieldMax;
}

// Clears the busy flag however programming ends.
class BusyScope {
public:
    explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
    ~BusyScope() { busy_ = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& busy_;
};

}  // namespace

void CSetupEditor::Select(CSensor* sensor) {
    sensor_ = sensor;
    blinkOn_ = false;
    LoadSizes();
    LoadPoints();
}

void CSetupEditor::LoadSizes() {
    sizes_ = sensor_ ? sensor_->sizes : std::vector<double>{};
    SortSizes(sizes_);
    sizesChanged_ = false;
}

void CSetupEditor::LoadPoints() {
    points_ = sensor_ ? sensor_->calibration : std::vector<SetupCalPt>{};
    SortPoints(points_);
    pointsChanged_ = false;
}

std::optional<std::string> CSetupEditor::CanAddSize() const {
    if (sizes_.size() >= kMaxSizes) return std::string(setuptexts::kTooManySizes);
    return std::nullopt;
}

EditResult CSetupEditor::AddSize(double size) {
    if (!sensor_ || !std::isfinite(size)) return {};
    if (auto refusal = CanAddSize()) return {false, *refusal};
    if (std::find(sizes_.begin(), sizes_.end(), size) != sizes_.end())
        return {false, std::string(setuptexts::kSizeExists)};
    sizes_.push_back(size);
    SortSizes(sizes_);
    sizesChanged_ = true;
    return {true, {}};
}

EditResult CSetupEditor::EditSize(std::size_t index, double size) {
    if (!sensor_ || index >= sizes_.size() || !std::isfinite(size)) return {};
    if (std::find(sizes_.begin(), sizes_.end(), size) != sizes_.end())
        return {false, std::string(setuptexts::kSizeExists)};
    sizes_[index] = size;
    SortSizes(sizes_);
    sizesChanged_ = true;
    return {true, {}};
}

EditResult CSetupEditor::DeleteSize(std::size_t index) {
    if (!sensor_ || index >= sizes_.size()) return {};
    sizes_.erase(sizes_.begin() + static_cast<std::ptrdiff_t>(index));
    sizesChanged_ = true;
    return {true, {}};
}

EditResult CSetupEditor::EditCalPoint(std::size_t index, const SetupCalPt& point) {
    const bool adding = index == points_.size();
    if (!sensor_ || index > points_.size() || !InCalRange(point.size) || !InCalRange(point.voltage)) return {};
    for (std::size_t i = 0; i < points_.size(); ++i) {
        if (i == index) continue;
        if (points_[i].size == point.size || points_[i].voltage == point.voltage)
            return {false, std::string(setuptexts::kCalPointExists)};
    }
    if (adding) points_.push_back(point);
    else points_[index] = point;
    SortPoints(points_);
    pointsChanged_ = true;
    return {true, {}};
}

EditResult CSetupEditor::AddCalPoint(const SetupCalPt& point) { return EditCalPoint(points_.size(), point); }

EditResult CSetupEditor::DeleteCalPoint(std::size_t index) {
    if (!sensor_ || index >= points_.size()) return {};
    points_.erase(points_.begin() + static_cast<std::ptrdiff_t>(index));
    pointsChanged_ = true;
    return {true, {}};
}

std::vector<std::string> CSetupEditor::CheckSizes(std::vector<double>& sizes) {
    if (sizes.empty()) return {std::string(setuptexts::kNeedOneSize)};
    SortSizes(sizes);
    // A size the counter would hold as another number is never sent as that number.
    for (double size : sizes)
        if (!numbertext::SizeFits(size)) return {setuptexts::SizeDoesNotFit(size)};
    double previous = 0;
    for (double size : sizes) {
        if (!(size > previous)) return {std::string(setuptexts::kSizesNotAscending)};
        previous = size;
    }
    return {};
}

std::vector<std::string> CSetupEditor::CheckCalPoints(std::vector<SetupCalPt>& points) {
    if (points.size() < 3) return {std::string(setuptexts::kNeedThreeCalPoints)};
    SortPoints(points);
    double previousSize = 0, previousVoltage = 0;
    for (const SetupCalPt& point : points) {
        const double size = SentCal(point.size), voltage = SentCal(point.voltage);
        std::vector<std::string> messages;
        if (!(size > previousSize)) messages.emplace_back(setuptexts::kSizesNotAscending);
        if (!(voltage > previousVoltage)) messages.emplace_back(setuptexts::kVoltagesNotAscending);
        if (!messages.empty()) return messages;
        previousSize = size;
        previousVoltage = voltage;
    }
    return {};
}

ProgramResult CSetupEditor::Program(const std::function<std::vector<std::string>()>& check,
                                    const std::function<bool(CSensorLink&)>& send, void (CSetupEditor::*reload)()) {
    ProgramResult result;
    if (!sensor_) return result;
    BusyScope busy(busy_);
    CSetupPort port;
    if (!port.Open(sensor_->port)) {
        result.outcome = ProgramOutcome::PortNotOpened;
        result.portMessage = port.OpenMessage();
        return result;
    }
    result.messages = check();
    if (!result.messages.empty()) {
        result.outcome = ProgramOutcome::CheckFailed;
        return result;
    }
    CSensorLink link(port);
    if (send(link)) {
        (this->*reload)();
        result.outcome = ProgramOutcome::Programmed;
    } else {
        result.outcome = ProgramOutcome::Failed;
    }
    port.Close();
    return result;
}

ProgramResult CSetupEditor::ProgramSizes(const SetupProgress& progress) {
    return Program([this] { return CheckSizes(sizes_); },
                   [&](CSensorLink& link) {
                       return link.ProgramSizes(*sensor_, numbertext::SizesCommandText(sizes_), progress);
                   },
                   &CSetupEditor::LoadSizes);
}

ProgramResult CSetupEditor::ProgramCalPoints(const SetupProgress& progress) {
    return Program([this] { return CheckCalPoints(points_); },
                   [&](CSensorLink& link) {
                       return link.ProgramCalPoints(*sensor_, numbertext::CalCommandText(points_), progress);
                   },
                   &CSetupEditor::LoadPoints);
}

bool CSetupEditor::ConfirmSelectionChange(const std::function<PromptAnswer(std::string_view)>& ask,
                                          std::vector<ProgramResult>* results, const SetupProgress& progress) {
    bool allowed = true;
    auto one = [&](bool changed, std::string_view prompt, ProgramResult (CSetupEditor::*program)(const SetupProgress&)) {
        if (!changed) return;
        switch (ask(prompt)) {
        case PromptAnswer::Cancel: allowed = false; break;
        case PromptAnswer::No: break;
        case PromptAnswer::Yes: {
            ProgramResult result = (this->*program)(progress);
            if (result.outcome != ProgramOutcome::Programmed) allowed = false;
            if (results) results->push_back(std::move(result));
            break;
        }
        }
    };
    one(sizesChanged_, setuptexts::kSizesChangedPrompt, &CSetupEditor::ProgramSizes);
    one(pointsChanged_, setuptexts::kCalChangedPrompt, &CSetupEditor::ProgramCalPoints);
    return allowed;
}

bool CSetupEditor::BlinkTick() {
    if (busy_ || !sensor_) return false;
    blinkOn_ = !blinkOn_;
    // A port that will not open only leaves the indicator dark: no message
    // every half second.
    const bool sent = SendLight(*sensor_, blinkOn_);
    return blinkOn_ && sent;
}
