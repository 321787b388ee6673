// What a group tells its clients: the result of every write, the items of
// read and refresh completions, revised rates, the limits one client meets,
// clones with their items, and the poll requests and tags its items hold.
#include "GroupTestSupport.h"

#include "opc/OPCGroup.h"

#include <ctime>

namespace {

constexpr const char16_t* kBin1 = u"Dev1.Bin Sizes.Bin Size 01";
constexpr const char16_t* kBin2 = u"Dev1.Bin Sizes.Bin Size 02";
constexpr const char16_t* kInterval = u"Dev1.Sample Interval";
constexpr const char16_t* kTotal = u"Dev1.Total Raw Counts";
constexpr const char16_t* kLevel = u"Dev1.Level";

VARIANT Text(const char16_t* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

VARIANT I4(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

// A sink whose OnDataChange waits until it is let go: the group's async
// thread stands still in it, so that requests pile up behind it.
class GateSink : public RecordingSink {
public:
    void OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        entered.store(true);
        std::unique_lock lock(gateMutex);
        gate.wait(lock, [&] { return open; });
        lock.unlock();
        RecordingSink::OnDataChange(format, medium);
    }
    void Open() {
        std::lock_guard lock(gateMutex);
        open = true;
        gate.notify_all();
    }
    std::atomic<bool> entered{false};
    std::mutex gateMutex;
    std::condition_variable gate;
    bool open = false;
};

class GroupResultsTest : public GroupTest {
protected:
    // The completion stream of a transaction, once it has arrived.
    static std::optional<opcstream::DataStream> Completion(RecordingSink& sink, DWORD transaction) {
        std::optional<opcstream::DataStream> found;
        WaitUntil(
            [&] {
                for (const auto& r : sink.Snapshot()) {
                    if (r.format != opcstream::DataFormat()) continue;
                    auto parsed = opcstream::ReadDataStream(r.bytes, false, nullptr);
                    if (parsed && parsed->transactionId == transaction) {
                        found = std::move(*parsed);
                        return true;
                    }
                }
                return false;
            },
            3000);
        return found;
    }
};

TEST_F(GroupResultsTest, EveryWriteSaysWhetherItWasTakenAndWhy) {
    // A counter on a line that does not exist: its device cannot take a write.
    auto offline = VOKDevice::Create(false);
    offline->SetName("Far");
    offline->SetPort(97);
    offline->SetSampleInterval(1, false);
    ASSERT_TRUE(doc_->AddDevice(offline.release()));

    Group g = MakeGroup(false);
    RecordingSink sink;
    FORMATETC plain = Format(opcstream::DataFormat());
    DWORD connection = 0;
    ASSERT_EQ(g.data->DAdvise(&plain, 0, &sink, &connection), S_OK);
    const Added added = AddItems(g.items, {kInterval, kTotal, u"Far.Sample Interval"}, 1);
    ASSERT_EQ(added.result, S_OK);
    OPCHANDLE handles[4] = {added.Handle(0), added.Handle(1), added.Handle(2), added.Handle(0)};
    VARIANT values[4] = {Text(u"abc"), I4(5), I4(5), I4(17)};
    HRESULT* errors = nullptr;
    ASSERT_EQ(g.sync->Write(4, handles, values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_BADTYPE) << "a text that is no number";
    EXPECT_EQ(errors[1], OPC_E_BADRIGHTS) << "a read-only tag";
    EXPECT_EQ(errors[2], E_FAIL) << "a device that did not take it";
    EXPECT_EQ(errors[3], S_OK);
    CoTaskMemFree(errors);
    EXPECT_EQ(device_->GetSampleInterval(), 17u);

    // The asynchronous write: bad handles are named at once, the rest in the
    // completion, whose count is that of its records.
    OPCHANDLE asyncHandles[3] = {0xBAD, added.Handle(0), added.Handle(1)};
    VARIANT asyncValues[3] = {I4(1), Text(u"abc"), I4(1)};
    DWORD transaction = 0;
    ASSERT_EQ(g.async->Write(connection, 3, asyncHandles, asyncValues, &transaction, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(errors[1], S_OK);
    CoTaskMemFree(errors);
    std::optional<opcstream::WriteCompleteStream> completion;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& r : sink.Snapshot())
                if (r.format == opcstream::WriteCompleteFormat())
                    completion = opcstream::ReadWriteCompleteStream(r.bytes, nullptr);
            return completion.has_value();
        },
        3000));
    EXPECT_EQ(completion->transactionId, transaction);
    EXPECT_EQ(completion->itemCount, 2u);
    ASSERT_EQ(completion->results.size(), 2u);
    EXPECT_EQ(completion->results[0].error, OPC_E_BADTYPE);
    EXPECT_EQ(completion->results[1].error, OPC_E_BADRIGHTS);
    for (VARIANT* v : {values, asyncValues})
        for (int i = 0; i < 3; ++i) VariantClear(&v[i]);
    g.Release();
}

TEST_F(GroupResultsTest, ReadsDeliverTheRequestedTypeAndTypesAreCheckedWhenAsked) {
    Group g = MakeGroup(false);
    const Added added = AddItems(g.items, {kTotal}, 1, VT_BSTR);
    ASSERT_EQ(added.result, S_OK);
    OPCITEMSTATE state{};
    ASSERT_EQ(ReadOne(g.sync, added.Handle(0), state), S_OK);
    EXPECT_EQ(state.vDataValue.vt, VT_BSTR) << "a count read as text";
    VariantClear(&state.vDataValue);
    // A type no count can become is refused when it is asked for.
    const Added refused = AddItems(g.items, {kTotal, kBin1}, 5, static_cast<VARTYPE>(VT_ARRAY | VT_I4));
    EXPECT_EQ(refused.result, S_FALSE);
    EXPECT_EQ(refused.errors[0], OPC_E_BADTYPE);
    EXPECT_EQ(refused.Handle(0), 0u);
    OPCHANDLE h = added.Handle(0);
    VARTYPE bad = VT_ARRAY | VT_R8;
    HRESULT* errors = nullptr;
    ASSERT_EQ(g.items->SetDatatypes(1, &h, &bad, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_BADTYPE);
    CoTaskMemFree(errors);
    ASSERT_EQ(ReadOne(g.sync, added.Handle(0), state), S_OK);
    EXPECT_EQ(state.vDataValue.vt, VT_BSTR) << "the refused type left the item as it was";
    VariantClear(&state.vDataValue);
    // The attribute enumerator names the tag's type, not the cached value's.
    IUnknown* unknown = nullptr;
    ASSERT_EQ(g.items->CreateEnumerator(IID_IEnumOPCItemAttributes, &unknown), S_OK);
    auto* attributes = static_cast<IEnumOPCItemAttributes*>(unknown);
    OPCITEMATTRIBUTES* found = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(attributes->Next(1, &found, &fetched), S_OK);
    EXPECT_EQ(found[0].vtCanonicalDataType, doc_->FindTag("Dev1.Total Raw Counts")->GetCanonicalType());
    EXPECT_EQ(found[0].vtRequestedDataType, VT_BSTR);
    CoTaskMemFree(found[0].szAccessPath);
    CoTaskMemFree(found[0].szItemID);
    VariantClear(&found[0].vEUInfo);
    CoTaskMemFree(found);
    attributes->Release();
    g.Release();
}

TEST_F(GroupResultsTest, AdviseThenRefreshDeliversEveryActiveItemAndAReadExactlyItsItems) {
    SetLevel(40);
    Group g = MakeGroup(true, 100);
    RecordingSink sink;
    FORMATETC plain = Format(opcstream::DataFormat());
    DWORD connection = 0;
    ASSERT_EQ(g.data->DAdvise(&plain, 0, &sink, &connection), S_OK);
    const Added added = AddItems(g.items, {kLevel, kInterval, kTotal}, 1);
    // Let the scans take the first values, so that nothing is changed any more.
    ASSERT_TRUE(WaitUntil([&] { return sink.Count() > 0; }, 3000));
    Sleep(300);
    HRESULT* errors = nullptr;
    OPCHANDLE total = added.Handle(2);
    ASSERT_EQ(g.items->SetActiveState(1, &total, FALSE, &errors), S_OK);
    CoTaskMemFree(errors);
    DWORD refresh = 0;
    ASSERT_EQ(g.async->Refresh(connection, OPC_DS_CACHE, &refresh), S_OK);
    const auto refreshed = Completion(sink, refresh);
    ASSERT_TRUE(refreshed);
    std::vector<OPCHANDLE> clients;
    for (const auto& item : refreshed->items) clients.push_back(item.hClient);
    EXPECT_EQ(clients, (std::vector<OPCHANDLE>{1, 2})) << "every active item, changed or not";
    for (const auto& item : refreshed->items)
        if (item.hClient == 1) {
            EXPECT_EQ(AsDouble(item.value), 40);
        }

    DWORD read = 0;
    OPCHANDLE one = added.Handle(1);
    ASSERT_EQ(g.async->Read(connection, OPC_DS_CACHE, 1, &one, &read, &errors), S_OK);
    CoTaskMemFree(errors);
    const auto readDone = Completion(sink, read);
    ASSERT_TRUE(readDone);
    ASSERT_EQ(readDone->items.size(), 1u);
    EXPECT_EQ(readDone->items[0].hClient, 2u);
    g.Release();
}

TEST_F(GroupResultsTest, ARateOfZeroIsRevisedAndTheGroupDoesNotSpin) {
    Group g = MakeGroup(true, 0);
    DWORD rate = 1;
    ASSERT_EQ(g.state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(rate, kFastestUpdateRate);
    AddItems(g.items, {kLevel, kTotal, kBin1});
    Sleep(100);
    const std::clock_t before = std::clock();
    Sleep(1000);
    const double cpuSeconds = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
    EXPECT_LT(cpuSeconds, 0.05) << "the process used more than 5 % of a core";
    g.Release();
}

TEST_F(GroupResultsTest, OneClientMeetsLimitsAndLeavesNothingBehindWhenRefused) {
    const std::size_t groupsBefore = OPCGroup::LiveCount();
    IUnknown* unknown = nullptr;
    OPCHANDLE handle = 0;
    EXPECT_EQ(server_->AddGroup(u"", TRUE, 1000, 0, nullptr, nullptr, 0, &handle, nullptr, IID_IEnumString, &unknown),
              E_NOINTERFACE);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(OPCGroup::LiveCount(), groupsBefore) << "a group the client cannot hold is not kept";

    Group g = MakeGroup(false);
    const Added added = AddItems(g.items, {kTotal});
    DWORD transaction = 0;
    HRESULT* errors = nullptr;
    OPCHANDLE h = added.Handle(0);
    EXPECT_EQ(g.async->Read(12345, OPC_DS_CACHE, 1, &h, &transaction, &errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(g.async->Refresh(12345, OPC_DS_CACHE, &transaction), CONNECT_E_NOCONNECTION);

    std::vector<RecordingSink> sinks(kMaxAdvisesPerGroup + 1);
    FORMATETC plain = Format(opcstream::DataFormat());
    std::vector<DWORD> connections;
    for (std::size_t i = 0; i < kMaxAdvisesPerGroup; ++i) {
        DWORD c = 0;
        ASSERT_EQ(g.data->DAdvise(&plain, 0, &sinks[i], &c), S_OK);
        connections.push_back(c);
    }
    DWORD extra = 0;
    EXPECT_EQ(g.data->DAdvise(&plain, 0, &sinks.back(), &extra), CONNECT_E_ADVISELIMIT);
    ASSERT_EQ(g.data->DUnadvise(connections.back()), S_OK);
    EXPECT_EQ(g.data->DAdvise(&plain, 0, &sinks.back(), &extra), S_OK) << "an ended advise makes room";
    g.Release();

    for (std::size_t i = 0; i < kMaxGroupsPerServer; ++i) {
        IUnknown* made = nullptr;
        ASSERT_EQ(server_->AddGroup(nullptr, FALSE, 1000, 0, nullptr, nullptr, 0, &handle, nullptr, IID_IUnknown,
                                    &made),
                  S_OK);
        made->Release();
    }
    EXPECT_EQ(server_->AddGroup(nullptr, FALSE, 1000, 0, nullptr, nullptr, 0, &handle, nullptr, IID_IUnknown,
                                &unknown),
              E_OUTOFMEMORY);
    IOPCServer* other = Connect();
    Group elsewhere = MakeGroup(false, 1000, other);
    EXPECT_NE(elsewhere.unknown, nullptr) << "another client is not held to this one's groups";
    elsewhere.Release();
    other->Release();
}

TEST_F(GroupResultsTest, TheAsyncQueueIsBoundedWhileItsThreadIsHeldUp) {
    Group g = MakeGroup(false);
    GateSink sink;
    FORMATETC plain = Format(opcstream::DataFormat());
    DWORD connection = 0;
    ASSERT_EQ(g.data->DAdvise(&plain, 0, &sink, &connection), S_OK);
    const Added added = AddItems(g.items, {kTotal});
    OPCHANDLE h = added.Handle(0);
    DWORD transaction = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(g.async->Read(connection, OPC_DS_CACHE, 1, &h, &transaction, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(WaitUntil([&] { return sink.entered.load(); }, 3000));
    for (std::size_t i = 0; i < kMaxQueuedRequests; ++i) {
        ASSERT_EQ(g.async->Read(connection, OPC_DS_CACHE, 1, &h, &transaction, &errors), S_OK) << i;
        CoTaskMemFree(errors);
    }
    EXPECT_EQ(g.async->Read(connection, OPC_DS_CACHE, 1, &h, &transaction, &errors), E_OUTOFMEMORY);
    EXPECT_EQ(errors, nullptr);
    // The group still answers its other calls meanwhile.
    OPCITEMSTATE state{};
    EXPECT_EQ(ReadOne(g.sync, h, state), S_OK);
    VariantClear(&state.vDataValue);
    sink.Open();
    ASSERT_TRUE(WaitUntil([&] { return sink.Count() == kMaxQueuedRequests + 1; }, 5000));
    g.Release();
}

TEST_F(GroupResultsTest, AClonedGroupHasTheSameItems) {
    Group g = MakeGroup(true);
    const Added added = AddItems(g.items, {kTotal, kInterval}, 20, VT_BSTR);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(g.state->CloneGroup(u"Copy", IID_IOPCItemMgt, &unknown), S_OK);
    auto* cloneItems = static_cast<IOPCItemMgt*>(unknown);
    IUnknown* enumUnknown = nullptr;
    ASSERT_EQ(cloneItems->CreateEnumerator(IID_IEnumOPCItemAttributes, &enumUnknown), S_OK);
    auto* attributes = static_cast<IEnumOPCItemAttributes*>(enumUnknown);
    OPCITEMATTRIBUTES* found = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(attributes->Next(5, &found, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i) {
        EXPECT_EQ(found[i].hClient, 20u + i);
        EXPECT_EQ(found[i].vtRequestedDataType, VT_BSTR);
        EXPECT_NE(found[i].hServer, added.Handle(i)) << "the clone's own items";
        CoTaskMemFree(found[i].szAccessPath);
        CoTaskMemFree(found[i].szItemID);
        VariantClear(&found[i].vEUInfo);
    }
    CoTaskMemFree(found);
    attributes->Release();
    EXPECT_EQ(device_->GetClientPollRequests(), 2) << "the clone is inactive: no poll requests of its own";
    cloneItems->Release();
    g.Release();
}

TEST_F(GroupResultsTest, ItemsHoldTheirDeviceAndGiveBackRequestsOfRetiredTags) {
    Group g = MakeGroup(true);
    const Added added = AddItems(g.items, {kBin2});
    ASSERT_EQ(added.result, S_OK);
    EXPECT_EQ(device_->GetClientPollRequests(), 1);
    // Fewer bins retire the second bin's tag while the item still holds it.
    Dll<double> one;
    one.AddTail(0.3);
    device_->SetBinSizes(one, false);
    ASSERT_EQ(doc_->FindTag("Dev1.Bin Sizes.Bin Size 02"), nullptr);
    EXPECT_EQ(Remove(g.items, {added.Handle(0)}), S_OK);
    EXPECT_EQ(device_->GetClientPollRequests(), 0) << "the request went back to the device it came from";

    // An inactive group's item keeps the device from being deleted.
    Group idle = MakeGroup(false);
    const Added held = AddItems(idle.items, {kTotal});
    EXPECT_FALSE(device_->CanDelete());
    EXPECT_FALSE(doc_->DeleteItem(device_));
    EXPECT_EQ(Remove(idle.items, {held.Handle(0)}), S_OK);
    EXPECT_TRUE(device_->CanDelete());
    idle.Release();
    g.Release();
}

}  // namespace
