// The configuration document without a window: structure changes, item-ID
// look-ups, the command table's enable rules and actions, the status panes,
// the update hints and the New command's life cycle, driven through the
// scripted UI services.
#include "config/DocModelHost.h"
#include "config/OPCS_Doc.h"

#include "foundation/CLogFile.h"
#include "foundation/StringTable.h"
#include "model/OPCS_Device.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"
#include "platform/Environment.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

class FixedSelection : public DocSelection {
public:
    OPCS_TagGroup* GetSelectedItem() const override { return item; }
    OPCS_TagGroup* item = nullptr;
};

class RecordingObserver : public DocObserver {
public:
    void OnUpdate(int hint, void* object) override {
        std::lock_guard hold(mutex_);
        hints_.emplace_back(hint, object);
        if (onUpdate) onUpdate(hint, object);
    }
    std::vector<std::pair<int, void*>> Hints() const {
        std::lock_guard hold(mutex_);
        return hints_;
    }
    std::vector<int> HintNumbers() const {
        std::vector<int> out;
        for (const auto& h : Hints()) out.push_back(h.first);
        return out;
    }
    void Clear() {
        std::lock_guard hold(mutex_);
        hints_.clear();
    }
    std::function<void(int, void*)> onUpdate;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, void*>> hints_;
};

bool WaitFor(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

class OPCS_DocTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().c_str()));
        doc = std::make_unique<OPCS_Doc>();
        doc->Hooks().configurationPath = [this] { return files_.File("VOKConfig.psf"); };
        doc->AddObserver(&views);
        doc->SetSelection(&selection);
    }
    void TearDown() override {
        doc.reset();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    // A simulated counter device with its standard tree, owned by the document.
    VOKDevice* AddDevice(const std::string& name) {
        auto device = VOKDevice::Create(false);
        device->SetSimulation(true);
        device->SetName(name);
        VOKDevice* raw = device.get();
        EXPECT_TRUE(doc->AddDevice(raw));
        device.release();
        return raw;
    }

    static OPCS_TagGroup* NewGroup(const std::string& name) {
        auto* group = new VOKTagGroup;
        group->SetName(name);
        return group;
    }

    std::string ConfigFile() const { return files_.File("VOKConfig.psf"); }

    EventLogCapture log;
    ScriptedUiServices ui;
    FixedSelection selection;
    RecordingObserver views;
    std::unique_ptr<OPCS_Doc> doc;

private:
    TempDir registry_;
    TempDir files_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Current document, lock, model host

TEST_F(OPCS_DocTest, TheCurrentDocumentIsSetByConstructionAndClearedByDestruction) {
    EXPECT_EQ(GetCurrentDoc(), doc.get());
    doc.reset();
    EXPECT_EQ(GetCurrentDoc(), nullptr);
    MarkCurrentDocModified();  // nothing to mark, nothing happens
    EXPECT_EQ(&ConfigLock(), &ConfigLock());
}

TEST_F(OPCS_DocTest, ModelChangesMarkTheDocumentModifiedThroughTheHost) {
    DocModelHost host;
    SetModelHost(&host);
    VOKDevice* device = AddDevice("D1");
    doc->SetModifiedFlag(false);
    device->GetKindGroup(VOKTagGroup::BinSizes)->SetName("Sizes");
    EXPECT_TRUE(doc->IsModified());
    doc->SetModifiedFlag(false);
    device->SetUpdateInterval(45);
    EXPECT_TRUE(doc->IsModified());
    EXPECT_EQ(host.GetDefaultPollRate(), ModelHost::kDefaultPollRate);  // settings not loaded
    doc.reset();
    SetModelHost(nullptr);
}

// ---------------------------------------------------------------------------
// Structure

TEST_F(OPCS_DocTest, AddDeviceAppendsSendsHintFourAndMarksModified) {
    EXPECT_FALSE(doc->AddDevice(nullptr));
    VOKDevice* d1 = AddDevice("D1");
    VOKDevice* d2 = AddDevice("D2");
    EXPECT_FALSE(doc->AddDevice(d1));  // already in the list
    Dll<OPCS_Device*> list;
    list.AddTail(nullptr);
    doc->GetDeviceList(list);
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetAt(0), d1);
    EXPECT_EQ(list.GetAt(1), d2);
    EXPECT_TRUE(doc->IsModified());
    const auto hints = views.Hints();
    ASSERT_EQ(hints.size(), 2u);
    EXPECT_EQ(hints[0], std::make_pair(dochint::kDeviceAdded, static_cast<void*>(d1)));
    EXPECT_EQ(hints[1], std::make_pair(dochint::kDeviceAdded, static_cast<void*>(d2)));
}

TEST_F(OPCS_DocTest, InsertGroupAndTagRefuseDuplicatesAndInvalidPointers) {
    VOKDevice* device = AddDevice("D1");
    views.Clear();
    doc->SetModifiedFlag(false);
    OPCS_TagGroup* group = NewGroup("Extra");
    ASSERT_TRUE(doc->InsertGroup(device, group));
    EXPECT_EQ(views.Hints().back(), std::make_pair(dochint::kGroupAdded, static_cast<void*>(group)));
    EXPECT_TRUE(doc->IsModified());

    std::unique_ptr<OPCS_TagGroup> twin(NewGroup("EXTRA"));
    EXPECT_FALSE(doc->InsertGroup(device, twin.get()));
    EXPECT_FALSE(doc->InsertGroup(nullptr, twin.get()));
    EXPECT_FALSE(doc->InsertGroup(device, nullptr));

    auto* tag = new VOKTag;
    tag->SetName("T1");
    ASSERT_TRUE(doc->InsertTag(group, tag));
    EXPECT_EQ(views.Hints().back(), std::make_pair(dochint::kTagAdded, static_cast<void*>(tag)));
    auto twinTag = std::make_unique<VOKTag>();
    twinTag->SetName("t1");
    views.Clear();
    EXPECT_FALSE(doc->InsertTag(group, twinTag.get()));
    EXPECT_FALSE(doc->InsertTag(nullptr, twinTag.get()));
    EXPECT_TRUE(views.Hints().empty());
    EXPECT_EQ(doc->FindTag("D1.Extra.T1"), tag);
}

TEST_F(OPCS_DocTest, FindTagIgnoresLetterCaseAndNeedsADeviceName) {
    VOKDevice* device = AddDevice("D1");
    OPCS_Tag* tag = device->GetKindGroup(VOKTagGroup::BinSizes)->FindTagByName("Bin Size 01");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(doc->FindTag("D1.Bin Sizes.Bin Size 01"), tag);
    EXPECT_EQ(doc->FindTag("d1.bin sizes.bin size 01"), tag);
    EXPECT_EQ(doc->FindTag("D1.BIN SIZES.BIN SIZE 01"), tag);
    EXPECT_EQ(doc->FindTag(".Bin Sizes.Bin Size 01"), nullptr);
    EXPECT_EQ(doc->FindTag(".D1.Bin Sizes.Bin Size 01"), nullptr);
    EXPECT_EQ(doc->FindTag("D1"), nullptr);
    EXPECT_EQ(doc->FindTag(""), nullptr);
    EXPECT_EQ(doc->FindTag("D2.Bin Sizes.Bin Size 01"), nullptr);
    EXPECT_EQ(doc->FindTag("D1.Bin Size 01"), nullptr);  // only in a child group
}

TEST_F(OPCS_DocTest, FindTagSearchesOnlyTheFirstOfTwoDevicesWhoseNamesDifferInCase) {
    AddDevice("Dup");
    VOKDevice* second = AddDevice("dup");
    auto* extra = new VOKTag;
    extra->SetName("Extra");
    ASSERT_TRUE(doc->InsertTag(second, extra));
    EXPECT_EQ(second->FindTag("Extra"), extra);
    EXPECT_EQ(doc->FindTag("dup.Extra"), nullptr);
    EXPECT_EQ(doc->FindTag("DUP.Extra"), nullptr);
}

TEST_F(OPCS_DocTest, DeleteItemRefusesATagGroupOfADevice) {
    VOKDevice* device = AddDevice("D1");
    OPCS_TagGroup* sizes = device->GetKindGroup(VOKTagGroup::BinSizes);
    views.Clear();
    doc->SetModifiedFlag(false);
    EXPECT_FALSE(doc->DeleteItem(sizes));
    const auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Unable to delete while device active and/or clients are attached.");
    EXPECT_EQ(messages[0].icon, MessageIcon::Error);
    EXPECT_EQ(messages[0].buttons, MessageButtons::Ok);
    EXPECT_EQ(log.CountContaining("Failed to delete: Bin Sizes , delete failed"), 1);
    EXPECT_TRUE(OPCS_TagGroup::IsValidGroup(sizes));
    EXPECT_EQ(device->FindGroup("Bin Sizes"), sizes);
    EXPECT_TRUE(views.Hints().empty());
    EXPECT_FALSE(doc->IsModified());
}

TEST_F(OPCS_DocTest, DeleteItemRefusesAPollingDeviceAndRemovesAStoppedOne) {
    VOKDevice* device = AddDevice("D1");
    selection.item = device;
    ASSERT_TRUE(doc->OnCommand(doccmd::kStartPolling));
    ASSERT_FALSE(device->CanDelete());
    views.Clear();
    doc->SetModifiedFlag(false);

    EXPECT_FALSE(doc->DeleteItem(device));
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].text, kTextUnableToDelete);
    EXPECT_EQ(log.CountContaining("Failed to delete: D1 , delete failed"), 1);
    EXPECT_TRUE(OPCS_Device::IsValidDevice(device));
    EXPECT_EQ(doc->FindTag("D1.Bin Sizes.Bin Size 01") != nullptr, true);
    EXPECT_TRUE(views.Hints().empty());
    EXPECT_FALSE(doc->IsModified());

    ASSERT_TRUE(doc->OnCommand(doccmd::kStopPolling));
    views.Clear();
    ASSERT_TRUE(device->CanDelete());
    OPCS_TagGroup* sizes = device->GetKindGroup(VOKTagGroup::BinSizes);
    EXPECT_TRUE(doc->DeleteItem(device));
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(device));  // not IsValidDevice: its cast reads a dead object
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(sizes));  // the whole subtree went with it
    Dll<OPCS_Device*> list;
    doc->GetDeviceList(list);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(views.HintNumbers(), std::vector<int>{dochint::kRebuild});
    EXPECT_TRUE(doc->IsModified());
    EXPECT_EQ(ui.Messages().size(), 1u);
    selection.item = nullptr;
}

TEST_F(OPCS_DocTest, DeleteItemOfAnInvalidOrForeignItemFailsSilently) {
    EXPECT_FALSE(doc->DeleteItem(nullptr));
    auto foreign = VOKDevice::Create(false);
    EXPECT_FALSE(doc->DeleteItem(foreign.get()));
    EXPECT_TRUE(OPCS_Device::IsValidDevice(foreign.get()));
    EXPECT_TRUE(ui.Messages().empty());
}

// ---------------------------------------------------------------------------
// Commands

TEST_F(OPCS_DocTest, AddDeviceNamesTwoDevicesAtTheSameAddressApart) {
    doc->Hooks().newDevice = [] {
        std::unique_ptr<OPCS_Device> device = VOKDevice::Create(false);
        auto* vok = static_cast<VOKDevice*>(device.get());
        vok->SetSimulation(true);
        vok->SetPort(1);
        vok->SetAddress(133);
        return device;
    };
    ui.QueueDialogResult(true);
    ui.QueueDialogResult(true);
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddDevice));
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddDevice));
    Dll<OPCS_Device*> list;
    doc->GetDeviceList(list);
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetAt(0)->GetName(), "4400 VOK 1-05");
    EXPECT_EQ(list.GetAt(1)->GetName(), "4400 VOK 1-05 v2");
    EXPECT_EQ(ui.DialogRequests(), 2u);
    EXPECT_EQ(views.HintNumbers(), (std::vector<int>{dochint::kDeviceAdded, dochint::kDeviceAdded}));
    EXPECT_TRUE(doc->IsModified());
}

TEST_F(OPCS_DocTest, AddDeviceByDefaultMakesASimulatedDeviceWithItsStandardTree) {
    ui.QueueDialogResult(true);
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddDevice));
    Dll<OPCS_Device*> list;
    doc->GetDeviceList(list);
    ASSERT_EQ(list.GetCount(), 1);
    ASSERT_TRUE(VOKDevice::IsValidVOKDevice(list.GetAt(0)));
    auto* device = static_cast<VOKDevice*>(list.GetAt(0));
    EXPECT_TRUE(device->IsSimulation());
    EXPECT_EQ(device->GetName(), device->GetDefaultName().substr(0, device->GetName().size()));
    EXPECT_NE(device->GetKindGroup(VOKTagGroup::BinSizes), nullptr);
}

TEST_F(OPCS_DocTest, CancellingAPropertiesDialogDestroysTheNewObjectWithoutAMessage) {
    // Device.
    doc->Hooks().newDevice = [] {
        std::unique_ptr<OPCS_Device> device = VOKDevice::Create(false);
        static_cast<VOKDevice*>(device.get())->SetPort(7);
        return device;
    };
    ui.QueueDialogResult(false);
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddDevice));
    EXPECT_EQ(ui.DialogRequests(), 1u);
    Dll<OPCS_Device*> list;
    doc->GetDeviceList(list);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_TRUE(OPCS_Device::IsUniqueDeviceName("4400 VOK 7-00", nullptr));  // no such device lives
    doc->Hooks().newDevice = nullptr;

    // Group and tag.
    VOKDevice* device = AddDevice("D1");
    selection.item = device;
    views.Clear();
    doc->SetModifiedFlag(false);
    const int groups = device->GetGroupCount();
    const int tags = device->GetTagCount();
    ui.QueueDialogResult(false);
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddTagGroup));
    ui.QueueDialogResult(false);
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddTag));
    EXPECT_EQ(ui.DialogRequests(), 3u);
    EXPECT_EQ(device->GetGroupCount(), groups);
    EXPECT_EQ(device->GetTagCount(), tags);
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_TRUE(views.Hints().empty());
    EXPECT_FALSE(doc->IsModified());
    EXPECT_EQ(log.CountContaining("Failed to add"), 0);
    selection.item = nullptr;
}

TEST_F(OPCS_DocTest, AddTagGroupProposesTheFirstFreeNumber) {
    VOKDevice* device = AddDevice("D1");
    ASSERT_TRUE(doc->InsertGroup(device, NewGroup("Group1")));
    ASSERT_TRUE(doc->InsertGroup(device, NewGroup("Group3")));
    selection.item = device;
    views.Clear();
    ui.QueueDialogResult(true);
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddTagGroup));
    OPCS_TagGroup* added = device->FindGroup("Group2");
    ASSERT_NE(added, nullptr);
    EXPECT_TRUE(VOKTagGroup::IsValidVOKTagGroup(added));
    EXPECT_EQ(added->GetParent(), device);
    EXPECT_EQ(views.Hints(), (std::vector<std::pair<int, void*>>{{dochint::kGroupAdded, added}}));

    // A group without child groups still gets Group1; selecting it selects its device.
    OPCS_TagGroup* sizes = device->GetKindGroup(VOKTagGroup::BinSizes);
    ASSERT_EQ(sizes->GetGroupCount(), 0);
    selection.item = sizes;
    ui.QueueDialogResult(true);
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddTagGroup));
    EXPECT_NE(sizes->FindGroup("Group1"), nullptr);
    EXPECT_EQ(doc->GetSelectedDevice(), device);
    selection.item = nullptr;
}

TEST_F(OPCS_DocTest, AddTagProposesTheFirstFreeTagNumber) {
    VOKDevice* device = AddDevice("D1");
    OPCS_TagGroup* group = NewGroup("Mine");
    ASSERT_TRUE(doc->InsertGroup(device, group));
    auto* first = new VOKTag;
    first->SetName("Tag1");
    ASSERT_TRUE(doc->InsertTag(group, first));
    selection.item = group;
    views.Clear();
    doc->SetModifiedFlag(false);
    ui.QueueDialogResult(true);
    ASSERT_TRUE(doc->OnCommand(doccmd::kAddTag));
    OPCS_Tag* added = group->FindTagByName("Tag2");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(doc->FindTag("D1.Mine.tag2"), added);
    EXPECT_EQ(views.Hints(), (std::vector<std::pair<int, void*>>{{dochint::kTagAdded, added}}));
    EXPECT_TRUE(doc->IsModified());
    selection.item = nullptr;
}

TEST_F(OPCS_DocTest, CommandsThatNeedADeviceAreDisabledWithoutSelection) {
    AddDevice("D1");
    using namespace doccmd;
    for (UINT id : {kAddTagGroup, kAddTag, kStartPolling, kStopPolling, kTogglePolling, kForceUpdate,
                    kGuiPollingIndicator, kClientIndicator}) {
        EXPECT_EQ(doc->GetCommandState(id), CommandState{}) << id;
        EXPECT_FALSE(doc->OnCommand(id)) << id;
    }
    for (UINT id : {kAddDevice, kOptions, kChooseColumns, kDiscover, kFileOpen})
        EXPECT_TRUE(doc->GetCommandState(id).enabled) << id;
    EXPECT_EQ(doc->GetCommandState(12345), CommandState{});
    EXPECT_FALSE(doc->OnCommand(12345));

    // A selection that is not a live group counts as none; no tree view at all likewise.
    auto stray = VOKDevice::Create(false);
    OPCS_TagGroup* gone = stray.get();
    stray.reset();
    selection.item = gone;
    EXPECT_EQ(doc->GetSelectedGroup(), nullptr);
    EXPECT_FALSE(doc->GetCommandState(kAddTagGroup).enabled);
    doc->SetSelection(nullptr);
    EXPECT_FALSE(doc->HasSelection());
    EXPECT_EQ(doc->GetSelectedGroup(), nullptr);
    selection.item = nullptr;
}

TEST_F(OPCS_DocTest, PollingDisablesAddingToTheSelectedDeviceAndDiscoveryEverywhere) {
    using namespace doccmd;
    VOKDevice* d1 = AddDevice("D1");
    VOKDevice* d2 = AddDevice("D2");
    selection.item = d1;
    EXPECT_EQ(doc->GetCommandState(kAddTagGroup), (CommandState{true, false}));
    EXPECT_EQ(doc->GetCommandState(kAddTag), (CommandState{true, false}));
    EXPECT_EQ(doc->GetCommandState(kStartPolling), (CommandState{true, false}));
    EXPECT_EQ(doc->GetCommandState(kStopPolling), (CommandState{true, true}));
    EXPECT_EQ(doc->GetCommandState(kTogglePolling), (CommandState{true, false}));
    EXPECT_EQ(doc->GetCommandState(kForceUpdate), (CommandState{false, false}));
    EXPECT_EQ(doc->GetCommandState(kGuiPollingIndicator), (CommandState{false, false}));
    EXPECT_EQ(doc->GetCommandState(kClientIndicator), (CommandState{false, false}));
    EXPECT_TRUE(doc->GetCommandState(kDiscover).enabled);

    views.Clear();
    ASSERT_TRUE(doc->OnCommand(kStartPolling));
    EXPECT_EQ(d1->GetGuiPollRequests(), 1);
    EXPECT_EQ(views.HintNumbers(), std::vector<int>{dochint::kTagList});
    EXPECT_EQ(views.Hints()[0].second, nullptr);
    EXPECT_EQ(doc->GetCommandState(kAddTagGroup), (CommandState{false, false}));
    EXPECT_EQ(doc->GetCommandState(kAddTag), (CommandState{false, false}));
    EXPECT_FALSE(doc->OnCommand(kAddTagGroup));
    EXPECT_EQ(doc->GetCommandState(kStartPolling), (CommandState{true, true}));
    EXPECT_EQ(doc->GetCommandState(kStopPolling), (CommandState{true, false}));
    EXPECT_EQ(doc->GetCommandState(kForceUpdate), (CommandState{true, false}));
    EXPECT_EQ(doc->GetCommandState(kGuiPollingIndicator), (CommandState{true, true}));
    EXPECT_FALSE(doc->GetCommandState(kDiscover).enabled);

    // A second Start Polling asks nothing more.
    ASSERT_TRUE(doc->OnCommand(kStartPolling));
    EXPECT_EQ(d1->GetGuiPollRequests(), 1);
    EXPECT_TRUE(doc->OnCommand(kForceUpdate));

    // The other device is idle: adding to it is allowed, discovery still not.
    selection.item = d2->GetKindGroup(VOKTagGroup::AnalogData);
    EXPECT_TRUE(doc->GetCommandState(kAddTagGroup).enabled);
    EXPECT_FALSE(doc->GetCommandState(kDiscover).enabled);
    selection.item = nullptr;
    EXPECT_FALSE(doc->GetCommandState(kDiscover).enabled);

    // An OPC client's request shows in its indicator only.
    selection.item = d2;
    d2->RequestPolling(OPCS_Device::kClient);
    EXPECT_EQ(doc->GetCommandState(kClientIndicator), (CommandState{true, true}));
    EXPECT_EQ(doc->GetCommandState(kGuiPollingIndicator), (CommandState{false, false}));
    EXPECT_FALSE(doc->GetCommandState(kAddTag).enabled);
    d2->ReleasePolling(OPCS_Device::kClient);

    // The toolbar toggle stops d1.
    selection.item = d1;
    views.Clear();
    ASSERT_TRUE(doc->OnCommand(kTogglePolling));
    EXPECT_EQ(d1->GetGuiPollRequests(), 0);
    EXPECT_EQ(views.HintNumbers(), std::vector<int>{dochint::kTagList});
    EXPECT_TRUE(doc->GetCommandState(kDiscover).enabled);
    EXPECT_TRUE(doc->GetCommandState(kAddTagGroup).enabled);
    ASSERT_TRUE(doc->OnCommand(kTogglePolling));
    EXPECT_EQ(d1->GetGuiPollRequests(), 1);
    ASSERT_TRUE(doc->OnCommand(kStopPolling));
    EXPECT_EQ(d1->GetGuiPollRequests(), 0);
    views.Clear();
    ASSERT_TRUE(doc->OnCommand(kStopPolling));  // nothing to stop: no hint
    EXPECT_TRUE(views.Hints().empty());
    selection.item = nullptr;
}

TEST_F(OPCS_DocTest, HookCommandsRunTheirHooksAndFileOpenWaitsForClients) {
    int discover = 0, options = 0, columns = 0, open = 0;
    bool clients = false;
    doc->Hooks().discover = [&] { ++discover; };
    doc->Hooks().options = [&] { ++options; };
    doc->Hooks().chooseColumns = [&] { ++columns; };
    doc->Hooks().fileOpen = [&] { ++open; };
    doc->Hooks().clientsConnected = [&] { return clients; };
    EXPECT_TRUE(doc->OnCommand(doccmd::kDiscover));
    EXPECT_TRUE(doc->OnCommand(doccmd::kOptions));
    EXPECT_TRUE(doc->OnCommand(doccmd::kChooseColumns));
    EXPECT_TRUE(doc->OnCommand(doccmd::kFileOpen));
    clients = true;
    EXPECT_FALSE(doc->GetCommandState(doccmd::kFileOpen).enabled);
    EXPECT_FALSE(doc->OnCommand(doccmd::kFileOpen));
    EXPECT_EQ(discover, 1);
    EXPECT_EQ(options, 1);
    EXPECT_EQ(columns, 1);
    EXPECT_EQ(open, 1);

    VOKDevice* device = AddDevice("D1");
    device->RequestPolling(OPCS_Device::kClient);
    EXPECT_FALSE(doc->OnCommand(doccmd::kDiscover));
    EXPECT_EQ(discover, 1);
    device->ReleasePolling(OPCS_Device::kClient);
}

TEST_F(OPCS_DocTest, TheCommandTableHoldsEveryIdOnce) {
    const auto table = doccmd::DocCommandTable();
    EXPECT_EQ(table.size(), 13u);
    for (const auto& entry : table) EXPECT_EQ(doccmd::FindDocCommand(entry.id), &entry);
    EXPECT_STREQ(doccmd::FindDocCommand(32772)->prompt, "Creates a new device\nAdd a device");
    EXPECT_EQ(doccmd::FindDocCommand(1), nullptr);
}

// ---------------------------------------------------------------------------
// Status panes

TEST_F(OPCS_DocTest, StatusPanesWithNothingSelected) {
    const std::string time = doc->GetPaneText(doccmd::kPaneTime);
    EXPECT_EQ(time.rfind("Time: ", 0), 0u);
    EXPECT_GT(time.size(), std::string("Time: ").size());
    EXPECT_EQ(doc->GetPaneText(doccmd::kPaneLastPollTime), "No Device Selected!!!");
    EXPECT_EQ(doc->GetPaneText(doccmd::kPaneNextPollTime), "No Device Selected!!!");
    EXPECT_EQ(doc->GetPaneText(doccmd::kPanePollState), "");
    EXPECT_EQ(doc->GetPaneText(108), "");
}

TEST_F(OPCS_DocTest, StatusPanesOfASelectedDeviceThatIsNotPolling) {
    VOKDevice* device = AddDevice("D1");
    selection.item = device->GetKindGroup(VOKTagGroup::CumulativeRaw);
    EXPECT_EQ(doc->GetPaneText(doccmd::kPaneLastPollTime), "Device polling is not active!!!");
    EXPECT_EQ(doc->GetPaneText(doccmd::kPaneNextPollTime), "");
    EXPECT_EQ(doc->GetPaneText(doccmd::kPanePollState), "Poll State: Polling Stopped");
    selection.item = nullptr;
}

TEST_F(OPCS_DocTest, StatusPanesOfAPollingDevice) {
    VOKDevice* device = AddDevice("D1");
    device->SetUpdateInterval(60);
    selection.item = device;
    ASSERT_TRUE(doc->OnCommand(doccmd::kStartPolling));
    ASSERT_TRUE(WaitFor([&] { return device->GetPollState() == OPCS_Device::kWaitingPollInterval; }, 5000));
    const std::string last = doc->GetPaneText(doccmd::kPaneLastPollTime);
    const std::string next = doc->GetPaneText(doccmd::kPaneNextPollTime);
    EXPECT_EQ(last.rfind("Last Poll Time: ", 0), 0u) << last;
    EXPECT_EQ(next.rfind("Next Poll Time: ", 0), 0u) << next;
    EXPECT_GT(last.size(), std::string("Last Poll Time: ").size());
    EXPECT_NE(last.substr(16), next.substr(16));  // a minute later
    EXPECT_EQ(doc->GetPaneText(doccmd::kPanePollState), "Poll State: Waiting Poll Interval");
    ASSERT_TRUE(doc->OnCommand(doccmd::kStopPolling));
    selection.item = nullptr;
}

// ---------------------------------------------------------------------------
// Update hints and life cycle

TEST_F(OPCS_DocTest, UpdateAllViewsSkipsTheSenderAndRemovedViews) {
    RecordingObserver other;
    doc->AddObserver(&other);
    doc->AddObserver(&other);  // once only
    doc->UpdateAllViews(dochint::kTagList, nullptr, &views);
    EXPECT_TRUE(views.Hints().empty());
    EXPECT_EQ(other.HintNumbers(), std::vector<int>{dochint::kTagList});
    // A view that removes another while it handles a hint.
    views.onUpdate = [&](int, void*) { doc->RemoveObserver(&other); };
    doc->UpdateAllViews(dochint::kRebuild);
    EXPECT_EQ(views.HintNumbers(), std::vector<int>{dochint::kRebuild});
    EXPECT_EQ(other.HintNumbers(), std::vector<int>{dochint::kTagList});
    views.onUpdate = nullptr;
}

TEST_F(OPCS_DocTest, DeleteContentsSendsHintOneWhileTheDevicesStillExist) {
    VOKDevice* device = AddDevice("D1");
    views.Clear();
    bool aliveAtHint = false;
    views.onUpdate = [&](int hint, void*) {
        if (hint == dochint::kDeleteAll) aliveAtHint = OPCS_Device::IsValidDevice(device);
    };
    doc->DeleteContents();
    views.onUpdate = nullptr;
    EXPECT_TRUE(aliveAtHint);
    EXPECT_EQ(views.HintNumbers(), std::vector<int>{dochint::kDeleteAll});
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(device));  // not IsValidDevice: its cast reads a dead object
    Dll<OPCS_Device*> list;
    doc->GetDeviceList(list);
    EXPECT_EQ(list.GetCount(), 0);
}

TEST_F(OPCS_DocTest, NewAsksFirstAndMakesAnEmptyConfigurationOnTheLastUsedFile) {
    AddDevice("D1");
    views.Clear();
    ui.QueueAnswer(MessageAnswer::No);
    EXPECT_FALSE(doc->NewConfiguration());
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].text, "You are about to destroy the current configuration.  Do you wish to proceed?");
    EXPECT_EQ(ui.Messages()[0].text, LoadStringText(IDS_CONFIRM_DESTROY_CONFIG));
    EXPECT_EQ(ui.Messages()[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(ui.Messages()[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(doc->IsModified());
    EXPECT_NE(doc->FindTag("D1.Bin Sizes.Bin Size 01"), nullptr);
    EXPECT_TRUE(views.Hints().empty());

    ui.QueueAnswer(MessageAnswer::Yes);
    EXPECT_TRUE(doc->NewConfiguration());
    EXPECT_EQ(ui.Messages().size(), 2u);
    EXPECT_FALSE(doc->IsModified());
    EXPECT_EQ(log.CountContaining("Existing configuration destroyed."), 1);
    EXPECT_EQ(doc->FindTag("D1.Bin Sizes.Bin Size 01"), nullptr);
    EXPECT_EQ(views.HintNumbers(), std::vector<int>{dochint::kDeleteAll});
    EXPECT_EQ(doc->GetPathName(), ConfigFile());
    EXPECT_EQ(doc->GetTitle(), "VOKConfig.psf");
}

TEST_F(OPCS_DocTest, NewWithAClientConnectedIsRefusedOnlyAfterYesToTheDestroyPrompt) {
    AddDevice("D1");
    bool asked = false;
    doc->Hooks().clientsConnected = [&] {
        asked = true;
        return true;
    };
    views.Clear();
    ui.QueueAnswer(MessageAnswer::No);
    EXPECT_FALSE(doc->NewConfiguration());
    EXPECT_FALSE(asked);
    EXPECT_EQ(ui.Messages().size(), 1u);

    ui.QueueAnswer(MessageAnswer::Yes);
    EXPECT_FALSE(doc->NewConfiguration());
    EXPECT_TRUE(asked);
    const auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1].text, LoadStringText(IDS_CONFIRM_DESTROY_CONFIG));
    EXPECT_EQ(messages[2].text, "Cannot change files while OPC Clients are connected to this server.");
    EXPECT_EQ(messages[2].buttons, MessageButtons::Ok);
    EXPECT_NE(doc->FindTag("D1.Bin Sizes.Bin Size 01"), nullptr);
    EXPECT_TRUE(views.Hints().empty());
    EXPECT_TRUE(doc->GetPathName().empty());
}

TEST_F(OPCS_DocTest, SetPathNameMakesTheTitleTheFileNamePart) {
    doc->SetPathName("/var/lib/vok/Plant A.psf");
    EXPECT_EQ(doc->GetPathName(), "/var/lib/vok/Plant A.psf");
    EXPECT_EQ(doc->GetTitle(), "Plant A.psf");
    doc->SetPathName("Bare.psf");
    EXPECT_EQ(doc->GetTitle(), "Bare.psf");
}

TEST_F(OPCS_DocTest, CloseEmptiesTheDocument) {
    VOKDevice* device = AddDevice("D1");
    doc->SetPathName(ConfigFile());
    views.Clear();
    doc->OnCloseDocument();
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(device));  // not IsValidDevice: its cast reads a dead object
    EXPECT_EQ(views.HintNumbers(), std::vector<int>{dochint::kDeleteAll});
}

TEST_F(OPCS_DocTest, DestructionDestroysDevicesEvenWhilePolling) {
    VOKDevice* device = AddDevice("D1");
    device->RequestPolling(OPCS_Device::kOperator);
    ASSERT_TRUE(WaitFor([&] { return device->GetPollState() != OPCS_Device::kPollingStopped; }, 5000));
    doc.reset();
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(device));  // not IsValidDevice: its cast reads a dead object
}

// ---------------------------------------------------------------------------
// Concurrency

TEST_F(OPCS_DocTest, ConcurrencyLookUpsRunWhileDevicesComeAndGo) {
    AddDevice("Fixed");
    std::atomic<bool> running{true};
    std::atomic<int> found{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            while (running) {
                if (doc->FindTag("fixed.Bin Sizes.Bin Size 01") != nullptr) ++found;
                doc->FindTag("Moving.Bin Sizes.Bin Size 01");
                Dll<OPCS_Device*> list;
                doc->GetDeviceList(list);
            }
        });
    for (int round = 0; round < 20; ++round) {
        VOKDevice* moving = AddDevice("Moving");
        EXPECT_TRUE(doc->DeleteItem(moving));
    }
    running = false;
    for (auto& t : readers) t.join();
    EXPECT_GT(found.load(), 0);
}
