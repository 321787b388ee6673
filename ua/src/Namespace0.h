#pragma once
// The standard nodes of namespace 0 this server shows (the folders, the
// Server object with its status and capabilities, and the types and reference
// types they point at), built once in one place, and the node record the
// address space answers every node with, whichever namespace it is in.

#include "ServerInfo.h"
#include "ua/Types.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ua {

// What the services take at most in one call; the ServerCapabilities nodes
// say the same numbers, so a client that reads them stays within them.
namespace limits {
constexpr std::uint32_t kMaxNodesPerRead = 10000;
constexpr std::uint32_t kMaxNodesPerWrite = 10000;
constexpr std::uint32_t kMaxNodesPerBrowse = 1000;
constexpr std::uint32_t kMaxNodesPerRegisterNodes = 1000;
constexpr std::uint32_t kMaxNodesPerTranslate = 1000;
constexpr std::uint32_t kMaxMonitoredItemsPerCall = 10000;
constexpr std::uint16_t kMaxBrowseContinuationPoints = 10;
// HistoryRead: nodes in one call, values one node gets in one answer (the
// rest follow through a continuation point), and the continuation points a
// session keeps (beyond them the oldest is freed).
constexpr std::uint32_t kMaxNodesPerHistoryReadData = 100;
constexpr std::uint32_t kMaxHistoryValuesPerNode = 1000;
constexpr std::uint16_t kMaxHistoryContinuationPoints = 10;
// Elements of one RelativePath a TranslateBrowsePaths follows.
constexpr std::uint32_t kMaxRelativePathElements = 32;
// The DA server's fastest update rate (ms): no tag changes faster.
constexpr double kTagMinimumSamplingInterval = 50.0;
}  // namespace limits

// Standard node numbers used beyond the node table.
namespace id {
constexpr std::uint32_t References = 31;
constexpr std::uint32_t NonHierarchicalReferences = 32;
constexpr std::uint32_t HierarchicalReferences = 33;
constexpr std::uint32_t HasChild = 34;
constexpr std::uint32_t Organizes = 35;
constexpr std::uint32_t HasTypeDefinition = 40;
constexpr std::uint32_t Aggregates = 44;
constexpr std::uint32_t HasSubtype = 45;
constexpr std::uint32_t HasProperty = 46;
constexpr std::uint32_t HasComponent = 47;
constexpr std::uint32_t BaseObjectType = 58;
constexpr std::uint32_t FolderType = 61;
constexpr std::uint32_t PropertyType = 68;
constexpr std::uint32_t RootFolder = 84;
constexpr std::uint32_t ObjectsFolder = 85;
constexpr std::uint32_t DataItemType = 2365;
constexpr std::uint32_t AnalogItemType = 2368;
constexpr std::uint32_t Range = 884;
constexpr std::uint32_t EUInformation = 887;
constexpr std::uint32_t Server = 2253;
}  // namespace id

// The String variable below the Server object that says whether the program
// writes its sample history ("Writing to ...", "Not writing: ...", "Off"). A
// numeric node of namespace 1: the configuration's nodes there are all
// strings (item IDs), so no device or tag can ever take its id.
inline NodeId HistoryStatusNode() { return NodeId(1, 1u); }

struct NodeReference {
    NodeId type;
    bool isForward = true;
    NodeId target;
};

// A node with every attribute its class has. Namespace 0's are kept for the
// server's life; namespace 1's are made from the configuration for one call.
struct NodeRecord {
    NodeId id;
    NodeClass nodeClass = NodeClass::Object;
    QualifiedName browseName;
    LocalizedText displayName;
    LocalizedText description;
    NodeId typeDefinition;  // objects and variables
    std::vector<NodeReference> references;
    bool isAbstract = false;    // types
    bool symmetric = false;     // reference types
    LocalizedText inverseName;  // reference types
    std::uint8_t eventNotifier = 0;
    NodeId dataType;  // variables and variable types
    std::int32_t valueRank = -1;
    std::uint8_t accessLevel = 1;  // CurrentRead; HistoryRead (4) for the tags the history keeps
    bool historizing = false;
    double minimumSamplingInterval = 0;
    // The value, computed when read; empty for a tag, whose value comes
    // through the session's DA objects.
    std::function<Variant()> value;
    // Set for a tag: its OPC DA item ID, and the tag's generation when the
    // record was made (a tag deleted and made again under the same ID has another).
    std::optional<std::string> tagItemId;
    std::uint64_t tagGeneration = 0;
    // For a tag: the canonical VARTYPE, taken when the record was made.
    std::uint16_t canonicalType = 0;
};

class Namespace0 {
public:
    explicit Namespace0(const ServerInfo& info);
    const NodeRecord* Find(const NodeId& id) const;
    // Whether type is super or, followed down HasSubtype, one of its subtypes.
    bool IsSubtypeOf(const NodeId& type, const NodeId& super) const;
    bool IsReferenceType(const NodeId& id) const;

private:
    NodeRecord& Add(std::uint32_t id, NodeClass nodeClass, const std::string& name, std::uint32_t typeDefinition = 0);
    NodeRecord& Type(std::uint32_t id, NodeClass nodeClass, const std::string& name, std::uint32_t super,
                     bool isAbstract = false);
    NodeRecord& Variable(std::uint32_t id, const std::string& name, std::uint32_t parent, std::uint32_t reference,
                         std::uint32_t typeDefinition, std::uint32_t dataType, std::function<Variant()> value,
                         std::int32_t valueRank = -1);
    void Link(std::uint32_t source, std::uint32_t reference, std::uint32_t target);

    std::unordered_map<NodeId, NodeRecord, NodeIdHash> nodes_;
};

// The ServerStatusDataType value of the Server object, with the time now.
ExtensionObject ServerStatusValue(const ServerInfo& info);

}  // namespace ua
