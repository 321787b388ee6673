// The server's objects reached through the socket, both ends in this
// process: the broker publishes the class the in-process server registers,
// and the client side connects to that socket as another process would.
#include "remote/RemoteBroker.h"

#include "config/OPCS_Doc.h"
#include "model/Posting.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "opc/ComObjects.h"
#include "opc/InProcessServer.h"
#include "opc/OPCGroup.h"
#include "opc/OpcDa.h"
#include "opc/OpcStream.h"
#include "platform/Environment.h"
#include "platform/LocalSocket.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "schema/opc.capnp.h"
#include "testsupport/TempDir.h"

#include <capnp/rpc-twoparty.h>
#include <gtest/gtest.h>
#include <kj/async-io.h>
#include <kj/io.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

bool WaitUntil(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        Sleep(5);
    }
    return done();
}

// Keeps the streams it is given; can be told to hold each call until let go.
class Sink : public IAdviseSink {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IAdviseSink) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    void OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        std::unique_lock lock(mutex);
        streams.push_back(opcstream::FromGlobal(medium->hGlobal));
        formats.push_back(format->cfFormat);
        arrived.notify_all();
        released.wait(lock, [this] { return !hold; });
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}

    std::size_t Count() {
        std::lock_guard lock(mutex);
        return streams.size();
    }
    void Hold(bool on) {
        std::lock_guard lock(mutex);
        hold = on;
        released.notify_all();
    }

    std::atomic<ULONG> refs{0};
    std::mutex mutex;
    std::condition_variable arrived, released;
    std::vector<std::vector<std::uint8_t>> streams;
    std::vector<CLIPFORMAT> formats;
    bool hold = false;
};

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SetEnvironmentVariableA("XDG_RUNTIME_DIR", dir_.Path().c_str()));
        settings_.backlog = 4;
        broker_ = std::make_unique<remote::RemoteBroker>(settings_);
        broker_->Install();
        host_ = std::make_unique<InProcessServer>();
        ASSERT_EQ(host_->Status(), S_OK);
        OPCS_Doc& doc = host_->UseDocument();
        auto device = VOKDevice::Create(false);
        device->SetName("Dev1");
        device->SetSimulation(true);
        device_ = device.get();
        ASSERT_TRUE(doc.AddDevice(device.release()));
        level_ = new VOKTag;
        level_->SetName("Level");
        level_->SetCanonicalType(VT_R8);
        level_->SetAccessRights(1);
        level_->SetVolatile(false);
        level_->SetEULimitsEnabled(true);
        level_->SetEULimits(0, 100);
        ASSERT_TRUE(doc.InsertTag(device_, level_));
    }

    void TearDown() override {
        host_.reset();
        broker_.reset();
        SetEnvironmentVariableA("XDG_RUNTIME_DIR", nullptr);
    }

    // A server object in the other process's sense: reached through the socket.
    IOPCServer* Connect() {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(broker_->GetClassObject(CLSID_VOKExplorer, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
                  S_OK);
        if (factory == nullptr) return nullptr;
        IOPCServer* server = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server)), S_OK);
        factory->Release();
        return server;
    }

    template <typename I>
    static I* As(IUnknown* object, REFIID iid) {
        void* out = nullptr;
        EXPECT_EQ(object->QueryInterface(iid, &out), S_OK);
        return static_cast<I*>(out);
    }

    void SetLevel(double value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_R8;
        v.dblVal = value;
        level_->SetValueGood(v);
    }

    long ObjectCount() const {
        long count = 0;
        for (const RecordedPost& post : ui_.Posts())
            if (post.target == PostTarget::MainWindow && post.message == WM_COMOBJECT_COUNT)
                count += post.wParam == kComObjectCreated ? 1 : -1;
        return count;
    }

    TempDir dir_;
    ScriptedUiServices ui_;
    remote::BrokerSettings settings_;
    std::unique_ptr<remote::RemoteBroker> broker_;
    std::unique_ptr<InProcessServer> host_;
    VOKDevice* device_ = nullptr;
    VOKTag* level_ = nullptr;
};

struct Items {
    HRESULT hr = E_FAIL;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
};

Items AddItems(IOPCItemMgt* items, const std::vector<std::u16string>& ids, BOOL active = TRUE) {
    std::vector<OPCITEMDEF> defs(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
        defs[i].bActive = active;
        defs[i].hClient = static_cast<OPCHANDLE>(10 + i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    Items out;
    out.hr = items->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &results, &errors);
    if (results != nullptr) out.results.assign(results, results + ids.size());
    if (errors != nullptr) out.errors.assign(errors, errors + ids.size());
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return out;
}

std::vector<std::u16string> Names(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE type) {
    IEnumString* list = nullptr;
    EXPECT_EQ(browse->BrowseOPCItemIDs(type, u"", VT_EMPTY, 0, &list), S_OK);
    std::vector<std::u16string> names;
    if (list == nullptr) return names;
    LPOLESTR got[5];
    ULONG fetched = 0;
    while (SUCCEEDED(list->Next(5, got, &fetched)) && fetched > 0) {
        for (ULONG i = 0; i < fetched; ++i) {
            names.emplace_back(got[i]);
            CoTaskMemFree(got[i]);
        }
    }
    list->Release();
    return names;
}

void Walk(IOPCBrowseServerAddressSpace* browse, std::vector<std::u16string>& ids) {
    for (std::u16string& leaf : Names(browse, OPC_LEAF)) {
        LPWSTR id = nullptr;
        ASSERT_EQ(browse->GetItemID(leaf.data(), &id), S_OK);
        ids.emplace_back(id);
        CoTaskMemFree(id);
    }
    for (const std::u16string& branch : Names(browse, OPC_BRANCH)) {
        ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str()), S_OK);
        Walk(browse, ids);
        ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_UP, u""), S_OK);
    }
}

}  // namespace

TEST_F(TransportTest, ThroughTheSocketEveryInterfaceAnswersAsInProcess) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(broker_->ServedConnections(), 1u);
    void* none = nullptr;
    EXPECT_EQ(server->QueryInterface(IID_IDataObject, &none), E_NOINTERFACE);
    auto* browse = As<IOPCBrowseServerAddressSpace>(server, IID_IOPCBrowseServerAddressSpace);
    ASSERT_NE(browse, nullptr);

    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    EXPECT_EQ(std::u16string(status->szVendorInfo), u"VOK Explorer by Vell Company");
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    // Every item the walk finds resolves in a group of the same server.
    std::vector<std::u16string> ids;
    Walk(browse, ids);
    std::size_t tags = static_cast<std::size_t>(device_->GetTagCount());
    Dll<OPCS_TagGroup*> groups;
    device_->CopyGroups(groups);
    for (OPCS_TagGroup* group : groups) tags += static_cast<std::size_t>(group->GetTagCount());
    ASSERT_EQ(ids.size(), tags);
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    IUnknown* unknown = nullptr;
    LONG bias = 60;
    ASSERT_EQ(server->AddGroup(u"Room", TRUE, 50, 7, &bias, nullptr, 0, &groupHandle, &revised, IID_IOPCItemMgt,
                               &unknown),
              S_OK);
    EXPECT_EQ(revised, 50u);
    IUnknown* twin = nullptr;
    EXPECT_EQ(server->AddGroup(u"Room", FALSE, 50, 7, nullptr, nullptr, 0, nullptr, nullptr, IID_IOPCItemMgt, &twin),
              OPC_E_DUPLICATENAME);
    EXPECT_EQ(twin, nullptr);
    auto* items = static_cast<IOPCItemMgt*>(unknown);
    const Items all = AddItems(items, ids);
    EXPECT_EQ(all.hr, S_OK);
    ASSERT_EQ(all.errors.size(), ids.size());
    for (HRESULT e : all.errors) EXPECT_EQ(e, S_OK);

    const Items mixed = AddItems(items, {u"Dev1.Level", u"Dev1.Nothing"});
    EXPECT_EQ(mixed.hr, S_FALSE);
    ASSERT_EQ(mixed.errors.size(), 2u);
    EXPECT_EQ(mixed.errors[1], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(mixed.results[0].vtCanonicalDataType, VT_R8);
    EXPECT_EQ(mixed.results[0].dwAccessRights, OPC_READABLE | OPC_WRITEABLE);

    // A write and a read of the device's cache, values as the client gave them.
    auto* sync = As<IOPCSyncIO>(items, IID_IOPCSyncIO);
    auto* state = As<IOPCGroupStateMgt>(items, IID_IOPCGroupStateMgt);
    LONG gotBias = 0;
    LPWSTR name = nullptr;
    ASSERT_EQ(state->GetState(nullptr, nullptr, &name, &gotBias, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"Room");
    EXPECT_EQ(gotBias, 60);
    CoTaskMemFree(name);
    // A write as text, converted by the server, and the device's own read back.
    const Items interval = AddItems(items, {u"dev1.sample interval"});
    ASSERT_EQ(interval.hr, S_OK);
    OPCHANDLE handle = interval.results[0].hServer;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocStringFromUtf8("20");
    HRESULT* errors = nullptr;
    EXPECT_EQ(sync->Write(1, &handle, &value, &errors), S_OK);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors[0], S_OK);
    CoTaskMemFree(errors);
    VariantClear(&value);
    EXPECT_EQ(device_->GetSampleInterval(), 20u);
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(sync->Read(OPC_DS_DEVICE, 1, &handle, &states, &errors), S_OK);
    EXPECT_EQ(states[0].hClient, 10u);
    EXPECT_EQ(states[0].vDataValue.vt, VT_R8);
    EXPECT_EQ(states[0].vDataValue.dblVal, 20.0);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    OPCHANDLE forged = 0x7FFFFFF0;
    // A forged handle is named in its item's error, through the socket as in process.
    ASSERT_EQ(sync->Read(OPC_DS_CACHE, 1, &forged, &states, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // The attribute enumerator carries the analog range as two doubles.
    IUnknown* listUnknown = nullptr;
    ASSERT_EQ(items->CreateEnumerator(IID_IEnumOPCItemAttributes, &listUnknown), S_OK);
    auto* list = static_cast<IEnumOPCItemAttributes*>(listUnknown);
    ASSERT_EQ(list->Skip(static_cast<ULONG>(ids.size())), S_OK);
    OPCITEMATTRIBUTES* attributes = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(list->Next(10, &attributes, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u) << "Level and the sample interval";
    EXPECT_EQ(std::u16string(attributes[1].szItemID), u"Sample Interval");
    EXPECT_EQ(std::u16string(attributes[0].szItemID), u"Level");
    EXPECT_EQ(attributes[0].dwEUType, OPC_ANALOG);
    ASSERT_EQ(attributes[0].vEUInfo.vt, VT_ARRAY | VT_R8);
    LONG index = 1;
    double high = 0;
    SafeArrayGetElement(attributes[0].vEUInfo.parray, &index, &high);
    EXPECT_EQ(high, 100.0);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(attributes[i].szAccessPath);
        CoTaskMemFree(attributes[i].szItemID);
        VariantClear(&attributes[i].vEUInfo);
    }
    CoTaskMemFree(attributes);
    list->Release();

    for (IUnknown* i : std::initializer_list<IUnknown*>{sync, state, items}) i->Release();
    EXPECT_EQ(server->RemoveGroup(groupHandle, FALSE), S_OK);
    browse->Release();
    server->Release();
    EXPECT_TRUE(WaitUntil([] { return OPCGroup::LiveCount() == 0; }, 3000));
    EXPECT_TRUE(WaitUntil([&] { return ObjectCount() == 0; }, 3000)) << ObjectCount();
}

TEST_F(TransportTest, DataChangesArriveAsTheExactStreamsTheGroupBuilt) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    IUnknown* unknown = nullptr;
    OPCHANDLE handle = 0;
    ASSERT_EQ(server->AddGroup(u"", TRUE, 50, 99, nullptr, nullptr, 0, &handle, nullptr, IID_IDataObject, &unknown),
              S_OK);
    auto* data = static_cast<IDataObject*>(unknown);
    auto* items = As<IOPCItemMgt>(data, IID_IOPCItemMgt);
    SetLevel(12.5);
    ASSERT_EQ(AddItems(items, {u"Dev1.Level"}).hr, S_OK);
    Sink sink;
    FORMATETC format{static_cast<CLIPFORMAT>(opcstream::DataTimeFormat()), nullptr, DVASPECT_CONTENT, -1,
                     TYMED_HGLOBAL};
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&format, 0, &sink, &connection), S_OK);
    SetLevel(13.5);
    ASSERT_TRUE(WaitUntil([&] { return sink.Count() >= 1; }, 3000));
    {
        std::lock_guard lock(sink.mutex);
        EXPECT_EQ(sink.formats[0], format.cfFormat);
        std::string error;
        auto stream = opcstream::ReadDataStream(sink.streams.back(), true, &error);
        ASSERT_TRUE(stream) << error;
        EXPECT_EQ(stream->hClientGroup, 99u);
        ASSERT_EQ(stream->items.size(), 1u);
        EXPECT_EQ(stream->items[0].hClient, 10u);
    }
    EXPECT_EQ(data->DUnadvise(connection), S_OK);
    EXPECT_EQ(data->DUnadvise(connection), OLE_E_NOCONNECTION);
    EXPECT_TRUE(WaitUntil([&] { return sink.refs.load() == 0; }, 3000)) << "the server let the sink go";
    items->Release();
    data->Release();
    server->Release();
}

TEST_F(TransportTest, ASinkThatDoesNotKeepUpGetsABoundedBacklogAndHoldsUpNobody) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(server->AddGroup(u"Fast", TRUE, 50, 1, nullptr, nullptr, 0, nullptr, nullptr, IID_IDataObject,
                               &unknown),
              S_OK);
    auto* data = static_cast<IDataObject*>(unknown);
    auto* items = As<IOPCItemMgt>(data, IID_IOPCItemMgt);
    const Items added = AddItems(items, {u"Dev1.Level"});
    ASSERT_EQ(added.hr, S_OK);
    Sink stuck;
    stuck.Hold(true);
    FORMATETC format{static_cast<CLIPFORMAT>(opcstream::DataFormat()), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&format, 0, &stuck, &connection), S_OK);
    // The level changes every scan for a second while the client sits on
    // the first change it got.
    auto* sync = As<IOPCSyncIO>(items, IID_IOPCSyncIO);
    for (int i = 0; i < 100; ++i) {
        SetLevel(i);
        Sleep(10);
        if (i % 20 == 0) {
            // Calls of the same client go on meanwhile.
            OPCHANDLE h = added.results[0].hServer;
            OPCITEMSTATE* states = nullptr;
            HRESULT* errors = nullptr;
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(sync->Read(OPC_DS_CACHE, 1, &h, &states, &errors), S_OK);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
            VariantClear(&states[0].vDataValue);
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
        }
    }
    EXPECT_EQ(stuck.Count(), 1u);
    stuck.Hold(false);
    // What arrives after is at most the backlog of 4 (and the one in flight),
    // not the hundred changes there were.
    Sleep(300);
    EXPECT_LE(stuck.Count(), 1u + 4u + 1u + 30u / 10u);
    EXPECT_GE(stuck.Count(), 2u);
    data->DUnadvise(connection);
    sync->Release();
    items->Release();
    data->Release();
    server->Release();
}

TEST_F(TransportTest, WithdrawingTheClassReleasesWhatItsClientsHeld) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(server->AddGroup(u"", TRUE, 50, 1, nullptr, nullptr, 0, nullptr, nullptr, IID_IOPCItemMgt, &unknown),
              S_OK);
    auto* items = static_cast<IOPCItemMgt*>(unknown);
    ASSERT_EQ(AddItems(items, {u"Dev1.Level", u"Dev1.Sample Interval"}).hr, S_OK);
    EXPECT_EQ(OPCGroup::LiveCount(), 1u);
    EXPECT_GT(device_->GetClientPollRequests(), 0);
    // The program's shutdown: the class goes, and with it every connection.
    host_.reset();
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
    EXPECT_EQ(broker_->ServedConnections(), 0u);
    // The client's objects answer that their server is gone.
    HRESULT* errors = nullptr;
    OPCHANDLE h = 1;
    EXPECT_EQ(items->RemoveItems(1, &h, &errors), RPC_E_DISCONNECTED);
    items->Release();
    server->Release();
}

TEST_F(TransportTest, GarbageOnTheSocketEndsThatConnectionOnly) {
    const std::string path = remote::RemoteBroker::SocketPath(CLSID_VOKExplorer);
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        const int fd = platform::ConnectLocalSocket(path);
        ASSERT_GE(fd, 0);
        std::vector<kj::byte> bytes(static_cast<std::size_t>(random() % 4096));
        for (kj::byte& b : bytes) b = static_cast<kj::byte>(random());
        // A frame header that claims an enormous message, now and then.
        if (round % 3 == 0 && bytes.size() >= 8) {
            bytes[0] = 0;
            bytes[1] = bytes[2] = bytes[3] = 0;
            bytes[4] = bytes[5] = bytes[6] = 0xFF;
            bytes[7] = 0x7F;
        }
        kj::FdOutputStream(fd).write(bytes.data(), bytes.size());
        platform::CloseDescriptor(fd);
    }
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    OPCSERVERSTATUS* status = nullptr;
    EXPECT_EQ(server->GetStatus(&status), S_OK);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    EXPECT_TRUE(WaitUntil([&] { return broker_->ServedConnections() == 1; }, 3000));
    server->Release();
}

TEST_F(TransportTest, AnEnumeratorAskedForBillionsGivesWhatItHas) {
    // A client of the wire format itself, not of the proxies, which never ask
    // for more than a chunk.
    const int fd = platform::ConnectLocalSocket(remote::RemoteBroker::SocketPath(CLSID_VOKExplorer));
    ASSERT_GE(fd, 0);
    auto io = kj::setupAsyncIo();
    auto stream = io.lowLevelProvider->wrapSocketFd(fd, kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP);
    capnp::TwoPartyClient client(*stream);
    auto factory = client.bootstrap().castAs<vokrpc::ClassObject>();
    auto create = factory.createInstanceRequest();
    create.initIid().setData1(IID_IOPCServer.Data1);
    create.getIid().setData2(IID_IOPCServer.Data2);
    create.getIid().setData3(IID_IOPCServer.Data3);
    create.getIid().setData4(kj::arrayPtr(IID_IOPCServer.Data4, 8));
    auto made = create.send().wait(io.waitScope);
    ASSERT_EQ(made.getHr(), S_OK);
    auto browse = made.getServer().browseItemIdsRequest();
    browse.setFilterType(OPC_BRANCH);
    auto names = browse.send().wait(io.waitScope).getNames();
    auto next = names.nextRequest();
    next.setCount(0xFFFFFFFFu);
    auto answer = next.send().wait(io.waitScope);
    EXPECT_EQ(answer.getHr(), S_FALSE);
    ASSERT_EQ(answer.getNames().size(), 1u);
    EXPECT_EQ(std::string(answer.getNames()[0].cStr()), "Dev1");

    // An interface identifier of the wrong size is refused, not read past.
    auto bad = made.getServer().queryInterfaceRequest();
    bad.initIid().setData4(kj::arrayPtr(IID_IOPCServer.Data4, 3));
    EXPECT_EQ(bad.send().wait(io.waitScope).getHr(), E_INVALIDARG);
}

TEST_F(TransportTest, ASlowCallOfOneGroupHoldsUpNoCallOfAnother) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    IUnknown* slowUnknown = nullptr;
    IUnknown* quickUnknown = nullptr;
    ASSERT_EQ(server->AddGroup(u"Slow", FALSE, 1000, 1, nullptr, nullptr, 0, nullptr, nullptr, IID_IOPCItemMgt,
                               &slowUnknown),
              S_OK);
    ASSERT_EQ(server->AddGroup(u"Quick", FALSE, 1000, 2, nullptr, nullptr, 0, nullptr, nullptr, IID_IOPCItemMgt,
                               &quickUnknown),
              S_OK);
    auto* slow = static_cast<IOPCItemMgt*>(slowUnknown);
    auto* quick = static_cast<IOPCItemMgt*>(quickUnknown);
    const Items level = AddItems(quick, {u"Dev1.Level"});
    ASSERT_EQ(level.hr, S_OK);
    auto* sync = As<IOPCSyncIO>(quick, IID_IOPCSyncIO);

    // Half a million item IDs to resolve keep the slow group's AddItems busy
    // for a long while on the server.
    std::vector<std::u16string> many(500000);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = u"Dev1.No Such Tag " + Utf8ToUtf16(std::to_string(i));
    std::atomic<bool> adding{true};
    std::thread adder([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        const Items none = AddItems(slow, many);
        EXPECT_EQ(none.hr, S_FALSE);
        adding = false;
        CoUninitialize();
    });
    Sleep(100);
    // Were the calls carried one after the other, the first read would wait
    // for the whole AddItems; instead reads keep completing while it runs.
    int readsWhileAdding = 0;
    while (adding.load() && readsWhileAdding < 10) {
        OPCHANDLE h = level.results[0].hServer;
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(sync->Read(OPC_DS_CACHE, 1, &h, &states, &errors), S_OK);
        if (adding.load()) ++readsWhileAdding;
        VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    adder.join();
    EXPECT_EQ(readsWhileAdding, 10) << "reads waited for the other group's AddItems";
    sync->Release();
    slow->Release();
    quick->Release();
    server->Release();
}

TEST_F(TransportTest, ServerLocksAreCountedPerClientAndGivenBackWithItsConnection) {
    IClassFactory* first = nullptr;
    IClassFactory* second = nullptr;
    ASSERT_EQ(broker_->GetClassObject(CLSID_VOKExplorer, IID_IClassFactory, reinterpret_cast<void**>(&first)), S_OK);
    ASSERT_EQ(broker_->GetClassObject(CLSID_VOKExplorer, IID_IClassFactory, reinterpret_cast<void**>(&second)), S_OK);
    const long before = ObjectCount();
    EXPECT_EQ(first->LockServer(TRUE), S_OK);
    EXPECT_EQ(first->LockServer(TRUE), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return ObjectCount() == before + 2; }, 3000));
    // Another client's unlocks it never locked for take nothing away.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(second->LockServer(FALSE), S_OK);
    EXPECT_EQ(second->LockServer(TRUE), S_OK);
    EXPECT_EQ(second->LockServer(FALSE), S_OK);
    Sleep(50);
    EXPECT_EQ(ObjectCount(), before + 2);
    // The first client goes away without unlocking, as a killed one does:
    // its connection ends, and its locks with it.
    first->Release();
    EXPECT_TRUE(WaitUntil([&] { return ObjectCount() == before; }, 3000)) << ObjectCount() - before;
    EXPECT_TRUE(WaitUntil([&] { return broker_->ServedConnections() == 1; }, 3000));
    second->Release();
}

TEST_F(TransportTest, WithdrawingTheClassWhileASubscriptionDeliversLeavesNothingBehind) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(server->AddGroup(u"", TRUE, 50, 1, nullptr, nullptr, 0, nullptr, nullptr, IID_IDataObject, &unknown),
              S_OK);
    auto* data = static_cast<IDataObject*>(unknown);
    auto* items = As<IOPCItemMgt>(data, IID_IOPCItemMgt);
    ASSERT_EQ(AddItems(items, {u"Dev1.Level"}).hr, S_OK);
    Sink stuck;
    stuck.Hold(true);
    FORMATETC format{static_cast<CLIPFORMAT>(opcstream::DataFormat()), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&format, 0, &stuck, &connection), S_OK);
    std::atomic<bool> changing{true};
    std::thread changer([&] {
        for (int i = 0; changing.load(); ++i) {
            SetLevel(i);
            Sleep(5);
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return stuck.Count() >= 1; }, 3000));
    Sleep(100);  // changes queue up behind the one the client sits on
    // The program's shutdown while the group's thread delivers: the sink it
    // still holds must find what it shares with its connection alive
    // (AddressSanitizer reports it otherwise).
    host_.reset();
    changing = false;
    changer.join();
    stuck.Hold(false);
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
    EXPECT_EQ(broker_->ServedConnections(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return stuck.refs.load() == 0; }, 3000)) << "the client let the sink go";
    items->Release();
    data->Release();
    server->Release();
}

// One client's calls cannot take every worker nor queue without bound.
class TransportLimitsTest : public TransportTest {
protected:
    TransportLimitsTest() {
        settings_.callsPerConnection = 3;
        settings_.workersPerConnection = 1;
    }
};

TEST_F(TransportLimitsTest, OneClientsSlowCallsAreCappedAndHoldUpNoOtherClient) {
    IOPCServer* busy = Connect();
    IOPCServer* other = Connect();
    ASSERT_NE(busy, nullptr);
    ASSERT_NE(other, nullptr);
    IUnknown* slowUnknown = nullptr;
    IUnknown* quickUnknown = nullptr;
    ASSERT_EQ(busy->AddGroup(u"Slow", FALSE, 1000, 1, nullptr, nullptr, 0, nullptr, nullptr, IID_IOPCItemMgt,
                             &slowUnknown),
              S_OK);
    ASSERT_EQ(other->AddGroup(u"Quick", FALSE, 1000, 2, nullptr, nullptr, 0, nullptr, nullptr, IID_IOPCItemMgt,
                              &quickUnknown),
              S_OK);
    auto* slow = static_cast<IOPCItemMgt*>(slowUnknown);
    auto* quick = static_cast<IOPCItemMgt*>(quickUnknown);
    const Items level = AddItems(quick, {u"Dev1.Level"});
    ASSERT_EQ(level.hr, S_OK);
    auto* sync = As<IOPCSyncIO>(quick, IID_IOPCSyncIO);

    // Six slow calls at once from one client: three are taken (one at a time
    // on its one worker), the others answered E_OUTOFMEMORY at once.
    std::vector<std::u16string> many(100000);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = u"Dev1.No Such Tag " + Utf8ToUtf16(std::to_string(i));
    std::atomic<int> refused{0}, done{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 6; ++c)
        callers.emplace_back([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            const Items got = AddItems(slow, many);
            if (got.hr == E_OUTOFMEMORY) ++refused;
            ++done;
            CoUninitialize();
        });
    Sleep(50);
    // The other client's reads go on meanwhile.
    int reads = 0;
    while (done.load() < 6 && reads < 10) {
        OPCHANDLE h = level.results[0].hServer;
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(sync->Read(OPC_DS_CACHE, 1, &h, &states, &errors), S_OK);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        ++reads;
        if (states != nullptr) VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    for (std::thread& t : callers) t.join();
    EXPECT_GE(refused.load(), 1);
    EXPECT_LE(refused.load(), 3);
    EXPECT_GT(reads, 0);
    // Once answered, the client's calls are taken again.
    EXPECT_EQ(AddItems(slow, {u"Dev1.Level"}).hr, S_OK);
    sync->Release();
    slow->Release();
    quick->Release();
    other->Release();
    busy->Release();
}

TEST_F(TransportTest, AFormatNameTheServerDoesNotKnowIsRefusedToThatClient) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(server->AddGroup(u"", TRUE, 100, 1, nullptr, nullptr, 0, nullptr, nullptr, IID_IDataObject, &unknown),
              S_OK);
    auto* data = static_cast<IDataObject*>(unknown);
    // Registered in the client's process; the server looks the name up.
    FORMATETC own{static_cast<CLIPFORMAT>(RegisterClipboardFormatA("A Client's Own Stream")), nullptr,
                  DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    Sink sink;
    DWORD connection = 0;
    EXPECT_EQ(data->DAdvise(&own, 0, &sink, &connection), DV_E_FORMATETC);
    EXPECT_EQ(sink.refs.load(), 0u) << "a refused advise keeps the sink";
    EXPECT_EQ(data->QueryGetData(&own), DV_E_FORMATETC);
    FORMATETC opc{static_cast<CLIPFORMAT>(opcstream::DataFormat()), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(data->DAdvise(&opc, 0, &sink, &connection), S_OK);
    EXPECT_EQ(data->DUnadvise(connection), S_OK);
    EXPECT_EQ(sink.refs.load(), 0u) << "an ended advise keeps the sink";
    data->Release();
    server->Release();
}

// A client may destroy its sink once DAdvise refused it or DUnadvise ended
// its advise, as it may with the server in process. Another client's sink
// sits on the one delivery thread meanwhile, so that nothing the transport
// would still hand that thread for the sink can run before the checks.
TEST_F(TransportTest, ASinkIsTheClientsAloneOnceItsAdviseIsRefusedOrEnded) {
    IOPCServer* server = Connect();
    ASSERT_NE(server, nullptr);
    FORMATETC opc{static_cast<CLIPFORMAT>(opcstream::DataFormat()), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    IUnknown* unknown = nullptr;
    ASSERT_EQ(server->AddGroup(u"Busy", TRUE, 50, 1, nullptr, nullptr, 0, nullptr, nullptr, IID_IDataObject, &unknown),
              S_OK);
    auto* busy = static_cast<IDataObject*>(unknown);
    auto* busyItems = As<IOPCItemMgt>(busy, IID_IOPCItemMgt);
    ASSERT_EQ(AddItems(busyItems, {u"Dev1.Level"}).hr, S_OK);
    Sink stuck;
    stuck.Hold(true);
    DWORD stuckConnection = 0;
    ASSERT_EQ(busy->DAdvise(&opc, 0, &stuck, &stuckConnection), S_OK);
    SetLevel(1);
    ASSERT_TRUE(WaitUntil([&] { return stuck.Count() >= 1; }, 3000));

    ASSERT_EQ(server->AddGroup(u"Other", TRUE, 50, 2, nullptr, nullptr, 0, nullptr, nullptr, IID_IDataObject,
                               &unknown),
              S_OK);
    auto* other = static_cast<IDataObject*>(unknown);
    auto* otherItems = As<IOPCItemMgt>(other, IID_IOPCItemMgt);
    ASSERT_EQ(AddItems(otherItems, {u"Dev1.Level"}).hr, S_OK);
    Sink gone;
    FORMATETC own{static_cast<CLIPFORMAT>(RegisterClipboardFormatA("A Client's Own Stream")), nullptr,
                  DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    EXPECT_EQ(other->DAdvise(&own, 0, &gone, &connection), DV_E_FORMATETC);
    EXPECT_EQ(gone.refs.load(), 0u) << "the refused advise still holds the sink";
    ASSERT_EQ(other->DAdvise(&opc, 0, &gone, &connection), S_OK);
    EXPECT_GE(gone.refs.load(), 1u);
    // The new advise's first data change reaches this process and waits
    // behind the stuck sink.
    Sleep(200);
    EXPECT_EQ(other->DUnadvise(connection), S_OK);
    EXPECT_EQ(gone.refs.load(), 0u) << "the ended advise still holds the sink";

    // The delivery thread goes on: what was queued for the ended advise is
    // not handed to its sink. A later advise's first change comes after it.
    stuck.Hold(false);
    Sink marker;
    DWORD markerConnection = 0;
    ASSERT_EQ(other->DAdvise(&opc, 0, &marker, &markerConnection), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return marker.Count() >= 1; }, 3000));
    EXPECT_EQ(gone.Count(), 0u) << "a data change reached a sink after its DUnadvise";
    EXPECT_EQ(gone.refs.load(), 0u);

    EXPECT_EQ(other->DUnadvise(markerConnection), S_OK);
    EXPECT_EQ(busy->DUnadvise(stuckConnection), S_OK);
    // A delivery the sink was taking as its advise ended holds it until it returns.
    EXPECT_TRUE(WaitUntil([&] { return stuck.refs.load() == 0 && marker.refs.load() == 0; }, 3000));
    otherItems->Release();
    other->Release();
    busyItems->Release();
    busy->Release();
    server->Release();
}

// The client of the next test, in a process of its own: this program run
// again with VOK_TEST_LOCK_CHILD naming a file it writes once it holds a
// server lock. It then waits to be killed.
TEST(TransportChild, HoldsAServerLockUntilKilled) {
    char file[4096];
    const DWORD n = GetEnvironmentVariableA("VOK_TEST_LOCK_CHILD", file, sizeof file);
    if (n == 0 || n >= sizeof file) GTEST_SKIP() << "run by the test of a killed client";
    remote::RemoteBroker broker;
    IClassFactory* factory = nullptr;
    ASSERT_EQ(broker.GetClassObject(CLSID_VOKExplorer, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    std::ofstream(std::string(file, n)) << "locked\n";
    for (;;) Sleep(1000);
}

TEST_F(TransportTest, TheLockOfAClientKilledInAnotherProcessIsGivenBack) {
    char self[4096];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    ASSERT_GT(n, 0u);
    const long before = ObjectCount();
    const std::string locked = dir_.File("locked"), pid = dir_.File("child.pid");
    std::system(("VOK_TEST_LOCK_CHILD='" + locked + "' '" + std::string(self, n) +
                 "' --gtest_filter=TransportChild.* >/dev/null 2>&1 & echo $! >'" + pid + "'")
                    .c_str());
    const bool held = WaitUntil([&] { return std::filesystem::exists(locked); }, 10000);
    EXPECT_TRUE(held) << "the child took no lock";
    EXPECT_TRUE(WaitUntil([&] { return ObjectCount() == before + 1; }, 3000));
    std::system(("kill -KILL $(cat '" + pid + "')").c_str());
    EXPECT_TRUE(WaitUntil([&] { return ObjectCount() == before; }, 5000)) << ObjectCount() - before;
    EXPECT_TRUE(WaitUntil([&] { return broker_->ServedConnections() == 0; }, 5000));
}
