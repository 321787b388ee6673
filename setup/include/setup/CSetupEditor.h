#pragma once
// The selected sensor's editing copies of its sizes and calibration points,
// their checks, and the programming of both into the counter. Driven by the
// setup tool's window on its own thread; it shows nothing itself and hands
// back the texts the window is to show.

#include "setup/CSensor.h"
#include "setup/CSensorLink.h"
#include "setup/CSetupPort.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The result of an add, edit or delete.
struct EditResult {
    bool changed = false;
    // The refusal to show (information icon); empty when there is none.
    std::string message;
};

enum class ProgramOutcome {
    NothingSelected,  // no sensor is selected: nothing happened
    PortNotOpened,    // the sensor's port would not open (see portMessage)
    CheckFailed,      // the editing copy failed a check (see messages); the line was not touched
    Failed,           // every attempt lost an echo; the editing copy and its flag stay
    Programmed,       // the counter and the sensor record hold what was sent
};

struct ProgramResult {
    ProgramOutcome outcome = ProgramOutcome::NothingSelected;
    std::vector<std::string> messages;  // check messages, in the order they are shown
    std::optional<PortMessage> portMessage;
};

enum class PromptAnswer { Yes, No, Cancel };

class CSetupEditor {
public:
    static constexpr std::size_t kMaxSizes = 32;

    // Selects a sensor (null for a port item or nothing): the editing copies
    // are loaded from it, sorted for the lists, both change flags cleared and
    // the blink state set to off. The record must stay where it is while
    // selected, because programming updates it.
    void Select(CSensor* sensor);
    CSensor* Selected() const { return sensor_; }

    // The editing copies, in list order (ascending by their first number).
    const std::vector<double>& Sizes() const { return sizes_; }
    const std::vector<SetupCalPt>& CalPoints() const { return points_; }
    bool SizesChanged() const { return sizesChanged_; }
    bool CalChanged() const { return pointsChanged_; }
    // Set while programming; the blink timer leaves the line alone then.
    bool IsBusy() const { return busy_; }

    // Asked before the add-size dialog opens: the refusal when 32 sizes are
    // there already, otherwise nullopt.
    std::optional<std::string> CanAddSize() const;
    EditResult AddSize(double size);
    // Refused when the new value equals any size in the list, the edited one included.
    EditResult EditSize(std::size_t index, double size);
    EditResult DeleteSize(std::size_t index);
    // Refused when another point (not the edited one) has the same size or the
    // same voltage. Values outside the dialog's range 0.01..999 are not taken.
    EditResult AddCalPoint(const SetupCalPt& point);
    EditResult EditCalPoint(std::size_t index, const SetupCalPt& point);
    EditResult DeleteCalPoint(std::size_t index);

    // The programming checks. Each sorts its list and returns the messages of
    // the first failure (none when it passes). The order is judged on the
    // numbers as the counter will receive them.
    static std::vector<std::string> CheckSizes(std::vector<double>& sizes);
    static std::vector<std::string> CheckCalPoints(std::vector<SetupCalPt>& points);

    // Programs the editing copy into the selected sensor's counter on a port
    // of its own; progress follows the bytes of the command text. On success
    // the editing copy is reloaded from the sensor record and its flag cleared.
    ProgramResult ProgramSizes(const SetupProgress& progress = {});
    ProgramResult ProgramCalPoints(const SetupProgress& progress = {});

    // The prompts before the selection moves away from unsaved edits: ask(text)
    // is called with the sizes prompt, then the calibration prompt, for each
    // list that has changes; Yes programs that list. Returns whether the
    // selection may change; results gets what each Yes programmed. A Yes whose
    // programming did not succeed keeps the selection, so the edits are not lost.
    bool ConfirmSelectionChange(const std::function<PromptAnswer(std::string_view prompt)>& ask,
                                std::vector<ProgramResult>* results = nullptr, const SetupProgress& progress = {});

    // One tick of the blink timer: flips the blink state and sends it to the
    // sensor on a fresh port. Returns whether the indicator is lit (the state
    // is on and the exchange succeeded). Does nothing and returns false while
    // busy or with no sensor selected.
    bool BlinkTick();
    bool BlinkState() const { return blinkOn_; }

private:
    void LoadSizes();
    void LoadPoints();
    // Opens the sensor's port, runs the check, sends, and on success reloads
    // the editing copy from the sensor record.
    ProgramResult Program(const std::function<std::vector<std::string>()>& check,
                          const std::function<bool(CSensorLink&)>& send, void (CSetupEditor::*reload)());

    CSensor* sensor_ = nullptr;
    std::vector<double> sizes_;
    std::vector<SetupCalPt> points_;
    bool sizesChanged_ = false;
    bool pointsChanged_ = false;
    bool busy_ = false;
    bool blinkOn_ = false;
};
