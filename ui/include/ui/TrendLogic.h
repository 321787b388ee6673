#pragma once
// What the trend window shows, without its widgets: the time range a choice
// stands for, the points of one curve per particle size (broken into gap-free
// runs, thinned to a minimum and a maximum per pixel column for long ranges),
// the hover text of a sample and the CSV rows of an export.
//
// Curves are keyed by the bin's lower size rather than by bin number, so a
// device whose bins were reconfigured during the range shows "≥0.5 µm" as one
// curve and never joins the counts of two different sizes.

#include "model/SampleRecord.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trend {

enum class RangeChoice { LastHour, Shift, Day, Week, FromTo };

struct TimeRange {
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    bool live = false;  // follows the clock: new samples are added as they come
};

// The range of a choice at nowMs; FromTo takes fromMs..toMs as typed. False
// with the reason when the typed range is empty or reversed.
bool RangeFor(RangeChoice choice, std::int64_t nowMs, std::int64_t fromMs, std::int64_t toMs, TimeRange& range,
              std::string& error);

enum class ValueKind { CumulativeNormalized, CumulativeRaw };

// The curve's value of a bin in a sample: counts per ml or raw counts.
double BinValue(const SampleRecord& sample, std::size_t bin, ValueKind kind);
// "≥0.3 µm", "≥10 µm".
std::string SizeLabel(double sizeUm);
// The unit of the value axis.
std::string ValueAxisTitle(ValueKind kind);

struct Point {
    std::int64_t timeMs = 0;
    double value = 0;
    bool operator==(const Point&) const = default;
};

struct Curve {
    double sizeUm = 0;
    std::string label;
    std::vector<std::vector<Point>> runs;  // each drawn as one line; a new run after a gap
    std::size_t PointCount() const;
};

// Whether an event ends a run: the device stopped answering or polling, or
// the program stopped or started (nothing was recorded in between).
bool BreaksRun(DeviceEventKind kind);

// Builds the curves from a device's samples in time order, as the reader
// hands them, without keeping the samples: memory stays bounded by the pixel
// columns however long the range. Two samples further apart than twice the
// larger of their intervals, or with a run-breaking event between them,
// start a new run in every curve. With columns > 0 the points of one column
// (a bucket of bucketMs, aligned to the epoch so that live additions fall
// into the same buckets) are thinned to their minimum and maximum, in time
// order, so spikes stay visible; a column's width below a sample's
// interval keeps every sample.
class CurveBuilder {
public:
    static constexpr std::size_t kMaxCurves = 32;

    CurveBuilder(ValueKind kind, std::int64_t spanMs, int columns);

    // Events may come in any order and before or after the samples they
    // separate, as long as they come before the sample that follows them.
    void AddEvent(const DeviceEvent& event);
    // Samples older than the last one added are ignored (false).
    bool AddSample(const SampleRecord& sample);
    // The curves as they stand, smallest size first.
    std::vector<Curve> Curves() const;
    // Drops points before fromMs (a live range slides on).
    void DropBefore(std::int64_t fromMs);

    std::int64_t LastSampleMs() const { return lastMs_; }
    std::size_t SampleCount() const { return samples_; }
    std::int64_t BucketMs() const { return bucketMs_; }

private:
    struct Bucket {
        std::int64_t index = 0;
        bool open = false;
        Point first, min, max, last;
        int count = 0;
    };
    struct Series {
        double sizeUm = 0;
        std::vector<std::vector<Point>> runs;
        Bucket bucket;
        std::uint64_t run = 0;  // the run its last vector belongs to
    };
    Series* SeriesOf(double sizeUm);
    void AddPoint(Series& series, const Point& point);
    static void Emit(std::vector<Point>& run, const Bucket& bucket);
    bool GapBefore(const SampleRecord& sample) const;

    ValueKind kind_;
    std::int64_t bucketMs_ = 0;
    std::vector<Series> series_;
    std::vector<std::int64_t> breaks_;  // times of run-breaking events, sorted
    std::int64_t lastMs_ = 0;
    std::int32_t lastInterval_ = 0;
    std::size_t samples_ = 0;
    std::uint64_t run_ = 1;  // the current run's number, shared by all curves
};

// The sample nearest to timeMs of the two around it (either may be missing).
std::optional<SampleRecord> Nearest(const std::optional<SampleRecord>& before,
                                    const std::optional<SampleRecord>& after, std::int64_t timeMs);
// The hover text of a sample: its local time, interval and flow, then one
// line per bin with the value shown (and the raw count beside a normalised
// value), and the comm status or counter alarm when not all is well.
std::string HoverText(const SampleRecord& sample, ValueKind kind);

// An export: the header for the sizes of all the exported samples, then one
// row per sample. Columns: time UTC, time local, then per size its raw count
// and its counts per ml; cells stay empty for a size the sample lacks.
class CsvTable {
public:
    explicit CsvTable(std::vector<double> sizesUm);
    std::string Header() const;
    std::string Row(const SampleRecord& sample) const;
    // The sizes of the samples, smallest first, each once.
    static std::vector<double> SizesOf(const std::vector<double>& seen, const SampleRecord& sample);

private:
    std::vector<double> sizes_;
};


}  // namespace trend
