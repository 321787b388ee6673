#include "HistoryServices.h"

#include "AddressSpace.h"
#include "Crypto.h"
#include "DaValues.h"
#include "IndexRange.h"
#include "Namespace0.h"
#include "ServiceCall.h"
#include "Session.h"

#include "history/HistoryReader.h"
#include "history/HistoryStore.h"
#include "history/SampleField.h"
#include "platform/OleAuto.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <mutex>

namespace ua {

namespace {

// DateTime counts 100 ns from 1601; the history keeps ms from 1970.
constexpr DateTime kUnixEpoch = 116444736000000000LL;
constexpr DateTime kTicksPerMs = 10000;
constexpr std::int64_t kEarliestMs = std::numeric_limits<std::int64_t>::min() / 2;
constexpr std::int64_t kLatestMs = std::numeric_limits<std::int64_t>::max() / 2;

// A client's time far outside any record is held to what the arithmetic
// below takes without overflow (some 12,000 years either side of 1970).
constexpr DateTime kFarest = std::int64_t{4000000000000000000};
DateTime Clamped(DateTime time) { return std::clamp(time, -kFarest, kFarest); }

std::int64_t FloorMs(DateTime time) {
    const DateTime since = Clamped(time) - kUnixEpoch;
    return since >= 0 ? since / kTicksPerMs : -((-since + kTicksPerMs - 1) / kTicksPerMs);
}
std::int64_t CeilMs(DateTime time) { return -FloorMs(2 * kUnixEpoch - Clamped(time)); }
DateTime ToDateTime(std::int64_t ms) {
    constexpr std::int64_t kFarestMs = kFarest / kTicksPerMs;
    return kUnixEpoch + std::clamp(ms, -kFarestMs, kFarestMs) * kTicksPerMs;
}

struct RawDetails {
    bool isReadModified = false;
    DateTime startTime = 0;
    DateTime endTime = 0;
    std::uint32_t numValuesPerNode = 0;
    bool returnBounds = false;
};

struct HistoryReadValueId {
    NodeId nodeId;
    std::string indexRange;
    QualifiedName dataEncoding;
    ByteString continuationPoint;
};

struct NodeResult {
    StatusCode status = status::Good;
    ByteString continuationPoint;
    bool hasData = false;
    std::vector<DataValue> values;
};

// One node's read as it goes on from call to call: the node, where its
// values are, the range in ms (both ends included) and its direction, and
// where the last page ended: its last value's time and how many values at
// that very time were handed out (several values may share a millisecond:
// a sample and a communication event).
struct RawQuery {
    NodeId node;
    HistorySource source;
    bool backward = false;
    std::int64_t fromMs = 0;
    std::int64_t toMs = -1;
    std::uint32_t pageSize = limits::kMaxHistoryValuesPerNode;
    // Values the client still wants over all pages when it named a number
    // and only one end of the range; 0: all the range holds.
    std::uint32_t wanted = 0;
    bool started = false;
    std::int64_t lastMs = 0;
    std::uint32_t atLast = 0;
};

// Reads the details of a raw read; Bad_InvalidTimestampArgument when they
// name no range (OPC 10000-11: two of start, end and count are needed).
StatusCode PlanRaw(const RawDetails& details, RawQuery& query) {
    const bool hasStart = details.startTime != 0;
    const bool hasEnd = details.endTime != 0;
    const std::uint32_t count = details.numValuesPerNode;
    query.pageSize = count == 0 ? limits::kMaxHistoryValuesPerNode
                                : std::min<std::uint32_t>(count, limits::kMaxHistoryValuesPerNode);
    if (hasStart && hasEnd) {
        if (details.startTime < details.endTime) {
            // Start included, end not.
            query.fromMs = CeilMs(details.startTime);
            query.toMs = CeilMs(details.endTime) - 1;
        } else if (details.startTime > details.endTime) {
            // Backwards: from the start (included) down to the end (not included).
            query.backward = true;
            query.toMs = FloorMs(details.startTime);
            query.fromMs = FloorMs(details.endTime) + 1;
        } else if ((details.startTime - kUnixEpoch) % kTicksPerMs == 0) {
            // The one value at exactly that time.
            query.fromMs = query.toMs = FloorMs(details.startTime);
        } else {
            query.fromMs = 1;
            query.toMs = 0;  // no record is stamped between two milliseconds
        }
        return status::Good;
    }
    if (count == 0 || (!hasStart && !hasEnd)) return status::BadInvalidTimestampArgument;
    query.wanted = count;
    if (hasStart) {
        query.fromMs = CeilMs(details.startTime);
        query.toMs = kLatestMs;
    } else {
        query.backward = true;
        query.fromMs = kEarliestMs;
        query.toMs = FloorMs(details.endTime);
    }
    return status::Good;
}

// A stored value in the tag's own type: Int32 counts, Boolean alarms,
// Double concentrations; converted as a DA read would when the tag's
// canonical type was set to another.
Variant TagValue(double value, const history::SampleField& field, std::uint16_t canonicalType) {
    Variant base = history::FieldIsBoolean(field)   ? Variant::Boolean(value != 0)
                   : history::FieldIsInteger(field) ? Variant::Int32(static_cast<std::int32_t>(value))
                                                    : Variant::Double(value);
    if (canonicalType == VT_EMPTY || canonicalType == VT_VARIANT) return base;
    std::optional<VARIANT> converted = ToDaValue(base, canonicalType);
    if (!converted) return base;
    Variant out = FromDaValue(*converted);
    VariantClear(&*converted);
    return out.IsNull() ? base : out;
}

void Stamp(DataValue& value, TimestampsToReturn which, DateTime time) {
    if (which == TimestampsToReturn::Source || which == TimestampsToReturn::Both) value.sourceTimestamp = time;
    if (which == TimestampsToReturn::Server || which == TimestampsToReturn::Both) value.serverTimestamp = time;
}

// One page of a node's values from where the query stands, the query moved
// on past them; more tells whether values remain. False with the reason when
// the database cannot be read.
bool ReadPage(history::HistoryReader& reader, RawQuery& query, TimestampsToReturn stamps,
              std::vector<DataValue>& page, bool& more, std::string& error) {
    page.clear();
    more = false;
    std::uint32_t take = query.pageSize;
    if (query.wanted != 0) take = std::min(take, query.wanted);
    std::int64_t from = query.fromMs;
    std::int64_t to = query.toMs;
    if (query.started) (query.backward ? to : from) = query.lastMs;
    if (from > to || take == 0) return true;

    const HistorySource& source = query.source;
    const bool isCommStatus = source.field.kind == history::SampleFieldKind::CommStatus;
    std::vector<DeviceEvent> events;
    for (DeviceEvent& event : reader.Events(source.device, from, to)) {
        if (event.device != source.device) continue;
        if (event.kind == DeviceEventKind::CommLost || (isCommStatus && event.kind == DeviceEventKind::CommRestored))
            events.push_back(std::move(event));
    }
    if (!reader.LastError().empty()) {
        error = reader.LastError();
        return false;
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const DeviceEvent& a, const DeviceEvent& b) { return a.timeMs < b.timeMs; });
    if (query.backward) std::reverse(events.begin(), events.end());

    // Values in the read's order; forwards a sample comes before an event of
    // the same millisecond, backwards after it. The first values at the
    // time the last page ended were handed out then and are passed over.
    std::vector<std::int64_t> times;
    std::uint32_t passedOver = 0;
    const std::size_t limit = static_cast<std::size_t>(take) + 1;
    auto add = [&](std::int64_t timeMs, DataValue value) {
        if (query.started && timeMs == query.lastMs && passedOver < query.atLast) {
            ++passedOver;
            return;
        }
        Stamp(value, stamps, ToDateTime(timeMs));
        page.push_back(std::move(value));
        times.push_back(timeMs);
    };
    auto addEvent = [&](const DeviceEvent& event) {
        DataValue value;
        if (isCommStatus) {
            value.value = TagValue(event.kind == DeviceEventKind::CommRestored ? 0 : event.commStatus, source.field,
                                   source.canonicalType);
        } else {
            value.status = status::BadNoCommunication;
        }
        add(event.timeMs, std::move(value));
    };
    std::size_t nextEvent = 0;
    auto eventComesFirst = [&](std::int64_t sampleMs) {
        const std::int64_t at = events[nextEvent].timeMs;
        return query.backward ? at >= sampleMs : at < sampleMs;
    };
    const bool read = reader.ForEachSample(
        source.device, from, to, 0, query.backward,
        [&](const SampleRecord& sample) {
            while (nextEvent < events.size() && page.size() < limit && eventComesFirst(sample.timeMs))
                addEvent(events[nextEvent++]);
            if (page.size() >= limit) return false;
            if (const std::optional<double> field = history::FieldValue(sample, source.field)) {
                DataValue value;
                value.value = TagValue(*field, source.field, source.canonicalType);
                add(sample.timeMs, std::move(value));
            }
            return page.size() < limit;
        },
        error);
    if (!read) return false;
    while (nextEvent < events.size() && page.size() < limit) addEvent(events[nextEvent++]);

    if (page.size() > take) {
        more = true;
        page.resize(take);
        times.resize(take);
    }
    if (!page.empty()) {
        const std::int64_t last = times.back();
        std::uint32_t atLast = 0;
        for (auto it = times.rbegin(); it != times.rend() && *it == last; ++it) ++atLast;
        if (query.started && last == query.lastMs) atLast += query.atLast;
        query.started = true;
        query.lastMs = last;
        query.atLast = atLast;
    }
    if (query.wanted != 0) {
        query.wanted -= static_cast<std::uint32_t>(page.size());
        if (query.wanted == 0) more = false;
    }
    return true;
}

// The session's history continuation points: the reads a client has not
// taken to their end. The oldest goes when a read needs one beyond the bound.
class HistoryPoints : public Session::Extension {
public:
    ByteString Keep(RawQuery query) {
        std::lock_guard lock(mutex_);
        while (points_.size() >= limits::kMaxHistoryContinuationPoints) points_.pop_front();
        ByteString id = crypto::RandomBytes(16);
        points_.push_back({id, std::move(query)});
        return id;
    }
    // The read the point names for that node; the point is used up.
    std::optional<RawQuery> Take(const ByteString& id, const NodeId& node) {
        std::lock_guard lock(mutex_);
        for (auto it = points_.begin(); it != points_.end(); ++it) {
            if (id.empty() || it->id != id) continue;
            if (!(it->query.node == node)) return std::nullopt;
            RawQuery query = std::move(it->query);
            points_.erase(it);
            return query;
        }
        return std::nullopt;
    }
    bool Release(const ByteString& id) {
        std::lock_guard lock(mutex_);
        for (auto it = points_.begin(); it != points_.end(); ++it) {
            if (id.empty() || it->id != id) continue;
            points_.erase(it);
            return true;
        }
        return false;
    }

private:
    struct Point {
        ByteString id;
        RawQuery query;
    };
    std::mutex mutex_;
    std::deque<Point> points_;
};

const int kHistoryPointsKey = 0;

HistoryPoints& PointsOf(Session& session) {
    return static_cast<HistoryPoints&>(
        session.Extend(&kHistoryPointsKey, [] { return std::make_unique<HistoryPoints>(); }));
}

NodeResult Failed(StatusCode code) {
    NodeResult result;
    result.status = code;
    return result;
}

// Whether the node is one whose past values can be asked for at all; Good
// with its source, or the status the node answers with.
StatusCode Resolve(const AddressSpace& space, const HistoryReadValueId& want, HistorySource& source) {
    if (!want.indexRange.empty()) {
        // The tags' values are scalars: no range of one is there.
        return IndexRange::Parse(want.indexRange) ? status::BadIndexRangeNoData : status::BadIndexRangeInvalid;
    }
    if (!want.dataEncoding.name.empty() && !(want.dataEncoding.ns == 0 && want.dataEncoding.name == "Default Binary"))
        return status::BadDataEncodingUnsupported;
    std::optional<HistorySource> found = space.HistorySourceOf(want.nodeId);
    if (!found) return space.Exists(want.nodeId) ? status::BadHistoryOperationInvalid : status::BadNodeIdUnknown;
    source = std::move(*found);
    return status::Good;
}

std::vector<NodeResult> ReadRaw(AddressSpace& space, Session& session, const RawDetails& details,
                                TimestampsToReturn stamps, const std::vector<HistoryReadValueId>& nodes) {
    std::vector<NodeResult> results(nodes.size());
    history::HistoryStore* store = history::ProgramHistory();
    if (store == nullptr || details.isReadModified) {
        // No history kept, or the modified values of one, which is never changed.
        for (NodeResult& result : results) result = Failed(status::BadHistoryOperationUnsupported);
        return results;
    }
    std::unique_ptr<history::HistoryReader> reader;
    std::string openError;
    HistoryPoints& points = PointsOf(session);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const HistoryReadValueId& want = nodes[i];
        HistorySource source;
        if (const StatusCode found = Resolve(space, want, source); found != status::Good) {
            results[i] = Failed(found);
            continue;
        }
        RawQuery query;
        if (!want.continuationPoint.empty()) {
            std::optional<RawQuery> kept = points.Take(want.continuationPoint, want.nodeId);
            if (!kept) {
                results[i] = Failed(status::BadContinuationPointInvalid);
                continue;
            }
            query = std::move(*kept);
            query.source = source;  // the tag as it is now
        } else {
            if (const StatusCode planned = PlanRaw(details, query); planned != status::Good) {
                results[i] = Failed(planned);
                continue;
            }
            query.node = want.nodeId;
            query.source = source;
        }
        if (reader == nullptr && openError.empty()) {
            reader = history::HistoryReader::Open(store->Options().path, openError);
            if (reader == nullptr && openError.empty()) openError = "not opened";
        }
        if (reader == nullptr) {
            // The file is not there yet or not readable: a failure, not an empty history.
            results[i] = Failed(status::BadResourceUnavailable);
            continue;
        }
        NodeResult& result = results[i];
        bool more = false;
        std::string error;
        if (!ReadPage(*reader, query, stamps, result.values, more, error)) {
            result = Failed(status::BadResourceUnavailable);
            continue;
        }
        result.hasData = true;
        if (more) {
            result.continuationPoint = points.Keep(std::move(query));
        } else if (result.values.empty()) {
            result.status = status::GoodNoData;
        }
    }
    return results;
}

void WriteResults(Writer& w, const std::vector<NodeResult>& results) {
    w.Array(results, [](Writer& out, const NodeResult& result) {
        out.StatusCodeValue(result.status);
        out.ByteStringValue(result.continuationPoint);
        if (!result.hasData) {
            out.ExtensionObjectValue(ExtensionObject{});
            return;
        }
        out.ExtensionObjectValue(EncodeExtensionObject(encoding::HistoryData, [&](Writer& data) {
            data.Array(result.values, [](Writer& o, const DataValue& value) { o.DataValueValue(value); });
        }));
    });
    WriteNoDiagnostics(w);
}

void HistoryRead(AddressSpace& space, ServiceCall& call, Reader& r) {
    const ExtensionObject details = r.ExtensionObjectValue();
    const std::uint32_t timestamps = r.UInt32();
    const bool release = r.Boolean();
    const auto nodes = r.Array<HistoryReadValueId>(
        [](Reader& in) {
            HistoryReadValueId id;
            id.nodeId = in.NodeIdValue();
            id.indexRange = in.String();
            id.dataEncoding = in.QualifiedNameValue();
            id.continuationPoint = in.ByteStringValue();
            return id;
        },
        12);
    if (const StatusCode count = OperationCountStatus(nodes.size(), limits::kMaxNodesPerHistoryReadData);
        IsBad(count)) {
        call.Fault(count);
        return;
    }
    // Past values carry the time they were taken: a read that wants no
    // time stamp at all is not one (OPC 10000-11).
    if (timestamps >= static_cast<std::uint32_t>(TimestampsToReturn::Neither)) {
        call.Fault(status::BadTimestampsToReturnInvalid);
        return;
    }
    const auto stamps = static_cast<TimestampsToReturn>(timestamps);
    std::vector<NodeResult> results(nodes.size());
    if (release) {
        HistoryPoints& points = PointsOf(*call.session);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const ByteString& point = nodes[i].continuationPoint;
            if (!point.empty() && !points.Release(point)) results[i] = Failed(status::BadContinuationPointInvalid);
        }
    } else {
        const NodeId& type = details.typeId;
        const bool binary = details.encoding == ExtensionObject::Encoding::Binary && type.ns == 0 &&
                            type.kind == NodeId::Kind::Numeric;
        StatusCode refusal = status::BadHistoryOperationInvalid;
        if (binary && type.numeric == encoding::ReadRawModifiedDetails) {
            RawDetails raw;
            bool decoded = true;
            try {
                const std::vector<std::uint8_t> body(details.body.begin(), details.body.end());
                Reader in(body);
                raw.isReadModified = in.Boolean();
                raw.startTime = in.DateTimeValue();
                raw.endTime = in.DateTimeValue();
                raw.numValuesPerNode = in.UInt32();
                raw.returnBounds = in.Boolean();
                in.ExpectEnd();
            } catch (const DecodeError&) {
                decoded = false;
            }
            if (decoded) {
                results = ReadRaw(space, *call.session, raw, stamps, nodes);
                refusal = status::Good;
            }
        } else if (binary && (type.numeric == encoding::ReadEventDetails ||
                              type.numeric == encoding::ReadProcessedDetails ||
                              type.numeric == encoding::ReadAtTimeDetails)) {
            refusal = status::BadHistoryOperationUnsupported;
        }
        if (refusal != status::Good)
            for (NodeResult& result : results) result = Failed(refusal);
    }
    call.Reply([&](Writer& w) { WriteResults(w, results); });
}

}  // namespace

void RegisterHistoryServices(ServiceTable& table, AddressSpace& space) {
    // Every signed-in user reads history as it reads present values: a
    // viewer is enough, so the node's HistoryRead access is the only check.
    table.Register(encoding::HistoryReadRequest, ServiceTable::Needs::ActivatedSession,
                   [&space](ServiceCall& call, Reader& body) {
                       ServeInSession(call, [&] { HistoryRead(space, call, body); });
                   });
}

std::string HistoryStatusText(const history::HistoryStore* store) {
    return store == nullptr ? "Off" : history::DescribeStatus(store->Status());
}

}  // namespace ua
