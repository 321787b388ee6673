// Editing the sizes and calibration points of a selected sensor, the checks
// before programming, and programming them into a simulated counter.
#include "setup/CSetupEditor.h"

#include "SetupTestSupport.h"
#include "setup/SetupTexts.h"

namespace {

constexpr int kPort = 27;

CSensor Sensor(std::vector<double> sizes, std::vector<SetupCalPt> points = {{0.3, 100}, {0.5, 180}, {1, 300}}) {
    CSensor sensor;
    sensor.port = kPort;
    sensor.address = 5;
    sensor.model = "MCA";
    sensor.sizes = std::move(sizes);
    sensor.calibration = std::move(points);
    return sensor;
}

}  // namespace

TEST(SetupEditor, SelectLoadsSortedCopiesAndClearsFlags) {
    CSensor sensor = Sensor({5, 0.3, 1});
    CSetupEditor editor;
    editor.Select(&sensor);
    EXPECT_EQ(editor.Sizes(), (std::vector<double>{0.3, 1, 5}));
    EXPECT_EQ(sensor.sizes, (std::vector<double>{5, 0.3, 1}));  // the record is not touched
    ASSERT_TRUE(editor.AddSize(0.5).changed);
    EXPECT_TRUE(editor.SizesChanged());
    EXPECT_FALSE(editor.CalChanged());
    editor.Select(&sensor);
    EXPECT_FALSE(editor.SizesChanged());
    EXPECT_EQ(editor.Sizes().size(), 3u);
    editor.Select(nullptr);
    EXPECT_TRUE(editor.Sizes().empty());
    // Nothing selected: the commands do nothing.
    EXPECT_FALSE(editor.AddSize(1).changed);
    EXPECT_FALSE(editor.AddCalPoint({1, 2}).changed);
    EXPECT_EQ(editor.ProgramSizes().outcome, ProgramOutcome::NothingSelected);
    EXPECT_FALSE(editor.BlinkTick());
}

TEST(SetupEditor, SizeEditsAndTheirRefusals) {
    CSensor sensor = Sensor({0.3, 0.5, 1});
    CSetupEditor editor;
    editor.Select(&sensor);
    EXPECT_EQ(editor.AddSize(0.5).message, "The size already exists.");
    // Editing a size to its own value is refused as an existing size.
    const EditResult same = editor.EditSize(1, 0.5);
    EXPECT_FALSE(same.changed);
    EXPECT_EQ(same.message, "The size already exists.");
    EXPECT_FALSE(editor.SizesChanged());
    ASSERT_TRUE(editor.EditSize(0, 7).changed);
    EXPECT_EQ(editor.Sizes(), (std::vector<double>{0.5, 1, 7}));
    ASSERT_TRUE(editor.DeleteSize(1).changed);
    EXPECT_EQ(editor.Sizes(), (std::vector<double>{0.5, 7}));
    EXPECT_FALSE(editor.DeleteSize(2).changed);  // no such row
    EXPECT_FALSE(editor.EditSize(5, 1).changed);
    EXPECT_TRUE(editor.SizesChanged());
}

TEST(SetupEditor, ThirtyThirdSizeIsRefusedBeforeTheDialog) {
    std::vector<double> sizes;
    for (int i = 1; i <= 32; ++i) sizes.push_back(i);
    CSensor sensor = Sensor(sizes);
    CSetupEditor editor;
    editor.Select(&sensor);
    const auto refusal = editor.CanAddSize();
    ASSERT_TRUE(refusal);
    EXPECT_EQ(*refusal, "The counter can only handle up to 32 size.\nPlease either edit or delete an existing size.");
    EXPECT_FALSE(editor.AddSize(40).changed);
    EXPECT_EQ(editor.Sizes().size(), 32u);
    editor.DeleteSize(0);
    EXPECT_FALSE(editor.CanAddSize());
}

TEST(SetupEditor, CalPointRefusals) {
    CSensor sensor = Sensor({1});
    CSetupEditor editor;
    editor.Select(&sensor);
    const char* exists = "The Cal piont with the save size or voltage already exists.";
    // Another size, the same voltage.
    EXPECT_EQ(editor.AddCalPoint({2, 180}).message, exists);
    EXPECT_EQ(editor.AddCalPoint({0.5, 999}).message, exists);
    EXPECT_FALSE(editor.CalChanged());
    // The edited point itself does not count.
    EXPECT_TRUE(editor.EditCalPoint(1, {0.5, 190}).changed);
    EXPECT_EQ(editor.EditCalPoint(1, {0.5, 300}).message, exists);
    // Outside the dialog's range nothing is taken.
    EXPECT_FALSE(editor.AddCalPoint({0.001, 50}).changed);
    EXPECT_FALSE(editor.AddCalPoint({2, 1000}).changed);
    ASSERT_TRUE(editor.AddCalPoint({0.2, 50}).changed);
    EXPECT_EQ(editor.CalPoints().front(), (SetupCalPt{0.2, 50}));
    EXPECT_TRUE(editor.CalChanged());
}

TEST(SetupEditor, SizeChecks) {
    std::vector<double> none;
    EXPECT_EQ(CSetupEditor::CheckSizes(none), std::vector<std::string>{"You need at least one size"});
    std::vector<double> sizes{0.5, 0.3};
    EXPECT_TRUE(CSetupEditor::CheckSizes(sizes).empty());
    EXPECT_EQ(sizes, (std::vector<double>{0.3, 0.5}));
    const std::vector<std::string> order{"Sizes must be in ascending order, and no duplicates are allowed"};
    std::vector<double> duplicate{1, 1};
    EXPECT_EQ(CSetupEditor::CheckSizes(duplicate), order);
    std::vector<double> zero{0, 1};
    EXPECT_EQ(CSetupEditor::CheckSizes(zero), order);
    // A size the counter would hold as another number is refused by name,
    // before any order check: 12.5 would go out as "12.", 1000 as "100".
    std::vector<double> sameText{12, 12.5};
    EXPECT_EQ(CSetupEditor::CheckSizes(sameText),
              std::vector<std::string>{"The size 12.5 cannot be programmed: the counter keeps three characters of a "
                                       "size and would be given 12. instead.\nPlease either edit or delete it."});
    std::vector<double> truncated{999, 1000};
    const auto refused = CSetupEditor::CheckSizes(truncated);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].rfind("The size 1000 cannot be programmed", 0), 0u) << refused[0];
    std::vector<double> fitting{0.75, 5, 10, 100, 999};
    EXPECT_TRUE(CSetupEditor::CheckSizes(fitting).empty());
}

TEST(SetupEditor, CalibrationChecks) {
    const std::string sizes = "Sizes must be in ascending order, and no duplicates are allowed";
    const std::string volts = "Voltages must be in ascending order, and no duplicates are allowed";
    std::vector<SetupCalPt> two{{0.3, 100}, {0.5, 200}};
    EXPECT_EQ(CSetupEditor::CheckCalPoints(two), std::vector<std::string>{"You must supply at least three cal points."});
    std::vector<SetupCalPt> good{{1, 300}, {0.3, 100}, {0.5, 200}};
    EXPECT_TRUE(CSetupEditor::CheckCalPoints(good).empty());
    EXPECT_EQ(good.front(), (SetupCalPt{0.3, 100}));
    // Voltages fall while sizes rise: only the voltage message.
    std::vector<SetupCalPt> falling{{0.3, 300}, {0.5, 200}, {1, 100}};
    EXPECT_EQ(CSetupEditor::CheckCalPoints(falling), std::vector<std::string>{volts});
    // The walk ends at the first failing point: the size fault after it is not reported.
    std::vector<SetupCalPt> stops{{0.3, 100}, {0.5, 100}, {0.5, 300}};
    EXPECT_EQ(CSetupEditor::CheckCalPoints(stops), (std::vector<std::string>{volts}));
    // A point failing both gives both.
    std::vector<SetupCalPt> dupBoth{{0.5, 100}, {0.5, 100}, {1, 200}};
    EXPECT_EQ(CSetupEditor::CheckCalPoints(dupBoth), (std::vector<std::string>{sizes, volts}));
    std::vector<SetupCalPt> firstZero{{0, 100}, {0.5, 200}, {1, 300}};
    EXPECT_EQ(CSetupEditor::CheckCalPoints(firstZero), std::vector<std::string>{sizes});
}

using SetupProgramTest = SetupLineTest;

TEST_F(SetupProgramTest, SizesGoOutSortedWithTheirChecksum) {
    SimLine& line = StartLine(kPort, {SimCounterAt(5)});
    CSensor sensor = Sensor({1});
    CSetupEditor editor;
    editor.Select(&sensor);
    editor.DeleteSize(0);
    ASSERT_TRUE(editor.AddSize(0.5).changed);
    ASSERT_TRUE(editor.AddSize(0.3).changed);
    std::vector<std::pair<std::size_t, std::size_t>> progress;
    bool busyDuring = false;
    const ProgramResult result = editor.ProgramSizes([&](std::size_t position, std::size_t range) {
        progress.emplace_back(position, range);
        busyDuring = busyDuring || editor.IsBusy();
    });
    ASSERT_EQ(result.outcome, ProgramOutcome::Programmed);
    EXPECT_TRUE(result.messages.empty());
    EXPECT_TRUE(busyDuring);
    EXPECT_FALSE(editor.IsBusy());
    EXPECT_FALSE(editor.SizesChanged());
    EXPECT_EQ(sensor.sizes, (std::vector<double>{0.3, 0.5}));
    EXPECT_EQ(editor.Sizes(), (std::vector<double>{0.3, 0.5}));

    const std::string text = " 0.3 0.5 C/S 000164";
    EXPECT_EQ(ReceivedAll(line), "\x85P" + text + "\r\n\xBF");
    // Every byte but the closing 0xBF was echoed.
    EXPECT_EQ(Sent(line), "\x85P" + text + "\r\n");
    EXPECT_EQ(line.CounterState(5)->binsUm, (std::vector<double>{0.3, 0.5}));
    EXPECT_EQ(line.CounterState(5)->refusedWrites, 0u);
    ASSERT_EQ(progress.size(), text.size() + 1);
    EXPECT_EQ(progress.front(), std::make_pair(std::size_t{0}, text.size()));
    EXPECT_EQ(progress.back(), std::make_pair(text.size(), text.size()));
}

TEST_F(SetupProgramTest, CalibrationIsProgrammedAndReadsBack) {
    SimLine& line = StartLine(kPort, {SimCounterAt(5)});
    CSensor sensor = Sensor({1}, {});
    CSetupEditor editor;
    editor.Select(&sensor);
    ASSERT_TRUE(editor.AddCalPoint({1.25, 450}).changed);
    ASSERT_TRUE(editor.AddCalPoint({0.3, 100}).changed);
    ASSERT_TRUE(editor.AddCalPoint({0.5, 180.5}).changed);
    const ProgramResult result = editor.ProgramCalPoints();
    ASSERT_EQ(result.outcome, ProgramOutcome::Programmed);
    const std::vector<SetupCalPt> expected{{0.3, 100}, {0.5, 180.5}, {1.25, 450}};
    EXPECT_EQ(sensor.calibration, expected);
    EXPECT_FALSE(editor.CalChanged());
    EXPECT_EQ(ReceivedAll(line), "\x85K 0.3 100 0.5 180.5 1.25 450\r\n\xBF");

    // A fresh read gives back what the counter stored.
    CSetupPort port;
    ASSERT_TRUE(port.Open(kPort));
    CSensorLink link(port);
    CSensor check = SensorAt(kPort, 5);
    ASSERT_TRUE(link.ReadCalPoints(check));
    EXPECT_EQ(check.calibration, expected);
}

TEST_F(SetupProgramTest, LostEchoKeepsTheEdits) {
    SimLine& line = StartLine(kPort, {SimCounterAt(5)});
    SimFaults faults;
    faults.noEchoAfter = 4;  // address, P, space, 0: the point of 0.3 is lost
    line.SetFaults(5, faults);
    CSensor sensor = Sensor({1});
    const CSensor before = sensor;
    CSetupEditor editor;
    editor.Select(&sensor);
    editor.AddSize(0.3);
    int starts = 0;
    const ProgramResult result = editor.ProgramSizes([&](std::size_t position, std::size_t) {
        if (position == 0) ++starts;
    });
    EXPECT_EQ(result.outcome, ProgramOutcome::Failed);
    EXPECT_EQ(starts, 3);
    EXPECT_EQ(sensor, before);
    EXPECT_TRUE(editor.SizesChanged());
    EXPECT_EQ(editor.Sizes(), (std::vector<double>{0.3, 1}));
    EXPECT_FALSE(editor.IsBusy());
    EXPECT_EQ(line.CounterState(5)->binsUm.size(), 5u);
    // Three attempts, each from the select, then the closing byte once.
    const std::string rx = ReceivedAll(line);
    EXPECT_EQ(rx.substr(0, 5), "\x85P 0.");
    EXPECT_EQ(std::count(rx.begin(), rx.end(), '\x85'), 3);
    EXPECT_EQ(rx.back(), '\xBF');
}

TEST_F(SetupProgramTest, FailedCheckLeavesTheLineAlone) {
    SimLine& line = StartLine(kPort, {SimCounterAt(5)});
    CSensor sensor = Sensor({1}, {{0.3, 300}, {0.5, 200}, {1, 100}});
    CSetupEditor editor;
    editor.Select(&sensor);
    editor.AddCalPoint({2, 50});
    const ProgramResult result = editor.ProgramCalPoints();
    EXPECT_EQ(result.outcome, ProgramOutcome::CheckFailed);
    EXPECT_EQ(result.messages,
              std::vector<std::string>{"Voltages must be in ascending order, and no duplicates are allowed"});
    EXPECT_FALSE(editor.IsBusy());
    EXPECT_TRUE(editor.CalChanged());
    EXPECT_TRUE(line.Trace().empty());
}

TEST_F(SetupProgramTest, PortInUseIsReportedAndNothingProgrammed) {
    StartLine(kPort, {SimCounterAt(5)});
    CSetupPort holder;
    ASSERT_TRUE(holder.Open(kPort));
    CSensor sensor = Sensor({1});
    CSetupEditor editor;
    editor.Select(&sensor);
    editor.AddSize(2);
    const ProgramResult result = editor.ProgramSizes();
    EXPECT_EQ(result.outcome, ProgramOutcome::PortNotOpened);
    ASSERT_TRUE(result.portMessage);
    EXPECT_EQ(result.portMessage->id, 1006);
    EXPECT_TRUE(result.messages.empty());
    EXPECT_TRUE(editor.SizesChanged());
}

TEST_F(SetupProgramTest, SelectionChangePrompts) {
    StartLine(kPort, {SimCounterAt(5)});
    CSensor sensor = Sensor({1});
    CSetupEditor editor;
    editor.Select(&sensor);
    std::vector<std::string> asked;
    auto answer = [&](PromptAnswer a) {
        return [&asked, a](std::string_view prompt) {
            asked.emplace_back(prompt);
            return a;
        };
    };
    // Nothing changed: nothing asked.
    EXPECT_TRUE(editor.ConfirmSelectionChange(answer(PromptAnswer::Cancel)));
    EXPECT_TRUE(asked.empty());

    editor.AddSize(2);
    editor.AddCalPoint({2, 400});
    EXPECT_FALSE(editor.ConfirmSelectionChange(answer(PromptAnswer::Cancel)));
    EXPECT_EQ(asked, (std::vector<std::string>{std::string(setuptexts::kSizesChangedPrompt),
                                               std::string(setuptexts::kCalChangedPrompt)}));
    asked.clear();
    EXPECT_TRUE(editor.ConfirmSelectionChange(answer(PromptAnswer::No)));
    EXPECT_EQ(sensor.sizes, (std::vector<double>{1}));

    std::vector<ProgramResult> results;
    EXPECT_TRUE(editor.ConfirmSelectionChange(answer(PromptAnswer::Yes), &results));
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].outcome, ProgramOutcome::Programmed);
    EXPECT_EQ(results[1].outcome, ProgramOutcome::Programmed);
    EXPECT_EQ(sensor.sizes, (std::vector<double>{1, 2}));
    EXPECT_EQ(sensor.calibration.back(), (SetupCalPt{2, 400}));

    // A Yes whose programming fails keeps the selection.
    editor.AddSize(3);
    editor.DeleteSize(0);
    editor.DeleteSize(0);
    editor.DeleteSize(0);
    results.clear();
    EXPECT_FALSE(editor.ConfirmSelectionChange(answer(PromptAnswer::Yes), &results));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, ProgramOutcome::CheckFailed);
    EXPECT_EQ(results[0].messages, std::vector<std::string>{"You need at least one size"});
}

TEST_F(SetupProgramTest, BlinkTogglesTheLightUnlessBusy) {
    SimLine& line = StartLine(kPort, {SimCounterAt(5)});
    CSensor sensor = Sensor({1});
    CSetupEditor editor;
    editor.Select(&sensor);
    EXPECT_FALSE(editor.BlinkState());
    EXPECT_TRUE(editor.BlinkTick());
    EXPECT_TRUE(line.CounterState(5)->light);
    EXPECT_FALSE(editor.BlinkTick());
    EXPECT_FALSE(line.CounterState(5)->light);
    EXPECT_EQ(ReceivedAll(line), "\x85o0001\r\n\xBF\x85o0000\r\n\xBF");
    // A port held elsewhere leaves the indicator dark.
    {
        CSetupPort holder;
        ASSERT_TRUE(holder.Open(kPort));
        EXPECT_FALSE(editor.BlinkTick());
        EXPECT_TRUE(editor.BlinkState());
    }
    // Programming blocks the blink on the same thread's timer.
    bool tickedWhileBusy = true;
    editor.AddSize(2);
    editor.ProgramSizes([&](std::size_t, std::size_t) { tickedWhileBusy = editor.BlinkTick(); });
    EXPECT_FALSE(tickedWhileBusy);
}
