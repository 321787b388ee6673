#pragma once
// A client's groups and items on a configuration of the test's: a document
// with counter devices, an advise sink that keeps every stream it receives,
// and the calls of the item interfaces with their arrays freed.

#include "OpcTestSupport.h"

#include "config/OPCS_Doc.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "opc/OPCGroup.h"
#include "opc/OpcStream.h"
#include "platform/Thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

inline bool WaitUntil(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        Sleep(5);
    }
    return done();
}

// Receives data changes and keeps their bytes with the format they came in.
class RecordingSink : public IAdviseSink {
public:
    struct Received {
        CLIPFORMAT format;
        std::vector<std::uint8_t> bytes;
    };

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_IAdviseSink) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }  // lives on the test's stack
    void OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        std::lock_guard lock(mutex);
        received.push_back({format->cfFormat, opcstream::FromGlobal(medium->hGlobal)});
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}

    std::size_t Count() {
        std::lock_guard lock(mutex);
        return received.size();
    }
    std::vector<Received> Snapshot() {
        std::lock_guard lock(mutex);
        return received;
    }
    void Clear() {
        std::lock_guard lock(mutex);
        received.clear();
    }

    std::atomic<ULONG> refs{0};
    std::mutex mutex;
    std::vector<Received> received;
};

class GroupTest : public OpcClientTest {
protected:
    void SetUp() override {
        OpcClientTest::SetUp();
        doc_ = &host_.UseDocument();
        auto device = VOKDevice::Create(false);
        device->SetName("Dev1");
        device->SetSimulation(true);
        device->SetSampleInterval(1, false);
        device_ = device.get();
        ASSERT_TRUE(doc_->AddDevice(device.release()));
        // An operator's tag with a range: the dead band applies to it.
        auto* level = new VOKTag;
        level->SetName("Level");
        level->SetCanonicalType(VT_R8);
        level->SetAccessRights(1);
        level->SetVolatile(false);
        // Limits are stored only once they are on.
        level->SetEULimitsEnabled(true);
        level->SetEULimits(0, 100);
        level->SetDeadBand(10);
        ASSERT_TRUE(doc_->InsertTag(device_, level));
        level_ = level;
        auto* text = new VOKTag;
        text->SetName("Label");
        text->SetCanonicalType(VT_BSTR);
        text->SetVolatile(false);
        ASSERT_TRUE(doc_->InsertTag(device_, text));
        label_ = text;
        server_ = Connect();
        ASSERT_NE(server_, nullptr);
    }

    void TearDown() override {
        if (server_ != nullptr) server_->Release();
    }

    // A group with every interface the tests use.
    struct Group {
        IUnknown* unknown = nullptr;
        OPCHANDLE handle = 0;
        IOPCItemMgt* items = nullptr;
        IOPCSyncIO* sync = nullptr;
        IOPCAsyncIO* async = nullptr;
        IDataObject* data = nullptr;
        IOPCGroupStateMgt* state = nullptr;
        IOPCServer* server = nullptr;
        // The client's references and the server's own (RemoveGroup).
        void Release() {
            if (server != nullptr) server->RemoveGroup(handle, FALSE);
            for (IUnknown* i : std::initializer_list<IUnknown*>{items, sync, async, data, state, unknown})
                if (i != nullptr) i->Release();
            *this = Group{};
        }
    };

    Group MakeGroup(bool active, DWORD rate = 50, IOPCServer* server = nullptr) {
        Group g;
        g.server = server != nullptr ? server : server_;
        DWORD revised = 0;
        // A rate below the fastest is revised, which the call reports.
        EXPECT_EQ(g.server->AddGroup(u"", active, rate, 77, nullptr, nullptr, 0, &g.handle, &revised, IID_IUnknown,
                                     &g.unknown),
                  rate < kFastestUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK);
        g.unknown->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&g.items));
        g.unknown->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&g.sync));
        g.unknown->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&g.async));
        g.unknown->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&g.data));
        g.unknown->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&g.state));
        return g;
    }

    struct Added {
        HRESULT result = E_FAIL;
        std::vector<OPCITEMRESULT> results;
        std::vector<HRESULT> errors;
        OPCHANDLE Handle(std::size_t i) const { return results.at(i).hServer; }
    };

    static Added AddItems(IOPCItemMgt* items, const std::vector<std::u16string>& ids, OPCHANDLE firstClient = 100,
                          VARTYPE requested = VT_EMPTY) {
        std::vector<OPCITEMDEF> defs(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
            defs[i].bActive = TRUE;
            defs[i].hClient = firstClient + static_cast<OPCHANDLE>(i);
            defs[i].vtRequestedDataType = requested;
        }
        Added out;
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        out.result = items->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &results, &errors);
        if (results != nullptr) out.results.assign(results, results + ids.size());
        if (errors != nullptr) out.errors.assign(errors, errors + ids.size());
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return out;
    }

    static HRESULT Remove(IOPCItemMgt* items, std::vector<OPCHANDLE> handles) {
        HRESULT* errors = nullptr;
        const HRESULT hr = items->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors);
        CoTaskMemFree(errors);
        return hr;
    }

    // A synchronous read of one item: its value as a double, or NaN.
    static HRESULT ReadOne(IOPCSyncIO* sync, OPCHANDLE handle, OPCITEMSTATE& state) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = sync->Read(OPC_DS_CACHE, 1, &handle, &states, &errors);
        if (states != nullptr) state = states[0];
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return hr;
    }

    static FORMATETC Format(CLIPFORMAT format) { return FORMATETC{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}; }

    static double AsDouble(const VARIANT& v) {
        VARIANT d;
        VariantInit(&d);
        return SUCCEEDED(VariantChangeType(&d, &v, 0, VT_R8)) ? d.dblVal : -1e99;
    }

    void SetLevel(double value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_R8;
        v.dblVal = value;
        level_->SetValueGood(v);
    }

    OPCS_Doc* doc_ = nullptr;
    VOKDevice* device_ = nullptr;
    VOKTag* level_ = nullptr;
    VOKTag* label_ = nullptr;
    IOPCServer* server_ = nullptr;
};
