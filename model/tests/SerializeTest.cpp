// The configuration file's layers, checked against bytes laid out by hand
// from the file format, and round trips of every counter-device field.

#include "DeviceTestSupport.h"
#include "foundation/Archive.h"
#include "model/SerializeLists.h"
#include "model/VOKTagGroup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

// Lays out file bytes independently of the archive under test.
class Bytes {
public:
    Bytes& u8(std::uint8_t v) { return put(&v, 1); }
    Bytes& u16(std::uint16_t v) { return put(&v, 2); }
    Bytes& u32(std::uint32_t v) { return put(&v, 4); }
    Bytes& f64(double v) { return put(&v, 8); }
    Bytes& str(const std::string& s) {  // short strings only
        u8(static_cast<std::uint8_t>(s.size()));
        return put(s.data(), s.size());
    }
    Bytes& raw(const std::vector<std::uint8_t>& b) {
        data.insert(data.end(), b.begin(), b.end());
        return *this;
    }
    std::vector<std::uint8_t> data;

private:
    Bytes& put(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        data.insert(data.end(), b, b + n);
        return *this;
    }
};

constexpr double kProgramVersion = 2.11;

// One tag of the given layer version with recognisable values everywhere.
Bytes TagBytes(double version, const std::string& name, std::uint32_t classCode = 1) {
    Bytes b;
    b.f64(version).str(name).str("Room 4 door").u32(0).u32(classCode);
    if (version >= 1.6) b.u32(21);  // kind code
    b.u32(0).u32(1).u32(0).u32(1).u32(0).u32(1).u32(0).u32(1);  // volatile .. scaling active
    if (version >= 1.6) b.u32(1);                               // undeletable
    b.u16(0xC0).u32(3).u32(20);
    b.u16(5).f64(3.25);                        // value: R8
    b.u32(0x01D9ABCD).u32(0x12345678);         // time stamp high, low
    b.u32(1).u32(0).u32(5);                    // read/write, Sine, canonical R8
    b.f64(-10).f64(90).f64(0).f64(4000).f64(2).f64(0.5).f64(12.5);
    b.f64(kProgramVersion).u32(21).u32(7);     // counter-tag layer: kind, slot
    return b;
}

struct Loaded {
    Dll<OPCS_Tag*> tags;
    ~Loaded() {
        while (!tags.IsEmpty()) delete tags.RemoveNode(tags.Head());
    }
};

template <typename T>
void DeleteAll(Dll<T*>& list) {
    while (!list.IsEmpty()) delete list.RemoveNode(list.Head());
}

double DoubleOf(const OPCS_Tag* tag) { return TagDouble(tag); }

}  // namespace

TEST(Serialize, AHandWrittenTagIsReadFieldByFieldAndWrittenBackByteForByte) {
    EventLogCapture log;
    const Bytes file = Bytes().u32(1).u32(1).raw(TagBytes(1.6, "Door Sensor").data);
    CArchive in(file.data);
    Loaded loaded;
    SerializeTagList(in, loaded.tags);
    ASSERT_EQ(loaded.tags.GetCount(), 1);
    EXPECT_EQ(in.GetRemaining(), 0u);
    EXPECT_TRUE(in.GetErrors().empty());
    auto* tag = static_cast<VOKTag*>(loaded.tags.GetAt(0));
    EXPECT_EQ(tag->GetName(), "Door Sensor");
    EXPECT_EQ(tag->GetDescription(), "Room 4 door");
    EXPECT_EQ(tag->GetClassCode(), 1);
    EXPECT_EQ(tag->GetKind(), 21);
    EXPECT_EQ(tag->GetSlot(), 7);
    EXPECT_FALSE(tag->IsVolatile());
    EXPECT_TRUE(tag->IsEULimitsEnabled());
    EXPECT_FALSE(tag->IsRawLimitsEnabled());
    EXPECT_TRUE(tag->IsScalingEnabled());
    EXPECT_FALSE(tag->IsSimulationEnabled());
    EXPECT_TRUE(tag->IsEULimitsActive());
    EXPECT_FALSE(tag->IsRawLimitsActive());
    EXPECT_TRUE(tag->IsScalingActive());
    EXPECT_TRUE(tag->IsUndeletable());
    EXPECT_EQ(tag->GetQuality(), 0xC0);
    EXPECT_EQ(tag->GetSimulationSteps(), 20u);
    EXPECT_EQ(DoubleOf(tag), 3.25);
    EXPECT_EQ(tag->GetTimestamp().dwHighDateTime, 0x01D9ABCDu);
    EXPECT_EQ(tag->GetTimestamp().dwLowDateTime, 0x12345678u);
    EXPECT_EQ(tag->GetAccessRights(), 1);
    EXPECT_EQ(tag->GetSimulationType(), SimulationType::Sine);
    EXPECT_EQ(tag->GetCanonicalType(), VT_R8);
    EXPECT_EQ(tag->GetEUMin(), -10);
    EXPECT_EQ(tag->GetEUMax(), 90);
    EXPECT_EQ(tag->GetRawMax(), 4000);
    EXPECT_EQ(tag->GetOffset(), 2);
    EXPECT_EQ(tag->GetGain(), 0.5);
    EXPECT_EQ(tag->GetDeadBand(), 12.5);
    EXPECT_EQ(log.CountContaining("Serialization Success - input tag: Door Sensor"), 1);

    CArchive out;
    SerializeTagList(out, loaded.tags);
    EXPECT_EQ(out.GetBytes(), file.data);
    EXPECT_EQ(log.CountContaining("Serialization Success - output tag: Door Sensor"), 1);
}

TEST(Serialize, ATagLayerOfAnotherClassLoadsAsACounterTagAndIsSavedAsOne) {
    EventLogCapture log;
    const Bytes file = Bytes().u32(1).u32(1).raw(TagBytes(1.6, "Door Sensor", 0x6172206C).data);
    CArchive in(file.data);
    Loaded loaded;
    SerializeTagList(in, loaded.tags);
    ASSERT_EQ(loaded.tags.GetCount(), 1);
    EXPECT_EQ(loaded.tags.GetAt(0)->GetClassCode(), 1);

    // Both the list's entry and the tag's own layer say counter tag, and a
    // second save writes what the first did.
    CArchive out;
    SerializeTagList(out, loaded.tags);
    EXPECT_EQ(out.GetBytes(), Bytes().u32(1).u32(1).raw(TagBytes(1.6, "Door Sensor").data).data);
    CArchive again(out.GetBytes());
    Loaded reloaded;
    SerializeTagList(again, reloaded.tags);
    CArchive twice;
    SerializeTagList(twice, reloaded.tags);
    EXPECT_EQ(twice.GetBytes(), out.GetBytes());
}

TEST(Serialize, OlderTagAndGroupLayoutsLoadWithoutTheirLaterFields) {
    EventLogCapture log;
    // A 1.5 tag has neither kind code nor undeletable flag.
    {
        const Bytes file = Bytes().u32(1).u32(1).raw(TagBytes(1.5, "Old").data);
        CArchive in(file.data);
        Loaded loaded;
        SerializeTagList(in, loaded.tags);
        ASSERT_EQ(loaded.tags.GetCount(), 1);
        EXPECT_EQ(in.GetRemaining(), 0u);
        auto* tag = static_cast<VOKTag*>(loaded.tags.GetAt(0));
        EXPECT_FALSE(tag->IsUndeletable());
        EXPECT_EQ(tag->GetKind(), 21);
        EXPECT_EQ(DoubleOf(tag), 3.25);
        EXPECT_EQ(tag->GetGain(), 0.5);
    }
    // A 1.5 group has no ordinal: 0 until its parent places it. A group
    // layer below 2.0 of the counter group has no kind.
    auto group15 = [](const std::string& name) {
        return Bytes().f64(1.5).str(name).str("").u32(2).u32(3).u32(0).u32(0).f64(1.9).data;
    };
    Bytes parent;
    parent.u32(1).u32(2).f64(1.6).str("Parent").str("d").u32(2).u32(3).u32(9);
    parent.u32(2).u32(2).raw(group15("First")).u32(2).raw(group15("Second"));
    parent.u32(0).f64(kProgramVersion).u32(6);
    CArchive in(parent.data);
    Dll<OPCS_TagGroup*> groups;
    SerializeGroupList(in, groups);
    ASSERT_EQ(groups.GetCount(), 1);
    EXPECT_EQ(in.GetRemaining(), 0u);
    Dll<OPCS_TagGroup*> children;
    groups.GetAt(0)->CopyGroups(children);
    ASSERT_EQ(children.GetCount(), 2);
    EXPECT_EQ(children.GetAt(0)->GetOrdinal(), 1);
    EXPECT_EQ(children.GetAt(1)->GetOrdinal(), 2);
    EXPECT_EQ(children.GetAt(1)->GetParent(), groups.GetAt(0));
    EXPECT_EQ(static_cast<VOKTagGroup*>(children.GetAt(0))->GetKind(), VOKTagGroup::Unknown);
    EXPECT_FALSE(groups.GetAt(0)->IsConfigurationChanged());

    CArchive lone(Bytes().u32(1).u32(2).raw(group15("Lone")).data);
    Dll<OPCS_TagGroup*> top;
    SerializeGroupList(lone, top);
    ASSERT_EQ(top.GetCount(), 1);
    EXPECT_EQ(top.GetAt(0)->GetOrdinal(), 0);
    DeleteAll(top);
    DeleteAll(groups);
}

TEST(Serialize, NamesRepeatedInAFileAreRefusedAndReported) {
    EventLogCapture log;
    auto group = [](const std::string& name) {
        return Bytes().f64(1.6).str(name).str("").u32(2).u32(3).u32(0).u32(0).u32(0).f64(kProgramVersion).u32(6).data;
    };
    Bytes file;
    file.u32(1).u32(2).f64(1.6).str("P").str("").u32(2).u32(3).u32(1);
    file.u32(2).u32(2).raw(group("Zone")).u32(2).raw(group("ZONE"));
    file.u32(2).u32(1).raw(TagBytes(1.6, "T1").data).u32(1).raw(TagBytes(1.6, "t1").data);
    file.f64(kProgramVersion).u32(6);
    CArchive in(file.data);
    Dll<OPCS_TagGroup*> groups;
    SerializeGroupList(in, groups);
    ASSERT_EQ(groups.GetCount(), 1);
    EXPECT_EQ(groups.GetAt(0)->GetGroupCount(), 1);
    EXPECT_EQ(groups.GetAt(0)->GetTagCount(), 1);
    EXPECT_EQ(in.GetErrors().size(), 2u);
    DeleteAll(groups);
}

TEST(Serialize, ABrokenEntryEndsItsListAndKeepsWhatCameBefore) {
    EventLogCapture log;
    // The second tag claims a text value longer than the file.
    Bytes file;
    file.u32(3).u32(1).raw(TagBytes(1.6, "Good").data).u32(1);
    file.f64(1.6).str("Cut").str("").u32(0).u32(1).u32(21);
    CArchive in(file.data);
    Loaded loaded;
    SerializeTagList(in, loaded.tags);
    ASSERT_EQ(loaded.tags.GetCount(), 1);
    EXPECT_EQ(loaded.tags.GetAt(0)->GetName(), "Good");
    ASSERT_EQ(in.GetErrors().size(), 1u);
    EXPECT_EQ(in.GetErrors()[0], "Serialization Error - input tag#: 1 of type: 1 from config file");
    EXPECT_EQ(log.CountContaining("Serialization Error - input tag#: 1 of type: 1 from config file"), 1);
}

TEST(Serialize, CounterDevicesRoundTripEveryFieldAndACutSecondDeviceIsDropped) {
    EventLogCapture log;
    Dll<OPCS_Device*> devices;
    auto first = VOKDevice::Create(false);
    first->SetName("Clean Room 1");
    first->SetDescription("north wall");
    first->SetPort(4);
    first->SetAddress(0x85);
    first->SetSampleInterval(90, false);
    first->SetBinSizes(Bins({0.3, 0.5, 1, 5.5}), false);
    first->SetFlow(28.3);
    Dll<VOK_CalPt> points;
    points.AddTail({0.3, 120});
    points.AddTail({5.5, 2400});
    first->SetCalPoints(points);
    first->SetUpdateInterval(45);
    first->SetSimulation(false);
    auto* user = new VOKTagGroup;
    user->SetName("Operator Group");
    ASSERT_TRUE(first->AddGroup(user));
    auto* tag = new VOKTag;
    tag->SetName("Note");
    tag->SetEULimitsEnabled(true);
    tag->SetEULimits(1, 2);
    ASSERT_TRUE(user->AddTag(tag));
    const int groupCount = first->GetGroupCount();
    first->RebuildTagList();
    Dll<OPCS_Tag*> allTags;
    first->CopyTagList(allTags);
    const int tagCount = allTags.GetCount();
    devices.AddTail(first.release());
    auto second = VOKDevice::Create(false);
    second->SetName("Clean Room 2");
    second->SetSimulation(true);
    devices.AddTail(second.release());

    CArchive out;
    SerializeDeviceList(out, devices);
    EXPECT_TRUE(out.GetErrors().empty());

    {
        CArchive in(out.GetBytes());
        Dll<OPCS_Device*> loaded;
        SerializeDeviceList(in, loaded);
        ASSERT_EQ(loaded.GetCount(), 2);
        EXPECT_EQ(in.GetRemaining(), 0u);
        auto* d = static_cast<VOKDevice*>(loaded.GetAt(0));
        EXPECT_EQ(d->GetName(), "Clean Room 1");
        EXPECT_EQ(d->GetDescription(), "north wall");
        EXPECT_EQ(d->GetPort(), 4);
        EXPECT_EQ(d->GetAddress(), 0x85);
        EXPECT_EQ(d->GetSampleInterval(), 90u);
        EXPECT_EQ(d->GetUpdateInterval(), 45u);
        EXPECT_EQ(d->GetFlow(), 28.3);
        EXPECT_FALSE(d->IsSimulation());
        Dll<double> bins;
        d->GetBinSizes(bins);
        ASSERT_EQ(bins.GetCount(), 4);
        EXPECT_EQ(bins.GetAt(3), 5.5);
        Dll<VOK_CalPt> cal;
        d->GetCalPoints(cal);
        ASSERT_EQ(cal.GetCount(), 2);
        EXPECT_EQ(cal.GetAt(1), (VOK_CalPt{5.5, 2400}));
        EXPECT_EQ(d->GetGroupCount(), groupCount);
        Dll<OPCS_Tag*> tags;
        d->CopyTagList(tags);
        EXPECT_EQ(tags.GetCount(), tagCount);
        // The standard tags are found again by kind and slot and carry the configuration.
        ASSERT_NE(d->GetSlotTag(VOKDevice::kSlotNumBins), nullptr);
        EXPECT_EQ(DoubleOf(d->GetSlotTag(VOKDevice::kSlotNumBins)), 4);
        EXPECT_EQ(DoubleOf(d->GetSlotTag(VOKDevice::kSlotBinSize + 2)), 1);
        EXPECT_EQ(d->GetSlotTag(VOKDevice::kSlotBinSize + 4), nullptr);
        EXPECT_EQ(DoubleOf(d->GetSlotTag(VOKDevice::kSlotSampleInterval)), 90);
        OPCS_Tag* note = d->FindTag("Operator Group.Note");
        ASSERT_NE(note, nullptr);
        EXPECT_TRUE(note->IsEULimitsActive());
        EXPECT_EQ(note->GetEUMax(), 2);
        EXPECT_TRUE(static_cast<VOKDevice*>(loaded.GetAt(1))->IsSimulation());
        DeleteAll(loaded);
    }

    // The second device cut off in the middle: the first loads whole.
    Dll<OPCS_Device*> one;
    one.AddTail(devices.GetAt(0));
    CArchive firstOnly;
    SerializeDeviceList(firstOnly, one);
    std::vector<std::uint8_t> cut = out.GetBytes();
    cut.resize(firstOnly.GetBytes().size() + (out.GetBytes().size() - firstOnly.GetBytes().size()) / 2);
    CArchive in(cut);
    Dll<OPCS_Device*> loaded;
    SerializeDeviceList(in, loaded);
    ASSERT_EQ(loaded.GetCount(), 1);
    EXPECT_EQ(loaded.GetAt(0)->GetName(), "Clean Room 1");
    ASSERT_FALSE(in.GetErrors().empty());
    EXPECT_EQ(in.GetErrors().back(), "Serialization Error - input device#: 1 of type: 3");
    DeleteAll(loaded);
    DeleteAll(devices);
}

TEST(Serialize, LayoutsOfOlderReleasesMakeTheWholeFileUnreadable) {
    EventLogCapture log;
    auto device = VOKDevice::Create(false);
    Dll<OPCS_Device*> devices;
    devices.AddTail(device.get());
    CArchive out;
    SerializeDeviceList(out, devices);
    std::vector<std::uint8_t> bytes = out.GetBytes();
    // The counter-device layer's version sits 8 bytes after the device layer's
    // in-service flag and interval; find it as the last 2.11 in the file.
    const double current = kProgramVersion, old = 1.9;
    std::size_t at = std::string::npos;
    for (std::size_t i = 0; i + 8 <= bytes.size(); ++i)
        if (std::memcmp(bytes.data() + i, &current, 8) == 0) at = i;
    ASSERT_NE(at, std::string::npos);
    std::memcpy(bytes.data() + at, &old, 8);
    CArchive in(bytes);
    Dll<OPCS_Device*> loaded;
    EXPECT_THROW(SerializeDeviceList(in, loaded), UnsupportedLayoutException);
    EXPECT_EQ(loaded.GetCount(), 0);

    Bytes oldTag = Bytes().u32(1).u32(1).raw(TagBytes(1.4, "Ancient").data);
    CArchive tagIn(oldTag.data);
    Loaded tags;
    EXPECT_THROW(SerializeTagList(tagIn, tags.tags), UnsupportedLayoutException);
}
