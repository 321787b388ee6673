#pragma once
// The nodes this server shows: namespace 0's standard nodes (the Server
// object, types and reference types) built in once, and namespace 1, the
// configuration's devices, tag groups and tags, looked up in the
// configuration as it is at the time of each call, so that devices and tags
// that come and go appear and disappear without a rebuild.

#include "ServerInfo.h"
#include "history/SampleField.h"
#include "ua/Types.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ua {

class Session;

enum class TimestampsToReturn : std::uint32_t { Source = 0, Server = 1, Both = 2, Neither = 3, Invalid = 4 };

struct ReadValueId {
    NodeId nodeId;
    std::uint32_t attributeId = 13;
    std::string indexRange;
    QualifiedName dataEncoding;
};

struct WriteValue {
    NodeId nodeId;
    std::uint32_t attributeId = 13;
    std::string indexRange;
    DataValue value;
};

enum class BrowseDirection : std::uint32_t { Forward = 0, Inverse = 1, Both = 2 };

// Which references of a node a Browse wants (the result mask is the
// encoder's business).
struct BrowseFilter {
    BrowseDirection direction = BrowseDirection::Forward;
    NodeId referenceTypeId;  // null: all
    bool includeSubtypes = true;
    std::uint32_t nodeClassMask = 0;  // 0: all
};

struct ReferenceDescription {
    NodeId referenceTypeId;
    bool isForward = true;
    ExpandedNodeId nodeId;
    QualifiedName browseName;
    LocalizedText displayName;
    NodeClass nodeClass = NodeClass::Unspecified;
    ExpandedNodeId typeDefinition;
};

// A counter device's tag whose past values the history keeps: the device's
// name, under which its samples are stored, the value of a sample the tag
// carries, and the tag's canonical VARTYPE, which past values take as the
// present one does.
struct HistorySource {
    std::string device;
    history::SampleField field;
    std::uint16_t canonicalType = 0;
};

class AddressSpace {
public:
    explicit AddressSpace(const ServerInfo& info);
    ~AddressSpace();
    AddressSpace(const AddressSpace&) = delete;
    AddressSpace& operator=(const AddressSpace&) = delete;

    const ServerInfo& Info() const;

    // Reads attributes for the session, in one pass: the values of tags come
    // through one read of the session's DA objects. Each result carries its
    // status (Bad_NodeIdUnknown, Bad_AttributeIdInvalid, Bad_IndexRangeInvalid ...).
    std::vector<DataValue> Read(Session& session, const std::vector<ReadValueId>& nodes,
                                TimestampsToReturn timestamps, double maxAge);

    // Writes the Value attributes of tags through the session's DA objects;
    // one status per node.
    std::vector<StatusCode> Write(Session& session, const std::vector<WriteValue>& nodes);

    // The node's references the filter selects, each with its target's
    // names, class and type; Bad_NodeIdUnknown, Bad_ReferenceTypeIdInvalid
    // or Bad_BrowseDirectionInvalid instead.
    StatusCode Browse(const NodeId& node, const BrowseFilter& filter, std::vector<ReferenceDescription>& out) const;
    // Whether the node is a reference type this server knows.
    bool IsReferenceType(const NodeId& node) const;
    // Whether type is super or (followed down HasSubtype) one of its subtypes.
    bool IsSubtypeOf(const NodeId& type, const NodeId& super) const;

    // The OPC DA item ID of the tag the node is, when it is a tag of the
    // configuration now.
    std::optional<std::string> TagItemId(const NodeId& node) const;
    // Whether the node exists now.
    bool Exists(const NodeId& node) const;
    // Where the node's past values are, when it is a device tag the history
    // keeps (whether or not the program keeps a history now).
    std::optional<HistorySource> HistorySourceOf(const NodeId& node) const;
    // The fastest rate a Value attribute of the node changes at (ms): the DA
    // server's fastest update rate for tags, 0 for the other nodes, whose
    // values are computed when read.
    double MinimumSamplingInterval(const NodeId& node) const;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace ua
