#include "AddressSpace.h"

#include "DaValues.h"
#include "IndexRange.h"
#include "Messages.h"
#include "Namespace0.h"
#include "Session.h"

#include "config/OPCS_Doc.h"
#include "history/HistoryStore.h"
#include "model/ItemId.h"
#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "model/VOKTagKinds.h"
#include "opc/CEnumItemIDs.h"
#include "opc/OpcDa.h"
#include "platform/OleAuto.h"

#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace ua {

namespace {

// The kinds of counter tag whose values are particle concentrations per
// millilitre (their descriptions say so): cumulative and differential
// normalised bins and the normalised total.
constexpr std::int32_t kCumulativeNormalizedKind = 5;
constexpr std::int32_t kTotalNormalizedKind = 6;
constexpr std::int32_t kDifferentialNormalizedKind = 20;

// UN/CEFACT common codes go into a unit id big-endian, one byte a letter.
constexpr std::int32_t UnitId(const char (&code)[4]) {
    return (static_cast<std::int32_t>(code[0]) << 16) | (static_cast<std::int32_t>(code[1]) << 8) | code[2];
}
constexpr const char* kUnitsNamespace = "http://www.opcfoundation.org/UA/units/un/cefact";
// H50, reciprocal cubic centimetre: one millilitre is one cubic centimetre.
constexpr std::int32_t kPerCubicCentimetre = UnitId("H50");

constexpr const char* kEURange = "EURange";
constexpr const char* kEngineeringUnits = "EngineeringUnits";

// Item IDs a session's read group keeps at most; the DA group takes 10,000.
constexpr std::size_t kMaxCachedItems = 5000;

bool IsConcentration(std::int32_t kind) {
    return kind == kCumulativeNormalizedKind || kind == kTotalNormalizedKind || kind == kDifferentialNormalizedKind;
}

NodeId TypeNode(std::uint32_t id) { return NodeId(0, id); }

// Property nodes of a tag are "<delimiter><item ID><delimiter><property>":
// the DA server resolves no item ID that starts with the delimiter (that
// would be a device without a name), so no tag or group shares one of these.
std::string PropertyNodeText(const std::string& itemId, const char* property) {
    return std::string(1, kItemDelimiter) + itemId + kItemDelimiter + property;
}

// The tag of that exact item ID (node ids are case-sensitive, the DA
// look-up is not: one tag must not answer to two node ids). Under the
// configuration lock.
OPCS_Tag* FindTagExact(const std::string& itemId) {
    // The configuration's search walks a device's tags one by one; clients
    // read the same tags again and again, so the tag an item ID last named is
    // remembered. A remembered tag counts only while it is the same tag
    // (not deleted, no other made at its address) and still has that item ID
    // (not renamed, not moved); otherwise the search runs again.
    static std::mutex mutex;
    static std::unordered_map<std::string, std::pair<OPCS_Tag*, std::uint64_t>> known;
    constexpr std::size_t kKnownLimit = 100000;
    OPCS_Doc* doc = GetCurrentDoc();
    if (doc == nullptr || itemId.empty() || itemId.front() == kItemDelimiter) return nullptr;
    {
        std::lock_guard lock(mutex);
        const auto found = known.find(itemId);
        if (found != known.end()) {
            OPCS_Tag* tag = found->second.first;
            if (OPCS_Tag::IsSameTag(tag, found->second.second) && tag->GetItemID() == itemId) return tag;
            known.erase(found);
        }
    }
    OPCS_Tag* tag = doc->FindTag(itemId);
    if (tag == nullptr || !OPCS_Tag::IsValidTag(tag) || tag->GetItemID() != itemId) return nullptr;
    std::lock_guard lock(mutex);
    if (known.size() >= kKnownLimit) known.clear();
    known[itemId] = {tag, tag->Generation()};
    return tag;
}

std::string GroupNodeText(const OPCS_TagGroup& group) {
    std::string path = group.GetPath();
    if (!path.empty() && path.back() == kItemDelimiter) path.pop_back();
    return path;
}

OPCS_TagGroup* FindGroupExact(const std::string& path) {
    if (GetCurrentDoc() == nullptr || path.empty() || path.front() == kItemDelimiter) return nullptr;
    OPCS_TagGroup* group = addressspace::FindBranchByPath(path);
    if (group == nullptr || !OPCS_TagGroup::IsValidGroup(group) || GroupNodeText(*group) != path) return nullptr;
    return group;
}

struct TagFacts {
    bool analog = false;
    bool concentration = false;
    double low = 0;
    double high = 0;
};

TagFacts FactsOf(const OPCS_Tag& tag) {
    TagFacts facts;
    facts.analog = tag.IsEULimitsActive();
    if (facts.analog) {
        facts.low = tag.GetEUMin();
        facts.high = tag.GetEUMax();
    }
    facts.concentration = facts.analog && IsConcentration(tag.GetKindCode());
    return facts;
}

ExtensionObject RangeValue(double low, double high) {
    return EncodeExtensionObject(encoding::Range, [&](Writer& w) {
        w.Double(low);
        w.Double(high);
    });
}

ExtensionObject ConcentrationUnits() {
    return EncodeExtensionObject(encoding::EUInformation, [](Writer& w) {
        w.String(kUnitsNamespace);
        w.Int32(kPerCubicCentimetre);
        w.LocalizedTextValue(LocalizedText{"", "/ml"});
        w.LocalizedTextValue(LocalizedText{"", "particles per millilitre"});
    });
}

NodeRecord GroupRecord(OPCS_TagGroup& group, bool withReferences) {
    NodeRecord node;
    node.id = NodeId(1, GroupNodeText(group));
    node.nodeClass = NodeClass::Object;
    const std::string name = group.GetName();
    node.browseName = QualifiedName{1, name};
    node.displayName = LocalizedText{"", name};
    node.description = LocalizedText{"", group.GetDescription()};
    // A device is an object with its own tags as components; the groups
    // below it only organise.
    const bool isDevice = group.GetParent() == nullptr;
    node.typeDefinition = TypeNode(isDevice ? id::BaseObjectType : id::FolderType);
    if (!withReferences) return node;
    node.references.push_back({TypeNode(id::HasTypeDefinition), true, node.typeDefinition});
    OPCS_TagGroup* parent = group.GetParent();
    if (parent == nullptr) {
        node.references.push_back({TypeNode(id::Organizes), false, TypeNode(id::ObjectsFolder)});
    } else if (OPCS_TagGroup::IsValidGroup(parent)) {
        node.references.push_back({TypeNode(id::Organizes), false, NodeId(1, GroupNodeText(*parent))});
    }
    Dll<OPCS_TagGroup*> groups;
    group.CopyGroups(groups);
    for (OPCS_TagGroup* child : groups)
        if (OPCS_TagGroup::IsValidGroup(child))
            node.references.push_back({TypeNode(id::Organizes), true, NodeId(1, GroupNodeText(*child))});
    Dll<OPCS_Tag*> tags;
    group.CopyTags(tags);
    for (OPCS_Tag* tag : tags)
        if (OPCS_Tag::IsValidTag(tag))
            node.references.push_back({TypeNode(id::HasComponent), true, NodeId(1, tag->GetItemID())});
    return node;
}

// The device and field of a counter device's own tag in its slot, when the
// history keeps that field. A tag an operator added to a device has a slot
// number too (0 unless set) but is not the tag of that slot. Under the
// configuration lock.
std::optional<HistorySource> HistoryOfTag(OPCS_Tag& tag) {
    if (!VOKTag::IsValidVOKTag(&tag)) return std::nullopt;
    auto& counterTag = static_cast<VOKTag&>(tag);
    const std::int32_t slot = counterTag.GetSlot();
    const std::optional<history::SampleField> field = history::FieldOfSlot(slot);
    if (!field) return std::nullopt;
    OPCS_TagGroup* group = tag.GetGroup();
    if (!OPCS_TagGroup::IsValidGroup(group)) return std::nullopt;
    OPCS_TagGroup* device = group->GetDevice();
    if (device == nullptr || !VOKDevice::IsValidVOKDevice(device)) return std::nullopt;
    if (static_cast<VOKDevice*>(device)->GetSlotTag(slot) != &counterTag) return std::nullopt;
    return HistorySource{device->GetName(), *field, tag.GetCanonicalType()};
}

NodeRecord TagRecord(OPCS_Tag& tag, bool withReferences) {
    NodeRecord node;
    const std::string itemId = tag.GetItemID();
    node.id = NodeId(1, itemId);
    node.nodeClass = NodeClass::Variable;
    const std::string name = tag.GetName();
    node.browseName = QualifiedName{1, name};
    node.displayName = LocalizedText{"", name};
    node.description = LocalizedText{"", tag.GetDescription()};
    const TagFacts facts = FactsOf(tag);
    node.typeDefinition = TypeNode(facts.analog ? id::AnalogItemType : id::DataItemType);
    node.canonicalType = tag.GetCanonicalType();
    node.dataType = DataTypeOf(node.canonicalType);
    node.valueRank = ValueRankOf(node.canonicalType);
    node.accessLevel = static_cast<std::uint8_t>(1 | (tag.GetAccessRights() == 1 ? 2 : 0));
    // Past values are there only while the program keeps a history.
    if (history::ProgramHistory() != nullptr && HistoryOfTag(tag)) {
        node.accessLevel |= 4;
        node.historizing = true;
    }
    node.minimumSamplingInterval = limits::kTagMinimumSamplingInterval;
    node.tagItemId = itemId;
    node.tagGeneration = tag.Generation();
    if (!withReferences) return node;
    node.references.push_back({TypeNode(id::HasTypeDefinition), true, node.typeDefinition});
    if (OPCS_TagGroup* group = tag.GetGroup(); OPCS_TagGroup::IsValidGroup(group))
        node.references.push_back({TypeNode(id::HasComponent), false, NodeId(1, GroupNodeText(*group))});
    if (facts.analog)
        node.references.push_back({TypeNode(id::HasProperty), true, NodeId(1, PropertyNodeText(itemId, kEURange))});
    if (facts.concentration)
        node.references.push_back(
            {TypeNode(id::HasProperty), true, NodeId(1, PropertyNodeText(itemId, kEngineeringUnits))});
    return node;
}

std::optional<NodeRecord> PropertyRecord(const std::string& text, bool withReferences) {
    // ".<item ID>.<property>"
    const std::size_t last = text.rfind(kItemDelimiter);
    if (last == 0 || last == std::string::npos) return std::nullopt;
    const std::string itemId = text.substr(1, last - 1);
    const std::string property = text.substr(last + 1);
    OPCS_Tag* tag = FindTagExact(itemId);
    if (tag == nullptr) return std::nullopt;
    const TagFacts facts = FactsOf(*tag);
    NodeRecord node;
    node.id = NodeId(1, text);
    node.nodeClass = NodeClass::Variable;
    node.typeDefinition = TypeNode(id::PropertyType);
    node.valueRank = -1;
    if (property == kEURange && facts.analog) {
        node.dataType = TypeNode(id::Range);
        const double low = facts.low;
        const double high = facts.high;
        node.value = [low, high] { return Variant::ExtensionObjectOf(RangeValue(low, high)); };
    } else if (property == kEngineeringUnits && facts.concentration) {
        node.dataType = TypeNode(id::EUInformation);
        node.value = [] { return Variant::ExtensionObjectOf(ConcentrationUnits()); };
    } else {
        return std::nullopt;
    }
    node.browseName = QualifiedName{0, property};
    node.displayName = LocalizedText{"", property};
    if (withReferences) {
        node.references.push_back({TypeNode(id::HasTypeDefinition), true, node.typeDefinition});
        node.references.push_back({TypeNode(id::HasProperty), false, NodeId(1, itemId)});
    }
    return node;
}

// Namespace 1's node of that id as the configuration has it now. Under the
// configuration lock.
std::optional<NodeRecord> ConfiguredNode(const NodeId& id, bool withReferences) {
    if (id.ns != 1 || id.kind != NodeId::Kind::String || id.text.empty()) return std::nullopt;
    if (id.text.front() == kItemDelimiter) return PropertyRecord(id.text, withReferences);
    if (OPCS_Tag* tag = FindTagExact(id.text)) return TagRecord(*tag, withReferences);
    if (OPCS_TagGroup* group = FindGroupExact(id.text)) return GroupRecord(*group, withReferences);
    return std::nullopt;
}

// The session's own DA group the UA reads and writes go through, with the
// items added so far by item ID. Active group, active items: an active item
// holds a poll request on its device, so the device polls while a UA client
// reads its tags, and the item's value, quality and time stamp are the ones
// a DA client's read of the same tag gets.
class DaItems : public Session::Extension {
public:
    explicit DaItems(IOPCServer* server) {
        if (server == nullptr) return;
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        IUnknown* unknown = nullptr;
        made_ = server->AddGroup(u"OPC UA session", TRUE, 1000, 0, nullptr, nullptr, 0, &handle, &revised,
                                 IID_IOPCItemMgt, &unknown);
        if (FAILED(made_) || unknown == nullptr) return;
        items_ = static_cast<IOPCItemMgt*>(unknown);
        if (FAILED(items_->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync_)))) sync_ = nullptr;
    }
    ~DaItems() override {
        if (sync_ != nullptr) sync_->Release();
        if (items_ != nullptr) items_->Release();
    }
    DaItems(const DaItems&) = delete;
    DaItems& operator=(const DaItems&) = delete;

    struct Want {
        std::string itemId;
        std::uint64_t generation = 0;
    };

    // The server handles of the tags (0 with the status when there is none),
    // adding the items not there yet and replacing those made on an earlier
    // tag of the same item ID. Under mutex.
    std::vector<OPCHANDLE> Handles(const std::vector<Want>& wants, std::vector<StatusCode>& errors) {
        errors.assign(wants.size(), status::Good);
        std::vector<OPCHANDLE> handles(wants.size(), 0);
        if (items_ == nullptr || sync_ == nullptr) {
            errors.assign(wants.size(), status::BadResourceUnavailable);
            return handles;
        }
        std::vector<OPCHANDLE> stale;
        std::vector<std::size_t> missing;
        // A tag asked for twice in one call is added once; its other asks
        // share the handle.
        std::unordered_map<std::string, std::size_t> firstAsk;
        std::vector<std::pair<std::size_t, std::size_t>> repeats;
        for (std::size_t i = 0; i < wants.size(); ++i) {
            auto it = cache_.find(wants[i].itemId);
            if (it != cache_.end() && it->second.generation == wants[i].generation) {
                handles[i] = it->second.handle;
                continue;
            }
            if (auto seen = firstAsk.find(wants[i].itemId); seen != firstAsk.end()) {
                repeats.emplace_back(i, seen->second);
                continue;
            }
            firstAsk.emplace(wants[i].itemId, i);
            if (it != cache_.end()) {
                // The tag was deleted and one of the same item ID made: the
                // item still names the old one.
                stale.push_back(it->second.handle);
                cache_.erase(it);
            }
            missing.push_back(i);
        }
        if (cache_.size() + missing.size() > kMaxCachedItems) {
            // A client that reads ever more tags: drop the items this call
            // does not use rather than grow the group without end.
            std::unordered_set<std::string> used;
            for (const Want& want : wants) used.insert(want.itemId);
            for (auto it = cache_.begin(); it != cache_.end();) {
                if (used.count(it->first) == 0) {
                    stale.push_back(it->second.handle);
                    it = cache_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        Remove(stale);
        if (missing.empty()) {
            for (const auto& [repeat, first] : repeats) handles[repeat] = handles[first];
            return handles;
        }
        std::vector<std::u16string> ids;
        ids.reserve(missing.size());
        std::vector<OPCITEMDEF> defs(missing.size());
        for (std::size_t k = 0; k < missing.size(); ++k) ids.push_back(Utf8ToUtf16(wants[missing[k]].itemId));
        for (std::size_t k = 0; k < missing.size(); ++k) {
            defs[k] = OPCITEMDEF{};
            defs[k].szItemID = ids[k].data();
            defs[k].bActive = TRUE;
            defs[k].hClient = static_cast<OPCHANDLE>(k);
            defs[k].vtRequestedDataType = VT_EMPTY;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* itemErrors = nullptr;
        const HRESULT hr = items_->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &itemErrors);
        for (std::size_t k = 0; k < missing.size(); ++k) {
            const std::size_t i = missing[k];
            if (FAILED(hr) || results == nullptr || itemErrors == nullptr) {
                errors[i] = status::BadResourceUnavailable;
                continue;
            }
            if (FAILED(itemErrors[k])) {
                errors[i] = itemErrors[k] == OPC_E_UNKNOWNITEMID ? status::BadNodeIdUnknown
                                                                  : status::BadResourceUnavailable;
                continue;
            }
            handles[i] = results[k].hServer;
            cache_[wants[i].itemId] = Cached{results[k].hServer, wants[i].generation};
        }
        if (results != nullptr) {
            for (std::size_t k = 0; k < missing.size(); ++k) CoTaskMemFree(results[k].pBlob);
            CoTaskMemFree(results);
        }
        CoTaskMemFree(itemErrors);
        for (const auto& [repeat, first] : repeats) {
            handles[repeat] = handles[first];
            errors[repeat] = errors[first];
        }
        return handles;
    }

    // Drops the items of these item IDs, whose tags are gone or renamed:
    // an item holds a reference on its tag, and a held tag keeps its device
    // from being deleted. Under mutex.
    void Forget(const std::vector<std::string>& itemIds) {
        std::vector<OPCHANDLE> stale;
        for (const std::string& itemId : itemIds) {
            auto it = cache_.find(itemId);
            if (it == cache_.end()) continue;
            stale.push_back(it->second.handle);
            cache_.erase(it);
        }
        Remove(stale);
    }

    IOPCSyncIO* Sync() const { return sync_; }
    std::mutex mutex;

private:
    void Remove(std::vector<OPCHANDLE> handles) {
        if (handles.empty() || items_ == nullptr) return;
        HRESULT* errors = nullptr;
        items_->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors);
        CoTaskMemFree(errors);
    }

    struct Cached {
        OPCHANDLE handle = 0;
        std::uint64_t generation = 0;
    };
    HRESULT made_ = E_FAIL;
    IOPCItemMgt* items_ = nullptr;
    IOPCSyncIO* sync_ = nullptr;
    std::unordered_map<std::string, Cached> cache_;
};

const int kDaItemsKey = 0;

DaItems& ItemsOf(Session& session) {
    return static_cast<DaItems&>(
        session.Extend(&kDaItemsKey, [&session] { return std::make_unique<DaItems>(session.DaServer()); }));
}

bool HasAttribute(NodeClass nodeClass, AttributeId attribute) {
    using A = AttributeId;
    switch (attribute) {
    case A::NodeId:
    case A::NodeClass:
    case A::BrowseName:
    case A::DisplayName:
    case A::Description:
    case A::WriteMask:
    case A::UserWriteMask: return true;
    case A::IsAbstract:
        return nodeClass == NodeClass::ObjectType || nodeClass == NodeClass::VariableType ||
               nodeClass == NodeClass::ReferenceType || nodeClass == NodeClass::DataType;
    case A::Symmetric:
    case A::InverseName: return nodeClass == NodeClass::ReferenceType;
    case A::ContainsNoLoops: return nodeClass == NodeClass::View;
    case A::EventNotifier: return nodeClass == NodeClass::Object || nodeClass == NodeClass::View;
    case A::Value:
    case A::DataType:
    case A::ValueRank:
    case A::ArrayDimensions: return nodeClass == NodeClass::Variable || nodeClass == NodeClass::VariableType;
    case A::AccessLevel:
    case A::UserAccessLevel:
    case A::MinimumSamplingInterval:
    case A::Historizing: return nodeClass == NodeClass::Variable;
    default: return false;
    }
}

// Every attribute but the Value of a tag, from the record.
Variant AttributeValue(const NodeRecord& node, AttributeId attribute) {
    using A = AttributeId;
    switch (attribute) {
    case A::NodeId: return Variant::NodeIdOf(node.id);
    case A::NodeClass: return Variant::Int32(static_cast<std::int32_t>(node.nodeClass));
    case A::BrowseName: return Variant::QualifiedNameOf(node.browseName);
    case A::DisplayName: return Variant::LocalizedTextOf(node.displayName);
    case A::Description: return Variant::LocalizedTextOf(node.description);
    case A::WriteMask:
    case A::UserWriteMask: return Variant::UInt32(0);
    case A::IsAbstract: return Variant::Boolean(node.isAbstract);
    case A::Symmetric: return Variant::Boolean(node.symmetric);
    case A::InverseName: return Variant::LocalizedTextOf(node.inverseName);
    case A::ContainsNoLoops: return Variant::Boolean(true);
    case A::EventNotifier: return Variant::Scalar(BuiltinType::Byte, std::uint64_t{node.eventNotifier});
    case A::Value: return node.value ? node.value() : Variant{};
    case A::DataType: return Variant::NodeIdOf(node.dataType);
    case A::ValueRank: return Variant::Int32(node.valueRank);
    case A::ArrayDimensions: {
        if (node.valueRank <= 0) return Variant{};
        std::vector<VariantValue> dims(static_cast<std::size_t>(node.valueRank), VariantValue{std::uint64_t{0}});
        return Variant::Array(BuiltinType::UInt32, std::move(dims));
    }
    case A::AccessLevel:
    case A::UserAccessLevel: return Variant::Scalar(BuiltinType::Byte, std::uint64_t{node.accessLevel});
    case A::MinimumSamplingInterval: return Variant::Double(node.minimumSamplingInterval);
    case A::Historizing: return Variant::Boolean(node.historizing);
    default: return Variant{};
    }
}

// Operators and engineers write tags; viewers, anonymous ones among them, do not.
bool MayWrite(const Session& session) { return session.User().role >= Role::Operator; }

void Stamp(DataValue& out, TimestampsToReturn which, std::optional<DateTime> source, DateTime server) {
    if ((which == TimestampsToReturn::Source || which == TimestampsToReturn::Both) && source) out.sourceTimestamp = source;
    if (which == TimestampsToReturn::Server || which == TimestampsToReturn::Both) out.serverTimestamp = server;
}

DataValue Failed(StatusCode code) {
    DataValue out;
    out.status = code;
    return out;
}

}  // namespace

struct AddressSpace::Parts {
    explicit Parts(const ServerInfo& serverInfo) : info(serverInfo), ns0(serverInfo) {}
    ServerInfo info;
    Namespace0 ns0;

    // The node now, from the standard nodes or the configuration; the
    // Objects folder's references include the devices of the moment.
    std::optional<NodeRecord> Lookup(const NodeId& id, bool withReferences) const {
        // The server's own nodes of namespace 1 are numeric; the configuration's are strings.
        if (id.ns == 0 || (id.ns == 1 && id.kind == NodeId::Kind::Numeric)) {
            const NodeRecord* node = ns0.Find(id);
            if (node == nullptr) return std::nullopt;
            if (!withReferences) {
                NodeRecord copy = *node;
                copy.references.clear();
                return copy;
            }
            NodeRecord copy = *node;
            if (id == NodeId(0, id::ObjectsFolder)) {
                ConfigLockHold hold;
                if (OPCS_Doc* doc = GetCurrentDoc()) {
                    Dll<OPCS_Device*> devices;
                    doc->GetDeviceList(devices);
                    for (OPCS_Device* device : devices) {
                        if (!OPCS_TagGroup::IsValidGroup(device)) continue;
                        const std::string name = GroupNodeText(*device);
                        if (name.empty()) continue;
                        copy.references.push_back({TypeNode(id::Organizes), true, NodeId(1, name)});
                    }
                }
            }
            return copy;
        }
        ConfigLockHold hold;
        return ConfiguredNode(id, withReferences);
    }
};

AddressSpace::AddressSpace(const ServerInfo& info) : parts_(std::make_unique<Parts>(info)) {}
AddressSpace::~AddressSpace() = default;

const ServerInfo& AddressSpace::Info() const { return parts_->info; }

std::vector<DataValue> AddressSpace::Read(Session& session, const std::vector<ReadValueId>& nodes,
                                          TimestampsToReturn timestamps, double /*maxAge*/) {
    // maxAge is met whatever it asks: a tag's value is the one its device
    // polls for this session's active items, no older than the device's
    // poll, and the other values are computed now.
    std::vector<DataValue> results(nodes.size());
    const DateTime now = Now();
    struct TagRead {
        std::size_t result;
        std::string itemId;
        std::uint64_t generation;
        IndexRange range;
    };
    std::vector<TagRead> tagReads;
    std::vector<std::string> gone;
    auto noteGone = [&gone](const NodeId& id) {
        if (id.ns == 1 && id.kind == NodeId::Kind::String) gone.push_back(id.text);
    };
    {
        ConfigLockHold hold;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const ReadValueId& want = nodes[i];
            const std::optional<NodeRecord> node = parts_->Lookup(want.nodeId, false);
            if (!node) {
                noteGone(want.nodeId);
                results[i] = Failed(status::BadNodeIdUnknown);
                continue;
            }
            const auto attribute = static_cast<AttributeId>(want.attributeId);
            if (!HasAttribute(node->nodeClass, attribute)) {
                results[i] = Failed(status::BadAttributeIdInvalid);
                continue;
            }
            IndexRange range;
            if (!want.indexRange.empty()) {
                const std::optional<IndexRange> parsed = IndexRange::Parse(want.indexRange);
                if (!parsed) {
                    results[i] = Failed(status::BadIndexRangeInvalid);
                    continue;
                }
                range = *parsed;
            }
            if (!want.dataEncoding.name.empty()) {
                // Only the default binary encoding is served, and only for values.
                const bool binary = want.dataEncoding.ns == 0 && want.dataEncoding.name == "Default Binary";
                results[i] = Failed(attribute != AttributeId::Value ? status::BadDataEncodingInvalid
                                    : binary                        ? status::Good
                                                                    : status::BadDataEncodingUnsupported);
                if (!binary || attribute != AttributeId::Value) continue;
            }
            if (attribute == AttributeId::Value && node->tagItemId) {
                // The record was made from the tag under this same hold.
                tagReads.push_back({i, *node->tagItemId, node->tagGeneration, range});
                continue;
            }
            DataValue out;
            Variant value = AttributeValue(*node, attribute);
            // What this session's user may do: a viewer reads only.
            if (attribute == AttributeId::UserAccessLevel && !MayWrite(session))
                value = Variant::Scalar(BuiltinType::Byte, std::uint64_t{node->accessLevel & ~2u});
            if (!range.IsWhole()) {
                const StatusCode cut = range.Apply(value);
                if (cut != status::Good) {
                    results[i] = Failed(cut);
                    continue;
                }
            }
            out.value = std::move(value);
            if (attribute == AttributeId::Value) Stamp(out, timestamps, now, now);
            results[i] = std::move(out);
        }
    }
    if (tagReads.empty() && gone.empty()) return results;

    // The DA calls run without the configuration lock: the group takes its
    // item lock before the configuration lock.
    DaItems& items = ItemsOf(session);
    std::lock_guard lock(items.mutex);
    items.Forget(gone);
    if (tagReads.empty()) return results;
    std::vector<DaItems::Want> wants;
    wants.reserve(tagReads.size());
    for (const TagRead& read : tagReads) wants.push_back({read.itemId, read.generation});
    std::vector<StatusCode> errors;
    std::vector<OPCHANDLE> handles = items.Handles(wants, errors);
    std::vector<OPCHANDLE> asked;
    std::vector<std::size_t> askedFor;
    for (std::size_t k = 0; k < tagReads.size(); ++k) {
        if (errors[k] != status::Good) {
            results[tagReads[k].result] = Failed(errors[k]);
            continue;
        }
        asked.push_back(handles[k]);
        askedFor.push_back(k);
    }
    if (asked.empty()) return results;
    OPCITEMSTATE* states = nullptr;
    HRESULT* readErrors = nullptr;
    const HRESULT hr =
        items.Sync()->Read(OPC_DS_CACHE, static_cast<DWORD>(asked.size()), asked.data(), &states, &readErrors);
    std::vector<std::size_t> configErrors;
    for (std::size_t j = 0; j < asked.size(); ++j) {
        const TagRead& read = tagReads[askedFor[j]];
        DataValue& out = results[read.result];
        if (FAILED(hr) || states == nullptr || readErrors == nullptr) {
            out = Failed(status::BadResourceUnavailable);
            continue;
        }
        if (FAILED(readErrors[j])) {
            out = Failed(readErrors[j] == OPC_E_BADTYPE ? status::BadTypeMismatch : status::BadNodeIdUnknown);
            continue;
        }
        const OPCITEMSTATE& state = states[j];
        const StatusCode quality = FromDaQuality(state.wQuality);
        if ((state.wQuality & 0xFC) == OPC_QUALITY_CONFIG_ERROR) configErrors.push_back(j);
        Variant value = FromDaValue(state.vDataValue);
        out = DataValue{};
        if (quality != status::Good) out.status = quality;
        // A bad quality's value is not one to act on; UA clients expect none.
        if (!IsBad(quality)) {
            if (!read.range.IsWhole()) {
                const StatusCode cut = read.range.Apply(value);
                if (cut != status::Good) {
                    out = Failed(cut);
                    continue;
                }
            }
            out.value = std::move(value);
        }
        const DateTime source = FromFileTime(state.ftTimeStamp);
        Stamp(out, timestamps, source != 0 ? std::optional<DateTime>(source) : std::nullopt, now);
    }
    if (states != nullptr) {
        for (std::size_t j = 0; j < asked.size(); ++j) VariantClear(&states[j].vDataValue);
        CoTaskMemFree(states);
    }
    CoTaskMemFree(readErrors);
    if (!configErrors.empty()) {
        // The item says its tag is gone: when no tag of that item ID is
        // there any more, the node is gone too.
        ConfigLockHold hold;
        for (std::size_t j : configErrors) {
            const TagRead& read = tagReads[askedFor[j]];
            OPCS_Tag* tag = FindTagExact(read.itemId);
            if (tag == nullptr || tag->Generation() != read.generation)
                results[read.result] = Failed(status::BadNodeIdUnknown);
        }
    }
    return results;
}

std::vector<StatusCode> AddressSpace::Write(Session& session, const std::vector<WriteValue>& nodes) {
    std::vector<StatusCode> results(nodes.size(), status::Good);
    struct TagWrite {
        std::size_t result;
        std::string itemId;
        std::uint64_t generation;
        VARIANT value;
    };
    std::vector<TagWrite> writes;
    {
        ConfigLockHold hold;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const WriteValue& want = nodes[i];
            const std::optional<NodeRecord> node = parts_->Lookup(want.nodeId, false);
            if (!node) {
                results[i] = status::BadNodeIdUnknown;
                continue;
            }
            const auto attribute = static_cast<AttributeId>(want.attributeId);
            if (!HasAttribute(node->nodeClass, attribute)) {
                results[i] = status::BadAttributeIdInvalid;
                continue;
            }
            if (attribute != AttributeId::Value || !node->tagItemId) {
                results[i] = status::BadNotWritable;
                continue;
            }
            if (!want.indexRange.empty()) {
                // Tags take whole values only.
                results[i] = IndexRange::Parse(want.indexRange) ? status::BadWriteNotSupported
                                                                : status::BadIndexRangeInvalid;
                continue;
            }
            if (want.value.status || want.value.sourceTimestamp || want.value.serverTimestamp) {
                // The device stamps its values itself; a client cannot set quality or time.
                results[i] = status::BadWriteNotSupported;
                continue;
            }
            if ((node->accessLevel & 2) == 0) {
                results[i] = status::BadNotWritable;
                continue;
            }
            if (!MayWrite(session)) {
                results[i] = status::BadUserAccessDenied;
                continue;
            }
            VARIANT value;
            const StatusCode converted = want.value.value ? ConvertToDa(*want.value.value, node->canonicalType, value)
                                                          : status::BadTypeMismatch;
            if (converted != status::Good) {
                if (want.value.value) VariantClear(&value);
                results[i] = converted;
                continue;
            }
            writes.push_back({i, *node->tagItemId, node->tagGeneration, value});
        }
    }
    if (writes.empty()) return results;
    DaItems& items = ItemsOf(session);
    {
        std::lock_guard lock(items.mutex);
        std::vector<DaItems::Want> wants;
        for (const TagWrite& write : writes) wants.push_back({write.itemId, write.generation});
        std::vector<StatusCode> errors;
        const std::vector<OPCHANDLE> handles = items.Handles(wants, errors);
        std::vector<OPCHANDLE> asked;
        std::vector<VARIANT> values;
        std::vector<std::size_t> askedFor;
        for (std::size_t k = 0; k < writes.size(); ++k) {
            if (errors[k] != status::Good) {
                results[writes[k].result] = errors[k];
                continue;
            }
            asked.push_back(handles[k]);
            values.push_back(writes[k].value);
            askedFor.push_back(k);
        }
        if (!asked.empty()) {
            HRESULT* writeErrors = nullptr;
            const HRESULT hr = items.Sync()->Write(static_cast<DWORD>(asked.size()), asked.data(), values.data(),
                                                   &writeErrors);
            for (std::size_t j = 0; j < asked.size(); ++j) {
                results[writes[askedFor[j]].result] = FAILED(hr) || writeErrors == nullptr
                                                          ? status::BadDeviceFailure
                                                          : FromDaWriteResult(writeErrors[j]);
            }
            CoTaskMemFree(writeErrors);
        }
    }
    for (TagWrite& write : writes) VariantClear(&write.value);
    return results;
}

StatusCode AddressSpace::Browse(const NodeId& node, const BrowseFilter& filter,
                                std::vector<ReferenceDescription>& out) const {
    out.clear();
    if (filter.direction != BrowseDirection::Forward && filter.direction != BrowseDirection::Inverse &&
        filter.direction != BrowseDirection::Both)
        return status::BadBrowseDirectionInvalid;
    if (!filter.referenceTypeId.IsNull() && !IsReferenceType(filter.referenceTypeId))
        return status::BadReferenceTypeIdInvalid;
    // One hold for the whole answer, so that it shows one state of the configuration.
    ConfigLockHold hold;
    const std::optional<NodeRecord> source = parts_->Lookup(node, true);
    if (!source) return status::BadNodeIdUnknown;
    for (const NodeReference& ref : source->references) {
        if (filter.direction == BrowseDirection::Forward && !ref.isForward) continue;
        if (filter.direction == BrowseDirection::Inverse && ref.isForward) continue;
        if (!filter.referenceTypeId.IsNull() && !(ref.type == filter.referenceTypeId) &&
            !(filter.includeSubtypes && IsSubtypeOf(ref.type, filter.referenceTypeId)))
            continue;
        const std::optional<NodeRecord> target = parts_->Lookup(ref.target, false);
        if (!target) continue;  // gone between the two look-ups
        if (filter.nodeClassMask != 0 && (filter.nodeClassMask & static_cast<std::uint32_t>(target->nodeClass)) == 0)
            continue;
        ReferenceDescription description;
        description.referenceTypeId = ref.type;
        description.isForward = ref.isForward;
        description.nodeId.node = ref.target;
        description.browseName = target->browseName;
        description.displayName = target->displayName;
        description.nodeClass = target->nodeClass;
        if (target->nodeClass == NodeClass::Object || target->nodeClass == NodeClass::Variable)
            description.typeDefinition.node = target->typeDefinition;
        out.push_back(std::move(description));
    }
    return status::Good;
}

bool AddressSpace::IsReferenceType(const NodeId& node) const { return parts_->ns0.IsReferenceType(node); }

bool AddressSpace::IsSubtypeOf(const NodeId& type, const NodeId& super) const {
    return parts_->ns0.IsSubtypeOf(type, super);
}

std::optional<std::string> AddressSpace::TagItemId(const NodeId& node) const {
    const std::optional<NodeRecord> record = parts_->Lookup(node, false);
    if (!record) return std::nullopt;
    return record->tagItemId;
}

bool AddressSpace::Exists(const NodeId& node) const { return parts_->Lookup(node, false).has_value(); }

std::optional<HistorySource> AddressSpace::HistorySourceOf(const NodeId& node) const {
    if (node.ns != 1 || node.kind != NodeId::Kind::String) return std::nullopt;
    ConfigLockHold hold;
    OPCS_Tag* tag = FindTagExact(node.text);
    if (tag == nullptr) return std::nullopt;
    return HistoryOfTag(*tag);
}

double AddressSpace::MinimumSamplingInterval(const NodeId& node) const {
    const std::optional<NodeRecord> record = parts_->Lookup(node, false);
    return record && record->tagItemId ? limits::kTagMinimumSamplingInterval : 0.0;
}

}  // namespace ua
