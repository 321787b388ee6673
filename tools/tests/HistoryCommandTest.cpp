// vok history as a user runs it: the built program in processes of its own,
// on history databases a real HistoryStore filled.
#include "config/OPCS_Registry.h"
#include "history/HistoryStore.h"
#include "history/TimeText.h"
#include "model/SampleRecord.h"

#include "VokProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// RFC 4180 records: quoted fields may hold separators, doubled quotes and line breaks.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, any = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
            continue;
        }
        any = true;
        if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            // the record ends at the '\n'
        } else if (c == '\n') {
            row.push_back(field);
            rows.push_back(row);
            row.clear();
            field.clear();
            any = false;
        } else {
            field += c;
        }
    }
    if (any) {
        row.push_back(field);
        rows.push_back(row);
    }
    return rows;
}

std::size_t Column(const std::vector<std::string>& header, const std::string& name) {
    for (std::size_t i = 0; i < header.size(); ++i)
        if (header[i] == name) return i;
    ADD_FAILURE() << "no column '" << name << "'";
    return 0;
}

// 2026-12-10T07:00:00Z and the minutes after it.
constexpr std::int64_t kBase = 1796886000000LL;
std::int64_t At(int minute) { return kBase + minute * 60'000LL; }

SampleRecord Sample(const std::string& device, int minute, std::vector<std::int32_t> counts,
                    double flow = 2831.68) {
    SampleRecord s;
    s.timeMs = At(minute);
    s.intervalSeconds = 60;
    s.device = device;
    s.port = 7;
    s.address = 3;
    s.flow = flow;
    s.binSizes = {0.3, 0.5, 1.0, 5.0, 10.0, 25.0};
    s.binSizes.resize(counts.size());
    s.cumulativeRaw = std::move(counts);
    return s;
}

class HistoryCommand : public VokProcessTest {
protected:
    // Writes the records through the store as the server does, and closes it.
    void Fill(const std::vector<SampleRecord>& samples, const std::vector<DeviceEvent>& events = {}) {
        history::HistoryOptions options;
        options.path = db_;
        options.retentionDays = 0;
        history::HistoryStore store(options);
        std::string error;
        ASSERT_TRUE(store.Start(error)) << error;
        for (const DeviceEvent& e : events) store.OnDeviceEvent(e);
        for (const SampleRecord& s : samples) store.OnSample(s);
        ASSERT_TRUE(store.Flush());
        store.Stop();
    }
    VokOutcome History(const std::string& arguments) { return Vok("history --db '" + db_ + "' " + arguments); }
    json JsonOf(const std::string& arguments) {
        const VokOutcome run = History(arguments);
        EXPECT_EQ(run.status, 0) << arguments << ": " << run.err;
        return json::parse(run.out, nullptr, false);
    }
    static std::string Range(int fromMinute, int toMinute) {
        return "--from " + history::FormatUtc(At(fromMinute)) + " --to " + history::FormatUtc(At(toMinute));
    }

    std::string db_ = dir_.File("history.db");
};

}  // namespace

TEST_F(HistoryCommand, DevicesAreListedWithTheirSpanAndCount) {
    std::vector<SampleRecord> samples;
    for (int m = 0; m < 5; ++m) samples.push_back(Sample("North", m, {10, 5}));
    for (int m = 2; m < 4; ++m) {
        samples.push_back(Sample("South", m, {1, 0}));
        samples.back().port = 12;
        samples.back().address = 63;
    }
    Fill(samples);
    const json devices = JsonOf("devices --json");
    ASSERT_TRUE(devices.is_array()) << devices;
    ASSERT_EQ(devices.size(), 2u);
    for (const json& d : devices) {
        const bool north = d["device"] == "North";
        EXPECT_EQ(d["samples"], north ? 5 : 2);
        EXPECT_EQ(d["port"], north ? 7 : 12);
        EXPECT_EQ(d["address"], north ? 3 : 63);
        EXPECT_EQ(d["first_utc"], history::FormatUtc(At(north ? 0 : 2)));
        EXPECT_EQ(d["last_utc"], history::FormatUtc(At(north ? 4 : 3)));
    }
    const VokOutcome text = History("devices");
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("COM12"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(history::FormatLocal(At(4))), std::string::npos) << text.out;
}

TEST_F(HistoryCommand, SamplesAsJsonCarryTheStoredCountsTheirDerivedValuesAndTheEvents) {
    std::vector<SampleRecord> samples = {Sample("North", 0, {2147483000, 1000, 10}),
                                         Sample("North", 1, {500, 600, 0}, 0.0),  // no flow: counts as they are
                                         Sample("North", 3, {7, 3, 1})};
    samples[2].analog[0] = 4.25;
    samples[2].analog[5] = -1.5;
    samples[2].counterFlags = 0x20 | 0x01;
    samples[2].commStatus = 0;
    DeviceEvent lost{At(1) + 30'000, DeviceEventKind::CommLost, "North", 7, 3, 1, "Failed counter data read"};
    DeviceEvent back{At(2) + 30'000, DeviceEventKind::CommRestored, "North", 7, 3, 0, ""};
    DeviceEvent other{At(2), DeviceEventKind::CommLost, "South", 8, 1, 1, "not this device"};
    Fill(samples, {lost, back, other});

    const json out = JsonOf("samples North " + Range(0, 10) + " --json");
    ASSERT_TRUE(out.is_object()) << out;
    ASSERT_EQ(out["samples"].size(), samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const SampleRecord& want = samples[i];
        const json& got = out["samples"][i];
        EXPECT_EQ(got["time_utc"], history::FormatUtc(want.timeMs));
        EXPECT_EQ(got["flow_ml_min"].get<double>(), want.flow);
        ASSERT_EQ(got["bins"].size(), want.BinCount());
        for (std::size_t b = 0; b < want.BinCount(); ++b) {
            EXPECT_EQ(got["bins"][b]["raw"].get<std::int64_t>(), want.cumulativeRaw[b]) << i << "/" << b;
            EXPECT_DOUBLE_EQ(got["bins"][b]["normalized"].get<double>(), want.CumulativeNormalized(b));
            EXPECT_EQ(got["bins"][b]["raw_differential"].get<std::int64_t>(), want.DifferentialRaw(b));
            EXPECT_DOUBLE_EQ(got["bins"][b]["size_um"].get<double>(), want.binSizes[b]);
        }
        EXPECT_EQ(got["total_raw"].get<std::int64_t>(), want.TotalRaw());
    }
    // Counts per millilitre: 7 counts in 2831.68 ml/min over a minute.
    EXPECT_NEAR(out["samples"][2]["bins"][0]["normalized"].get<double>(), 7 / 2831.68, 1e-12);
    EXPECT_EQ(out["samples"][1]["bins"][1]["normalized"].get<double>(), 600.0);
    EXPECT_EQ(out["samples"][2]["analog"], (json{{"1", 4.25}, {"6", -1.5}}));
    EXPECT_EQ(out["samples"][2]["alarms"], (json{"counter", "calibration"}));
    EXPECT_TRUE(out["samples"][0]["alarms"].empty());
    ASSERT_EQ(out["events"].size(), 2u) << out["events"];  // not the other device's
    EXPECT_EQ(out["events"][0]["event"], "comm lost");
    EXPECT_EQ(out["events"][0]["text"], "Failed counter data read");
    EXPECT_EQ(out["events"][1]["event"], "comm restored");

    // The text form shows the events between the samples of their time.
    const VokOutcome text = History("samples North " + Range(0, 10) + " --utc");
    ASSERT_EQ(text.status, 0) << text.err;
    const std::size_t second = text.out.find(history::FormatUtc(At(1)));
    const std::size_t lostRow = text.out.find("\u2014 comm lost (Failed counter data read)");
    const std::size_t restoredRow = text.out.find("\u2014 comm restored");
    const std::size_t third = text.out.find(history::FormatUtc(At(3)));
    ASSERT_NE(lostRow, std::string::npos) << text.out;
    EXPECT_TRUE(second < lostRow && lostRow < restoredRow && restoredRow < third) << text.out;
    EXPECT_NE(text.out.find("2147483000"), std::string::npos) << text.out;
}

TEST_F(HistoryCommand, SamplesAsCsvNameTheBinsBySizeAndQuoteWhatNeedsIt) {
    const std::string name = "Room 1, \"north\"", commaOnly = "Hall 2, east";
    Fill({Sample(name, 0, {40, 30, 20, 10}), Sample(name, 1, {44, 33, 22, 11}), Sample(commaOnly, 2, {5})});

    const VokOutcome all = History("samples 'Room 1, \"north\"' " + Range(0, 5) + " --csv");
    ASSERT_EQ(all.status, 0) << all.err;
    const auto rows = ParseCsv(all.out);
    ASSERT_EQ(rows.size(), 3u) << all.out;
    for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size());
    const auto& header = rows[0];
    EXPECT_EQ(header[Column(header, "Bin 01 0.3um raw")], "Bin 01 0.3um raw");
    const std::size_t raw3 = Column(header, "Bin 03 1um raw"), norm4 = Column(header, "Bin 04 5um normalized");
    EXPECT_EQ(rows[2][raw3], "22");
    const SampleRecord second = Sample(name, 1, {44, 33, 22, 11});
    EXPECT_DOUBLE_EQ(std::stod(rows[2][norm4]), second.CumulativeNormalized(3));
    EXPECT_EQ(rows[1][Column(header, "Total raw")], "40");

    // Only the chosen bins.
    const VokOutcome some = History("samples 'Room 1, \"north\"' " + Range(0, 5) + " --csv --bins 1,3-4");
    ASSERT_EQ(some.status, 0) << some.err;
    const auto chosen = ParseCsv(some.out);
    ASSERT_FALSE(chosen.empty());
    std::vector<std::string> binColumns;
    for (const std::string& title : chosen[0])
        if (title.rfind("Bin ", 0) == 0) binColumns.push_back(title);
    EXPECT_EQ(binColumns, (std::vector<std::string>{"Bin 01 0.3um raw", "Bin 01 0.3um normalized", "Bin 03 1um raw",
                                                    "Bin 03 1um normalized", "Bin 04 5um raw",
                                                    "Bin 04 5um normalized"}));

    // The export quotes the device name so that it reads back whole.
    const std::string file = dir_.File("out.csv");
    const VokOutcome exported = History("export " + Range(0, 5) + " --csv '" + file + "'");
    ASSERT_EQ(exported.status, 0) << exported.err;
    const auto lines = ParseCsv(ReadFileText(file));
    ASSERT_EQ(lines.size(), 1u + 2 * 4 + 1) << ReadFileText(file);  // one row per sample and bin
    for (const auto& line : lines) EXPECT_EQ(line.size(), lines[0].size());
    EXPECT_EQ(lines[1][Column(lines[0], "device")], name);
    EXPECT_EQ(lines[9][Column(lines[0], "device")], commaOnly);
    EXPECT_EQ(lines[9][Column(lines[0], "raw_cumulative")], "5");
    EXPECT_NE(ReadFileText(file).find("\"Room 1, \"\"north\"\"\""), std::string::npos);
}

TEST_F(HistoryCommand, BadArgumentsAreUsageErrorsWithAClearMessage) {
    Fill({Sample("North", 0, {1}), Sample("South", 0, {1})});
    struct Case {
        std::string arguments, message;
    } cases[] = {
        {"samples North --from xyz", "not a time: 'xyz'"},
        {"samples North --from 2026-12-10T09:00Z --to 2026-12-10T08:00Z", "ends before it starts"},
        {"samples Nowhere " + Range(0, 1), "no device 'Nowhere' in the history; devices: North, South"},
        {"samples North --bins 0", "--bins"},
        {"samples North --bins 4-2", "--bins"},
        {"samples North --bins 1,,x", "--bins"},
        {"stats North --from -1h --to 2026-13-01", "not a time: '2026-13-01'"},
        {"samples North --csv --json", "exclude each other"},
        {"export --from now --to now", "--csv"},
    };
    for (const Case& c : cases) {
        const VokOutcome run = History(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments << ": " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << ": " << run.err;
    }
    const VokOutcome missing = Vok("history --db '" + dir_.File("none.db") + "' devices");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("none.db"), std::string::npos) << missing.err;
    EXPECT_FALSE(std::filesystem::exists(dir_.File("none.db")));  // reading never creates a history
}

TEST_F(HistoryCommand, StatsGiveMinMeanMaxAndTheNearestRank95thPercentile) {
    // Raw counts 1..20 in shuffled order over a volume of 1000 ml (1000 ml/min for a minute).
    std::vector<SampleRecord> samples;
    const int order[] = {7, 20, 1, 13, 2, 19, 3, 18, 4, 17, 5, 16, 6, 15, 8, 14, 9, 12, 10, 11};
    for (int m = 0; m < 20; ++m) samples.push_back(Sample("North", m, {order[m], 5}, 1000.0));
    samples.push_back(Sample("North", 30, {999, 5}, 1000.0));  // outside the range asked for
    Fill(samples);
    const json out = JsonOf("stats North " + Range(0, 19) + " --json");
    ASSERT_EQ(out["bins"].size(), 2u) << out;
    const json& raw = out["bins"][0]["raw"];
    EXPECT_EQ(raw["count"], 20);
    EXPECT_EQ(raw["min"].get<double>(), 1);
    EXPECT_DOUBLE_EQ(raw["mean"].get<double>(), 10.5);
    EXPECT_EQ(raw["max"].get<double>(), 20);
    EXPECT_EQ(raw["p95"].get<double>(), 19);  // the 19th of 20 values
    const json& norm = out["bins"][0]["normalized"];
    EXPECT_DOUBLE_EQ(norm["min"].get<double>(), 0.001);
    EXPECT_DOUBLE_EQ(norm["mean"].get<double>(), 0.0105);
    EXPECT_DOUBLE_EQ(norm["max"].get<double>(), 0.020);
    EXPECT_DOUBLE_EQ(norm["p95"].get<double>(), 0.019);
    EXPECT_EQ(out["bins"][1]["raw"]["max"].get<double>(), 5);
    // Three values: the 95th percentile is the largest.
    const json few = JsonOf("stats North " + Range(0, 2) + " --json");
    EXPECT_EQ(few["bins"][0]["raw"]["p95"].get<double>(), 20);
    EXPECT_EQ(few["bins"][0]["raw"]["min"].get<double>(), 1);
}

TEST_F(HistoryCommand, CheckPassesAnIntactHistoryAndFailsADamagedOne) {
    std::vector<SampleRecord> samples;
    for (int m = 0; m < 400; ++m) samples.push_back(Sample("North", m < 200 ? m : m + 10, {m, m / 2, 1}));
    Fill(samples);
    const json good = JsonOf("check --json");
    EXPECT_EQ(good["intact"], true);
    EXPECT_EQ(good["samples"], 400);
    ASSERT_EQ(good["gaps"].size(), 1u) << good;  // ten minutes without samples
    EXPECT_EQ(good["gaps"][0]["from_utc"], history::FormatUtc(At(199)));
    EXPECT_EQ(good["gaps"][0]["to_utc"], history::FormatUtc(At(210)));

    // Pages in the middle of a copy overwritten.
    const std::string damaged = dir_.File("damaged.db");
    std::filesystem::copy_file(db_, damaged);
    const auto size = std::filesystem::file_size(damaged);
    ASSERT_GT(size, 3 * 4096u);
    {
        std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(size / 2));
        const std::string junk(4096, '\x5A');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    const VokOutcome bad = Vok("history --db '" + damaged + "' check");
    EXPECT_EQ(bad.status, 1) << bad.out << bad.err;
    const VokOutcome notDb = [&] {
        std::ofstream(dir_.File("text.db")) << "not a database at all\n";
        return Vok("history --db '" + dir_.File("text.db") + "' check");
    }();
    EXPECT_EQ(notDb.status, 1) << notDb.out << notDb.err;
    EXPECT_FALSE(notDb.err.empty());
}

TEST_F(HistoryCommand, ExportAndBackupNeverReplaceAFile) {
    Fill({Sample("North", 0, {3, 2, 1}), Sample("South", 0, {9, 8}), Sample("North", 1, {4, 2, 1})});
    const std::string file = dir_.File("export.csv");
    std::ofstream(file) << "keep me";
    const VokOutcome refused = History("export " + Range(0, 5) + " --csv '" + file + "'");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("exists"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFileText(file), "keep me");

    const VokOutcome forced = History("export " + Range(0, 5) + " --csv '" + file + "' --force --layout columns");
    ASSERT_EQ(forced.status, 0) << forced.err;
    const auto rows = ParseCsv(ReadFileText(file));
    ASSERT_EQ(rows.size(), 4u) << ReadFileText(file);  // one row per sample, time order
    const auto& header = rows[0];
    EXPECT_EQ(rows[3][Column(header, "time_utc")], history::FormatUtc(At(1)));
    EXPECT_EQ(rows[3][Column(header, "bin02_raw")], "2");
    EXPECT_EQ(rows[3][Column(header, "bin03_size_um")], "1");
    const std::size_t bin3 = Column(header, "bin03_raw");
    for (std::size_t r = 1; r < rows.size(); ++r)  // South has two bins only
        EXPECT_EQ(rows[r][bin3], rows[r][Column(header, "device")] == "South" ? "" : "1");
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))  // no unfinished file left
        EXPECT_EQ(entry.path().string().find(".unfinished"), std::string::npos) << entry.path();

    const std::string copy = dir_.File("copy.db");
    std::ofstream(copy) << "old copy";
    const VokOutcome notReplaced = History("backup '" + copy + "'");
    EXPECT_EQ(notReplaced.status, 2) << notReplaced.err;
    EXPECT_EQ(ReadFileText(copy), "old copy");
    std::filesystem::remove(copy);
    const VokOutcome copied = History("backup '" + copy + "'");
    ASSERT_EQ(copied.status, 0) << copied.err;
    const VokOutcome fromCopy = Vok("history --db '" + copy + "' devices --json");
    ASSERT_EQ(fromCopy.status, 0) << fromCopy.err;
    EXPECT_EQ(json::parse(fromCopy.out).size(), 2u);
}

TEST_F(HistoryCommand, WithoutDbTheServersHistoryFileFromTheSettingsIsRead) {
    db_ = dir_.File("elsewhere.db");
    Fill({Sample("North", 0, {1}), Sample("North", 1, {2})});
    {
        OPCS_Registry settings;
        settings.Load();
        settings.SetHistoryFile(db_);
        ASSERT_TRUE(settings.Save());
    }
    const VokOutcome run = Vok("history devices --json");
    ASSERT_EQ(run.status, 0) << run.err;
    const json devices = json::parse(run.out, nullptr, false);
    ASSERT_EQ(devices.size(), 1u) << run.out;
    EXPECT_EQ(devices[0]["samples"], 2);
}
