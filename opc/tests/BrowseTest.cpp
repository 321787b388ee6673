#include "GroupTestSupport.h"

#include "model/VOKTagGroup.h"
#include "opc/OPCGroup.h"

#include <set>
#include <thread>

namespace {

// A client's browser of the server's address space, with the names read
// whole from each enumeration.
class BrowseTest : public GroupTest {
protected:
    void SetUp() override {
        GroupTest::SetUp();
        // Dev1 holds the counter's own groups and tags and an operator's
        // group "Room A" (tag Temp) with a sub-group "Shelf" (tag Probe).
        auto* room = new VOKTagGroup;
        room->SetName("Room A");
        ASSERT_TRUE(doc_->InsertGroup(device_, room));
        auto* temp = new VOKTag;
        temp->SetName("Temp");
        ASSERT_TRUE(doc_->InsertTag(room, temp));
        auto* shelf = new VOKTagGroup;
        shelf->SetName("Shelf");
        ASSERT_TRUE(doc_->InsertGroup(room, shelf));
        auto* probe = new VOKTag;
        probe->SetName("Probe");
        ASSERT_TRUE(doc_->InsertTag(shelf, probe));
        ASSERT_EQ(server_->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&browse_)),
                  S_OK);
    }

    void TearDown() override {
        if (browse_ != nullptr) browse_->Release();
        GroupTest::TearDown();
    }

    VOKDevice* AddDevice(const std::string& name) {
        auto device = VOKDevice::Create(false);
        device->SetName(name);
        device->SetSimulation(true);
        VOKDevice* added = device.get();
        EXPECT_TRUE(doc_->AddDevice(device.release()));
        return added;
    }

    static std::vector<std::u16string> ReadAll(IEnumString* list, ULONG chunk = 7) {
        std::vector<std::u16string> names;
        for (;;) {
            std::vector<LPOLESTR> got(chunk, nullptr);
            ULONG fetched = 0;
            const HRESULT hr = list->Next(chunk, got.data(), &fetched);
            EXPECT_LE(fetched, chunk);
            for (ULONG i = 0; i < fetched; ++i) {
                names.emplace_back(got[i]);
                CoTaskMemFree(got[i]);
            }
            if (hr != S_OK) {
                EXPECT_EQ(hr, S_FALSE);
                return names;
            }
        }
    }

    std::vector<std::u16string> Names(OPCBROWSETYPE type, const char16_t* criteria = u"") {
        IEnumString* list = nullptr;
        EXPECT_EQ(browse_->BrowseOPCItemIDs(type, criteria, VT_EMPTY, 0, &list), S_OK);
        if (list == nullptr) return {};
        std::vector<std::u16string> names = ReadAll(list);
        list->Release();
        return names;
    }

    HRESULT Down(const char16_t* name) { return browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, name); }
    HRESULT Up() { return browse_->ChangeBrowsePosition(OPC_BROWSE_UP, u""); }

    std::u16string ItemId(const char16_t* name, HRESULT* result = nullptr) {
        std::u16string wide = name;
        LPWSTR id = nullptr;
        const HRESULT hr = browse_->GetItemID(wide.data(), &id);
        if (result != nullptr) *result = hr;
        std::u16string text = id != nullptr ? id : u"";
        CoTaskMemFree(id);
        return text;
    }

    // Every leaf's item ID below the position, found by browsing alone.
    void Walk(std::vector<std::u16string>& ids) {
        for (const std::u16string& leaf : Names(OPC_LEAF)) ids.push_back(ItemId(leaf.c_str()));
        for (const std::u16string& branch : Names(OPC_BRANCH)) {
            ASSERT_EQ(Down(branch.c_str()), S_OK);
            Walk(ids);
            ASSERT_EQ(Up(), S_OK);
        }
    }

    static std::size_t TagsBelow(OPCS_TagGroup* group) {
        std::size_t count = static_cast<std::size_t>(group->GetTagCount());
        Dll<OPCS_TagGroup*> children;
        group->CopyGroups(children);
        for (OPCS_TagGroup* child : children) count += TagsBelow(child);
        return count;
    }

    IOPCBrowseServerAddressSpace* browse_ = nullptr;
};

const std::vector<std::u16string> kCounterGroups = {u"Bin Sizes",
                                                    u"Cumulative Raw Bin Counts",
                                                    u"Cumulative Normalized Bin Counts",
                                                    u"Differential Raw Bin Counts",
                                                    u"Differential Normalized Bin Counts",
                                                    u"Analog Data"};

}  // namespace

TEST_F(BrowseTest, MovesOneBranchAtATimeAndRefusesWhatIsNotThere) {
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    EXPECT_EQ(browse_->QueryOrganization(&type), S_OK);
    EXPECT_EQ(type, OPC_NS_HIERARCHIAL);
    EXPECT_EQ(browse_->QueryOrganization(nullptr), E_INVALIDARG);

    EXPECT_EQ(Up(), E_FAIL);  // the root has no parent
    EXPECT_EQ(Down(u"dEV1"), S_OK);
    EXPECT_EQ(Down(u"Room B"), E_INVALIDARG);
    EXPECT_EQ(Down(nullptr), E_INVALIDARG);
    EXPECT_EQ(Down(u"Dev1.Room A"), E_INVALIDARG) << "down is one step, not a path";
    EXPECT_EQ(Down(u"room a"), S_OK);
    EXPECT_EQ(Names(OPC_LEAF), std::vector<std::u16string>{u"Temp"});
    EXPECT_EQ(Down(u"SHELF"), S_OK);
    EXPECT_EQ(Names(OPC_LEAF), std::vector<std::u16string>{u"Probe"});
    EXPECT_EQ(Up(), S_OK);
    EXPECT_EQ(Up(), S_OK);
    EXPECT_EQ(Up(), S_OK);
    EXPECT_EQ(Up(), E_FAIL);
    EXPECT_EQ(Names(OPC_BRANCH), std::vector<std::u16string>{u"Dev1"});
}

TEST_F(BrowseTest, ToTakesTheFullPathOfABranchFromAnywhereAndEmptyIsTheRoot) {
    const auto to = [this](const char16_t* path) { return browse_->ChangeBrowsePosition(OPC_BROWSE_TO, path); };
    EXPECT_EQ(to(u"Dev1.Room A.Shelf"), S_OK);
    EXPECT_EQ(Names(OPC_LEAF), std::vector<std::u16string>{u"Probe"});
    EXPECT_EQ(ItemId(u"Probe"), u"Dev1.Room A.Shelf.Probe");
    // From deep down to another branch, letter case ignored as in item IDs.
    EXPECT_EQ(to(u"dev1.analog data"), S_OK);
    EXPECT_EQ(ItemId(u"Analog Input 1"), u"Dev1.Analog Data.Analog Input 1");
    EXPECT_EQ(to(u"Dev1"), S_OK);
    EXPECT_EQ(Names(OPC_BRANCH).size(), kCounterGroups.size() + 1);

    // What is no branch's full path leaves the position where it was.
    EXPECT_EQ(to(u"Room A"), E_INVALIDARG) << "a path starts at a device";
    EXPECT_EQ(to(u"Dev1.Room A.Temp"), E_INVALIDARG) << "a tag is no branch";
    EXPECT_EQ(to(u"Dev1.Room A."), E_INVALIDARG);
    EXPECT_EQ(to(u"Dev1..Room A"), E_INVALIDARG);
    EXPECT_EQ(to(u"Dev9.Room A"), E_INVALIDARG);
    EXPECT_EQ(browse_->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(7), u"Dev1"), E_INVALIDARG);
    EXPECT_EQ(ItemId(u"Level"), u"Dev1.Level") << "still at Dev1";

    // Empty or null: the root.
    EXPECT_EQ(to(u""), S_OK);
    EXPECT_EQ(Names(OPC_BRANCH), std::vector<std::u16string>{u"Dev1"});
    EXPECT_EQ(Up(), E_FAIL);
    EXPECT_EQ(to(u"Dev1.Room A"), S_OK);
    EXPECT_EQ(to(nullptr), S_OK);
    EXPECT_EQ(Up(), E_FAIL);
    // Down stays relative after a jump.
    EXPECT_EQ(to(u"Dev1.Room A"), S_OK);
    EXPECT_EQ(Down(u"Shelf"), S_OK);
    EXPECT_EQ(Up(), S_OK);
    EXPECT_EQ(Up(), S_OK);
    EXPECT_EQ(ItemId(u"Room A"), u"Dev1.Room A");
}

TEST_F(BrowseTest, FilterTypesListBranchesLeavesOrEveryItemIdBelowAndIgnoreTheCriteria) {
    VOKDevice* second = AddDevice("Dev2");
    const std::vector<std::u16string> devices = {u"Dev1", u"Dev2"};
    EXPECT_EQ(Names(OPC_BRANCH), devices);
    EXPECT_TRUE(Names(OPC_LEAF).empty());
    EXPECT_TRUE(Names(static_cast<OPCBROWSETYPE>(9)).empty());

    // Flat at the root: the full item ID of every tag of every device, as a
    // walk through the branches finds them.
    std::vector<std::u16string> walked;
    Walk(walked);
    const std::vector<std::u16string> flat = Names(OPC_FLAT);
    EXPECT_EQ(std::set<std::u16string>(flat.begin(), flat.end()),
              std::set<std::u16string>(walked.begin(), walked.end()));
    EXPECT_EQ(flat.size(), walked.size());
    EXPECT_EQ(flat.size(), TagsBelow(device_) + TagsBelow(second));
    EXPECT_EQ(flat.front(), u"Dev1.Software Version") << "a device's own tags first, in the configuration's order";
    EXPECT_NE(std::find(flat.begin(), flat.end(), u"Dev1.Room A.Shelf.Probe"), flat.end());
    EXPECT_NE(std::find(flat.begin(), flat.end(), u"Dev2.Analog Data.Analog Input 8"), flat.end());
    // Each one is an item ID the server resolves, and GetItemID gives it back as it is.
    EXPECT_EQ(ItemId(u"Dev2.Analog Data.Analog Input 8"), u"Dev2.Analog Data.Analog Input 8");
    HRESULT hr = S_OK;
    ItemId(u"dev2.analog data.analog input 8", &hr);
    EXPECT_EQ(hr, E_INVALIDARG) << "matched as spelt, as member names are";

    // Flat at a group: only what is below it.
    ASSERT_EQ(browse_->ChangeBrowsePosition(OPC_BROWSE_TO, u"Dev1.Room A"), S_OK);
    EXPECT_EQ(Names(OPC_FLAT), (std::vector<std::u16string>{u"Dev1.Room A.Temp", u"Dev1.Room A.Shelf.Probe"}));
    EXPECT_EQ(ItemId(u"Dev1.Room A.Shelf.Probe"), u"Dev1.Room A.Shelf.Probe");
    ItemId(u"Dev1.Level", &hr);
    EXPECT_EQ(hr, E_INVALIDARG) << "not below the position";

    ASSERT_EQ(browse_->ChangeBrowsePosition(OPC_BROWSE_TO, u"Dev1"), S_OK);
    std::vector<std::u16string> groups = kCounterGroups;
    groups.push_back(u"Room A");
    EXPECT_EQ(Names(OPC_FLAT, u"Zz*").size(), TagsBelow(device_));
    EXPECT_EQ(Names(OPC_BRANCH, u"Zz*"), groups);
    const std::vector<std::u16string> leaves = Names(OPC_LEAF);
    EXPECT_EQ(leaves.size(), static_cast<std::size_t>(device_->GetTagCount()));
    EXPECT_EQ(leaves.front(), u"Software Version") << "the configuration's order";
    EXPECT_EQ(leaves.end()[-2], u"Level");
    EXPECT_EQ(leaves.back(), u"Label");
    EXPECT_EQ(Names(OPC_LEAF, u"*Level*"), leaves);

    IEnumString* list = nullptr;
    EXPECT_EQ(browse_->BrowseOPCItemIDs(OPC_LEAF, u"", VT_EMPTY, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(browse_->BrowseAccessPaths(u"Dev1.Level", &list), E_NOTIMPL);
    EXPECT_EQ(list, nullptr);
}

TEST_F(BrowseTest, NameEnumeratorsStepSkipResetAndCloneAfresh) {
    const long objectsBefore = ObjectCount();
    ASSERT_EQ(Down(u"Dev1"), S_OK);
    IEnumString* list = nullptr;
    ASSERT_EQ(browse_->BrowseOPCItemIDs(OPC_BRANCH, nullptr, VT_EMPTY, 0, &list), S_OK);
    EXPECT_EQ(ObjectCount(), objectsBefore + 1);

    LPOLESTR got[10] = {};
    ULONG fetched = 99;
    EXPECT_EQ(list->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(std::u16string(got[1]), kCounterGroups[1]);
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(got[i]);
    EXPECT_EQ(list->Skip(3), S_OK);
    // Two names remain: Analog Data and Room A.
    EXPECT_EQ(list->Next(10, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(std::u16string(got[0]), u"Analog Data");
    EXPECT_EQ(std::u16string(got[1]), u"Room A");
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(got[i]);
    EXPECT_EQ(list->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(list->Skip(1), S_FALSE);
    EXPECT_EQ(list->Next(1, nullptr, &fetched), E_INVALIDARG);
    EXPECT_EQ(list->Reset(), S_OK);
    EXPECT_EQ(list->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(std::u16string(got[0]), kCounterGroups[0]);
    CoTaskMemFree(got[0]);
    EXPECT_EQ(list->Skip(100), S_FALSE);

    // The clone reads the configuration as it is now and starts at the top.
    auto* hall = new VOKTagGroup;
    hall->SetName("Hall");
    ASSERT_TRUE(doc_->InsertGroup(device_, hall));
    IEnumString* clone = nullptr;
    ASSERT_EQ(list->Clone(&clone), S_OK);
    EXPECT_EQ(ObjectCount(), objectsBefore + 2);
    std::vector<std::u16string> expected = kCounterGroups;
    expected.push_back(u"Room A");
    expected.push_back(u"Hall");
    EXPECT_EQ(ReadAll(clone, 3), expected);
    EXPECT_EQ(ReadAll(list), std::vector<std::u16string>{}) << "the original keeps its own list and place";
    EXPECT_EQ(list->Clone(nullptr), E_INVALIDARG);
    clone->Release();
    list->Release();
    EXPECT_EQ(ObjectCount(), objectsBefore);
}

TEST_F(BrowseTest, ItemIdsOfAWalkOverThreeDevicesAllResolve) {
    AddDevice("Dev2");
    AddDevice("Dev3");
    std::vector<std::u16string> ids;
    Walk(ids);
    std::size_t tags = 0;
    Dll<OPCS_Device*> devices;
    doc_->GetDeviceList(devices);
    ASSERT_EQ(devices.GetCount(), 3);
    for (OPCS_Device* device : devices) tags += TagsBelow(device);
    EXPECT_EQ(ids.size(), tags);
    EXPECT_EQ(std::set<std::u16string>(ids.begin(), ids.end()).size(), ids.size()) << "each tag once";
    EXPECT_NE(std::find(ids.begin(), ids.end(), u"Dev1.Room A.Shelf.Probe"), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), u"Dev3.Analog Data.Analog Input 8"), ids.end());

    Group group = MakeGroup(false);
    const Added added = AddItems(group.items, ids);
    EXPECT_EQ(added.result, S_OK);
    ASSERT_EQ(added.errors.size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(added.errors[i], S_OK) << Utf16ToUtf8(ids[i]);
    group.Release();
}

TEST_F(BrowseTest, GetItemIdNamesOnlyMembersOfThePositionAsSpelt) {
    HRESULT hr = S_OK;
    // At the root the members are the devices; a device's item ID is its name.
    EXPECT_EQ(ItemId(u"Dev1", &hr), u"Dev1");
    EXPECT_EQ(hr, S_OK);
    ItemId(u"Level", &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    ItemId(u"dev1", &hr);
    EXPECT_EQ(hr, E_INVALIDARG) << "item IDs are matched as spelt";
    EXPECT_EQ(browse_->GetItemID(nullptr, nullptr), E_INVALIDARG);

    ASSERT_EQ(Down(u"Dev1"), S_OK);
    EXPECT_EQ(ItemId(u"Level"), u"Dev1.Level");
    EXPECT_EQ(ItemId(u"Room A"), u"Dev1.Room A");
    ItemId(u"Temp", &hr);
    EXPECT_EQ(hr, E_INVALIDARG) << "a tag of a sub-group is not a member here";
    ASSERT_EQ(Down(u"Room A"), S_OK);
    ASSERT_EQ(Down(u"Shelf"), S_OK);
    EXPECT_EQ(ItemId(u"Probe"), u"Dev1.Room A.Shelf.Probe");
    LPWSTR id = reinterpret_cast<LPWSTR>(1);
    std::u16string none = u"None";
    EXPECT_EQ(browse_->GetItemID(none.data(), &id), E_INVALIDARG);
    EXPECT_EQ(id, nullptr);
}

TEST_F(BrowseTest, APositionWhoseGroupWasDeletedIsTheRootAgain) {
    VOKDevice* second = AddDevice("Dev2");
    ASSERT_EQ(Down(u"Dev2"), S_OK);
    ASSERT_EQ(Down(u"Analog Data"), S_OK);
    ASSERT_TRUE(doc_->DeleteItem(second));
    EXPECT_EQ(Names(OPC_BRANCH), std::vector<std::u16string>{u"Dev1"});
    EXPECT_EQ(Up(), E_FAIL);
    EXPECT_EQ(Down(u"Dev1"), S_OK);
    std::vector<std::u16string> groups = kCounterGroups;
    groups.push_back(u"Room A");
    EXPECT_EQ(Names(OPC_BRANCH), groups);
}

TEST_F(BrowseTest, ADyingServerRefusesToBrowse) {
    OPCServer::SetAllDying();
    IEnumString* list = nullptr;
    EXPECT_EQ(browse_->BrowseOPCItemIDs(OPC_BRANCH, u"", VT_EMPTY, 0, &list), E_FAIL);
    EXPECT_EQ(Down(u"Dev1"), E_FAIL);
    std::u16string name = u"Dev1";
    LPWSTR id = nullptr;
    EXPECT_EQ(browse_->GetItemID(name.data(), &id), E_FAIL);
}

// ---------------------------------------------------------------------------
// The attribute enumerator of a group

namespace {

struct Attributes {
    std::u16string accessPath, itemId;
    BOOL active;
    OPCHANDLE hClient, hServer;
    DWORD rights;
    VARTYPE requested, canonical;
    OPCEUTYPE euType;
    VARTYPE euVt;
    std::vector<double> euInfo;
};

// Takes the array apart and frees it as a client must.
std::vector<Attributes> Take(OPCITEMATTRIBUTES* array, ULONG count) {
    std::vector<Attributes> out;
    for (ULONG i = 0; i < count; ++i) {
        OPCITEMATTRIBUTES& a = array[i];
        Attributes b{a.szAccessPath != nullptr ? a.szAccessPath : u"?",
                     a.szItemID != nullptr ? a.szItemID : u"?",
                     a.bActive,
                     a.hClient,
                     a.hServer,
                     a.dwAccessRights,
                     a.vtRequestedDataType,
                     a.vtCanonicalDataType,
                     a.dwEUType,
                     a.vEUInfo.vt,
                     {}};
        EXPECT_EQ(a.dwBlobSize, 0u);
        EXPECT_EQ(a.pBlob, nullptr);
        if (a.vEUInfo.vt == (VT_ARRAY | VT_R8)) {
            EXPECT_EQ(SafeArrayGetDim(a.vEUInfo.parray), 1u);
            LONG low = 0, high = 0;
            SafeArrayGetLBound(a.vEUInfo.parray, 1, &low);
            SafeArrayGetUBound(a.vEUInfo.parray, 1, &high);
            for (LONG k = low; k <= high; ++k) {
                double value = 0;
                SafeArrayGetElement(a.vEUInfo.parray, &k, &value);
                b.euInfo.push_back(value);
            }
        }
        CoTaskMemFree(a.szAccessPath);
        CoTaskMemFree(a.szItemID);
        VariantClear(&a.vEUInfo);
        out.push_back(std::move(b));
    }
    CoTaskMemFree(array);
    return out;
}

IEnumOPCItemAttributes* EnumeratorOf(IOPCItemMgt* items) {
    IUnknown* unknown = nullptr;
    EXPECT_EQ(items->CreateEnumerator(IID_IEnumOPCItemAttributes, &unknown), S_OK);
    return static_cast<IEnumOPCItemAttributes*>(unknown);
}

std::vector<Attributes> NextOf(IEnumOPCItemAttributes* list, ULONG celt, HRESULT expected) {
    OPCITEMATTRIBUTES* array = nullptr;
    ULONG fetched = 99;
    EXPECT_EQ(list->Next(celt, &array, &fetched), expected);
    EXPECT_LE(fetched, celt);
    return Take(array, fetched);
}

}  // namespace

TEST_F(GroupTest, AttributeEnumeratorReportsEveryFieldOfEachItem) {
    Group group = MakeGroup(false);
    const long objectsBefore = ObjectCount();
    const Added added = AddItems(group.items, {u"dev1.level", u"Dev1.Label"}, 40, VT_BSTR);
    ASSERT_EQ(added.result, S_OK);
    OPCHANDLE h = added.Handle(1);
    HRESULT* errors = nullptr;
    ASSERT_EQ(group.items->SetActiveState(1, &h, FALSE, &errors), S_OK);
    CoTaskMemFree(errors);

    IUnknown* wrong = nullptr;
    EXPECT_EQ(group.items->CreateEnumerator(IID_IOPCServer, &wrong), E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
    EXPECT_EQ(group.items->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr), E_INVALIDARG);
    EXPECT_EQ(ObjectCount(), objectsBefore) << "a refused enumerator is gone again";

    IEnumOPCItemAttributes* list = EnumeratorOf(group.items);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ObjectCount(), objectsBefore + 1);
    const std::vector<Attributes> all = NextOf(list, 5, S_FALSE);
    ASSERT_EQ(all.size(), 2u);
    const Attributes& level = all[0];
    EXPECT_EQ(level.accessPath, u"");
    EXPECT_EQ(level.itemId, u"Level") << "the tag's own name, not the item ID";
    EXPECT_EQ(level.active, TRUE);
    EXPECT_EQ(level.hClient, 40u);
    EXPECT_EQ(level.hServer, added.Handle(0));
    EXPECT_EQ(level.rights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_EQ(level.requested, VT_BSTR);
    EXPECT_EQ(level.canonical, VT_R8) << "the tag's type, with no value cached in an inactive group";
    EXPECT_EQ(level.euType, OPC_ANALOG);
    EXPECT_EQ(level.euVt, VT_ARRAY | VT_R8);
    EXPECT_EQ(level.euInfo, (std::vector<double>{0.0, 100.0}));
    const Attributes& label = all[1];
    EXPECT_EQ(label.itemId, u"Label");
    EXPECT_EQ(label.active, FALSE);
    EXPECT_EQ(label.hClient, 41u);
    EXPECT_EQ(label.rights, OPC_READABLE);
    EXPECT_EQ(label.euType, OPC_NOENUM);
    EXPECT_EQ(label.euVt, VT_EMPTY);

    // Past the end: nothing, and no array.
    OPCITEMATTRIBUTES* array = reinterpret_cast<OPCITEMATTRIBUTES*>(1);
    ULONG fetched = 9;
    EXPECT_EQ(list->Next(1, &array, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(list->Next(1, nullptr, &fetched), E_INVALIDARG);
    EXPECT_EQ(list->Reset(), S_OK);
    EXPECT_EQ(list->Skip(1), S_OK);
    const std::vector<Attributes> second = NextOf(list, 1, S_OK);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].itemId, u"Label");
    EXPECT_EQ(list->Skip(1), S_FALSE);

    // A value in the cache gives the canonical type; the clone starts afresh.
    BOOL on = TRUE;
    ASSERT_TRUE(SUCCEEDED(group.state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr)));
    SetLevel(12.5);
    ASSERT_TRUE(WaitUntil(
        [&] {
            IEnumOPCItemAttributes* fresh = nullptr;
            if (list->Clone(&fresh) != S_OK) return false;
            const std::vector<Attributes> now = NextOf(fresh, 1, S_OK);
            fresh->Release();
            return now.size() == 1 && now[0].canonical == VT_R8;
        },
        3000));
    list->Release();
    EXPECT_EQ(ObjectCount(), objectsBefore);
    group.Release();
}

TEST_F(GroupTest, AnAttributeEnumeratorKeepsItsGroupAfterTheClientLetItGo) {
    Group group = MakeGroup(true);
    ASSERT_EQ(AddItems(group.items, {u"Dev1.Level", u"Dev1.Label"}).result, S_OK);
    IEnumOPCItemAttributes* list = EnumeratorOf(group.items);
    ASSERT_NE(list, nullptr);
    IOPCItemMgt* items = group.items;
    group.items = nullptr;
    group.Release();
    items->Release();
    // The client holds nothing of the group but the enumerator.
    EXPECT_EQ(OPCGroup::LiveCount(), 1u);
    EXPECT_EQ(NextOf(list, 10, S_FALSE).size(), 2u);
    IEnumOPCItemAttributes* clone = nullptr;
    ASSERT_EQ(list->Clone(&clone), S_OK);
    list->Release();
    EXPECT_EQ(OPCGroup::LiveCount(), 1u);
    EXPECT_EQ(NextOf(clone, 10, S_FALSE).size(), 2u);
    clone->Release();
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
    EXPECT_EQ(device_->GetClientPollRequests(), 0) << "the group's items went with it";
}

TEST_F(GroupTest, AttributeEnumerationConcurrencyWithItemsComingAndGoing) {
    Group group = MakeGroup(true, 5);
    ASSERT_EQ(AddItems(group.items, {u"Dev1.Level"}).result, S_OK);
    IEnumOPCItemAttributes* list = EnumeratorOf(group.items);
    ASSERT_NE(list, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread churn([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (int round = 0; round < 150; ++round) {
            const Added added = AddItems(group.items, {u"Dev1.Label", u"Dev1.Total Raw Counts", u"Dev1.Level"});
            if (added.result != S_OK) ++failures;
            if (Remove(group.items, {added.Handle(0), added.Handle(1)}) != S_OK) ++failures;
            if (Remove(group.items, {added.Handle(2)}) != S_OK) ++failures;
        }
        stop = true;
        CoUninitialize();
    });
    int passes = 0;
    while (!stop.load() || passes == 0) {
        // One pass: server handles strictly rising, never an item twice,
        // whatever the other thread does meanwhile.
        ASSERT_EQ(list->Reset(), S_OK);
        OPCHANDLE last = 0;
        for (;;) {
            OPCITEMATTRIBUTES* array = nullptr;
            ULONG fetched = 0;
            const HRESULT hr = list->Next(2, &array, &fetched);
            for (const Attributes& a : Take(array, fetched)) {
                EXPECT_GT(a.hServer, last);
                last = a.hServer;
                EXPECT_TRUE(a.itemId == u"Level" || a.itemId == u"Label" || a.itemId == u"Total Raw Counts")
                    << Utf16ToUtf8(a.itemId);
            }
            if (hr != S_OK) break;
        }
        ++passes;
    }
    churn.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(passes, 0);
    list->Release();
    group.Release();
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
}
