// The address space over a configuration loaded in the in-process server:
// the configuration's devices, groups and tags as nodes, their attributes,
// tag values read and written through the session's DA group, and nodes that
// follow the configuration as it changes.

#include "UaTestSupport.h"

#include "DaValues.h"
#include "Namespace0.h"
#include "ua/Binary.h"

#include "model/OPCS_TagGroup.h"
#include "model/VOKTagKinds.h"
#include "platform/Thread.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

namespace {

using namespace ua;
using uatest::AddressSpaceFixture;

std::vector<ReferenceDescription> Browse(AddressSpace& space, const NodeId& node,
                                         BrowseDirection direction = BrowseDirection::Forward,
                                         const NodeId& type = NodeId{}, StatusCode expect = status::Good) {
    std::vector<ReferenceDescription> out;
    BrowseFilter filter;
    filter.direction = direction;
    filter.referenceTypeId = type;
    EXPECT_EQ(space.Browse(node, filter, out), expect);
    return out;
}

const ReferenceDescription* Find(const std::vector<ReferenceDescription>& refs, const NodeId& target) {
    for (const ReferenceDescription& ref : refs)
        if (ref.nodeId.node == target) return &ref;
    return nullptr;
}

class AddressSpaceTest : public AddressSpaceFixture {};

TEST_F(AddressSpaceTest, ObjectsLeadToTheDeviceItsGroupsAndTagsByTheirItemIds) {
    const auto objects = Browse(*space_, NodeId(0, id::ObjectsFolder));
    const ReferenceDescription* device = Find(objects, Ns1("Dev1"));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->referenceTypeId, NodeId(0, id::Organizes));
    EXPECT_EQ(device->browseName, (QualifiedName{1, "Dev1"}));
    EXPECT_EQ(device->nodeClass, NodeClass::Object);
    EXPECT_NE(Find(objects, NodeId(0, 2253u)), nullptr);  // the Server object too

    OPCS_TagGroup* group = FirstGroup();
    ASSERT_NE(group, nullptr);
    const std::string groupId = "Dev1." + group->GetName();
    const auto deviceRefs = Browse(*space_, Ns1("Dev1"));
    const ReferenceDescription* groupRef = Find(deviceRefs, Ns1(groupId));
    ASSERT_NE(groupRef, nullptr);
    EXPECT_EQ(groupRef->referenceTypeId, NodeId(0, id::Organizes));
    EXPECT_EQ(groupRef->typeDefinition.node, NodeId(0, id::FolderType));
    const ReferenceDescription* levelRef = Find(deviceRefs, Ns1("Dev1.Level"));
    ASSERT_NE(levelRef, nullptr);
    EXPECT_EQ(levelRef->referenceTypeId, NodeId(0, id::HasComponent));
    EXPECT_EQ(levelRef->nodeClass, NodeClass::Variable);
    EXPECT_EQ(levelRef->typeDefinition.node, NodeId(0, id::AnalogItemType));
    EXPECT_EQ(Find(deviceRefs, Ns1("Dev1.Label"))->typeDefinition.node, NodeId(0, id::DataItemType));

    // Every tag of the group, by the item ID a DA client uses for it.
    const auto groupRefs = Browse(*space_, Ns1(groupId), BrowseDirection::Forward, NodeId(0, id::HasComponent));
    Dll<OPCS_Tag*> tags;
    group->CopyTags(tags);
    ASSERT_EQ(groupRefs.size(), static_cast<std::size_t>(tags.GetCount()));
    for (OPCS_Tag* tag : tags) EXPECT_NE(Find(groupRefs, Ns1(tag->GetItemID())), nullptr) << tag->GetItemID();
}

TEST_F(AddressSpaceTest, InverseBrowseLeadsBackUpToObjects) {
    const auto fromTag = Browse(*space_, Ns1("Dev1.Level"), BrowseDirection::Inverse);
    ASSERT_EQ(fromTag.size(), 1u);
    EXPECT_EQ(fromTag[0].nodeId.node, Ns1("Dev1"));
    EXPECT_FALSE(fromTag[0].isForward);
    const auto fromDevice = Browse(*space_, Ns1("Dev1"), BrowseDirection::Inverse);
    ASSERT_EQ(fromDevice.size(), 1u);
    EXPECT_EQ(fromDevice[0].nodeId.node, NodeId(0, id::ObjectsFolder));
    const auto fromObjects = Browse(*space_, NodeId(0, id::ObjectsFolder), BrowseDirection::Inverse);
    ASSERT_NE(Find(fromObjects, NodeId(0, id::RootFolder)), nullptr);
    // Both directions: the tag's type definition, its property and its device.
    const auto both = Browse(*space_, Ns1("Dev1.Level"), BrowseDirection::Both);
    EXPECT_NE(Find(both, NodeId(0, id::AnalogItemType)), nullptr);
    EXPECT_NE(Find(both, Ns1("Dev1")), nullptr);
    EXPECT_NE(Find(both, Ns1(".Dev1.Level.EURange")), nullptr);
}

TEST_F(AddressSpaceTest, ReferenceTypeFiltersFollowTheSubtypeHierarchy) {
    // HierarchicalReferences with subtypes takes Organizes and HasComponent,
    // without subtypes none (it is abstract and nothing uses it directly).
    const auto hierarchical = Browse(*space_, Ns1("Dev1"), BrowseDirection::Forward, NodeId(0, id::HierarchicalReferences));
    EXPECT_NE(Find(hierarchical, Ns1("Dev1.Level")), nullptr);
    EXPECT_EQ(Find(hierarchical, NodeId(0, id::BaseObjectType)), nullptr);
    BrowseFilter exact;
    exact.referenceTypeId = NodeId(0, id::HierarchicalReferences);
    exact.includeSubtypes = false;
    std::vector<ReferenceDescription> none;
    EXPECT_EQ(space_->Browse(Ns1("Dev1"), exact, none), status::Good);
    EXPECT_TRUE(none.empty());
    // Node class mask: only variables.
    BrowseFilter variables;
    variables.nodeClassMask = static_cast<std::uint32_t>(NodeClass::Variable);
    std::vector<ReferenceDescription> onlyVariables;
    ASSERT_EQ(space_->Browse(Ns1("Dev1"), variables, onlyVariables), status::Good);
    EXPECT_FALSE(onlyVariables.empty());
    for (const auto& ref : onlyVariables) EXPECT_EQ(ref.nodeClass, NodeClass::Variable);

    Browse(*space_, Ns1("Dev1"), BrowseDirection::Forward, NodeId(0, 2253u), status::BadReferenceTypeIdInvalid);
    Browse(*space_, Ns1("Dev9"), BrowseDirection::Forward, NodeId{}, status::BadNodeIdUnknown);
    Browse(*space_, Ns1("Dev1"), static_cast<BrowseDirection>(3), NodeId{}, status::BadBrowseDirectionInvalid);
}

TEST_F(AddressSpaceTest, TheStandardTypeTreeIsWalkableBothWays) {
    EXPECT_TRUE(space_->IsSubtypeOf(NodeId(0, id::HasComponent), NodeId(0, id::References)));
    EXPECT_TRUE(space_->IsSubtypeOf(NodeId(0, id::AnalogItemType), NodeId(0, 62u)));
    EXPECT_FALSE(space_->IsSubtypeOf(NodeId(0, id::Organizes), NodeId(0, id::HasChild)));
    const auto subtypes = Browse(*space_, NodeId(0, id::BaseObjectType), BrowseDirection::Forward,
                                 NodeId(0, id::HasSubtype));
    EXPECT_NE(Find(subtypes, NodeId(0, id::FolderType)), nullptr);
    EXPECT_NE(Find(subtypes, NodeId(0, 2004u)), nullptr);
    const auto up = Browse(*space_, NodeId(0, 290u), BrowseDirection::Inverse);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].nodeId.node, NodeId(0, 11u));  // Duration is a Double
}

TEST_F(AddressSpaceTest, EveryNodeClassAnswersItsAttributesAndRefusesOthers) {
    // An object (the device).
    EXPECT_EQ(ReadOne(Ns1("Dev1"), AttributeId::NodeClass).value, Variant::Int32(1));
    EXPECT_EQ(ReadOne(Ns1("Dev1"), AttributeId::BrowseName).value, Variant::QualifiedNameOf({1, "Dev1"}));
    EXPECT_EQ(ReadOne(Ns1("Dev1"), AttributeId::EventNotifier).value,
              Variant::Scalar(BuiltinType::Byte, std::uint64_t{0}));
    EXPECT_EQ(ReadOne(Ns1("Dev1"), AttributeId::Value).Status(), status::BadAttributeIdInvalid);
    EXPECT_EQ(ReadOne(Ns1("Dev1"), AttributeId::IsAbstract).Status(), status::BadAttributeIdInvalid);
    // A variable (a tag).
    const NodeId level = Ns1("Dev1.Level");
    EXPECT_EQ(ReadOne(level, AttributeId::NodeId).value, Variant::NodeIdOf(level));
    EXPECT_EQ(ReadOne(level, AttributeId::DisplayName).value, Variant::LocalizedTextOf({"", "Level"}));
    EXPECT_EQ(ReadOne(level, AttributeId::Description).value, Variant::LocalizedTextOf({"", "Tank level"}));
    EXPECT_EQ(ReadOne(level, AttributeId::DataType).value, Variant::NodeIdOf(NodeId(0, 11u)));
    EXPECT_EQ(ReadOne(level, AttributeId::ValueRank).value, Variant::Int32(-1));
    EXPECT_EQ(ReadOne(level, AttributeId::AccessLevel).value, Variant::Scalar(BuiltinType::Byte, std::uint64_t{3}));
    EXPECT_EQ(ReadOne(Ns1("Dev1.Label"), AttributeId::UserAccessLevel).value,
              Variant::Scalar(BuiltinType::Byte, std::uint64_t{1}));
    EXPECT_EQ(ReadOne(level, AttributeId::UserAccessLevel).value, Variant::Scalar(BuiltinType::Byte, std::uint64_t{3}))
        << "an operator may write the writable tag";
    EXPECT_EQ(ReadOne(level, AttributeId::MinimumSamplingInterval).value, Variant::Double(50.0));
    EXPECT_EQ(ReadOne(level, AttributeId::Historizing).value, Variant::Boolean(false));
    EXPECT_EQ(ReadOne(level, AttributeId::EventNotifier).Status(), status::BadAttributeIdInvalid);
    EXPECT_EQ(ReadOne(level, AttributeId::Symmetric).Status(), status::BadAttributeIdInvalid);
    EXPECT_EQ(ReadOne(level, static_cast<AttributeId>(99)).Status(), status::BadAttributeIdInvalid);
    // A reference type, an object type, a data type, a variable type.
    const NodeId organizes(0, id::Organizes);
    EXPECT_EQ(ReadOne(organizes, AttributeId::InverseName).value, Variant::LocalizedTextOf({"", "OrganizedBy"}));
    EXPECT_EQ(ReadOne(organizes, AttributeId::Symmetric).value, Variant::Boolean(false));
    EXPECT_EQ(ReadOne(organizes, AttributeId::IsAbstract).value, Variant::Boolean(false));
    EXPECT_EQ(ReadOne(NodeId(0, id::HierarchicalReferences), AttributeId::IsAbstract).value, Variant::Boolean(true));
    EXPECT_EQ(ReadOne(NodeId(0, id::FolderType), AttributeId::NodeClass).value, Variant::Int32(8));
    EXPECT_EQ(ReadOne(NodeId(0, 26u), AttributeId::IsAbstract).value, Variant::Boolean(true));  // Number
    EXPECT_EQ(ReadOne(NodeId(0, id::AnalogItemType), AttributeId::NodeClass).value, Variant::Int32(16));
    EXPECT_EQ(ReadOne(NodeId(0, id::AnalogItemType), AttributeId::AccessLevel).Status(), status::BadAttributeIdInvalid);
    EXPECT_EQ(ReadOne(NodeId(0, 123456u), AttributeId::NodeId).Status(), status::BadNodeIdUnknown);
}

TEST_F(AddressSpaceTest, ServerNodesTellTheNamespacesStateAndLimits) {
    EXPECT_EQ(ReadOne(NodeId(0, 2255u)).value,
              Variant::StringArray({"http://opcfoundation.org/UA/", info_.applicationUri}));
    EXPECT_EQ(ReadOne(NodeId(0, 2259u)).value, Variant::Int32(0));
    EXPECT_EQ(ReadOne(NodeId(0, 2264u)).value, Variant::String("1.2.3"));
    EXPECT_EQ(ReadOne(NodeId(0, 11705u)).value, Variant::UInt32(limits::kMaxNodesPerRead));
    EXPECT_EQ(ReadOne(NodeId(0, 11710u)).value, Variant::UInt32(limits::kMaxNodesPerBrowse));
    const DataValue before = ReadOne(NodeId(0, 2258u));
    Sleep(20);
    const DataValue after = ReadOne(NodeId(0, 2258u));
    ASSERT_TRUE(before.value && after.value);
    EXPECT_GT(std::get<std::int64_t>(after.value->values[0]), std::get<std::int64_t>(before.value->values[0]));
    // The status structure: start time first, then the current time, then Running.
    const DataValue status = ReadOne(NodeId(0, 2256u));
    ASSERT_TRUE(status.value.has_value());
    const auto& object = std::get<ExtensionObject>(status.value->values[0]);
    EXPECT_EQ(object.typeId, NodeId(0, 864u));
    Reader r(reinterpret_cast<const std::uint8_t*>(object.body.data()), object.body.size());
    EXPECT_EQ(r.DateTimeValue(), info_.startTime);
    EXPECT_GE(r.DateTimeValue(), info_.startTime);
    EXPECT_EQ(r.Int32(), 0);
    // Namespace 0's values are not the client's to change.
    EXPECT_EQ(WriteOne(NodeId(0, 2267u), Variant::Scalar(BuiltinType::Byte, std::uint64_t{1})), status::BadNotWritable);
}

TEST_F(AddressSpaceTest, TagValuesAreWhatADaClientReadsWithQualityAndTimeStamps) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 42.25;
    FILETIME stamp{0x89ABCDEFu, 0x01DA0000u};
    ASSERT_TRUE(level_->SetValue(v, 0xC0, stamp));
    const DataValue good = ReadOne(Ns1("Dev1.Level"));
    EXPECT_EQ(good.Status(), status::Good);
    EXPECT_EQ(good.value, Variant::Double(42.25));
    EXPECT_EQ(good.sourceTimestamp, FromFileTime(stamp));
    ASSERT_TRUE(good.serverTimestamp.has_value());
    EXPECT_GE(*good.serverTimestamp, FromFileTime(stamp));

    // A DA client's own read of the same tag agrees.
    IOPCServer* da = session_->DaServer();
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    IUnknown* unknown = nullptr;
    ASSERT_EQ(da->AddGroup(u"check", TRUE, 1000, 0, nullptr, nullptr, 0, &groupHandle, &revised, IID_IOPCItemMgt,
                           &unknown),
              S_OK);
    auto* items = static_cast<IOPCItemMgt*>(unknown);
    IOPCSyncIO* sync = nullptr;
    ASSERT_EQ(items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync)), S_OK);
    std::u16string id = u"Dev1.Level";
    OPCITEMDEF def{};
    def.szItemID = id.data();
    def.bActive = TRUE;
    OPCITEMRESULT* added = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(1, &def, &added, &errors), S_OK);
    OPCHANDLE handle = added[0].hServer;
    CoTaskMemFree(added);
    CoTaskMemFree(errors);
    level_->SetQuality(0x56);  // uncertain, EU exceeded, high limited
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(sync->Read(OPC_DS_CACHE, 1, &handle, &states, &errors), S_OK);
    const DataValue uncertain = ReadOne(Ns1("Dev1.Level"));
    EXPECT_EQ(uncertain.Status(), FromDaQuality(states[0].wQuality));
    EXPECT_EQ(uncertain.Status(), status::UncertainEngineeringUnitsExceeded | 0x200u);
    EXPECT_EQ(uncertain.value, FromDaValue(states[0].vDataValue));
    EXPECT_EQ(uncertain.sourceTimestamp, FromFileTime(states[0].ftTimeStamp));
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    sync->Release();
    items->Release();

    // Timestamps as asked.
    const DataValue sourceOnly = ReadOne(Ns1("Dev1.Level"), AttributeId::Value, "", TimestampsToReturn::Source);
    EXPECT_TRUE(sourceOnly.sourceTimestamp.has_value());
    EXPECT_FALSE(sourceOnly.serverTimestamp.has_value());
    const DataValue neither = ReadOne(Ns1("Dev1.Level"), AttributeId::Value, "", TimestampsToReturn::Neither);
    EXPECT_FALSE(neither.sourceTimestamp.has_value());
    EXPECT_FALSE(neither.serverTimestamp.has_value());
}

TEST_F(AddressSpaceTest, ManyTagsInOneReadComeBackInOrderWithTheirOwnResults) {
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringFromUtf8("sampling");
    ASSERT_TRUE(label_->SetValueGood(text));
    VariantClear(&text);
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_R8;
    number.dblVal = 7.5;
    ASSERT_TRUE(level_->SetValueGood(number));
    std::vector<ReadValueId> ids(5);
    ids[0].nodeId = Ns1("Dev1.Label");
    ids[1].nodeId = Ns1("Dev1.Nothing");
    ids[2].nodeId = Ns1("Dev1.Level");
    ids[3].nodeId = Ns1("Dev1.Label");
    ids[3].indexRange = "0:3";
    ids[4].nodeId = Ns1("dev1.level");  // node ids are exact; item IDs ignore case
    const auto results = space_->Read(*session_, ids, TimestampsToReturn::Both, 0);
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[0].value, Variant::String("sampling"));
    EXPECT_EQ(results[1].Status(), status::BadNodeIdUnknown);
    EXPECT_EQ(results[2].value, Variant::Double(7.5));
    EXPECT_EQ(results[3].value, Variant::String("samp"));
    EXPECT_EQ(results[4].Status(), status::BadNodeIdUnknown);
    EXPECT_EQ(ReadOne(Ns1("Dev1.Label"), AttributeId::Value, "20:30").Status(), status::BadIndexRangeNoData);
    EXPECT_EQ(ReadOne(Ns1("Dev1.Label"), AttributeId::Value, "3:1").Status(), status::BadIndexRangeInvalid);
    EXPECT_EQ(ReadOne(Ns1("Dev1.Level"), AttributeId::Value, "0").Status(), status::BadIndexRangeNoData);
    EXPECT_EQ(ReadOne(NodeId(0, 2255u), AttributeId::Value, "1").value, Variant::StringArray({info_.applicationUri}));
}

TEST_F(AddressSpaceTest, AnalogTagsHaveTheirRangeAndConcentrationsTheirUnit) {
    const DataValue range = ReadOne(Ns1(".Dev1.Level.EURange"));
    ASSERT_TRUE(range.value.has_value());
    const auto& object = std::get<ExtensionObject>(range.value->values[0]);
    EXPECT_EQ(object.typeId, NodeId(0, 886u));
    Reader r(reinterpret_cast<const std::uint8_t*>(object.body.data()), object.body.size());
    EXPECT_EQ(r.Double(), 0.0);
    EXPECT_EQ(r.Double(), 100.0);
    EXPECT_EQ(ReadOne(Ns1(".Dev1.Level.EURange"), AttributeId::DataType).value, Variant::NodeIdOf(NodeId(0, 884u)));
    // The label has no limits and so no range; an operator tag no unit.
    EXPECT_EQ(ReadOne(Ns1(".Dev1.Label.EURange")).Status(), status::BadNodeIdUnknown);
    EXPECT_EQ(ReadOne(Ns1(".Dev1.Level.EngineeringUnits")).Status(), status::BadNodeIdUnknown);
    // A new limit shows at once.
    level_->SetEULimits(-5, 5);
    const DataValue changed = ReadOne(Ns1(".Dev1.Level.EURange"));
    const auto& body = std::get<ExtensionObject>(changed.value->values[0]).body;
    Reader again(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    EXPECT_EQ(again.Double(), -5.0);

    // The counter's normalised bins are per-millilitre concentrations.
    OPCS_Tag* normalized = nullptr;
    Dll<OPCS_TagGroup*> groups;
    device_->CopyGroups(groups);
    for (OPCS_TagGroup* group : groups) {
        Dll<OPCS_Tag*> tags;
        group->CopyTags(tags);
        for (OPCS_Tag* tag : tags)
            if (tag->GetKindCode() == 5 && normalized == nullptr) normalized = tag;
    }
    ASSERT_NE(normalized, nullptr);
    const std::string unitsId = "." + normalized->GetItemID() + ".EngineeringUnits";
    const auto props = Browse(*space_, Ns1(normalized->GetItemID()), BrowseDirection::Forward, NodeId(0, id::HasProperty));
    EXPECT_EQ(props.size(), 2u);
    EXPECT_NE(Find(props, Ns1(unitsId)), nullptr);
    const DataValue units = ReadOne(Ns1(unitsId));
    ASSERT_TRUE(units.value.has_value());
    const auto& info = std::get<ExtensionObject>(units.value->values[0]);
    EXPECT_EQ(info.typeId, NodeId(0, 889u));
    Reader u(reinterpret_cast<const std::uint8_t*>(info.body.data()), info.body.size());
    EXPECT_EQ(u.String(), "http://www.opcfoundation.org/UA/units/un/cefact");
    EXPECT_EQ(u.Int32(), ('H' << 16) | ('5' << 8) | '0');
}

TEST_F(AddressSpaceTest, AViewerReadsWhatItMayNotWriteAndIsRefusedTheWrite) {
    session_->user = UserIdentity{Role::Viewer, ""};
    const NodeId level = Ns1("Dev1.Level");
    EXPECT_EQ(ReadOne(level, AttributeId::AccessLevel).value, Variant::Scalar(BuiltinType::Byte, std::uint64_t{3}));
    EXPECT_EQ(ReadOne(level, AttributeId::UserAccessLevel).value, Variant::Scalar(BuiltinType::Byte, std::uint64_t{1}));
    EXPECT_EQ(WriteOne(level, Variant::Int32(12)), status::BadUserAccessDenied);
    // What no one may write stays Bad_NotWritable, whoever asks.
    EXPECT_EQ(WriteOne(Ns1("Dev1.Label"), Variant::String("x")), status::BadNotWritable);
    session_->user = UserIdentity{Role::Engineer, "eng"};
    EXPECT_EQ(ReadOne(level, AttributeId::UserAccessLevel).value, Variant::Scalar(BuiltinType::Byte, std::uint64_t{3}));
}

TEST_F(AddressSpaceTest, WritesConvertToTheTagTypeOrSayWhyNot) {
    // The counter's sample interval (seconds, a Double) takes an integer.
    VOKTag* interval = device_->GetSlotTag(VOKTagKinds::FirstSlot(VOKTagKinds::kSampleInterval));
    ASSERT_NE(interval, nullptr);
    const NodeId intervalNode = Ns1(interval->GetItemID());
    EXPECT_EQ(WriteOne(intervalNode, Variant::Int32(30)), status::Good);
    EXPECT_EQ(device_->GetSampleInterval(), 30u);
    EXPECT_EQ(ReadOne(intervalNode).value, Variant::Double(30.0));
    // An operator's tag on a device is not the counter's to take: the DA
    // write fails and says so.
    EXPECT_EQ(WriteOne(Ns1("Dev1.Level"), Variant::Int32(12)), status::BadDeviceFailure);
    // A number the tag's type cannot hold never reaches the device.
    auto* small = new VOKTag;
    small->SetName("Small");
    small->SetCanonicalType(VT_I2);
    small->SetAccessRights(1);
    ASSERT_TRUE(doc_->InsertTag(device_, small));
    EXPECT_EQ(WriteOne(Ns1("Dev1.Small"), Variant::Int32(40000)), status::BadOutOfRange);
    EXPECT_EQ(WriteOne(Ns1("Dev1.Small"), Variant::Boolean(true)), status::BadTypeMismatch);
    VARIANT now;
    VariantInit(&now);
    level_->SetValueGood([] {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_R8;
        v.dblVal = 12.0;
        return v;
    }());

    EXPECT_EQ(WriteOne(Ns1("Dev1.Level"), Variant::String("12")), status::BadTypeMismatch);
    EXPECT_EQ(WriteOne(Ns1("Dev1.Label"), Variant::String("x")), status::BadNotWritable);
    EXPECT_EQ(WriteOne(Ns1("Dev1.Level"), Variant::Double(1), AttributeId::DisplayName), status::BadNotWritable);
    EXPECT_EQ(WriteOne(Ns1("Dev1"), Variant::Double(1), AttributeId::Value), status::BadAttributeIdInvalid);
    EXPECT_EQ(WriteOne(Ns1("Dev1.Gone"), Variant::Double(1)), status::BadNodeIdUnknown);
    EXPECT_EQ(WriteOne(Ns1(".Dev1.Level.EURange"), Variant::Double(1)), status::BadNotWritable);

    WriteValue stamped;
    stamped.nodeId = Ns1("Dev1.Level");
    stamped.value.value = Variant::Double(3);
    stamped.value.sourceTimestamp = Now();
    WriteValue ranged;
    ranged.nodeId = Ns1("Dev1.Level");
    ranged.value.value = Variant::Double(3);
    ranged.indexRange = "0";
    WriteValue badRange = ranged;
    badRange.indexRange = "x";
    const auto results = space_->Write(*session_, {stamped, ranged, badRange});
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0], status::BadWriteNotSupported);
    EXPECT_EQ(results[1], status::BadWriteNotSupported);
    EXPECT_EQ(results[2], status::BadIndexRangeInvalid);
    level_->GetValue(now);
    EXPECT_DOUBLE_EQ(now.dblVal, 12.0);  // none of them reached the tag
}

TEST_F(AddressSpaceTest, ADeletedDeviceIsGoneAndATagMadeAgainIsReadAfresh) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 1.0;
    ASSERT_TRUE(level_->SetValueGood(v));
    ASSERT_EQ(ReadOne(Ns1("Dev1.Level")).value, Variant::Double(1.0));

    // The tag is replaced by another of the same name: the session's item on
    // the old one must not answer for the new one.
    // Detached while the session's item still holds it, as a device
    // retiring a tag does; it is destroyed once the session has let go.
    std::unique_ptr<VOKTag> old(level_);
    ASSERT_TRUE(device_->DetachTag(level_));
    EXPECT_FALSE(old->CanDelete());  // the session's item holds it
    EXPECT_EQ(ReadOne(Ns1("Dev1.Level")).Status(), status::BadNodeIdUnknown);
    EXPECT_FALSE(space_->Exists(Ns1("Dev1.Level")));
    // The read that found it gone let go of it, so that it can be destroyed
    // (the DA group gives its item's reference back when its scan is done).
    const auto eventuallyDeletable = [](const OPCS_Tag& tag) {
        for (int i = 0; i < 200 && !tag.CanDelete(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return tag.CanDelete();
    };
    EXPECT_TRUE(eventuallyDeletable(*old));
    auto* again = new VOKTag;
    again->SetName("Level");
    again->SetCanonicalType(VT_R8);
    again->SetVolatile(false);
    ASSERT_TRUE(doc_->InsertTag(device_, again));
    v.dblVal = 2.0;
    ASSERT_TRUE(again->SetValueGood(v));
    EXPECT_EQ(ReadOne(Ns1("Dev1.Level")).value, Variant::Double(2.0));
    EXPECT_EQ(space_->TagItemId(Ns1("Dev1.Level")), std::optional<std::string>("Dev1.Level"));
    // Replaced again with no read in between: the item on the second tag
    // must not answer for the third.
    std::unique_ptr<VOKTag> second(again);
    ASSERT_TRUE(device_->DetachTag(again));
    auto* third = new VOKTag;
    third->SetName("Level");
    third->SetCanonicalType(VT_R8);
    third->SetVolatile(false);
    ASSERT_TRUE(doc_->InsertTag(device_, third));
    v.dblVal = 3.0;
    ASSERT_TRUE(third->SetValueGood(v));
    EXPECT_EQ(ReadOne(Ns1("Dev1.Level")).value, Variant::Double(3.0));
    EXPECT_TRUE(eventuallyDeletable(*second));
    // Renamed after it was read: the old node is gone, the new one reads it.
    third->SetName("Height");
    EXPECT_EQ(ReadOne(Ns1("Dev1.Level")).Status(), status::BadNodeIdUnknown);
    EXPECT_EQ(ReadOne(Ns1("Dev1.Height")).value, Variant::Double(3.0));

    // A second device added shows at once, and deleting it takes it away.
    auto other = VOKDevice::Create(false);
    other->SetName("Dev2");
    other->SetSimulation(true);
    ASSERT_TRUE(doc_->AddDevice(other.release()));
    EXPECT_NE(Find(Browse(*space_, NodeId(0, id::ObjectsFolder)), Ns1("Dev2")), nullptr);
    OPCS_TagGroup* dev2 = nullptr;
    {
        ConfigLockHold hold;
        Dll<OPCS_Device*> devices;
        doc_->GetDeviceList(devices);
        for (OPCS_Device* d : devices)
            if (d->GetName() == "Dev2") dev2 = d;
    }
    ASSERT_NE(dev2, nullptr);
    ASSERT_TRUE(doc_->DeleteItem(dev2));
    EXPECT_EQ(Find(Browse(*space_, NodeId(0, id::ObjectsFolder)), Ns1("Dev2")), nullptr);
    EXPECT_EQ(ReadOne(Ns1("Dev2"), AttributeId::BrowseName).Status(), status::BadNodeIdUnknown);
    Browse(*space_, Ns1("Dev2"), BrowseDirection::Forward, NodeId{}, status::BadNodeIdUnknown);
    session_.reset();
}

}  // namespace

namespace {

using namespace ua;

TEST_F(AddressSpaceTest, ReadsOfOneSessionFromManyThreadsAllGetTheirValues) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 5.0;
    ASSERT_TRUE(level_->SetValueGood(v));
    // Each thread asks for tags the others also ask for and some only it
    // does, so that the session's items are added while others read them.
    std::vector<std::string> ids{"Dev1.Level"};
    Dll<OPCS_TagGroup*> groups;
    device_->CopyGroups(groups);
    for (OPCS_TagGroup* group : groups) {
        Dll<OPCS_Tag*> tags;
        group->CopyTags(tags);
        for (OPCS_Tag* tag : tags) ids.push_back(tag->GetItemID());
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int round = 0; round < 50; ++round) {
                std::vector<ReadValueId> reads(9);
                reads[0].nodeId = Ns1("Dev1.Level");
                for (std::size_t k = 1; k < reads.size(); ++k)
                    reads[k].nodeId = Ns1(ids[(static_cast<std::size_t>(t * 7 + round) * 8 + k) % ids.size()]);
                const auto results = space_->Read(*session_, reads, TimestampsToReturn::Both, 0);
                if (results.size() != reads.size() ||
                    results[0].value != std::optional<Variant>(Variant::Double(5.0)))
                    ++wrong;
                for (const DataValue& result : results)
                    if (result.Status() == status::BadNodeIdUnknown) ++wrong;
            }
            CoUninitialize();
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

class LoadedConfigurationTest : public uatest::AddressSpaceFixture {};

TEST_F(LoadedConfigurationTest, AConfigurationFileLoadedByTheServerIsWhatClientsBrowseAndRead) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("ua-address-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".psf");
    ASSERT_TRUE(doc_->OnSaveDocument(file.string()));
    session_.reset();
    std::string error;
    ASSERT_TRUE(host_.LoadConfiguration(file.string(), error)) << error;
    std::filesystem::remove(file);
    session_ = std::make_shared<uatest::TestSession>(Connect());

    std::vector<ReferenceDescription> devices;
    BrowseFilter organizes;
    organizes.referenceTypeId = NodeId(0, id::Organizes);
    ASSERT_EQ(space_->Browse(NodeId(0, id::ObjectsFolder), organizes, devices), status::Good);
    const auto dev1 = std::find_if(devices.begin(), devices.end(),
                                   [](const ReferenceDescription& r) { return r.nodeId.node == NodeId(1, "Dev1"); });
    ASSERT_NE(dev1, devices.end());
    // The node answers from the tag the file made.
    OPCS_Tag* level = host_.Document()->FindTag("Dev1.Level");
    ASSERT_NE(level, nullptr);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 99.5;
    ASSERT_TRUE(level->SetValueGood(v));
    EXPECT_EQ(ReadOne(NodeId(1, "Dev1.Level")).value, Variant::Double(99.5));
    EXPECT_EQ(ReadOne(NodeId(1, ".Dev1.Level.EURange"), AttributeId::NodeClass).value, Variant::Int32(2));
}

}  // namespace
