// A client's items on a counter that a device polls over a simulated serial
// line: the counts arrive in data-change streams, and a written sample
// interval reaches the counter.
#include "OpcTestSupport.h"

#include "GroupTestSupport.h"
#include "link/CSerial.h"
#include "platform/Environment.h"
#include "sim/SimLine.h"
#include "testsupport/TempDir.h"

#include <cstring>
#include <thread>

namespace {

// The DATATIME stream read straight from the standard's 32-bit layout, apart
// from the project's own reader: header, 20-byte item headers, 16-byte values.
struct RawItem {
    std::uint32_t hClient;
    std::uint16_t quality;
    std::uint16_t vt;
    double r8;  // the value for VT_R8, else 0
    std::int32_t i4;  // the value for VT_I4, else 0
};

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::vector<RawItem> ParseDataTime(const std::vector<std::uint8_t>& b) {
    std::vector<RawItem> out;
    if (b.size() < 20 || U32(b, 0) != b.size()) return out;
    const std::uint32_t count = U32(b, 4);
    for (std::uint32_t i = 0; i < count && 20 + 20 * (i + 1) <= b.size(); ++i) {
        const std::size_t header = 20 + 20 * i;
        RawItem item{};
        item.hClient = U32(b, header);
        const std::uint32_t offset = U32(b, header + 4);
        item.quality = static_cast<std::uint16_t>(b[header + 8] | (b[header + 9] << 8));
        if (offset + 16 > b.size()) continue;
        item.vt = static_cast<std::uint16_t>(b[offset] | (b[offset + 1] << 8));
        if (item.vt == VT_R8) {
            const std::uint64_t bits = U32(b, offset + 8) | (static_cast<std::uint64_t>(U32(b, offset + 12)) << 32);
            std::memcpy(&item.r8, &bits, 8);
        } else if (item.vt == VT_I4) {
            item.i4 = static_cast<std::int32_t>(U32(b, offset + 8));
        }
        out.push_back(item);
    }
    return out;
}

class LiveGroupTest : public OpcClientTest {
protected:
    void SetUp() override {
        OpcClientTest::SetUp();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        SimLineConfig config;
        SimCounterConfig counter;
        counter.address = 4;
        config.counters = {counter};
        config.comName = "COM43";
        config.timeScale = 1000;
        std::string error;
        ASSERT_TRUE(line_.Start(config, &error)) << error;
        CSerial::EnumeratePorts();
        auto device = VOKDevice::Create(false);
        device->SetPort(43);
        device->SetAddress(0x84);
        device->SetName("Room 4");
        VOKDevicePauses pauses;
        pauses.beforeData = 30;
        pauses.busyRetry = 40;
        pauses.confirmation = 20;
        device->SetPauses(pauses);
        device->SetSampleInterval(1, false);
        device_ = device.get();
        ASSERT_TRUE(host_.UseDocument().AddDevice(device.release()));
    }
    void TearDown() override { line_.Stop(); }

    TempDir registry_;
    SimLine line_;
    VOKDevice* device_ = nullptr;
};

TEST_F(LiveGroupTest, CountsArriveInDataChangesAndAWrittenIntervalReachesTheCounter) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    IUnknown* unknown = nullptr;
    OPCHANDLE group = 0;
    ASSERT_EQ(server->AddGroup(u"Counts", TRUE, 100, 9, nullptr, nullptr, 0, &group, nullptr, IID_IUnknown, &unknown),
              S_OK);
    IOPCItemMgt* items = nullptr;
    IOPCSyncIO* sync = nullptr;
    IDataObject* data = nullptr;
    unknown->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&items));
    unknown->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));
    unknown->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
    RecordingSink sink;
    FORMATETC format{opcstream::DataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&format, 0, &sink, &connection), S_OK);

    std::u16string bin = u"room 4.cumulative raw bin counts.cumulative raw count bin 01";
    std::u16string interval = u"Room 4.Sample Interval";
    OPCITEMDEF defs[2] = {};
    defs[0].szItemID = bin.data();
    defs[0].bActive = TRUE;
    defs[0].hClient = 1;
    defs[0].vtRequestedDataType = VT_R8;
    defs[1].szItemID = interval.data();
    defs[1].bActive = TRUE;
    defs[1].hClient = 2;
    defs[1].vtRequestedDataType = VT_I4;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(2, defs, &results, &errors), S_OK);
    const OPCHANDLE intervalHandle = results[1].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // The device polls for the items; the first good counts come in a stream.
    bool good = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& r : sink.Snapshot())
                for (const RawItem& item : ParseDataTime(r.bytes))
                    if (item.hClient == 1 && item.quality == OPC_QUALITY_GOOD && item.vt == VT_R8 && item.r8 >= 0)
                        good = true;
            return good;
        },
        10000));
    EXPECT_GT(device_->GetClientPollRequests(), 0);

    VARIANT two;
    VariantInit(&two);
    two.vt = VT_I4;
    two.lVal = 2;
    OPCHANDLE h = intervalHandle;
    ASSERT_EQ(sync->Write(1, &h, &two, &errors), S_OK);
    EXPECT_EQ(errors[0], S_OK);
    CoTaskMemFree(errors);
    const auto state = line_.CounterState(4);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->sampleIntervalS, 2u);
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& r : sink.Snapshot())
                for (const RawItem& item : ParseDataTime(r.bytes))
                    if (item.hClient == 2 && item.vt == VT_I4 && item.i4 == 2) return true;
            return false;
        },
        5000));

    data->DUnadvise(connection);
    for (IUnknown* i : std::initializer_list<IUnknown*>{items, sync, data, unknown}) i->Release();
    server->RemoveGroup(group, FALSE);
    server->Release();
    EXPECT_EQ(device_->GetClientPollRequests(), 0);
}

// A counter that falls silent: the write of its sample interval fails for
// the client (not S_OK), and while the device waits for the counter the
// group's other calls go on.
TEST_F(LiveGroupTest, AWriteToASilentCounterFailsWithoutHoldingUpTheGroup) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    IUnknown* unknown = nullptr;
    OPCHANDLE group = 0;
    ASSERT_EQ(server->AddGroup(u"W", FALSE, 100, 9, nullptr, nullptr, 0, &group, nullptr, IID_IUnknown, &unknown),
              S_OK);
    IOPCItemMgt* items = nullptr;
    IOPCSyncIO* sync = nullptr;
    unknown->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&items));
    unknown->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));
    std::u16string interval = u"Room 4.Sample Interval";
    OPCITEMDEF def{};
    def.szItemID = interval.data();
    def.bActive = TRUE;
    def.hClient = 2;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(1, &def, &results, &errors), S_OK);
    OPCHANDLE h = results[0].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    SimFaults silent;
    silent.silent = true;
    ASSERT_TRUE(line_.SetFaults(4, silent));
    std::atomic<bool> writing{true};
    HRESULT writeResult = E_UNEXPECTED;
    HRESULT writeError = E_UNEXPECTED;
    std::thread writer([&] {
        VARIANT seven;
        VariantInit(&seven);
        seven.vt = VT_I4;
        seven.lVal = 7;
        HRESULT* e = nullptr;
        OPCHANDLE handle = h;
        writeResult = sync->Write(1, &handle, &seven, &e);
        if (e != nullptr) writeError = e[0];
        CoTaskMemFree(e);
        writing.store(false);
    });
    Sleep(100);
    // Reads of the same group are answered at once while the write waits.
    int readsDuringWrite = 0;
    while (writing.load()) {
        const DWORD start = GetTickCount();
        OPCITEMSTATE* states = nullptr;
        HRESULT* e = nullptr;
        ASSERT_EQ(sync->Read(OPC_DS_CACHE, 1, &h, &states, &e), S_OK);
        EXPECT_LT(GetTickCount() - start, 500u);
        VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(e);
        if (writing.load()) ++readsDuringWrite;
        Sleep(50);
    }
    writer.join();
    EXPECT_EQ(writeResult, S_FALSE);
    EXPECT_EQ(writeError, E_FAIL);
    EXPECT_GT(readsDuringWrite, 0) << "the write was over before a read could overlap it";
    EXPECT_NE(device_->GetSampleInterval(), 7u);

    for (IUnknown* i : std::initializer_list<IUnknown*>{items, sync, unknown}) i->Release();
    server->RemoveGroup(group, FALSE);
    server->Release();
}

}  // namespace
