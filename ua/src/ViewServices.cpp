#include "ViewServices.h"

#include "AddressSpace.h"
#include "Namespace0.h"
#include "ServiceCall.h"
#include "Session.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <random>

namespace ua {

namespace {

// Which fields of a ReferenceDescription the client wants filled.
namespace result {
constexpr std::uint32_t ReferenceType = 1;
constexpr std::uint32_t IsForward = 2;
constexpr std::uint32_t NodeClass = 4;
constexpr std::uint32_t BrowseName = 8;
constexpr std::uint32_t DisplayName = 16;
constexpr std::uint32_t TypeDefinition = 32;
}  // namespace result

constexpr std::uint32_t kNoRemainingPath = 0xFFFFFFFFu;
// Nodes one step of a browse path may reach before the translation gives up:
// a path through every tag of a large configuration is not a path.
constexpr std::size_t kMaxPathTargets = 1000;

struct BrowseDescription {
    NodeId nodeId;
    std::uint32_t direction = 0;
    NodeId referenceTypeId;
    bool includeSubtypes = true;
    std::uint32_t nodeClassMask = 0;
    std::uint32_t resultMask = 0;
};

void WriteReference(Writer& w, const ReferenceDescription& ref, std::uint32_t mask) {
    w.NodeIdValue((mask & result::ReferenceType) != 0 ? ref.referenceTypeId : NodeId{});
    w.Boolean((mask & result::IsForward) != 0 ? ref.isForward : true);
    w.ExpandedNodeIdValue(ref.nodeId);
    w.QualifiedNameValue((mask & result::BrowseName) != 0 ? ref.browseName : QualifiedName{});
    w.LocalizedTextValue((mask & result::DisplayName) != 0 ? ref.displayName : LocalizedText{});
    w.Int32((mask & result::NodeClass) != 0 ? static_cast<std::int32_t>(ref.nodeClass) : 0);
    w.ExpandedNodeIdValue((mask & result::TypeDefinition) != 0 ? ref.typeDefinition : ExpandedNodeId{});
}

struct BrowseResult {
    StatusCode status = status::Good;
    ByteString continuationPoint;
    std::vector<ReferenceDescription> references;
    std::uint32_t resultMask = 0;
};

void WriteBrowseResults(Writer& w, const std::vector<BrowseResult>& results) {
    w.Array(results, [](Writer& out, const BrowseResult& r) {
        out.StatusCodeValue(r.status);
        out.ByteStringValue(r.continuationPoint);
        out.Array(r.references, [&](Writer& o, const ReferenceDescription& ref) { WriteReference(o, ref, r.resultMask); });
    });
    WriteNoDiagnostics(w);
}

// The session's browse continuation points: what is left of each browse
// whose references did not fit the client's maximum.
class ContinuationPoints : public Session::Extension {
public:
    struct Point {
        ByteString id;
        std::vector<ReferenceDescription> rest;
        std::size_t next = 0;
        std::uint32_t maxReferences = 0;
        std::uint32_t resultMask = 0;
    };

    // Keeps what is left; false when every point is taken.
    bool Keep(Point point, ByteString& id) {
        std::lock_guard lock(mutex_);
        if (points_.size() >= limits::kMaxBrowseContinuationPoints) return false;
        id.resize(16);
        for (char& c : id) c = static_cast<char>(random_());
        point.id = id;
        points_.push_back(std::move(point));
        return true;
    }

    // The next references of the point; the point goes once it has given
    // them all (its id in the result is then empty).
    BrowseResult Next(const ByteString& id) {
        std::lock_guard lock(mutex_);
        BrowseResult out;
        auto it = Find(id);
        if (it == points_.end()) {
            out.status = status::BadContinuationPointInvalid;
            return out;
        }
        Point& point = *it;
        out.resultMask = point.resultMask;
        const std::size_t left = point.rest.size() - point.next;
        const std::size_t take = point.maxReferences == 0 ? left : std::min<std::size_t>(left, point.maxReferences);
        out.references.assign(point.rest.begin() + static_cast<std::ptrdiff_t>(point.next),
                              point.rest.begin() + static_cast<std::ptrdiff_t>(point.next + take));
        point.next += take;
        if (point.next < point.rest.size()) {
            out.continuationPoint = point.id;
        } else {
            points_.erase(it);
        }
        return out;
    }

    bool Release(const ByteString& id) {
        std::lock_guard lock(mutex_);
        auto it = Find(id);
        if (it == points_.end()) return false;
        points_.erase(it);
        return true;
    }

private:
    std::deque<Point>::iterator Find(const ByteString& id) {
        for (auto it = points_.begin(); it != points_.end(); ++it)
            if (!id.empty() && it->id == id) return it;
        return points_.end();
    }

    std::mutex mutex_;
    std::deque<Point> points_;
    std::mt19937_64 random_{std::random_device{}()};
};

const int kContinuationKey = 0;

ContinuationPoints& PointsOf(Session& session) {
    return static_cast<ContinuationPoints&>(
        session.Extend(&kContinuationKey, [] { return std::make_unique<ContinuationPoints>(); }));
}

// The view of a request must be the whole address space: there are no views.
bool ReadViewIsNull(Reader& r) {
    const NodeId viewId = r.NodeIdValue();
    r.DateTimeValue();
    r.UInt32();
    return viewId.IsNull();
}

BrowseResult BrowseOne(AddressSpace& space, Session& session, const BrowseDescription& want,
                       std::uint32_t maxReferences) {
    BrowseResult out;
    out.resultMask = want.resultMask;
    BrowseFilter filter;
    filter.direction = static_cast<BrowseDirection>(want.direction);
    filter.referenceTypeId = want.referenceTypeId;
    filter.includeSubtypes = want.includeSubtypes;
    filter.nodeClassMask = want.nodeClassMask;
    std::vector<ReferenceDescription> references;
    out.status = space.Browse(want.nodeId, filter, references);
    if (out.status != status::Good) return out;
    if (maxReferences == 0 || references.size() <= maxReferences) {
        out.references = std::move(references);
        return out;
    }
    ContinuationPoints::Point point;
    point.maxReferences = maxReferences;
    point.resultMask = want.resultMask;
    point.next = maxReferences;
    out.references.assign(references.begin(), references.begin() + maxReferences);
    point.rest = std::move(references);
    if (!PointsOf(session).Keep(std::move(point), out.continuationPoint)) {
        out.references.clear();
        out.status = status::BadNoContinuationPoints;
    }
    return out;
}

void Browse(AddressSpace& space, ServiceCall& call, Reader& r) {
    if (!ReadViewIsNull(r)) {
        call.Fault(status::BadViewIdUnknown);
        return;
    }
    const std::uint32_t maxReferences = r.UInt32();
    const auto wants = r.Array<BrowseDescription>(
        [](Reader& in) {
            BrowseDescription d;
            d.nodeId = in.NodeIdValue();
            d.direction = in.UInt32();
            d.referenceTypeId = in.NodeIdValue();
            d.includeSubtypes = in.Boolean();
            d.nodeClassMask = in.UInt32();
            d.resultMask = in.UInt32();
            return d;
        },
        14);
    if (const StatusCode count = OperationCountStatus(wants.size(), limits::kMaxNodesPerBrowse); IsBad(count)) {
        call.Fault(count);
        return;
    }
    std::vector<BrowseResult> results;
    results.reserve(wants.size());
    for (const BrowseDescription& want : wants) results.push_back(BrowseOne(space, *call.session, want, maxReferences));
    call.Reply([&](Writer& w) { WriteBrowseResults(w, results); });
}

void BrowseNext(ServiceCall& call, Reader& r) {
    const bool release = r.Boolean();
    const auto ids = r.Array<ByteString>([](Reader& in) { return in.ByteStringValue(); }, 4);
    if (const StatusCode count = OperationCountStatus(ids.size(), limits::kMaxNodesPerBrowse); IsBad(count)) {
        call.Fault(count);
        return;
    }
    ContinuationPoints& points = PointsOf(*call.session);
    std::vector<BrowseResult> results;
    results.reserve(ids.size());
    for (const ByteString& id : ids) {
        if (release) {
            BrowseResult out;
            if (!points.Release(id)) out.status = status::BadContinuationPointInvalid;
            results.push_back(std::move(out));
        } else {
            results.push_back(points.Next(id));
        }
    }
    call.Reply([&](Writer& w) { WriteBrowseResults(w, results); });
}

struct PathElement {
    NodeId referenceTypeId;
    bool isInverse = false;
    bool includeSubtypes = true;
    QualifiedName targetName;
};

struct PathResult {
    StatusCode status = status::Good;
    std::vector<NodeId> targets;
};

PathResult Translate(AddressSpace& space, const NodeId& start, const std::vector<PathElement>& elements) {
    PathResult out;
    if (elements.empty()) {
        out.status = status::BadNothingToDo;
        return out;
    }
    if (!space.Exists(start)) {
        out.status = status::BadNodeIdUnknown;
        return out;
    }
    std::vector<NodeId> at{start};
    for (const PathElement& element : elements) {
        if (element.targetName.name.empty()) {
            out.status = status::BadBrowseNameInvalid;
            return out;
        }
        if (!element.referenceTypeId.IsNull() && !space.IsReferenceType(element.referenceTypeId)) {
            out.status = status::BadNoMatch;
            return out;
        }
        BrowseFilter filter;
        filter.direction = element.isInverse ? BrowseDirection::Inverse : BrowseDirection::Forward;
        filter.referenceTypeId = element.referenceTypeId;
        filter.includeSubtypes = element.includeSubtypes;
        std::vector<NodeId> next;
        for (const NodeId& node : at) {
            std::vector<ReferenceDescription> references;
            if (space.Browse(node, filter, references) != status::Good) continue;
            for (const ReferenceDescription& ref : references) {
                if (!(ref.browseName == element.targetName)) continue;
                if (std::find(next.begin(), next.end(), ref.nodeId.node) != next.end()) continue;
                if (next.size() >= kMaxPathTargets) break;
                next.push_back(ref.nodeId.node);
            }
        }
        if (next.empty()) {
            out.status = status::BadNoMatch;
            return out;
        }
        at = std::move(next);
    }
    out.targets = std::move(at);
    return out;
}

void TranslateBrowsePaths(AddressSpace& space, ServiceCall& call, Reader& r) {
    struct Path {
        NodeId start;
        std::vector<PathElement> elements;
    };
    const auto paths = r.Array<Path>(
        [](Reader& in) {
            Path path;
            path.start = in.NodeIdValue();
            path.elements = in.Array<PathElement>(
                [](Reader& e) {
                    PathElement element;
                    element.referenceTypeId = e.NodeIdValue();
                    element.isInverse = e.Boolean();
                    element.includeSubtypes = e.Boolean();
                    element.targetName = e.QualifiedNameValue();
                    return element;
                },
                10);
            if (path.elements.size() > limits::kMaxRelativePathElements)
                throw DecodeError(status::BadTooManyOperations, "browse path too long");
            return path;
        },
        6);
    if (const StatusCode count = OperationCountStatus(paths.size(), limits::kMaxNodesPerTranslate); IsBad(count)) {
        call.Fault(count);
        return;
    }
    std::vector<PathResult> results;
    results.reserve(paths.size());
    for (const Path& path : paths) results.push_back(Translate(space, path.start, path.elements));
    call.Reply([&](Writer& w) {
        w.Array(results, [](Writer& out, const PathResult& result) {
            out.StatusCodeValue(result.status);
            out.Array(result.targets, [](Writer& o, const NodeId& target) {
                o.ExpandedNodeIdValue(ExpandedNodeId{target, "", 0});
                o.UInt32(kNoRemainingPath);
            });
        });
        WriteNoDiagnostics(w);
    });
}

void RegisterNodes(ServiceCall& call, Reader& r) {
    const auto nodes = r.Array<NodeId>([](Reader& in) { return in.NodeIdValue(); }, 2);
    if (const StatusCode count = OperationCountStatus(nodes.size(), limits::kMaxNodesPerRegisterNodes); IsBad(count)) {
        call.Fault(count);
        return;
    }
    // Every node is looked up afresh at each call anyway: the ids are their
    // own registered ids.
    call.Reply([&](Writer& w) { w.Array(nodes, [](Writer& out, const NodeId& id) { out.NodeIdValue(id); }); });
}

void UnregisterNodes(ServiceCall& call, Reader& r) {
    const auto nodes = r.Array<NodeId>([](Reader& in) { return in.NodeIdValue(); }, 2);
    if (const StatusCode count = OperationCountStatus(nodes.size(), limits::kMaxNodesPerRegisterNodes); IsBad(count)) {
        call.Fault(count);
        return;
    }
    call.Reply([](Writer&) {});
}

}  // namespace

void RegisterViewServices(ServiceTable& table, AddressSpace& space) {
    using Needs = ServiceTable::Needs;
    table.Register(encoding::BrowseRequest, Needs::ActivatedSession, [&space](ServiceCall& call, Reader& body) {
        ServeInSession(call, [&] { Browse(space, call, body); });
    });
    table.Register(encoding::BrowseNextRequest, Needs::ActivatedSession,
                   [](ServiceCall& call, Reader& body) { ServeInSession(call, [&] { BrowseNext(call, body); }); });
    table.Register(encoding::TranslateBrowsePathsToNodeIdsRequest, Needs::ActivatedSession,
                   [&space](ServiceCall& call, Reader& body) {
                       ServeInSession(call, [&] { TranslateBrowsePaths(space, call, body); });
                   });
    table.Register(encoding::RegisterNodesRequest, Needs::ActivatedSession,
                   [](ServiceCall& call, Reader& body) { ServeInSession(call, [&] { RegisterNodes(call, body); }); });
    table.Register(encoding::UnregisterNodesRequest, Needs::ActivatedSession,
                   [](ServiceCall& call, Reader& body) { ServeInSession(call, [&] { UnregisterNodes(call, body); }); });
}

}  // namespace ua
