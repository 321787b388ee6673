#include "GroupTestSupport.h"

#include "opc/OPCGroup.h"

#include <cmath>
#include <thread>

namespace {

constexpr const char16_t* kBin1 = u"Dev1.Bin Sizes.Bin Size 01";
constexpr const char16_t* kInterval = u"Dev1.Sample Interval";
constexpr const char16_t* kTotal = u"Dev1.Total Raw Counts";
constexpr const char16_t* kLevel = u"Dev1.Level";
constexpr const char16_t* kLabel = u"Dev1.Label";

std::vector<opcstream::DataStream> DataStreams(RecordingSink& sink, bool withTime) {
    std::vector<opcstream::DataStream> out;
    for (const auto& r : sink.Snapshot()) {
        std::string error;
        auto parsed = opcstream::ReadDataStream(r.bytes, withTime, &error);
        EXPECT_TRUE(parsed) << error;
        if (parsed) out.push_back(std::move(*parsed));
    }
    return out;
}

// The values of one client handle, in the order the streams carried them.
std::vector<double> ValuesOf(const std::vector<opcstream::DataStream>& streams, OPCHANDLE hClient) {
    std::vector<double> out;
    for (const auto& s : streams)
        for (const auto& item : s.items)
            if (item.hClient == hClient) {
                VARIANT d;
                VariantInit(&d);
                out.push_back(SUCCEEDED(VariantChangeType(&d, &item.value, 0, VT_R8)) ? d.dblVal : NAN);
            }
    return out;
}

}  // namespace

TEST_F(GroupTest, ItemIdsResolveIgnoringCaseAndReportTheirTypesAndRights) {
    Group g = MakeGroup(false);
    const Added added = AddItems(g.items, {kBin1, u"dev1.bin sizes.BIN SIZE 01", u"Dev1.Nothing", u"NoDot",
                                           u".Dev1", kInterval, kTotal});
    EXPECT_EQ(added.result, S_FALSE);
    EXPECT_EQ(added.errors, (std::vector<HRESULT>{S_OK, S_OK, OPC_E_UNKNOWNITEMID, OPC_E_UNKNOWNITEMID,
                                                  OPC_E_UNKNOWNITEMID, S_OK, S_OK}));
    EXPECT_NE(added.Handle(0), 0u);
    EXPECT_NE(added.Handle(0), added.Handle(1)) << "each definition is an item of its own";
    EXPECT_EQ(added.Handle(2), 0u);
    EXPECT_EQ(added.results[0].vtCanonicalDataType, doc_->FindTag("Dev1.Bin Sizes.Bin Size 01")->GetCanonicalType());
    EXPECT_NE(added.results[0].vtCanonicalDataType, VT_EMPTY);
    EXPECT_EQ(added.results[6].dwAccessRights, static_cast<DWORD>(OPC_READABLE));
    EXPECT_EQ(added.results[5].dwAccessRights, static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE));
    EXPECT_EQ(doc_->FindTag("Dev1.Total Raw Counts")->GetReferenceCount(), 1);

    // Validation finds the same and adds nothing.
    std::vector<OPCITEMDEF> defs(2);
    defs[0] = OPCITEMDEF{};
    defs[0].szItemID = const_cast<LPWSTR>(kTotal);
    defs[1] = OPCITEMDEF{};
    defs[1].szItemID = const_cast<LPWSTR>(u"Dev1.Missing");
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(g.items->ValidateItems(2, defs.data(), FALSE, &results, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(results[0].dwAccessRights, static_cast<DWORD>(OPC_READABLE));
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    EXPECT_EQ(doc_->FindTag("Dev1.Total Raw Counts")->GetReferenceCount(), 1);
    EXPECT_EQ(g.items->AddItems(1, nullptr, &results, &errors), E_INVALIDARG);

    g.Release();
    EXPECT_EQ(doc_->FindTag("Dev1.Total Raw Counts")->GetReferenceCount(), 0) << "the group's items are gone";
}

TEST_F(GroupTest, PollRequestsFollowTheGroupsActivation) {
    Group g = MakeGroup(false);
    const Added added = AddItems(g.items, {kBin1, kTotal});
    EXPECT_EQ(device_->GetClientPollRequests(), 0) << "items of an inactive group do not poll";
    BOOL on = TRUE, off = FALSE;
    DWORD revised = 0;
    g.state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(device_->GetClientPollRequests(), 2);
    EXPECT_TRUE(WaitUntil([&] { return device_->HasPollThread() && device_->GetPollState() != 0; }, 3000));
    g.state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(device_->GetClientPollRequests(), 0);
    g.state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(Remove(g.items, {added.Handle(0)}), S_OK);
    EXPECT_EQ(device_->GetClientPollRequests(), 1);
    // An item added to an active group polls at once.
    AddItems(g.items, {kInterval});
    EXPECT_EQ(device_->GetClientPollRequests(), 2);
    g.Release();
    EXPECT_EQ(device_->GetClientPollRequests(), 0);
}

// Only the group's own live items are accepted; a batch with bad handles is
// applied to its valid items, and each bad one is named, never half applied.
TEST_F(GroupTest, BatchesApplyToTheValidItemsAndNameTheInvalidOnes) {
    Group a = MakeGroup(false);
    Group b = MakeGroup(false);
    const Added inA = AddItems(a.items, {kTotal, kBin1, kInterval});
    const Added inB = AddItems(b.items, {kTotal});
    HRESULT* errors = nullptr;
    // Another group's item is refused as a forged number or a group handle is,
    // and the valid item after it is still removed.
    OPCHANDLE mixed[4] = {inB.Handle(0), 0xDEAD, a.handle, inA.Handle(0)};
    ASSERT_EQ(a.items->RemoveItems(4, mixed, &errors), S_FALSE);
    EXPECT_EQ(std::vector<HRESULT>(errors, errors + 4),
              (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, S_OK}));
    CoTaskMemFree(errors);
    OPCITEMSTATE state{};
    EXPECT_EQ(ReadOne(b.sync, inB.Handle(0), state), S_OK) << "the other group's item is left alone";
    VariantClear(&state.vDataValue);

    // A read with a removed handle in front still reads the rest.
    OPCHANDLE reads[2] = {inA.Handle(0), inA.Handle(1)};
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(a.sync->Read(OPC_DS_CACHE, 2, reads, &states, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(errors[1], S_OK);
    EXPECT_EQ(states[0].vDataValue.vt, VT_EMPTY);
    EXPECT_NE(states[1].vDataValue.vt, VT_EMPTY);
    VariantClear(&states[1].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // A handle given twice is removed once.
    OPCHANDLE twice[2] = {inA.Handle(1), inA.Handle(1)};
    ASSERT_EQ(a.items->RemoveItems(2, twice, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);

    // The other item calls alike: the valid item is changed, the bad named.
    OPCHANDLE pair[2] = {0xBAD, inA.Handle(2)};
    ASSERT_EQ(a.items->SetActiveState(2, pair, TRUE, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(errors[1], S_OK);
    CoTaskMemFree(errors);
    OPCHANDLE clients[2] = {1, 2};
    ASSERT_EQ(a.items->SetClientHandles(2, pair, clients, &errors), S_FALSE);
    CoTaskMemFree(errors);
    VARTYPE types[2] = {VT_R8, VT_BSTR};
    ASSERT_EQ(a.items->SetDatatypes(2, pair, types, &errors), S_FALSE);
    EXPECT_EQ(errors[1], S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(ReadOne(a.sync, inA.Handle(2), state), S_OK);
    EXPECT_EQ(state.hClient, 2u);
    EXPECT_EQ(state.vDataValue.vt, VT_BSTR);
    VariantClear(&state.vDataValue);
    a.Release();
    b.Release();
}

TEST_F(GroupTest, DeadBandInactiveItemsAndTheDataTimeStream) {
    SetLevel(50);
    Group g = MakeGroup(true, 30);
    RecordingSink sink;
    FORMATETC format = Format(opcstream::DataTimeFormat());
    DWORD connection = 0;
    ASSERT_EQ(g.data->DAdvise(&format, 0, &sink, &connection), S_OK);
    const Added added = AddItems(g.items, {kLevel, kBin1}, 500);
    ASSERT_TRUE(WaitUntil([&] { return !ValuesOf(DataStreams(sink, true), 500).empty(); }, 3000));
    EXPECT_EQ(ValuesOf(DataStreams(sink, true), 500).front(), 50);

    // 50 to 60 lies inside the 10 % band of 0..100: only its new time stamp is
    // reported, with the old value.
    SetLevel(60);
    Sleep(200);
    sink.Clear();
    Sleep(200);
    for (double v : ValuesOf(DataStreams(sink, true), 500)) EXPECT_EQ(v, 50);
    SetLevel(60.5);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto values = ValuesOf(DataStreams(sink, true), 500);
            return !values.empty() && values.back() == 60.5;
        },
        3000));

    // An item set inactive is reported once as out of service, then no more.
    HRESULT* errors = nullptr;
    OPCHANDLE level = added.Handle(0);
    sink.Clear();
    ASSERT_EQ(g.items->SetActiveState(1, &level, FALSE, &errors), S_OK);
    CoTaskMemFree(errors);
    Sleep(400);
    std::vector<WORD> qualities;
    for (const auto& s : DataStreams(sink, true))
        for (const auto& item : s.items)
            if (item.hClient == 500) qualities.push_back(item.quality);
    EXPECT_EQ(qualities, std::vector<WORD>{OPC_QUALITY_OUT_OF_SERVICE});

    // Every stream carries the group's client handle and transaction 0.
    for (const auto& s : DataStreams(sink, true)) {
        EXPECT_EQ(s.hClientGroup, 77u);
        EXPECT_EQ(s.transactionId, 0u);
    }
    EXPECT_EQ(g.data->DUnadvise(connection), S_OK);
    EXPECT_EQ(g.data->DUnadvise(connection), OLE_E_NOCONNECTION);
    g.Release();
    EXPECT_EQ(sink.refs.load(), 0u) << "the group gave back its reference on the sink";
}

// Every subscriber receives every change, whatever other subscribers and
// synchronous reads take in between.
TEST_F(GroupTest, TwoSubscribersAndAReaderAllSeeAQualityChange) {
    SetLevel(20);
    Group g = MakeGroup(false, 50);
    RecordingSink first, second;
    FORMATETC time = Format(opcstream::DataTimeFormat());
    FORMATETC plain = Format(opcstream::DataFormat());
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(g.data->DAdvise(&time, 0, &first, &c1), S_OK);
    ASSERT_EQ(g.data->DAdvise(&plain, 0, &second, &c2), S_OK);
    const Added added = AddItems(g.items, {kLevel}, 1);
    BOOL on = TRUE;
    g.state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr);
    auto sawQuality = [](RecordingSink& sink, bool withTime, WORD quality) {
        for (const auto& s : DataStreams(sink, withTime))
            for (const auto& item : s.items)
                if (item.hClient == 1 && item.quality == quality) return true;
        return false;
    };
    ASSERT_TRUE(WaitUntil([&] { return sawQuality(first, true, OPC_QUALITY_GOOD); }, 3000));
    ASSERT_TRUE(WaitUntil([&] { return sawQuality(second, false, OPC_QUALITY_GOOD); }, 3000));

    // A reader that reads all the time cannot take the change from either.
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading.load()) {
            OPCITEMSTATE state{};
            ReadOne(g.sync, added.Handle(0), state);
            VariantClear(&state.vDataValue);
        }
    });
    level_->SetQuality(kQualityCommFailure);
    const bool firstSaw = WaitUntil([&] { return sawQuality(first, true, kQualityCommFailure); }, 3000);
    const bool secondSaw = WaitUntil([&] { return sawQuality(second, false, kQualityCommFailure); }, 3000);
    reading.store(false);
    reader.join();
    EXPECT_TRUE(firstSaw);
    EXPECT_TRUE(secondSaw);
    OPCITEMSTATE state{};
    ASSERT_EQ(ReadOne(g.sync, added.Handle(0), state), S_OK);
    EXPECT_EQ(state.wQuality, kQualityCommFailure);
    VariantClear(&state.vDataValue);
    for (const auto& r : second.Snapshot()) EXPECT_EQ(r.format, opcstream::DataFormat());
    g.Release();
}

TEST_F(GroupTest, AsynchronousRequestsCompleteInOrderWithTheirTransactionIds) {
    Group g = MakeGroup(false);
    RecordingSink sink;
    FORMATETC plain = Format(opcstream::DataFormat());
    DWORD connection = 0;
    ASSERT_EQ(g.data->DAdvise(&plain, 0, &sink, &connection), S_OK);
    const Added added = AddItems(g.items, {kTotal, kInterval}, 10);
    OPCHANDLE handles[2] = {added.Handle(0), added.Handle(1)};
    VARIANT values[2];
    for (VARIANT& v : values) {
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = 42;
    }
    DWORD write = 0, read = 0, refresh = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(g.async->Write(connection, 2, handles, values, &write, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(g.async->Read(connection, OPC_DS_DEVICE, 2, handles, &read, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(g.async->Refresh(connection, OPC_DS_CACHE, &refresh), S_OK);
    EXPECT_EQ(write, 2u);
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(refresh, 4u);
    OPCHANDLE bad = 0xBAD;
    DWORD none = 0;
    EXPECT_EQ(g.async->Read(connection, OPC_DS_CACHE, 1, &bad, &none, &errors), E_FAIL);
    EXPECT_EQ(g.async->Cancel(write), E_NOTIMPL);

    ASSERT_TRUE(WaitUntil([&] { return sink.Count() >= 3; }, 3000));
    const auto received = sink.Snapshot();
    ASSERT_EQ(received[0].format, opcstream::WriteCompleteFormat());
    std::string error;
    const auto completion = opcstream::ReadWriteCompleteStream(received[0].bytes, &error);
    ASSERT_TRUE(completion) << error;
    EXPECT_EQ(completion->transactionId, 2u);
    EXPECT_EQ(completion->status, S_OK);
    ASSERT_EQ(completion->results.size(), 2u);
    EXPECT_EQ(completion->results[0].hClient, 10u);
    EXPECT_EQ(completion->results[0].error, OPC_E_BADRIGHTS) << "the total is read-only";
    EXPECT_EQ(completion->results[1].error, S_OK);
    const auto readDone = opcstream::ReadDataStream(received[1].bytes, false, &error);
    ASSERT_TRUE(readDone) << error;
    EXPECT_EQ(readDone->transactionId, 3u);
    ASSERT_EQ(readDone->items.size(), 2u) << "a read completes with exactly its items";
    double interval = -1;
    for (const auto& item : readDone->items)
        if (item.hClient == 11) interval = AsDouble(item.value);
    EXPECT_EQ(interval, 42) << "the written sample interval is read back";
    EXPECT_EQ(device_->GetSampleInterval(), 42u);
    // The refresh of an inactive group has no active item to deliver.
    const auto refreshed = opcstream::ReadDataStream(received[2].bytes, false, &error);
    ASSERT_TRUE(refreshed) << error;
    EXPECT_EQ(refreshed->transactionId, 4u);
    EXPECT_EQ(refreshed->itemCount, 0u);
    g.Release();
}

TEST_F(GroupTest, SynchronousWritesAndValuesTheClientsTypeCannotHold) {
    Group g = MakeGroup(false);
    const Added added = AddItems(g.items, {kInterval, kTotal, kLabel}, 1);
    OPCHANDLE handles[2] = {added.Handle(0), added.Handle(1)};
    VARIANT values[2];
    for (VARIANT& v : values) {
        VariantInit(&v);
        v.vt = VT_R8;
        v.dblVal = 30;
    }
    HRESULT* errors = nullptr;
    EXPECT_EQ(g.sync->Write(2, handles, values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
    CoTaskMemFree(errors);
    EXPECT_EQ(device_->GetSampleInterval(), 30u);
    OPCITEMSTATE state{};
    ASSERT_EQ(ReadOne(g.sync, handles[0], state), S_OK);
    EXPECT_EQ(AsDouble(state.vDataValue), 30);
    EXPECT_EQ(state.hClient, 1u);
    VariantClear(&state.vDataValue);

    // Text asked for as a number: the stream says bad and empty, and goes on.
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"not a number");
    label_->SetValueGood(text);
    VariantClear(&text);
    OPCHANDLE label = added.Handle(2);
    VARTYPE asNumber = VT_R8;
    ASSERT_EQ(g.items->SetDatatypes(1, &label, &asNumber, &errors), S_OK);
    CoTaskMemFree(errors);
    // A synchronous read says so too: bad, empty and OPC_E_BADTYPE.
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(g.sync->Read(OPC_DS_CACHE, 1, &label, &states, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_BADTYPE);
    EXPECT_EQ(states[0].wQuality, OPC_QUALITY_BAD);
    EXPECT_EQ(states[0].vDataValue.vt, VT_EMPTY);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    FORMATETC plain = Format(opcstream::DataFormat());
    STGMEDIUM medium{};
    ASSERT_EQ(g.data->GetData(&plain, &medium), S_OK);
    std::string error;
    const auto stream = opcstream::ReadDataStream(opcstream::FromGlobal(medium.hGlobal), false, &error);
    ReleaseStgMedium(&medium);
    ASSERT_TRUE(stream) << error;
    bool sawLabel = false;
    for (const auto& item : stream->items)
        if (item.hClient == 3) {
            sawLabel = true;
            EXPECT_EQ(item.quality, OPC_QUALITY_BAD);
            EXPECT_EQ(item.value.vt, VT_EMPTY);
        }
    EXPECT_TRUE(sawLabel);
    FORMATETC wrong = Format(opcstream::WriteCompleteFormat());
    EXPECT_EQ(g.data->QueryGetData(&wrong), DV_E_FORMATETC);
    wrong = Format(opcstream::DataFormat());
    wrong.tymed = TYMED_FILE;
    EXPECT_EQ(g.data->QueryGetData(&wrong), DV_E_TYMED);
    RecordingSink sink;
    DWORD c = 0;
    wrong = Format(opcstream::DataFormat());
    wrong.lindex = 0;
    EXPECT_EQ(g.data->DAdvise(&wrong, 0, &sink, &c), E_FAIL);
    g.Release();
}

TEST_F(GroupTest, AGroupReleasedWithRequestsQueuedGoesQuietly) {
    Group g = MakeGroup(true, 10);
    RecordingSink sink;
    FORMATETC plain = Format(opcstream::DataFormat());
    DWORD connection = 0;
    ASSERT_EQ(g.data->DAdvise(&plain, 0, &sink, &connection), S_OK);
    const Added added = AddItems(g.items, {kTotal, kBin1, kInterval});
    OPCHANDLE handles[3] = {added.Handle(0), added.Handle(1), added.Handle(2)};
    for (int i = 0; i < 200; ++i) {
        DWORD id = 0;
        HRESULT* errors = nullptr;
        // The queue takes a bounded number of requests; the rest are refused.
        const HRESULT hr = g.async->Read(connection, OPC_DS_CACHE, 3, handles, &id, &errors);
        ASSERT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << std::hex << hr;
        CoTaskMemFree(errors);
    }
    g.Release();
    const std::size_t after = sink.Count();
    Sleep(100);
    EXPECT_EQ(sink.Count(), after) << "nothing arrives from a group that is gone";
    EXPECT_EQ(sink.refs.load(), 0u);
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
    EXPECT_EQ(device_->GetClientPollRequests(), 0);
}

// Clients on several threads add and remove items and groups while the data
// and async threads scan, read and send, and the device polls.
TEST_F(GroupTest, ItemsAndGroupsConcurrencyWhileTheThreadsRun) {
    Group shared = MakeGroup(true, 5);
    RecordingSink sink;
    FORMATETC plain = Format(opcstream::DataTimeFormat());
    DWORD connection = 0;
    ASSERT_EQ(shared.data->DAdvise(&plain, 0, &sink, &connection), S_OK);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int round = 0; round < 25; ++round) {
                const Added added = AddItems(shared.items, {kBin1, kTotal, kLevel}, 1000 * t);
                if (added.result != S_OK) ++failures;
                DWORD id = 0;
                HRESULT* errors = nullptr;
                OPCHANDLE h = added.Handle(0);
                if (shared.async->Read(connection, OPC_DS_CACHE, 1, &h, &id, &errors) != S_OK) ++failures;
                CoTaskMemFree(errors);
                Group own = MakeGroup(round % 2 == 0, 1);
                AddItems(own.items, {kTotal});
                if (Remove(shared.items, {added.Handle(0), added.Handle(1), added.Handle(2)}) != S_OK) ++failures;
                own.Release();
            }
            CoUninitialize();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    shared.Release();
    for (const auto& s : DataStreams(sink, true)) EXPECT_LE(s.itemCount, 12u);
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
    EXPECT_EQ(device_->GetClientPollRequests(), 0);
    // The device's poll loop, which ends once no client asks, gives its own
    // reference on the tag back as it ends.
    const OPCS_Tag* total = doc_->FindTag("Dev1.Total Raw Counts");
    for (int i = 0; i < 200 && total->GetReferenceCount() != 0; ++i) Sleep(10);
    EXPECT_EQ(total->GetReferenceCount(), 0);
}
