#include "ui/TrendLogic.h"

#include "history/TimeText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace trend {

namespace {

constexpr std::int64_t kHourMs = 3600 * 1000;

// The shortest text that reads back as the same double.
std::string Number(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

bool SameSize(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(a)); }

// Floor division, so that buckets before 1970 (never expected) still align.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// "2026-12-10 08:00:30" from the local ISO text.
std::string LocalSeconds(std::int64_t ms) {
    std::string text = history::FormatLocal(ms);
    if (text.size() >= 19) {
        text.resize(19);
        if (text[10] == 'T') text[10] = ' ';
    }
    return text;
}

}  // namespace

bool RangeFor(RangeChoice choice, std::int64_t nowMs, std::int64_t fromMs, std::int64_t toMs, TimeRange& range,
              std::string& error) {
    std::int64_t span = 0;
    switch (choice) {
    case RangeChoice::LastHour: span = kHourMs; break;
    case RangeChoice::Shift: span = 8 * kHourMs; break;
    case RangeChoice::Day: span = 24 * kHourMs; break;
    case RangeChoice::Week: span = 7 * 24 * kHourMs; break;
    case RangeChoice::FromTo:
        if (fromMs >= toMs) {
            error = "The start of the range must lie before its end.";
            return false;
        }
        range = TimeRange{fromMs, toMs, false};
        return true;
    }
    range = TimeRange{nowMs - span, nowMs, true};
    return true;
}

double BinValue(const SampleRecord& sample, std::size_t bin, ValueKind kind) {
    if (bin >= sample.cumulativeRaw.size()) return 0;
    return kind == ValueKind::CumulativeRaw ? static_cast<double>(sample.cumulativeRaw[bin])
                                            : sample.CumulativeNormalized(bin);
}

std::string SizeLabel(double sizeUm) { return "\u2265" + Number(sizeUm) + " \u00b5m"; }

std::string ValueAxisTitle(ValueKind kind) {
    return kind == ValueKind::CumulativeRaw ? "Counts per sample (cumulative)" : "Counts per ml (cumulative)";
}

std::size_t Curve::PointCount() const {
    std::size_t n = 0;
    for (const auto& run : runs) n += run.size();
    return n;
}

bool BreaksRun(DeviceEventKind kind) {
    switch (kind) {
    case DeviceEventKind::CommLost:
    case DeviceEventKind::PollStopped:
    case DeviceEventKind::ProgramStarted:
    case DeviceEventKind::ProgramStopped: return true;
    case DeviceEventKind::CommRestored:
    case DeviceEventKind::PollStarted: return false;
    }
    return false;
}

CurveBuilder::CurveBuilder(ValueKind kind, std::int64_t spanMs, int columns) : kind_(kind) {
    bucketMs_ = columns > 0 && spanMs > 0 ? std::max<std::int64_t>(1, spanMs / columns) : 0;
}

void CurveBuilder::AddEvent(const DeviceEvent& event) {
    if (!BreaksRun(event.kind)) return;
    breaks_.insert(std::upper_bound(breaks_.begin(), breaks_.end(), event.timeMs), event.timeMs);
}

bool CurveBuilder::GapBefore(const SampleRecord& sample) const {
    if (samples_ == 0) return false;
    const std::int64_t interval = std::max(sample.intervalSeconds, lastInterval_);
    if (interval > 0 && sample.timeMs - lastMs_ > 2 * interval * 1000) return true;
    // An event at the previous sample's time came after it (a sample is
    // recorded when it ends); one at this sample's time ends the run after it.
    const auto at = std::lower_bound(breaks_.begin(), breaks_.end(), lastMs_);
    return at != breaks_.end() && *at < sample.timeMs;
}

CurveBuilder::Series* CurveBuilder::SeriesOf(double sizeUm) {
    for (Series& s : series_) {
        if (SameSize(s.sizeUm, sizeUm)) return &s;
    }
    if (series_.size() >= kMaxCurves) return nullptr;
    Series s;
    s.sizeUm = sizeUm;
    s.run = 0;  // no run yet: the first point opens one
    const auto at = std::upper_bound(series_.begin(), series_.end(), sizeUm,
                                     [](double size, const Series& other) { return size < other.sizeUm; });
    return &*series_.insert(at, std::move(s));
}

void CurveBuilder::Emit(std::vector<Point>& run, const Bucket& bucket) {
    if (!bucket.open) return;
    if (bucket.count <= 2) {
        run.push_back(bucket.first);
        if (bucket.count == 2) run.push_back(bucket.last);
        return;
    }
    // The column's extremes in their own order, each once.
    const Point& a = bucket.min.timeMs <= bucket.max.timeMs ? bucket.min : bucket.max;
    const Point& b = bucket.min.timeMs <= bucket.max.timeMs ? bucket.max : bucket.min;
    run.push_back(a);
    if (!(b == a)) run.push_back(b);
}

void CurveBuilder::AddPoint(Series& series, const Point& point) {
    const std::int64_t index = bucketMs_ > 0 ? FloorDiv(point.timeMs, bucketMs_) : 0;
    Bucket& bucket = series.bucket;
    const bool newRun = series.run != run_;
    if (newRun || bucketMs_ == 0 || bucket.index != index) {
        if (!series.runs.empty()) Emit(series.runs.back(), bucket);
        bucket = Bucket{};
        if (newRun) {
            series.runs.emplace_back();
            series.run = run_;
        }
    }
    if (bucketMs_ == 0) {
        series.runs.back().push_back(point);
        return;
    }
    if (!bucket.open) {
        bucket.open = true;
        bucket.index = index;
        bucket.first = bucket.min = bucket.max = point;
    }
    if (point.value < bucket.min.value) bucket.min = point;
    if (point.value > bucket.max.value) bucket.max = point;
    bucket.last = point;
    ++bucket.count;
}

bool CurveBuilder::AddSample(const SampleRecord& sample) {
    if (samples_ > 0 && sample.timeMs <= lastMs_) return false;
    if (GapBefore(sample)) ++run_;
    const std::size_t bins = std::min(sample.binSizes.size(), sample.cumulativeRaw.size());
    for (std::size_t b = 0; b < bins; ++b) {
        if (Series* series = SeriesOf(sample.binSizes[b])) AddPoint(*series, Point{sample.timeMs, BinValue(sample, b, kind_)});
    }
    lastMs_ = sample.timeMs;
    lastInterval_ = sample.intervalSeconds;
    ++samples_;
    return true;
}

std::vector<Curve> CurveBuilder::Curves() const {
    std::vector<Curve> curves;
    curves.reserve(series_.size());
    for (const Series& s : series_) {
        Curve curve;
        curve.sizeUm = s.sizeUm;
        curve.label = SizeLabel(s.sizeUm);
        curve.runs = s.runs;
        if (!curve.runs.empty()) Emit(curve.runs.back(), s.bucket);
        std::erase_if(curve.runs, [](const std::vector<Point>& run) { return run.empty(); });
        curves.push_back(std::move(curve));
    }
    return curves;
}

void CurveBuilder::DropBefore(std::int64_t fromMs) {
    for (Series& s : series_) {
        for (auto& run : s.runs) std::erase_if(run, [&](const Point& p) { return p.timeMs < fromMs; });
        // The current run stays even when empty: its open bucket belongs to it.
        if (s.runs.size() > 1) {
            const std::size_t keepLast = s.runs.size() - 1;
            std::vector<std::vector<Point>> kept;
            for (std::size_t i = 0; i < s.runs.size(); ++i) {
                if (!s.runs[i].empty() || i == keepLast) kept.push_back(std::move(s.runs[i]));
            }
            s.runs = std::move(kept);
        }
        if (s.bucket.open && s.bucket.last.timeMs < fromMs) s.bucket = Bucket{};
    }
    breaks_.erase(breaks_.begin(), std::lower_bound(breaks_.begin(), breaks_.end(), std::min(fromMs, lastMs_)));
}

std::optional<SampleRecord> Nearest(const std::optional<SampleRecord>& before, const std::optional<SampleRecord>& after,
                                    std::int64_t timeMs) {
    if (!before) return after;
    if (!after) return before;
    const std::int64_t db = timeMs >= before->timeMs ? timeMs - before->timeMs : before->timeMs - timeMs;
    const std::int64_t da = after->timeMs >= timeMs ? after->timeMs - timeMs : timeMs - after->timeMs;
    return da < db ? after : before;
}

std::string HoverText(const SampleRecord& sample, ValueKind kind) {
    char line[160];
    std::snprintf(line, sizeof line, "%s  (%d s, %.6g ml/min)", LocalSeconds(sample.timeMs).c_str(),
                  static_cast<int>(sample.intervalSeconds), sample.flow);
    std::string text = line;
    const std::size_t bins = std::min(sample.binSizes.size(), sample.cumulativeRaw.size());
    for (std::size_t b = 0; b < bins; ++b) {
        if (kind == ValueKind::CumulativeRaw) {
            std::snprintf(line, sizeof line, "\n%s: %d", SizeLabel(sample.binSizes[b]).c_str(),
                          static_cast<int>(sample.cumulativeRaw[b]));
        } else {
            std::snprintf(line, sizeof line, "\n%s: %.4g /ml (%d counts)", SizeLabel(sample.binSizes[b]).c_str(),
                          sample.CumulativeNormalized(b), static_cast<int>(sample.cumulativeRaw[b]));
        }
        text += line;
    }
    if (sample.commStatus != 0) {
        text += sample.commStatus == 2 ? "\nComm status: address conflict" : "\nComm status: communication failure";
    }
    if (sample.CounterAlarm()) {
        std::snprintf(line, sizeof line, "\nCounter alarm (status 0x%02X)", static_cast<unsigned>(sample.counterFlags));
        text += line;
    }
    return text;
}

CsvTable::CsvTable(std::vector<double> sizesUm) : sizes_(std::move(sizesUm)) {
    std::sort(sizes_.begin(), sizes_.end());
    sizes_.erase(std::unique(sizes_.begin(), sizes_.end(), SameSize), sizes_.end());
}

std::string CsvTable::Header() const {
    std::string text = "Time UTC,Time Local";
    for (double size : sizes_) {
        const std::string label = SizeLabel(size);
        text += "," + label + " Raw," + label + " per ml";
    }
    return text;
}

std::string CsvTable::Row(const SampleRecord& sample) const {
    std::string text = history::FormatUtc(sample.timeMs) + "," + history::FormatLocal(sample.timeMs);
    const std::size_t bins = std::min(sample.binSizes.size(), sample.cumulativeRaw.size());
    for (double size : sizes_) {
        std::size_t bin = bins;
        for (std::size_t b = 0; b < bins; ++b) {
            if (SameSize(sample.binSizes[b], size)) {
                bin = b;
                break;
            }
        }
        if (bin == bins) {
            text += ",,";
            continue;
        }
        text += "," + std::to_string(sample.cumulativeRaw[bin]) + "," + Number(sample.CumulativeNormalized(bin));
    }
    return text;
}

std::vector<double> CsvTable::SizesOf(const std::vector<double>& seen, const SampleRecord& sample) {
    std::vector<double> sizes = seen;
    const std::size_t bins = std::min(sample.binSizes.size(), sample.cumulativeRaw.size());
    for (std::size_t b = 0; b < bins; ++b) {
        const double size = sample.binSizes[b];
        if (std::none_of(sizes.begin(), sizes.end(), [&](double s) { return SameSize(s, size); })) sizes.push_back(size);
    }
    std::sort(sizes.begin(), sizes.end());
    return sizes;
}

}  // namespace trend
