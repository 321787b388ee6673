// vok history: the sample history read from the command line: the devices it
// holds, one device's samples and statistics, a CSV export of all devices,
// the integrity check with the gaps, and a consistent copy.
//
// Exit statuses: 0 done; 1 the history cannot be read or is damaged (check
// failed, a query failed, a file could not be written); 2 a usage error (a
// bad time, an unknown device, a file that would be overwritten).
#include "tools/Commands.h"

#include "config/OPCS_Registry.h"
#include "history/HistoryReader.h"
#include "history/TimeText.h"
#include "model/SampleRecord.h"
#include "platform/Environment.h"
#include "tools/ToolOutput.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

constexpr int kDamaged = 1;
constexpr int kUsageError = 2;
constexpr int kMaxBinNumber = 32;  // a counter has at most 32 bins

// Thrown where a command cannot go on; carries the exit status.
struct Stop {
    int status;
    std::string message;
};

[[noreturn]] void Usage(const std::string& what) { throw Stop{kUsageError, what}; }
[[noreturn]] void Fail(const std::string& what) { throw Stop{kDamaged, what}; }

// The installed service's settings and the history it keeps by default.
constexpr const char* kSystemRegistry = "/var/lib/vok/registry";
constexpr const char* kSystemHistory = "/var/lib/vok/vok/history.db";

// The history file the server writes: the setting, as the program reads it.
std::string DefaultHistoryFile() {
    OPCS_Registry settings;
    settings.Load();
    return settings.GetHistoryFile();
}

// The service's: its setting once it has saved its settings, else where it
// keeps the history by default. Read by anyone in the vok group or root.
std::string SystemHistoryFile() {
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", kSystemRegistry);
    const std::string named = DefaultHistoryFile();
    std::error_code ec;
    return std::filesystem::exists(named, ec) ? named : std::string(kSystemHistory);
}

// --- numbers and text ----------------------------------------------------

// The shortest text that reads back as the same double: exports lose nothing.
std::string Exact(double value) {
    if (!std::isfinite(value)) return "";
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string SizeText(double um) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", um);
    return text;
}

std::string TwoDigits(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", n);
    return text;
}

// One CSV field as RFC 4180 quotes it: in double quotes, with quotes doubled,
// when it holds a separator, a quote or a line break.
std::string CsvField(const std::string& raw) {
    const std::string text = ValidUtf8(raw);
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ',';
        line += CsvField(fields[i]);
    }
    return line + "\r\n";
}

// Columns of text for a terminal; widths by code points.
std::size_t Width(const std::string& text) {
    std::size_t n = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

void PrintTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                std::ostream& out) {
    std::vector<std::size_t> widths(header.size(), 0);
    for (std::size_t i = 0; i < header.size(); ++i) widths[i] = Width(header[i]);
    for (const auto& row : rows)
        if (row.size() == header.size())
            for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i > 0) text += "  ";
            text += cells[i];
            if (i + 1 < cells.size() && cells.size() == header.size())
                text.append(widths[i] - std::min(widths[i], Width(cells[i])), ' ');
        }
        out << text << '\n';
    };
    line(header);
    // A row of another length is a note (an event) printed as it stands.
    for (const auto& row : rows) line(row);
}

std::string PortText(std::int32_t port) { return "COM" + std::to_string(port); }

std::string TimeText(std::int64_t ms, bool utc) { return utc ? history::FormatUtc(ms) : history::FormatLocal(ms); }

// The alarms a sample's status byte raises, by name; "-" for none.
std::vector<std::string> AlarmNames(const SampleRecord& s) {
    std::vector<std::string> names;
    if (s.CounterAlarm()) names.emplace_back("counter");
    if (s.CalibrationAlarm()) names.emplace_back("calibration");
    if (s.ConcentrationAlarm()) names.emplace_back("concentration");
    if (s.CountAlarm()) names.emplace_back("count");
    if (s.CommAlarm()) names.emplace_back("comm");
    if (s.AnalogAlarm()) names.emplace_back("analog");
    return names;
}

std::string AlarmText(const SampleRecord& s) {
    std::string text;
    for (const std::string& name : AlarmNames(s)) text += (text.empty() ? "" : " ") + name;
    return text.empty() ? "-" : text;
}

std::string CommText(std::int32_t status) {
    switch (status) {
    case 0: return "ok";
    case 1: return "failure";
    case 2: return "address conflict";
    default: return std::to_string(status);
    }
}

// --- arguments -----------------------------------------------------------

std::int64_t TimeArgument(const std::string& text, const std::string& option) {
    std::int64_t ms = 0;
    std::string error;
    if (!history::ParseTime(text, ms, error)) Usage(option + ": " + error);
    return ms;
}

struct Range {
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
};

// The range given, by default the last hour.
Range RangeArgument(const std::string& from, const std::string& to) {
    Range range;
    range.toMs = to.empty() ? NowUtcMs() : TimeArgument(to, "--to");
    range.fromMs = from.empty() ? range.toMs - 3'600'000 : TimeArgument(from, "--from");
    if (range.fromMs > range.toMs)
        Usage("the range ends before it starts (--from " + history::FormatLocal(range.fromMs) + ", --to " +
              history::FormatLocal(range.toMs) + ")");
    return range;
}

// "1,3-5": bin numbers from 1, in order, each once.
std::vector<int> BinsArgument(const std::string& text) {
    std::set<int> bins;
    auto number = [&](const std::string& piece) {
        int n = 0;
        const auto result = std::from_chars(piece.data(), piece.data() + piece.size(), n);
        if (piece.empty() || result.ec != std::errc() || result.ptr != piece.data() + piece.size() || n < 1 ||
            n > kMaxBinNumber)
            Usage("--bins: '" + text + "' is not a list of bin numbers 1.." + std::to_string(kMaxBinNumber) +
                  " (e.g. 1,3-5)");
        return n;
    };
    std::stringstream pieces(text);
    std::string piece;
    while (std::getline(pieces, piece, ',')) {
        const std::size_t dash = piece.find('-');
        if (dash == std::string::npos) {
            bins.insert(number(piece));
            continue;
        }
        const int first = number(piece.substr(0, dash)), last = number(piece.substr(dash + 1));
        if (first > last) Usage("--bins: the range '" + piece + "' runs backwards");
        for (int b = first; b <= last; ++b) bins.insert(b);
    }
    if (bins.empty() || text.back() == ',') Usage("--bins: '" + text + "' names no bins (e.g. 1,3-5)");
    return {bins.begin(), bins.end()};
}

std::unique_ptr<history::HistoryReader> OpenHistory(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) Fail("there is no history at " + path);
    std::string error;
    std::unique_ptr<history::HistoryReader> reader = history::HistoryReader::Open(path, error);
    if (!reader) Fail("cannot read the history at " + path + ": " + error);
    return reader;
}

// Only the names are read: counting a device's samples would cost more than
// the query it comes before.
void KnownDevice(history::HistoryReader& reader, const std::string& name) {
    const std::vector<std::string> devices = reader.DeviceNames();
    if (!reader.LastError().empty()) Fail("cannot list the devices: " + reader.LastError());
    std::string names;
    for (const std::string& d : devices) {
        if (d == name) return;
        names += (names.empty() ? "" : ", ") + d;
    }
    Usage("no device '" + name + "' in the history; " +
          (devices.empty() ? std::string("it holds no devices") : "devices: " + names));
}

// Refused unless forced, so that an export or a copy never replaces a file by mistake.
void RefuseExisting(const std::string& path, bool force, const char* how) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !force)
        Usage(path + " exists already; nothing was written" + std::string(how));
}

// --- devices -------------------------------------------------------------

int Devices(history::HistoryReader& reader, bool asJson) {
    const std::vector<history::DeviceSpan> devices = reader.Devices();
    if (!reader.LastError().empty()) Fail("cannot list the devices: " + reader.LastError());
    if (asJson) {
        json out = json::array();
        for (const history::DeviceSpan& d : devices) {
            json entry = {{"device", d.device}, {"port", d.port}, {"address", d.address}, {"samples", d.samples}};
            entry["first_utc"] = d.samples ? json(history::FormatUtc(d.firstMs)) : json(nullptr);
            entry["first_local"] = d.samples ? json(history::FormatLocal(d.firstMs)) : json(nullptr);
            entry["last_utc"] = d.samples ? json(history::FormatUtc(d.lastMs)) : json(nullptr);
            entry["last_local"] = d.samples ? json(history::FormatLocal(d.lastMs)) : json(nullptr);
            out.push_back(std::move(entry));
        }
        std::cout << JsonText(out, 2) << '\n';
        return 0;
    }
    if (devices.empty()) {
        std::cout << "The history holds no devices yet.\n";
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (const history::DeviceSpan& d : devices)
        rows.push_back({ValidUtf8(d.device), PortText(d.port), std::to_string(d.address),
                        d.samples ? history::FormatLocal(d.firstMs) : "-",
                        d.samples ? history::FormatLocal(d.lastMs) : "-", std::to_string(d.samples)});
    PrintTable({"Device", "Port", "Address", "First sample", "Last sample", "Samples"}, rows, std::cout);
    return 0;
}

// --- samples -------------------------------------------------------------

struct SamplesOptions {
    std::string device, from, to, bins;
    bool csv = false, asJson = false, utc = false;
};

// The bins shown: those chosen, or every bin any sample of the range has.
std::vector<int> ShownBins(const std::vector<SampleRecord>& samples, const std::string& chosen) {
    if (!chosen.empty()) return BinsArgument(chosen);
    std::size_t most = 0;
    for (const SampleRecord& s : samples) most = std::max(most, s.BinCount());
    std::vector<int> bins;
    for (std::size_t b = 1; b <= most; ++b) bins.push_back(static_cast<int>(b));
    return bins;
}

// A bin's size as the column titles give it: that of the newest sample that has the bin.
std::optional<double> BinSize(const std::vector<SampleRecord>& samples, int bin) {
    for (auto it = samples.rbegin(); it != samples.rend(); ++it)
        if (static_cast<std::size_t>(bin) <= it->binSizes.size()) return it->binSizes[static_cast<std::size_t>(bin) - 1];
    return std::nullopt;
}

std::string BinTitle(const std::vector<SampleRecord>& samples, int bin) {
    const std::optional<double> size = BinSize(samples, bin);
    return "Bin " + TwoDigits(bin) + (size ? " " + SizeText(*size) + "um" : "");
}

json EventJson(const DeviceEvent& e) {
    json out = {{"time_utc", history::FormatUtc(e.timeMs)},
                {"time_local", history::FormatLocal(e.timeMs)},
                {"time_ms", e.timeMs},
                {"event", DeviceEventName(e.kind)},
                {"device", e.device},
                {"text", e.text}};
    if (e.kind == DeviceEventKind::CommLost) out["comm_status"] = e.commStatus;
    return out;
}

json SampleJson(const SampleRecord& s, const std::vector<int>& bins) {
    json binList = json::array();
    for (const int bin : bins) {
        const auto b = static_cast<std::size_t>(bin - 1);
        if (b >= s.BinCount()) continue;
        binList.push_back({{"bin", bin},
                           {"size_um", b < s.binSizes.size() ? json(s.binSizes[b]) : json(nullptr)},
                           {"raw", s.cumulativeRaw[b]},
                           {"normalized", s.CumulativeNormalized(b)},
                           {"raw_differential", s.DifferentialRaw(b)},
                           {"normalized_differential", s.DifferentialNormalized(b)}});
    }
    json analog = json::object();
    for (std::size_t i = 0; i < s.analog.size(); ++i)
        if (s.analog[i]) analog[std::to_string(i + 1)] = *s.analog[i];
    return {{"time_utc", history::FormatUtc(s.timeMs)},
            {"time_local", history::FormatLocal(s.timeMs)},
            {"time_ms", s.timeMs},
            {"interval_s", s.intervalSeconds},
            {"comm_status", s.commStatus},
            {"flow_ml_min", s.flow},
            {"port", s.port},
            {"address", s.address},
            {"bins", std::move(binList)},
            {"total_raw", s.TotalRaw()},
            {"total_normalized", s.TotalNormalized()},
            {"analog", std::move(analog)},
            {"counter_flags", s.counterFlags},
            {"alarms", AlarmNames(s)}};
}

// "<time>  — comm lost (Failed counter data read)"; the text only when it says more than the name.
std::string EventRow(const DeviceEvent& e, bool utc) {
    std::string row = TimeText(e.timeMs, utc) + "  \u2014 " + DeviceEventName(e.kind);
    std::string name = DeviceEventName(e.kind), text = e.text;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!e.text.empty() && text != name) row += " (" + ValidUtf8(e.text) + ")";
    return row;
}

int Samples(history::HistoryReader& reader, const SamplesOptions& o) {
    if (o.csv && o.asJson) Usage("--csv and --json exclude each other");
    const Range range = RangeArgument(o.from, o.to);
    if (!o.bins.empty()) BinsArgument(o.bins);  // refused before the history is read
    KnownDevice(reader, o.device);

    std::vector<SampleRecord> samples;
    std::string error;
    if (!reader.ForEachSample(
            o.device, range.fromMs, range.toMs, 0, false,
            [&](const SampleRecord& s) {
                samples.push_back(s);
                return true;
            },
            error))
        Fail("cannot read the samples of " + o.device + ": " + error);
    // The device's own events and the program's (a stop explains a gap of every device).
    std::vector<DeviceEvent> events = reader.Events(o.device, range.fromMs, range.toMs);
    for (const DeviceEvent& e : reader.Events("", range.fromMs, range.toMs))
        if (e.device.empty()) events.push_back(e);
    if (!reader.LastError().empty()) Fail("cannot read the events: " + reader.LastError());
    std::stable_sort(events.begin(), events.end(),
                     [](const DeviceEvent& a, const DeviceEvent& b) { return a.timeMs < b.timeMs; });

    const std::vector<int> bins = ShownBins(samples, o.bins);

    if (o.asJson) {
        json out = {{"device", o.device},
                    {"from_utc", history::FormatUtc(range.fromMs)},
                    {"to_utc", history::FormatUtc(range.toMs)}};
        json list = json::array();
        for (const SampleRecord& s : samples) list.push_back(SampleJson(s, bins));
        json eventList = json::array();
        for (const DeviceEvent& e : events) eventList.push_back(EventJson(e));
        out["samples"] = std::move(list);
        out["events"] = std::move(eventList);
        std::cout << JsonText(out, 2) << '\n';
        return 0;
    }

    // The analog inputs any sample of the range has.
    std::vector<std::size_t> analogs;
    for (std::size_t i = 0; i < SampleRecord::kAnalogInputs; ++i)
        if (std::any_of(samples.begin(), samples.end(), [i](const SampleRecord& s) { return s.analog[i].has_value(); }))
            analogs.push_back(i);

    std::vector<std::string> header = {o.utc ? "Time (UTC)" : "Time", "Interval s", "Comm", "Flow ml/min"};
    for (const int bin : bins) {
        header.push_back(BinTitle(samples, bin) + " raw");
        header.push_back(BinTitle(samples, bin) + " normalized");
    }
    header.insert(header.end(), {"Total raw", "Total normalized"});
    for (const std::size_t i : analogs) header.push_back("Analog " + std::to_string(i + 1));
    header.push_back("Alarms");

    auto row = [&](const SampleRecord& s) {
        std::vector<std::string> cells = {TimeText(s.timeMs, o.utc), std::to_string(s.intervalSeconds),
                                          o.csv ? std::to_string(s.commStatus) : CommText(s.commStatus),
                                          o.csv ? Exact(s.flow) : Fixed(s.flow, 1)};
        for (const int bin : bins) {
            const auto b = static_cast<std::size_t>(bin - 1);
            const bool has = b < s.BinCount();
            cells.push_back(has ? std::to_string(s.cumulativeRaw[b]) : "");
            cells.push_back(has ? (o.csv ? Exact(s.CumulativeNormalized(b)) : Fixed(s.CumulativeNormalized(b), 3)) : "");
        }
        cells.push_back(std::to_string(s.TotalRaw()));
        cells.push_back(o.csv ? Exact(s.TotalNormalized()) : Fixed(s.TotalNormalized(), 3));
        for (const std::size_t i : analogs)
            cells.push_back(s.analog[i] ? (o.csv ? Exact(*s.analog[i]) : Fixed(*s.analog[i], 3)) : "");
        cells.push_back(AlarmText(s));
        return cells;
    };

    // The titles give the sizes of the newest samples; say so when they changed within the range.
    const bool sizesChanged = std::any_of(bins.begin(), bins.end(), [&](int bin) {
        const std::optional<double> size = BinSize(samples, bin);
        const auto b = static_cast<std::size_t>(bin - 1);
        return size && std::any_of(samples.begin(), samples.end(), [&](const SampleRecord& s) {
                   return b < s.binSizes.size() && s.binSizes[b] != *size;
               });
    });
    if (sizesChanged)
        std::cerr << "vok history: the bin sizes changed within the range; the column titles give the newest "
                     "samples' sizes\n";

    if (o.csv) {
        std::cout << CsvLine(header);
        for (const SampleRecord& s : samples) std::cout << CsvLine(row(s));
        return 0;
    }
    if (samples.empty() && events.empty()) {
        std::cout << "No samples of " << ValidUtf8(o.device) << " from " << history::FormatLocal(range.fromMs)
                  << " to " << history::FormatLocal(range.toMs) << ".\n";
        return 0;
    }
    // Samples and events in time order; an event before the samples of its time.
    std::vector<std::vector<std::string>> rows;
    std::size_t next = 0;
    for (const SampleRecord& s : samples) {
        for (; next < events.size() && events[next].timeMs <= s.timeMs; ++next)
            rows.push_back({EventRow(events[next], o.utc)});
        rows.push_back(row(s));
    }
    for (; next < events.size(); ++next)
        rows.push_back({EventRow(events[next], o.utc)});
    PrintTable(header, rows, std::cout);
    return 0;
}

// --- export --------------------------------------------------------------

struct ExportOptions {
    std::string from, to, file, layout = "rows";
    bool force = false;
};

// Everything is written to a file beside the target and renamed at the end,
// so that an export cut short (a full disk, a failed query) leaves no file
// that looks complete.
int Export(history::HistoryReader& reader, const ExportOptions& o) {
    if (o.from.empty() || o.to.empty()) Usage("export needs --from and --to");
    const Range range = RangeArgument(o.from, o.to);
    RefuseExisting(o.file, o.force, " (--force replaces it)");
    const bool columns = o.layout == "columns";

    std::string error;
    // The columns layout needs the most bins of any sample before its header.
    std::size_t mostBins = 0;
    if (columns && !reader.ForEachSampleOfAll(
                       range.fromMs, range.toMs,
                       [&](const SampleRecord& s) {
                           mostBins = std::max(mostBins, s.BinCount());
                           return true;
                       },
                       error))
        Fail("cannot read the samples: " + error);

    std::random_device random;
    std::string unfinished;
    std::error_code exists;
    do unfinished = o.file + ".unfinished-" + std::to_string(random() % 1000000);
    while (std::filesystem::exists(unfinished, exists));
    std::ofstream out(unfinished, std::ios::binary | std::ios::trunc);
    if (!out) Fail("cannot write " + unfinished);
    const std::vector<std::string> common = {"time_utc", "time_local", "device", "port", "address"};
    std::vector<std::string> header = common;
    if (columns) {
        header.insert(header.end(), {"flow_ml_min", "interval_s", "comm_status", "total_raw", "total_normalized"});
        for (std::size_t b = 1; b <= mostBins; ++b) {
            const std::string bin = "bin" + TwoDigits(static_cast<int>(b));
            header.insert(header.end(), {bin + "_size_um", bin + "_raw", bin + "_normalized"});
        }
    } else {
        header.insert(header.end(), {"bin", "size_um", "raw_cumulative", "raw_differential", "normalized_cumulative",
                                     "normalized_differential", "flow_ml_min", "interval_s", "comm_status"});
    }
    out << CsvLine(header);

    std::uint64_t count = 0;
    std::set<std::string> devices;
    auto lastReport = std::chrono::steady_clock::now();
    const bool read = reader.ForEachSampleOfAll(
        range.fromMs, range.toMs,
        [&](const SampleRecord& s) {
            const std::vector<std::string> lead = {history::FormatUtc(s.timeMs), history::FormatLocal(s.timeMs),
                                                   s.device, std::to_string(s.port), std::to_string(s.address)};
            if (columns) {
                std::vector<std::string> fields = lead;
                fields.insert(fields.end(), {Exact(s.flow), std::to_string(s.intervalSeconds),
                                             std::to_string(s.commStatus), std::to_string(s.TotalRaw()),
                                             Exact(s.TotalNormalized())});
                for (std::size_t b = 0; b < mostBins; ++b) {
                    const bool has = b < s.BinCount();
                    fields.push_back(has && b < s.binSizes.size() ? SizeText(s.binSizes[b]) : "");
                    fields.push_back(has ? std::to_string(s.cumulativeRaw[b]) : "");
                    fields.push_back(has ? Exact(s.CumulativeNormalized(b)) : "");
                }
                out << CsvLine(fields);
            } else {
                for (std::size_t b = 0; b < s.BinCount(); ++b) {
                    std::vector<std::string> fields = lead;
                    fields.insert(fields.end(),
                                  {std::to_string(b + 1), b < s.binSizes.size() ? SizeText(s.binSizes[b]) : "",
                                   std::to_string(s.cumulativeRaw[b]), std::to_string(s.DifferentialRaw(b)),
                                   Exact(s.CumulativeNormalized(b)), Exact(s.DifferentialNormalized(b)),
                                   Exact(s.flow), std::to_string(s.intervalSeconds), std::to_string(s.commStatus)});
                    out << CsvLine(fields);
                }
            }
            ++count;
            devices.insert(s.device);
            const auto now = std::chrono::steady_clock::now();
            if (now - lastReport >= std::chrono::seconds(2)) {
                lastReport = now;
                std::cerr << "vok history: " << count << " samples exported, up to "
                          << history::FormatLocal(s.timeMs) << '\n';
            }
            return static_cast<bool>(out);
        },
        error);
    out.flush();
    const bool written = static_cast<bool>(out);
    out.close();
    std::error_code ec;
    if (!read || !written || out.fail()) {
        std::filesystem::remove(unfinished, ec);
        if (!written || out.fail()) Fail("cannot write " + o.file + " (the disk may be full); nothing was kept");
        Fail("cannot read the samples: " + error + "; nothing was kept");
    }
    // Checked again: the file may have appeared while the export ran.
    if (!o.force && std::filesystem::exists(o.file, ec)) {
        std::filesystem::remove(unfinished, ec);
        Usage(o.file + " appeared while exporting; nothing was written");
    }
    std::filesystem::rename(unfinished, o.file, ec);
    if (ec) {
        std::filesystem::remove(unfinished, ec);
        Fail("cannot write " + o.file + ": " + ec.message());
    }
    std::cerr << "vok history: " << count << " samples of " << devices.size() << " device"
              << (devices.size() == 1 ? "" : "s") << " written to " << ValidUtf8(o.file) << '\n';
    return 0;
}

// --- stats ---------------------------------------------------------------

struct Summary {
    std::size_t count = 0;
    double min = 0, mean = 0, max = 0, p95 = 0;
};

// Nearest rank: the smallest value with at least 95 % of the values at or below it.
Summary Summarize(std::vector<double> values) {
    Summary s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.min = values.front();
    s.max = values.back();
    double sum = 0;
    for (const double v : values) sum += v;
    s.mean = sum / static_cast<double>(values.size());
    const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(values.size())));
    s.p95 = values[std::max<std::size_t>(rank, 1) - 1];
    return s;
}

json SummaryJson(const Summary& s) {
    if (s.count == 0) return {{"count", 0}};
    return {{"count", s.count}, {"min", s.min}, {"mean", s.mean}, {"max", s.max}, {"p95", s.p95}};
}

int Stats(history::HistoryReader& reader, const std::string& name, const std::string& from, const std::string& to,
          bool asJson) {
    if (from.empty() || to.empty()) Usage("stats needs --from and --to");
    const Range range = RangeArgument(from, to);
    KnownDevice(reader, name);
    std::vector<std::vector<double>> raw, normalized;
    std::vector<double> sizes;
    std::string error;
    if (!reader.ForEachSample(
            name, range.fromMs, range.toMs, 0, false,
            [&](const SampleRecord& s) {
                if (s.BinCount() > raw.size()) {
                    raw.resize(s.BinCount());
                    normalized.resize(s.BinCount());
                }
                if (s.binSizes.size() > sizes.size()) sizes.resize(s.binSizes.size(), 0);
                for (std::size_t b = 0; b < s.binSizes.size(); ++b) sizes[b] = s.binSizes[b];
                for (std::size_t b = 0; b < s.BinCount(); ++b) {
                    raw[b].push_back(s.cumulativeRaw[b]);
                    normalized[b].push_back(s.CumulativeNormalized(b));
                }
                return true;
            },
            error))
        Fail("cannot read the samples of " + name + ": " + error);

    std::vector<Summary> rawStats, normStats;
    for (std::size_t b = 0; b < raw.size(); ++b) {
        rawStats.push_back(Summarize(std::move(raw[b])));
        normStats.push_back(Summarize(std::move(normalized[b])));
    }
    if (asJson) {
        json bins = json::array();
        for (std::size_t b = 0; b < rawStats.size(); ++b)
            bins.push_back({{"bin", b + 1},
                            {"size_um", b < sizes.size() ? json(sizes[b]) : json(nullptr)},
                            {"raw", SummaryJson(rawStats[b])},
                            {"normalized", SummaryJson(normStats[b])}});
        std::cout << JsonText({{"device", name},
                               {"from_utc", history::FormatUtc(range.fromMs)},
                               {"to_utc", history::FormatUtc(range.toMs)},
                               {"percentile", "nearest rank"},
                               {"bins", std::move(bins)}},
                              2)
                  << '\n';
        return 0;
    }
    if (rawStats.empty()) {
        std::cout << "No samples of " << ValidUtf8(name) << " from " << history::FormatLocal(range.fromMs)
                  << " to " << history::FormatLocal(range.toMs) << ".\n";
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    for (std::size_t b = 0; b < rawStats.size(); ++b) {
        const Summary& r = rawStats[b];
        const Summary& n = normStats[b];
        rows.push_back({TwoDigits(static_cast<int>(b + 1)), b < sizes.size() ? SizeText(sizes[b]) : "",
                        std::to_string(r.count), Fixed(r.min, 0), Fixed(r.mean, 1), Fixed(r.max, 0), Fixed(r.p95, 0),
                        Fixed(n.min, 3), Fixed(n.mean, 3), Fixed(n.max, 3), Fixed(n.p95, 3)});
    }
    PrintTable({"Bin", "Size um", "Count", "Raw min", "Raw mean", "Raw max", "Raw p95", "Norm min", "Norm mean",
                "Norm max", "Norm p95"},
               rows, std::cout);
    return 0;
}

// --- check and backup ----------------------------------------------------

int Check(history::HistoryReader& reader, bool asJson) {
    const history::HistoryCheck check = reader.Check();
    if (asJson) {
        json gaps = json::array();
        for (const history::HistoryGap& g : check.gaps)
            gaps.push_back({{"device", g.device},
                            {"from_utc", history::FormatUtc(g.fromMs)},
                            {"to_utc", history::FormatUtc(g.toMs)},
                            {"seconds", static_cast<double>(g.toMs - g.fromMs) / 1000.0},
                            {"reason", g.reason}});
        std::cout << JsonText({{"intact", check.intact},
                               {"problems", check.problems},
                               {"samples", check.samples},
                               {"events", check.events},
                               {"gaps", std::move(gaps)}},
                              2)
                  << '\n';
        return check.intact ? 0 : kDamaged;
    }
    std::cout << (check.intact ? "intact" : "DAMAGED") << ": " << check.samples << " samples, " << check.events
              << " events, " << check.gaps.size() << " gap" << (check.gaps.size() == 1 ? "" : "s") << '\n';
    for (const std::string& problem : check.problems) std::cout << "  problem: " << ValidUtf8(problem) << '\n';
    for (const history::HistoryGap& g : check.gaps)
        std::cout << "  gap: " << ValidUtf8(g.device) << " from " << history::FormatLocal(g.fromMs) << " to "
                  << history::FormatLocal(g.toMs) << " (" << Fixed(static_cast<double>(g.toMs - g.fromMs) / 1000.0, 0)
                  << " s, " << g.reason << ")\n";
    return check.intact ? 0 : kDamaged;
}

int Backup(const std::string& source, const std::string& target) {
    RefuseExisting(target, false, "");
    std::error_code ec;
    if (!std::filesystem::exists(source, ec)) Fail("there is no history at " + source);
    std::string error;
    if (!history::BackupHistory(source, target, error)) Fail("cannot copy the history to " + target + ": " + error);
    std::cout << "copied " << ValidUtf8(source) << " to " << ValidUtf8(target) << '\n';
    return 0;
}

}  // namespace

int RunHistoryCommand(int argc, char** argv) {
    CLI::App app{
        "Reads the sample history the server keeps: every completed sample of every counter, and the\n"
        "events that explain the time between them (communication lost and restored, polling and the\n"
        "program started and stopped). Times are ISO 8601, local without a zone (2026-12-10T08:00,\n"
        "2026-12-10 08:00:30, 2026-12-10) or with one (2026-12-10T07:00Z, 2026-12-10T08:00+01:00), or\n"
        "'now' and a span back from now (-30s, -90m, -8h, -7d).\n"
        "Exit status: 0 done, 1 the history cannot be read or is damaged, 2 a usage error.",
        "vok history"};
    app.require_subcommand(1);
    std::string db;
    app.add_option("--db", db, "the history file (default: the server's, " + DefaultHistoryFile() + ")");
    bool system = false;
    app.add_flag("--system", system,
                 std::string("the installed service's history (its setting in ") + kSystemRegistry + ", else " +
                     kSystemHistory + ")")
        ->excludes("--db");

    bool asJson = false;
    CLI::App* devices = app.add_subcommand("devices", "each device: port, address, first and last sample, count");
    devices->add_flag("--json", asJson, "print JSON");

    SamplesOptions so;
    CLI::App* samples = app.add_subcommand("samples", "one device's samples, oldest first (default: the last hour)");
    samples->add_option("DEVICE", so.device, "the device's name")->required();
    samples->add_option("--from", so.from, "the first time (default: an hour before --to)");
    samples->add_option("--to", so.to, "the last time (default: now)");
    samples->add_option("--bins", so.bins, "the bins shown, numbered from 1: 1,3-5 (default: all)");
    samples->add_flag("--csv", so.csv, "CSV with a header row (RFC 4180)");
    samples->add_flag("--json", so.asJson, "JSON: the samples and the events of the range");
    samples->add_flag("--utc", so.utc, "times in UTC instead of local time");

    ExportOptions eo;
    CLI::App* exportCmd = app.add_subcommand(
        "export",
        "every device's samples in a range to a CSV file (UTF-8 without a byte order mark, so that scripts\n"
        "read the first column's name as it stands; the column names are plain ASCII: 'um' for micrometres)");
    exportCmd->add_option("--from", eo.from, "the first time")->required();
    exportCmd->add_option("--to", eo.to, "the last time")->required();
    exportCmd->add_option("--csv", eo.file, "the file to write")->required();
    exportCmd
        ->add_option("--layout", eo.layout,
                     "rows: one row per sample and bin (default); columns: one row per sample, three columns per bin")
        ->check(CLI::IsMember({"rows", "columns"}));
    exportCmd->add_flag("--force", eo.force, "replace the file when it exists");

    std::string device, from, to;
    CLI::App* stats = app.add_subcommand(
        "stats", "per bin: count, min, mean, max and 95th percentile (nearest rank) of the raw and normalized counts");
    stats->add_option("DEVICE", device, "the device's name")->required();
    stats->add_option("--from", from, "the first time")->required();
    stats->add_option("--to", to, "the last time")->required();
    stats->add_flag("--json", asJson, "print JSON");

    CLI::App* check = app.add_subcommand("check", "the integrity check and the gaps; exit status 1 when damaged");
    check->add_flag("--json", asJson, "print JSON");

    std::string target;
    CLI::App* backup = app.add_subcommand("backup", "a consistent copy, safe while the server writes");
    backup->add_option("FILE", target, "the copy; an existing file is not replaced")->required();

    for (CLI::App* sub : {devices, samples, exportCmd, stats, check, backup}) sub->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kUsageError;
    }

    const std::string path = !db.empty() ? db : system ? SystemHistoryFile() : DefaultHistoryFile();
    try {
        if (backup->parsed()) return Backup(path, target);
        // Arguments that need no history are checked before it is opened.
        if (samples->parsed()) {
            RangeArgument(so.from, so.to);
            if (!so.bins.empty()) BinsArgument(so.bins);
        }
        if (exportCmd->parsed()) {
            RangeArgument(eo.from, eo.to);
            RefuseExisting(eo.file, eo.force, " (--force replaces it)");
        }
        if (stats->parsed()) RangeArgument(from, to);
        std::unique_ptr<history::HistoryReader> reader = OpenHistory(path);
        if (devices->parsed()) return Devices(*reader, asJson);
        if (samples->parsed()) return Samples(*reader, so);
        if (exportCmd->parsed()) return Export(*reader, eo);
        if (stats->parsed()) return Stats(*reader, device, from, to, asJson);
        if (check->parsed()) return Check(*reader, asJson);
    } catch (const Stop& stop) {
        std::fprintf(stderr, "vok history: %s\n", ValidUtf8(stop.message).c_str());
        return stop.status;
    }
    std::fputs("vok history: nothing to do (try 'vok history --help')\n", stderr);
    return kUsageError;
}
