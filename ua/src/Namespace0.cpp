#include "Namespace0.h"

#include "HistoryServices.h"
#include "Messages.h"
#include "history/HistoryStore.h"
#include "ua/Binary.h"

namespace ua {

namespace {

constexpr std::uint32_t kServer = 2253;
constexpr std::uint32_t kServerStatus = 2256;
constexpr std::uint32_t kBuildInfo = 2260;
constexpr std::uint32_t kServerCapabilities = 2268;
constexpr std::uint32_t kOperationLimits = 11704;
constexpr std::uint32_t kServerRedundancy = 2296;
constexpr std::uint32_t kHistoryServerCapabilities = 11192;
constexpr std::uint32_t kHistoryServerCapabilitiesType = 2330;
constexpr std::uint32_t kBaseDataVariableType = 63;
constexpr std::uint32_t kUtcTime = 294;
constexpr std::int32_t kServerStateRunning = 0;
constexpr const char* kServerProfile = "http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice";

void WriteBuildInfo(Writer& w, const ServerInfo& info) {
    w.String(info.productUri);
    w.String(info.manufacturerName);
    w.String(info.productName);
    w.String(info.softwareVersion);
    w.String(info.buildNumber);
    w.DateTimeValue(info.buildDate);
}

Variant Str(const std::string& text) { return Variant::String(text); }
Variant UInt32Of(std::uint32_t v) { return Variant::UInt32(v); }
Variant UInt16Of(std::uint16_t v) { return Variant::Scalar(BuiltinType::UInt16, std::uint64_t{v}); }

}  // namespace

ExtensionObject ServerStatusValue(const ServerInfo& info) {
    return EncodeExtensionObject(encoding::ServerStatusDataType, [&](Writer& w) {
        w.DateTimeValue(info.startTime);
        w.DateTimeValue(Now());
        w.Int32(kServerStateRunning);
        WriteBuildInfo(w, info);
        w.UInt32(0);  // secondsTillShutdown
        w.LocalizedTextValue(LocalizedText{});
    });
}

NodeRecord& Namespace0::Add(std::uint32_t id, NodeClass nodeClass, const std::string& name,
                            std::uint32_t typeDefinition) {
    NodeRecord& node = nodes_[NodeId(0, id)];
    node.id = NodeId(0, id);
    node.nodeClass = nodeClass;
    node.browseName = QualifiedName{0, name};
    node.displayName = LocalizedText{"", name};
    if (typeDefinition != 0) {
        node.typeDefinition = NodeId(0, typeDefinition);
        Link(id, id::HasTypeDefinition, typeDefinition);
    }
    return node;
}

NodeRecord& Namespace0::Type(std::uint32_t id, NodeClass nodeClass, const std::string& name, std::uint32_t super,
                             bool isAbstract) {
    NodeRecord& node = Add(id, nodeClass, name);
    node.isAbstract = isAbstract;
    if (super != 0) Link(super, id::HasSubtype, id);
    return node;
}

NodeRecord& Namespace0::Variable(std::uint32_t id, const std::string& name, std::uint32_t parent,
                                 std::uint32_t reference, std::uint32_t typeDefinition, std::uint32_t dataType,
                                 std::function<Variant()> value, std::int32_t valueRank) {
    NodeRecord& node = Add(id, NodeClass::Variable, name, typeDefinition);
    node.dataType = NodeId(0, dataType);
    node.valueRank = valueRank;
    node.value = std::move(value);
    Link(parent, reference, id);
    return node;
}

void Namespace0::Link(std::uint32_t source, std::uint32_t reference, std::uint32_t target) {
    // Both ends keep the reference, so that a Browse in either direction finds it.
    nodes_[NodeId(0, source)].references.push_back({NodeId(0, reference), true, NodeId(0, target)});
    nodes_[NodeId(0, target)].references.push_back({NodeId(0, reference), false, NodeId(0, source)});
}

Namespace0::Namespace0(const ServerInfo& info) {
    using NC = NodeClass;
    const ServerInfo copy = info;

    // Reference types.
    auto refType = [&](std::uint32_t id, const std::string& name, std::uint32_t super, bool isAbstract,
                       const std::string& inverse, bool symmetric = false) {
        NodeRecord& node = Type(id, NC::ReferenceType, name, super, isAbstract);
        node.symmetric = symmetric;
        if (!inverse.empty()) node.inverseName = LocalizedText{"", inverse};
    };
    refType(id::References, "References", 0, true, "", true);
    refType(id::NonHierarchicalReferences, "NonHierarchicalReferences", id::References, true, "", true);
    refType(id::HierarchicalReferences, "HierarchicalReferences", id::References, true, "InverseHierarchicalReferences");
    refType(id::HasChild, "HasChild", id::HierarchicalReferences, true, "ChildOf");
    refType(id::Organizes, "Organizes", id::HierarchicalReferences, false, "OrganizedBy");
    refType(36, "HasEventSource", id::HierarchicalReferences, false, "EventSourceOf");
    refType(37, "HasModellingRule", id::NonHierarchicalReferences, false, "ModellingRuleOf");
    refType(id::HasTypeDefinition, "HasTypeDefinition", id::NonHierarchicalReferences, false, "TypeDefinitionOf");
    refType(id::Aggregates, "Aggregates", id::HasChild, true, "AggregatedBy");
    refType(id::HasSubtype, "HasSubtype", id::HasChild, false, "SubtypeOf");
    refType(id::HasProperty, "HasProperty", id::Aggregates, false, "PropertyOf");
    refType(id::HasComponent, "HasComponent", id::Aggregates, false, "ComponentOf");

    // Object types.
    Type(id::BaseObjectType, NC::ObjectType, "BaseObjectType", 0);
    Type(id::FolderType, NC::ObjectType, "FolderType", id::BaseObjectType);
    Type(2004, NC::ObjectType, "ServerType", id::BaseObjectType);
    Type(2013, NC::ObjectType, "ServerCapabilitiesType", id::BaseObjectType);
    Type(11564, NC::ObjectType, "OperationLimitsType", id::FolderType);
    Type(2034, NC::ObjectType, "ServerRedundancyType", id::BaseObjectType);
    Type(kHistoryServerCapabilitiesType, NC::ObjectType, "HistoryServerCapabilitiesType", id::BaseObjectType);

    // Variable types.
    auto varType = [&](std::uint32_t id, const std::string& name, std::uint32_t super, std::uint32_t dataType,
                       bool isAbstract = false, std::int32_t valueRank = -2) {
        NodeRecord& node = Type(id, NC::VariableType, name, super, isAbstract);
        node.dataType = NodeId(0, dataType);
        node.valueRank = valueRank;
    };
    varType(62, "BaseVariableType", 0, 24, true);
    varType(kBaseDataVariableType, "BaseDataVariableType", 62, 24);
    varType(id::PropertyType, "PropertyType", 62, 24);
    varType(2138, "ServerStatusType", kBaseDataVariableType, 862, false, -1);
    varType(3051, "BuildInfoType", kBaseDataVariableType, 338, false, -1);
    varType(id::DataItemType, "DataItemType", kBaseDataVariableType, 24);
    varType(id::AnalogItemType, "AnalogItemType", id::DataItemType, 26);

    // Data types.
    auto dataType = [&](std::uint32_t id, const std::string& name, std::uint32_t super, bool isAbstract = false) {
        Type(id, NC::DataType, name, super, isAbstract);
    };
    dataType(24, "BaseDataType", 0, true);
    dataType(1, "Boolean", 24);
    dataType(26, "Number", 24, true);
    dataType(27, "Integer", 26, true);
    dataType(28, "UInteger", 26, true);
    dataType(2, "SByte", 27);
    dataType(3, "Byte", 28);
    dataType(4, "Int16", 27);
    dataType(5, "UInt16", 28);
    dataType(6, "Int32", 27);
    dataType(7, "UInt32", 28);
    dataType(8, "Int64", 27);
    dataType(9, "UInt64", 28);
    dataType(10, "Float", 26);
    dataType(11, "Double", 26);
    dataType(290, "Duration", 11);
    dataType(12, "String", 24);
    dataType(13, "DateTime", 24);
    dataType(kUtcTime, "UtcTime", 13);
    dataType(14, "Guid", 24);
    dataType(15, "ByteString", 24);
    dataType(17, "NodeId", 24);
    dataType(19, "StatusCode", 24);
    dataType(20, "QualifiedName", 24);
    dataType(21, "LocalizedText", 24);
    dataType(22, "Structure", 24, true);
    dataType(29, "Enumeration", 24, true);
    dataType(id::Range, "Range", 22);
    dataType(id::EUInformation, "EUInformation", 22);
    dataType(862, "ServerStatusDataType", 22);
    dataType(338, "BuildInfo", 22);
    dataType(852, "ServerState", 29);
    dataType(851, "RedundancySupport", 29);

    // The folders.
    Add(id::RootFolder, NC::Object, "Root", id::FolderType);
    Add(id::ObjectsFolder, NC::Object, "Objects", id::FolderType);
    Add(86, NC::Object, "Types", id::FolderType);
    Add(87, NC::Object, "Views", id::FolderType);
    Add(88, NC::Object, "ObjectTypes", id::FolderType);
    Add(89, NC::Object, "VariableTypes", id::FolderType);
    Add(90, NC::Object, "DataTypes", id::FolderType);
    Add(91, NC::Object, "ReferenceTypes", id::FolderType);
    for (std::uint32_t child : {id::ObjectsFolder, 86u, 87u}) Link(id::RootFolder, id::Organizes, child);
    for (std::uint32_t child : {88u, 89u, 90u, 91u}) Link(86, id::Organizes, child);
    Link(88, id::Organizes, id::BaseObjectType);
    Link(89, id::Organizes, 62);
    Link(90, id::Organizes, 24);
    Link(91, id::Organizes, id::References);

    // The Server object.
    Add(kServer, NC::Object, "Server", 2004);
    Link(id::ObjectsFolder, id::Organizes, kServer);
    Variable(2254, "ServerArray", kServer, id::HasProperty, id::PropertyType, 12,
             [copy] { return Variant::StringArray({copy.applicationUri}); }, 1);
    Variable(2255, "NamespaceArray", kServer, id::HasProperty, id::PropertyType, 12,
             [copy] { return Variant::StringArray({"http://opcfoundation.org/UA/", copy.applicationUri}); }, 1);
    Variable(kServerStatus, "ServerStatus", kServer, id::HasComponent, 2138, 862,
             [copy] { return Variant::ExtensionObjectOf(ServerStatusValue(copy)); });
    Variable(2257, "StartTime", kServerStatus, id::HasComponent, kBaseDataVariableType, kUtcTime,
             [copy] { return Variant::DateTimeOf(copy.startTime); });
    Variable(2258, "CurrentTime", kServerStatus, id::HasComponent, kBaseDataVariableType, kUtcTime,
             [] { return Variant::DateTimeOf(Now()); });
    Variable(2259, "State", kServerStatus, id::HasComponent, kBaseDataVariableType, 852,
             [] { return Variant::Int32(kServerStateRunning); });
    Variable(kBuildInfo, "BuildInfo", kServerStatus, id::HasComponent, 3051, 338, [copy] {
        return Variant::ExtensionObjectOf(
            EncodeExtensionObject(encoding::BuildInfo, [&](Writer& w) { WriteBuildInfo(w, copy); }));
    });
    Variable(2262, "ProductUri", kBuildInfo, id::HasComponent, kBaseDataVariableType, 12,
             [copy] { return Str(copy.productUri); });
    Variable(2263, "ManufacturerName", kBuildInfo, id::HasComponent, kBaseDataVariableType, 12,
             [copy] { return Str(copy.manufacturerName); });
    Variable(2261, "ProductName", kBuildInfo, id::HasComponent, kBaseDataVariableType, 12,
             [copy] { return Str(copy.productName); });
    Variable(2264, "SoftwareVersion", kBuildInfo, id::HasComponent, kBaseDataVariableType, 12,
             [copy] { return Str(copy.softwareVersion); });
    Variable(2265, "BuildNumber", kBuildInfo, id::HasComponent, kBaseDataVariableType, 12,
             [copy] { return Str(copy.buildNumber); });
    Variable(2266, "BuildDate", kBuildInfo, id::HasComponent, kBaseDataVariableType, kUtcTime,
             [copy] { return Variant::DateTimeOf(copy.buildDate); });
    Variable(2992, "SecondsTillShutdown", kServerStatus, id::HasComponent, kBaseDataVariableType, 7,
             [] { return UInt32Of(0); });
    Variable(2993, "ShutdownReason", kServerStatus, id::HasComponent, kBaseDataVariableType, 21,
             [] { return Variant::LocalizedTextOf(LocalizedText{}); });
    Variable(2267, "ServiceLevel", kServer, id::HasProperty, id::PropertyType, 3,
             [] { return Variant::Scalar(BuiltinType::Byte, std::uint64_t{255}); });
    Variable(2994, "Auditing", kServer, id::HasProperty, id::PropertyType, 1, [] { return Variant::Boolean(false); });

    Add(kServerCapabilities, NC::Object, "ServerCapabilities", 2013);
    Link(kServer, id::HasComponent, kServerCapabilities);
    Variable(2269, "ServerProfileArray", kServerCapabilities, id::HasProperty, id::PropertyType, 12,
             [] { return Variant::StringArray({kServerProfile}); }, 1);
    Variable(2271, "LocaleIdArray", kServerCapabilities, id::HasProperty, id::PropertyType, 12,
             [] { return Variant::StringArray({"en"}); }, 1);
    Variable(2272, "MinSupportedSampleRate", kServerCapabilities, id::HasProperty, id::PropertyType, 290,
             [] { return Variant::Double(limits::kTagMinimumSamplingInterval); });
    Variable(2735, "MaxBrowseContinuationPoints", kServerCapabilities, id::HasProperty, id::PropertyType, 5,
             [] { return UInt16Of(limits::kMaxBrowseContinuationPoints); });
    Variable(2736, "MaxQueryContinuationPoints", kServerCapabilities, id::HasProperty, id::PropertyType, 5,
             [] { return UInt16Of(0); });
    Variable(2737, "MaxHistoryContinuationPoints", kServerCapabilities, id::HasProperty, id::PropertyType, 5,
             [] { return UInt16Of(limits::kMaxHistoryContinuationPoints); });

    Add(kOperationLimits, NC::Object, "OperationLimits", 11564);
    Link(kServerCapabilities, id::HasComponent, kOperationLimits);
    const std::pair<std::uint32_t, std::pair<const char*, std::uint32_t>> operationLimits[] = {
        {11705, {"MaxNodesPerRead", limits::kMaxNodesPerRead}},
        {11707, {"MaxNodesPerWrite", limits::kMaxNodesPerWrite}},
        {11710, {"MaxNodesPerBrowse", limits::kMaxNodesPerBrowse}},
        {11711, {"MaxNodesPerRegisterNodes", limits::kMaxNodesPerRegisterNodes}},
        {11712, {"MaxNodesPerTranslateBrowsePathsToNodeIds", limits::kMaxNodesPerTranslate}},
        {11714, {"MaxMonitoredItemsPerCall", limits::kMaxMonitoredItemsPerCall}},
        {12165, {"MaxNodesPerHistoryReadData", limits::kMaxNodesPerHistoryReadData}},
    };
    for (const auto& [nodeId, limit] : operationLimits) {
        const std::uint32_t number = limit.second;
        Variable(nodeId, limit.first, kOperationLimits, id::HasProperty, id::PropertyType, 7,
                 [number] { return UInt32Of(number); });
    }

    // What the history offers clients (OPC 10000-11): raw values of the
    // device tags, read only, while the program keeps a history; no events,
    // no changes to what is stored.
    Add(kHistoryServerCapabilities, NC::Object, "HistoryServerCapabilities", kHistoryServerCapabilitiesType);
    Link(kServerCapabilities, id::HasComponent, kHistoryServerCapabilities);
    Variable(11193, "AccessHistoryDataCapability", kHistoryServerCapabilities, id::HasProperty, id::PropertyType, 1,
             [] { return Variant::Boolean(history::ProgramHistory() != nullptr); });
    Variable(11242, "AccessHistoryEventsCapability", kHistoryServerCapabilities, id::HasProperty, id::PropertyType, 1,
             [] { return Variant::Boolean(false); });
    Variable(11273, "MaxReturnDataValues", kHistoryServerCapabilities, id::HasProperty, id::PropertyType, 7,
             [] { return UInt32Of(limits::kMaxHistoryValuesPerNode); });
    Variable(11274, "MaxReturnEventValues", kHistoryServerCapabilities, id::HasProperty, id::PropertyType, 7,
             [] { return UInt32Of(0); });
    const std::pair<std::uint32_t, const char*> refusedCapabilities[] = {
        {11196, "InsertDataCapability"},   {11197, "ReplaceDataCapability"},  {11198, "UpdateDataCapability"},
        {11199, "DeleteRawCapability"},    {11200, "DeleteAtTimeCapability"}, {11275, "InsertAnnotationCapability"},
        {11281, "InsertEventCapability"},  {11282, "ReplaceEventCapability"}, {11283, "UpdateEventCapability"},
    };
    for (const auto& [nodeId, name] : refusedCapabilities)
        Variable(nodeId, name, kHistoryServerCapabilities, id::HasProperty, id::PropertyType, 1,
                 [] { return Variant::Boolean(false); });

    // The history's state for UA clients, who learn of a full disk here.
    {
        const NodeId statusId = HistoryStatusNode();
        NodeRecord& status = nodes_[statusId];
        status.id = statusId;
        status.nodeClass = NC::Variable;
        status.browseName = QualifiedName{1, "HistoryStatus"};
        status.displayName = LocalizedText{"", "HistoryStatus"};
        status.description = LocalizedText{"", "Whether the program writes its sample history, and why not"};
        status.typeDefinition = NodeId(0, kBaseDataVariableType);
        status.dataType = NodeId(0, 12);
        status.value = [] { return Variant::String(HistoryStatusText(history::ProgramHistory())); };
        status.references.push_back({NodeId(0, id::HasTypeDefinition), true, NodeId(0, kBaseDataVariableType)});
        status.references.push_back({NodeId(0, id::HasComponent), false, NodeId(0, kServer)});
        nodes_[NodeId(0, kServer)].references.push_back({NodeId(0, id::HasComponent), true, statusId});
    }

    Add(kServerRedundancy, NC::Object, "ServerRedundancy", 2034);
    Link(kServer, id::HasComponent, kServerRedundancy);
    Variable(3709, "RedundancySupport", kServerRedundancy, id::HasProperty, id::PropertyType, 851,
             [] { return Variant::Int32(0); });
}

const NodeRecord* Namespace0::Find(const NodeId& id) const {
    const auto it = nodes_.find(id);
    return it != nodes_.end() ? &it->second : nullptr;
}

bool Namespace0::IsSubtypeOf(const NodeId& type, const NodeId& super) const {
    // Walks up from the type by its inverse HasSubtype; the hierarchy is a
    // tree, and the step bound keeps a mistake in the table from looping.
    NodeId at = type;
    for (int step = 0; step < 32; ++step) {
        if (at == super) return true;
        const NodeRecord* node = Find(at);
        if (node == nullptr) return false;
        const NodeReference* up = nullptr;
        for (const NodeReference& ref : node->references)
            if (!ref.isForward && ref.type == NodeId(0, id::HasSubtype)) up = &ref;
        if (up == nullptr) return false;
        at = up->target;
    }
    return false;
}

bool Namespace0::IsReferenceType(const NodeId& id) const {
    const NodeRecord* node = Find(id);
    return node != nullptr && node->nodeClass == NodeClass::ReferenceType;
}

}  // namespace ua
