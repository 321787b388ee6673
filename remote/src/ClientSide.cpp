#include "ClientSide.h"

#include "Wire.h"

#include "opc/ComObjects.h"
#include "opc/OpcDa.h"
#include "opc/OpcStream.h"
#include "remote/RemoteBroker.h"

#include <capnp/rpc-twoparty.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace remote {

namespace {

// Calls are cut into pieces of at most this many elements on the way out of
// an enumerator, so that no answer needs more than a bounded message.
constexpr ULONG kChunk = 1u << 16;

struct Connection {
    Connection(EventLoop& eventLoop, WorkerPool& deliveryThread) : loop(eventLoop), delivery(deliveryThread) {}
    ~Connection() noexcept {
        Drop(rpc);
        Drop(network);
        Drop(stream);
    }

    // Lets go of something that lives on the loop, from any thread.
    template <typename T>
    void Drop(kj::Own<T>& owned) {
        if (owned.get() == nullptr) return;
        if (EventLoop::IsLoopThread()) {
            owned = nullptr;
            return;
        }
        try {
            loop.Run([&] { owned = nullptr; });
        } catch (const kj::Exception&) {
            // The loop is gone: what lived on it cannot be let go anywhere else.
            new kj::Own<T>(kj::mv(owned));
        }
    }

    EventLoop& loop;
    WorkerPool& delivery;
    // How long a call waits for its answer; 0 for as long as it takes.
    unsigned callTimeoutMs = 0;
    kj::Own<kj::AsyncIoStream> stream;
    kj::Own<capnp::TwoPartyVatNetwork> network;
    kj::Own<capnp::RpcSystem<capnp::rpc::twoparty::VatId>> rpc;
};
using ConnectionRef = std::shared_ptr<Connection>;

// Sends a request whose answer carries nothing but the call's HRESULT.
template <typename Request>
kj::Promise<HRESULT> HrOf(Request&& request) {
    return request.send().then([](auto&& response) { return static_cast<HRESULT>(response.getHr()); });
}

// A capability held by a proxy; made on the loop, touched only there.
template <typename Cap>
class Remote {
public:
    Remote(ConnectionRef connection, typename Cap::Client client)
        : connection_(std::move(connection)), cap_(kj::heap<typename Cap::Client>(kj::mv(client))) {}
    ~Remote() noexcept { connection_->Drop(cap_); }
    Remote(const Remote&) = delete;
    Remote& operator=(const Remote&) = delete;

    // Sends the request f makes on the loop and waits for the answer; a
    // connection that broke gives RPC_E_DISCONNECTED, an answer that does
    // not come in the connection's time RPC_E_TIMEOUT (the call is dropped:
    // what its answer would have filled in stays untouched).
    template <typename F>
    HRESULT Call(F&& f) {
        try {
            return connection_->loop.Run([&]() {
                kj::Promise<HRESULT> answer = f(*cap_);
                const unsigned limit = connection_->callTimeoutMs;
                if (limit == 0) return answer;
                return answer.exclusiveJoin(connection_->loop.Io().getTimer().afterDelay(limit * kj::MILLISECONDS).then(
                    [] { return RPC_E_TIMEOUT; }));
            });
        } catch (const kj::Exception&) {
            return RPC_E_DISCONNECTED;
        }
    }

    const ConnectionRef& Connection() const { return connection_; }

private:
    ConnectionRef connection_;
    kj::Own<typename Cap::Client> cap_;
};

// What every proxy shares: its count and QueryInterface, which asks the
// server whether the real object serves an interface this proxy can carry.
template <typename Cap>
class ProxyCore {
public:
    ProxyCore(ConnectionRef connection, typename Cap::Client client)
        : remote_(std::move(connection), kj::mv(client)) {}

    Remote<Cap>& Rpc() { return remote_; }

    HRESULT Answers(REFIID riid) {
        {
            std::lock_guard lock(mutex_);
            const auto known = answers_.find(riid);
            if (known != answers_.end()) return known->second;
        }
        const HRESULT hr = remote_.Call([&](typename Cap::Client& cap) {
            auto request = cap.queryInterfaceRequest();
            ToWire(riid, request.initIid());
            return HrOf(request);
        });
        if (hr != RPC_E_DISCONNECTED) {
            std::lock_guard lock(mutex_);
            answers_[riid] = hr;
        }
        return hr;
    }

private:
    struct Less {
        bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
    };
    Remote<Cap> remote_;
    std::mutex mutex_;
    std::map<GUID, HRESULT, Less> answers_;
};

HRESULT* ErrorsOf(capnp::List<std::int32_t>::Reader list, std::size_t count) {
    if (list.size() != count) return nullptr;
    auto* errors = TaskArray<HRESULT>(count);
    for (std::size_t i = 0; errors != nullptr && i < count; ++i) errors[i] = list[static_cast<unsigned>(i)];
    return errors;
}

// The task-allocated error array of a call of count elements, as the server
// built it; E_OUTOFMEMORY when it cannot be made.
template <typename Response>
HRESULT TakeErrors(const Response& response, std::size_t count, HRESULT** ppErrors) {
    const HRESULT hr = response.getHr();
    if (ppErrors == nullptr) return hr;
    *ppErrors = nullptr;
    if (!response.hasErrors()) return hr;
    *ppErrors = ErrorsOf(response.getErrors(), count);
    if (*ppErrors == nullptr && count != 0) return E_OUTOFMEMORY;
    return hr;
}

void PutHandles(capnp::List<std::uint32_t>::Builder list, const OPCHANDLE* handles, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) list.set(static_cast<unsigned>(i), handles[i]);
}

// ---------------------------------------------------------------------------
// Enumerators

class EnumStringProxy final : public IEnumString {
public:
    EnumStringProxy(ConnectionRef connection, vokrpc::EnumString::Client client)
        : core_(std::move(connection), kj::mv(client)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IEnumString) return E_NOINTERFACE;
        *ppv = static_cast<IEnumString*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override {
        if (pceltFetched != nullptr) *pceltFetched = 0;
        if (rgelt == nullptr) return E_INVALIDARG;
        ULONG fetched = 0;
        HRESULT hr = S_OK;
        while (fetched < celt && hr == S_OK) {
            const ULONG ask = std::min(celt - fetched, kChunk);
            ULONG got = 0;
            hr = core_.Rpc().Call([&](vokrpc::EnumString::Client& cap) {
                auto request = cap.nextRequest();
                request.setCount(ask);
                return request.send().then([&](auto&& response) {
                    auto names = response.getNames();
                    for (unsigned i = 0; i < names.size() && got < ask; ++i)
                        rgelt[fetched + got++] = TaskAllocString(Wide(names[i]));
                    return static_cast<HRESULT>(response.getHr());
                });
            });
            fetched += got;
            if (hr == S_OK && got < ask) hr = S_FALSE;
        }
        if (pceltFetched != nullptr) *pceltFetched = fetched;
        return FAILED(hr) ? hr : (fetched == celt ? S_OK : S_FALSE);
    }
    HRESULT Skip(ULONG celt) override {
        return core_.Rpc().Call([&](vokrpc::EnumString::Client& cap) {
            auto request = cap.skipRequest();
            request.setCount(celt);
            return HrOf(request);
        });
    }
    HRESULT Reset() override {
        return core_.Rpc().Call([&](vokrpc::EnumString::Client& cap) {
            return cap.resetRequest().send().then(
                [](auto&& response) { return static_cast<HRESULT>(response.getHr()); });
        });
    }
    HRESULT Clone(IEnumString** ppenum) override;

private:
    ~EnumStringProxy() noexcept override = default;
    std::atomic<ULONG> refs_{0};
    ProxyCore<vokrpc::EnumString> core_;
};

HRESULT EnumStringProxy::Clone(IEnumString** ppenum) {
    if (ppenum == nullptr) return E_INVALIDARG;
    *ppenum = nullptr;
    EnumStringProxy* made = nullptr;
    const ConnectionRef& connection = core_.Rpc().Connection();
    const HRESULT hr = core_.Rpc().Call([&](vokrpc::EnumString::Client& cap) {
        return cap.cloneRequest().send().then([&](auto&& response) {
            if (response.hasNames()) made = new EnumStringProxy(connection, response.getNames());
            return static_cast<HRESULT>(response.getHr());
        });
    });
    if (made != nullptr) {
        made->AddRef();
        *ppenum = made;
    }
    return hr;
}

class EnumAttributesProxy final : public IEnumOPCItemAttributes {
public:
    EnumAttributesProxy(ConnectionRef connection, vokrpc::EnumItemAttributes::Client client)
        : core_(std::move(connection), kj::mv(client)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IEnumOPCItemAttributes) return E_NOINTERFACE;
        *ppv = static_cast<IEnumOPCItemAttributes*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override {
        if (pceltFetched != nullptr) *pceltFetched = 0;
        if (ppItemArray == nullptr) return E_INVALIDARG;
        *ppItemArray = nullptr;
        std::vector<OPCITEMATTRIBUTES> taken;
        HRESULT hr = S_OK;
        while (taken.size() < celt && hr == S_OK) {
            const ULONG ask = std::min(celt - static_cast<ULONG>(taken.size()), kChunk);
            std::size_t got = 0;
            hr = core_.Rpc().Call([&](vokrpc::EnumItemAttributes::Client& cap) {
                auto request = cap.nextRequest();
                request.setCount(ask);
                return request.send().then([&](auto&& response) {
                    auto items = response.getItems();
                    for (unsigned i = 0; i < items.size() && got < ask; ++i, ++got) {
                        auto item = items[i];
                        OPCITEMATTRIBUTES a{};
                        a.szAccessPath = TaskAllocString(Wide(item.getAccessPath()));
                        a.szItemID = TaskAllocString(Wide(item.getItemId()));
                        a.bActive = item.getActive() ? TRUE : FALSE;
                        a.hClient = item.getHClient();
                        a.hServer = item.getHServer();
                        a.dwAccessRights = item.getAccessRights();
                        if (item.getBlob().size() != 0) {
                            a.pBlob = static_cast<BYTE*>(CoTaskMemAlloc(item.getBlob().size()));
                            if (a.pBlob != nullptr) {
                                std::memcpy(a.pBlob, item.getBlob().begin(), item.getBlob().size());
                                a.dwBlobSize = static_cast<DWORD>(item.getBlob().size());
                            }
                        }
                        a.vtRequestedDataType = item.getRequestedType();
                        a.vtCanonicalDataType = item.getCanonicalType();
                        a.dwEUType = static_cast<OPCEUTYPE>(item.getEuType());
                        FromWire(item.getEuInfo(), a.vEUInfo);
                        taken.push_back(a);
                    }
                    return static_cast<HRESULT>(response.getHr());
                });
            });
            if (hr == S_OK && got < ask) hr = S_FALSE;
        }
        if (!taken.empty()) {
            *ppItemArray = TaskArray<OPCITEMATTRIBUTES>(taken.size());
            if (*ppItemArray == nullptr) {
                for (OPCITEMATTRIBUTES& a : taken) {
                    CoTaskMemFree(a.szAccessPath);
                    CoTaskMemFree(a.szItemID);
                    CoTaskMemFree(a.pBlob);
                    VariantClear(&a.vEUInfo);
                }
                return E_OUTOFMEMORY;
            }
            std::copy(taken.begin(), taken.end(), *ppItemArray);
        }
        if (pceltFetched != nullptr) *pceltFetched = static_cast<ULONG>(taken.size());
        return FAILED(hr) ? hr : (taken.size() == celt ? S_OK : S_FALSE);
    }
    HRESULT Skip(ULONG celt) override {
        return core_.Rpc().Call([&](vokrpc::EnumItemAttributes::Client& cap) {
            auto request = cap.skipRequest();
            request.setCount(celt);
            return HrOf(request);
        });
    }
    HRESULT Reset() override {
        return core_.Rpc().Call([&](vokrpc::EnumItemAttributes::Client& cap) {
            return cap.resetRequest().send().then(
                [](auto&& response) { return static_cast<HRESULT>(response.getHr()); });
        });
    }
    HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override {
        if (ppEnumItemAttributes == nullptr) return E_INVALIDARG;
        *ppEnumItemAttributes = nullptr;
        EnumAttributesProxy* made = nullptr;
        const ConnectionRef& connection = core_.Rpc().Connection();
        const HRESULT hr = core_.Rpc().Call([&](vokrpc::EnumItemAttributes::Client& cap) {
            return cap.cloneRequest().send().then([&](auto&& response) {
                if (response.hasItems()) made = new EnumAttributesProxy(connection, response.getItems());
                return static_cast<HRESULT>(response.getHr());
            });
        });
        if (made != nullptr) {
            made->AddRef();
            *ppEnumItemAttributes = made;
        }
        return hr;
    }

private:
    ~EnumAttributesProxy() noexcept override = default;
    std::atomic<ULONG> refs_{0};
    ProxyCore<vokrpc::EnumItemAttributes> core_;
};

// ---------------------------------------------------------------------------
// The client's sink, as the server's groups call it

// The transport's one reference on a client's sink. It is let go of when the
// client's DUnadvise is answered, or at once when its DAdvise is refused, as
// the server's own objects do in process: a client may destroy its sink as
// soon as that call returns. A data change still waiting for the delivery
// thread then finds the sink gone and is answered without it; one the sink is
// taking holds a reference of its own until the sink returns. The server's
// dropping of the capability (its end of the advise, a broken connection) lets
// go of whatever is left, later and on the delivery thread.
class SinkHold {
public:
    explicit SinkHold(IAdviseSink* sink) : sink_(sink) { sink_->AddRef(); }
    ~SinkHold() noexcept { LetGo(); }
    SinkHold(const SinkHold&) = delete;
    SinkHold& operator=(const SinkHold&) = delete;

    // A reference for one delivery, or null once the client let go.
    IAdviseSink* Take() {
        std::lock_guard lock(mutex_);
        if (sink_ != nullptr) sink_->AddRef();
        return sink_;
    }

    // Lets go of the transport's reference on the calling thread; later
    // deliveries skip the sink.
    void LetGo() {
        IAdviseSink* sink = nullptr;
        {
            std::lock_guard lock(mutex_);
            std::swap(sink, sink_);
        }
        if (sink != nullptr) sink->Release();
    }

private:
    std::mutex mutex_;
    IAdviseSink* sink_;
};
using SinkHoldRef = std::shared_ptr<SinkHold>;

class SinkImpl final : public vokrpc::AdviseSink::Server {
public:
    SinkImpl(WorkerPool& delivery, SinkHoldRef hold) : delivery_(delivery), hold_(std::move(hold)) {}
    ~SinkImpl() noexcept {
        // Not on the loop: the last Release may destroy the client's sink,
        // and with it proxies whose release waits for the loop.
        SinkHoldRef hold = std::move(hold_);
        delivery_.Submit([hold] { hold->LetGo(); });
    }

    // Handed to the sink on the delivery thread; the server's next change
    // waits until the sink has taken this one.
    kj::Promise<void> onDataChange(OnDataChangeContext context) override {
        auto params = context.getParams();
        auto format = std::make_shared<FORMATETC>(FromWire(params.getFormat()));
        auto bytes = std::make_shared<std::vector<std::uint8_t>>(params.getBytes().begin(), params.getBytes().end());
        const DWORD tymed = params.getTymed();
        context.releaseParams();
        auto pair = kj::newPromiseAndCrossThreadFulfiller<void>();
        auto fulfiller = std::make_shared<kj::Own<kj::CrossThreadPromiseFulfiller<void>>>(kj::mv(pair.fulfiller));
        delivery_.Submit([hold = hold_, format, bytes, tymed, fulfiller] {
            if (IAdviseSink* sink = hold->Take()) {
                STGMEDIUM medium{};
                medium.tymed = tymed;
                medium.hGlobal = opcstream::ToGlobal(*bytes);
                if (medium.hGlobal != nullptr) sink->OnDataChange(format.get(), &medium);
                ReleaseStgMedium(&medium);
                sink->Release();
            }
            (*fulfiller)->fulfill();
        });
        return kj::mv(pair.promise);
    }

private:
    WorkerPool& delivery_;
    SinkHoldRef hold_;
};

// ---------------------------------------------------------------------------
// Groups

// The client's item definitions on the wire.
void PutDefs(capnp::List<vokrpc::ItemDef>::Builder list, const OPCITEMDEF* defs, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        auto def = list[i];
        def.setAccessPath(Text(defs[i].szAccessPath));
        def.setItemId(Text(defs[i].szItemID));
        def.setActive(defs[i].bActive != FALSE);
        def.setHClient(defs[i].hClient);
        if (defs[i].pBlob != nullptr && defs[i].dwBlobSize != 0)
            def.setBlob(kj::arrayPtr(defs[i].pBlob, defs[i].dwBlobSize));
        def.setRequestedType(defs[i].vtRequestedDataType);
    }
}

template <typename Response>
HRESULT TakeItemResults(const Response& response, DWORD count, OPCITEMRESULT** ppResults, HRESULT** ppErrors) {
    const HRESULT hr = TakeErrors(response, count, ppErrors);
    if (ppResults == nullptr) return hr;
    *ppResults = nullptr;
    if (!response.hasResults() || response.getResults().size() != count) return hr;
    *ppResults = TaskArray<OPCITEMRESULT>(count);
    if (*ppResults == nullptr) return count == 0 ? hr : E_OUTOFMEMORY;
    auto list = response.getResults();
    for (DWORD i = 0; i < count; ++i) {
        auto r = list[i];
        OPCITEMRESULT& out = (*ppResults)[i];
        out.hServer = r.getHServer();
        out.vtCanonicalDataType = r.getCanonicalType();
        out.dwAccessRights = r.getAccessRights();
        if (r.getBlob().size() != 0) {
            out.pBlob = static_cast<BYTE*>(CoTaskMemAlloc(r.getBlob().size()));
            if (out.pBlob != nullptr) {
                std::memcpy(out.pBlob, r.getBlob().begin(), r.getBlob().size());
                out.dwBlobSize = static_cast<DWORD>(r.getBlob().size());
            }
        }
    }
    return hr;
}

void SetOptional(vokrpc::OptionalInt::Builder out, const void* given, LONG value) {
    if (given != nullptr)
        out.setValue(value);
    else
        out.setNone();
}

class GroupProxy final : public IOPCGroupStateMgt,
                         public IOPCPublicGroupStateMgt,
                         public IOPCSyncIO,
                         public IOPCAsyncIO,
                         public IOPCItemMgt,
                         public IDataObject {
public:
    GroupProxy(ConnectionRef connection, vokrpc::OpcGroup::Client client)
        : core_(std::move(connection), kj::mv(client)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        void* face = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCGroupStateMgt)
            face = static_cast<IOPCGroupStateMgt*>(this);
        else if (riid == IID_IOPCPublicGroupStateMgt)
            face = static_cast<IOPCPublicGroupStateMgt*>(this);
        else if (riid == IID_IOPCSyncIO)
            face = static_cast<IOPCSyncIO*>(this);
        else if (riid == IID_IOPCAsyncIO)
            face = static_cast<IOPCAsyncIO*>(this);
        else if (riid == IID_IOPCItemMgt)
            face = static_cast<IOPCItemMgt*>(this);
        else if (riid == IID_IDataObject)
            face = static_cast<IDataObject*>(this);
        if (face == nullptr) return E_NOINTERFACE;
        if (riid != IID_IUnknown) {
            const HRESULT hr = core_.Answers(riid);
            if (FAILED(hr)) return hr;
        }
        *ppv = face;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    // IOPCGroupStateMgt
    HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband,
                     DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override {
        if (ppName != nullptr) *ppName = nullptr;
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            return cap.getStateRequest().send().then([&](auto&& r) {
                const HRESULT hr = r.getHr();
                if (FAILED(hr)) return hr;
                if (pUpdateRate != nullptr) *pUpdateRate = r.getUpdateRate();
                if (pActive != nullptr) *pActive = r.getActive() ? TRUE : FALSE;
                if (ppName != nullptr) *ppName = TaskAllocString(Wide(r.getName()));
                if (pTimeBias != nullptr) *pTimeBias = r.getTimeBias();
                if (pPercentDeadband != nullptr) *pPercentDeadband = r.getPercentDeadband();
                if (pLCID != nullptr) *pLCID = r.getLcid();
                if (phClientGroup != nullptr) *phClientGroup = r.getHClientGroup();
                if (phServerGroup != nullptr) *phServerGroup = r.getHServerGroup();
                return hr;
            });
        });
    }
    HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                     FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) override {
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.setStateRequest();
            SetOptional(request.initRequestedUpdateRate(), pRequestedUpdateRate,
                        pRequestedUpdateRate != nullptr ? static_cast<LONG>(*pRequestedUpdateRate) : 0);
            SetOptional(request.initActive(), pActive, pActive != nullptr ? *pActive : 0);
            SetOptional(request.initTimeBias(), pTimeBias, pTimeBias != nullptr ? *pTimeBias : 0);
            if (pPercentDeadband != nullptr)
                request.initPercentDeadband().setValue(*pPercentDeadband);
            else
                request.initPercentDeadband().setNone();
            SetOptional(request.initLcid(), pLCID, pLCID != nullptr ? static_cast<LONG>(*pLCID) : 0);
            SetOptional(request.initHClientGroup(), phClientGroup,
                        phClientGroup != nullptr ? static_cast<LONG>(*phClientGroup) : 0);
            return request.send().then([&](auto&& r) {
                if (pRevisedUpdateRate != nullptr) *pRevisedUpdateRate = r.getRevisedUpdateRate();
                return static_cast<HRESULT>(r.getHr());
            });
        });
    }
    HRESULT SetName(LPCWSTR szName) override {
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.setNameRequest();
            request.setName(Text(szName));
            request.setHasName(szName != nullptr);
            return HrOf(request);
        });
    }
    HRESULT CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCPublicGroupStateMgt
    HRESULT GetState(BOOL* pPublic) override {
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            return cap.getPublicRequest().send().then([&](auto&& r) {
                if (pPublic != nullptr) *pPublic = r.getPublic() ? TRUE : FALSE;
                return static_cast<HRESULT>(r.getHr());
            });
        });
    }
    HRESULT MoveToPublic() override {
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            return HrOf(cap.moveToPublicRequest());
        });
    }

    // IOPCSyncIO
    HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                 HRESULT** ppErrors) override {
        if (ppItemValues != nullptr) *ppItemValues = nullptr;
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (phServer == nullptr || ppItemValues == nullptr || ppErrors == nullptr) return E_INVALIDARG;
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.readRequest();
            request.setSource(dwSource);
            PutHandles(request.initHandles(dwCount), phServer, dwCount);
            return request.send().then([&](auto&& r) {
                HRESULT hr = TakeErrors(r, dwCount, ppErrors);
                if (!r.hasStates() || r.getStates().size() != dwCount) return hr;
                *ppItemValues = TaskArray<OPCITEMSTATE>(dwCount);
                if (*ppItemValues == nullptr) return dwCount == 0 ? hr : E_OUTOFMEMORY;
                auto states = r.getStates();
                for (DWORD i = 0; i < dwCount; ++i) {
                    OPCITEMSTATE& s = (*ppItemValues)[i];
                    s.hClient = states[i].getHClient();
                    s.ftTimeStamp = FromWire(states[i].getTimeStamp());
                    s.wQuality = states[i].getQuality();
                    FromWire(states[i].getValue(), s.vDataValue);
                }
                return hr;
            });
        });
    }
    HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override {
        return PerHandle(dwCount, phServer, ppErrors, pItemValues != nullptr,
                         [](auto& cap) { return cap.writeRequest(); },
                         [&](auto& request) {
                             auto values = request.initValues(dwCount);
                             for (DWORD i = 0; i < dwCount; ++i) ToWire(pItemValues[i], values[i]);
                         });
    }

    // IOPCAsyncIO
    HRESULT Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                 DWORD* pTransactionID, HRESULT** ppErrors) override {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (phServer == nullptr || pTransactionID == nullptr || ppErrors == nullptr) return E_INVALIDARG;
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.readAsyncRequest();
            request.setConnection(dwConnection);
            request.setSource(dwSource);
            PutHandles(request.initHandles(dwCount), phServer, dwCount);
            return request.send().then([&](auto&& r) {
                *pTransactionID = r.getTransactionId();
                return TakeErrors(r, dwCount, ppErrors);
            });
        });
    }
    HRESULT Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                  DWORD* pTransactionID, HRESULT** ppErrors) override {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (phServer == nullptr || pItemValues == nullptr || pTransactionID == nullptr || ppErrors == nullptr)
            return E_INVALIDARG;
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.writeAsyncRequest();
            request.setConnection(dwConnection);
            PutHandles(request.initHandles(dwCount), phServer, dwCount);
            auto values = request.initValues(dwCount);
            for (DWORD i = 0; i < dwCount; ++i) ToWire(pItemValues[i], values[i]);
            return request.send().then([&](auto&& r) {
                *pTransactionID = r.getTransactionId();
                return TakeErrors(r, dwCount, ppErrors);
            });
        });
    }
    HRESULT Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) override {
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.refreshRequest();
            request.setConnection(dwConnection);
            request.setSource(dwSource);
            return request.send().then([&](auto&& r) {
                if (pTransactionID != nullptr) *pTransactionID = r.getTransactionId();
                return static_cast<HRESULT>(r.getHr());
            });
        });
    }
    HRESULT Cancel(DWORD dwTransactionID) override {
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.cancelRequest();
            request.setTransactionId(dwTransactionID);
            return HrOf(request);
        });
    }

    // IOPCItemMgt
    HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                     HRESULT** ppErrors) override {
        if (ppAddResults != nullptr) *ppAddResults = nullptr;
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (pItemArray == nullptr || ppAddResults == nullptr || ppErrors == nullptr) return E_INVALIDARG;
        // The definitions are encoded here, so that the loop only copies them.
        capnp::MallocMessageBuilder encoded;
        auto params = encoded.initRoot<vokrpc::OpcGroup::AddItemsParams>();
        PutDefs(params.initItems(dwCount), pItemArray, dwCount);
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.addItemsRequest();
            request.setItems(params.asReader().getItems());
            return request.send().then(
                [&](auto&& r) { return TakeItemResults(r, dwCount, ppAddResults, ppErrors); });
        });
    }
    HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate, OPCITEMRESULT** ppResults,
                          HRESULT** ppErrors) override {
        if (ppResults != nullptr) *ppResults = nullptr;
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (pItemArray == nullptr || ppResults == nullptr || ppErrors == nullptr) return E_INVALIDARG;
        capnp::MallocMessageBuilder encoded;
        auto params = encoded.initRoot<vokrpc::OpcGroup::ValidateItemsParams>();
        PutDefs(params.initItems(dwCount), pItemArray, dwCount);
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.validateItemsRequest();
            request.setItems(params.asReader().getItems());
            request.setBlobUpdate(bBlobUpdate != FALSE);
            return request.send().then([&](auto&& r) { return TakeItemResults(r, dwCount, ppResults, ppErrors); });
        });
    }
    HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override {
        return PerHandle(dwCount, phServer, ppErrors, true, [](auto& cap) { return cap.removeItemsRequest(); },
                         [](auto&) {});
    }
    HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override {
        return PerHandle(dwCount, phServer, ppErrors, true, [](auto& cap) { return cap.setActiveStateRequest(); },
                         [&](auto& request) { request.setActive(bActive != FALSE); });
    }
    HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) override {
        return PerHandle(dwCount, phServer, ppErrors, phClient != nullptr,
                         [](auto& cap) { return cap.setClientHandlesRequest(); },
                         [&](auto& request) { PutHandles(request.initClientHandles(dwCount), phClient, dwCount); });
    }
    HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                         HRESULT** ppErrors) override {
        return PerHandle(dwCount, phServer, ppErrors, pRequestedDatatypes != nullptr,
                         [](auto& cap) { return cap.setDatatypesRequest(); },
                         [&](auto& request) {
                             auto types = request.initTypes(dwCount);
                             for (DWORD i = 0; i < dwCount; ++i) types.set(i, pRequestedDatatypes[i]);
                         });
    }
    HRESULT CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override {
        if (ppUnk == nullptr) return E_INVALIDARG;
        *ppUnk = nullptr;
        EnumAttributesProxy* made = nullptr;
        const ConnectionRef& connection = core_.Rpc().Connection();
        HRESULT hr = Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.createEnumeratorRequest();
            ToWire(riid, request.initIid());
            return request.send().then([&](auto&& r) {
                if (r.hasItems()) made = new EnumAttributesProxy(connection, r.getItems());
                return static_cast<HRESULT>(r.getHr());
            });
        });
        if (made != nullptr) {
            made->AddRef();
            if (SUCCEEDED(hr)) hr = made->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
            made->Release();
        }
        return hr;
    }

    // IDataObject
    HRESULT GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override {
        if (pformatetcIn == nullptr || pmedium == nullptr) return E_INVALIDARG;
        *pmedium = STGMEDIUM{};
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.getDataRequest();
            ToWire(*pformatetcIn, request.initFormat());
            return request.send().then([&](auto&& r) {
                const HRESULT hr = r.getHr();
                if (FAILED(hr)) return hr;
                pmedium->tymed = r.getTymed();
                if (pmedium->tymed == TYMED_HGLOBAL) {
                    pmedium->hGlobal = opcstream::ToGlobal(
                        std::vector<std::uint8_t>(r.getBytes().begin(), r.getBytes().end()));
                    if (pmedium->hGlobal == nullptr) return E_OUTOFMEMORY;
                }
                return hr;
            });
        });
    }
    HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT QueryGetData(FORMATETC* pformatetc) override {
        if (pformatetc == nullptr) return E_INVALIDARG;
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.queryGetDataRequest();
            ToWire(*pformatetc, request.initFormat());
            return HrOf(request);
        });
    }
    HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC** ppenumFormatEtc) override {
        if (ppenumFormatEtc != nullptr) *ppenumFormatEtc = nullptr;
        return E_NOTIMPL;
    }
    HRESULT DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) override {
        if (pdwConnection != nullptr) *pdwConnection = 0;
        if (pformatetc == nullptr || pdwConnection == nullptr) return E_INVALIDARG;
        WorkerPool& delivery = core_.Rpc().Connection()->delivery;
        SinkHoldRef hold = pAdvSink != nullptr ? std::make_shared<SinkHold>(pAdvSink) : nullptr;
        const HRESULT hr = Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.dAdviseRequest();
            ToWire(*pformatetc, request.initFormat());
            request.setAdvf(advf);
            if (hold != nullptr) request.setSink(kj::heap<SinkImpl>(delivery, hold));
            return request.send().then([&](auto&& r) {
                *pdwConnection = r.getConnection();
                return static_cast<HRESULT>(r.getHr());
            });
        });
        if (hold == nullptr) return hr;
        if (FAILED(hr)) {
            // Nothing is advised (or, after a time-out, the client is told
            // so): the sink is the client's alone again.
            hold->LetGo();
            return hr;
        }
        std::lock_guard lock(advisesMutex_);
        advises_[*pdwConnection] = std::move(hold);
        return hr;
    }
    HRESULT DUnadvise(DWORD dwConnection) override {
        const HRESULT hr = Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = cap.dUnadviseRequest();
            request.setConnection(dwConnection);
            return HrOf(request);
        });
        // Ended, or its server is gone and the advise with it.
        if (SUCCEEDED(hr) || hr == RPC_E_DISCONNECTED) {
            SinkHoldRef hold;
            {
                std::lock_guard lock(advisesMutex_);
                const auto found = advises_.find(dwConnection);
                if (found != advises_.end()) {
                    hold = std::move(found->second);
                    advises_.erase(found);
                }
            }
            if (hold != nullptr) hold->LetGo();
        }
        return hr;
    }
    // The advises of another process's sinks cannot be handed to this one.
    HRESULT EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override {
        if (ppenumAdvise != nullptr) *ppenumAdvise = nullptr;
        return E_NOTIMPL;
    }

private:
    ~GroupProxy() noexcept override = default;

    template <typename F>
    HRESULT Call(F&& f) {
        return core_.Rpc().Call(std::forward<F>(f));
    }

    // A call on an array of server handles answered with one error per
    // handle: make begins the request, fill adds what else the call takes
    // (given: the call's other arrays are there).
    template <typename Make, typename Fill>
    HRESULT PerHandle(DWORD count, OPCHANDLE* handles, HRESULT** ppErrors, bool given, Make&& make, Fill&& fill) {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (handles == nullptr || !given || ppErrors == nullptr) return E_INVALIDARG;
        return Call([&](vokrpc::OpcGroup::Client& cap) {
            auto request = make(cap);
            PutHandles(request.initHandles(count), handles, count);
            fill(request);
            return request.send().then([&](auto&& r) { return TakeErrors(r, count, ppErrors); });
        });
    }

    std::atomic<ULONG> refs_{0};
    ProxyCore<vokrpc::OpcGroup> core_;
    // The sinks of this proxy's advises, by their connection.
    std::mutex advisesMutex_;
    std::map<DWORD, SinkHoldRef> advises_;
};

// A group that came in an answer, asked for riid.
HRESULT GroupResult(GroupProxy* made, HRESULT hr, REFIID riid, LPUNKNOWN* ppUnk) {
    if (made == nullptr) return hr;
    made->AddRef();
    if (SUCCEEDED(hr)) {
        const HRESULT asked = made->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        if (FAILED(asked)) hr = asked;
    }
    made->Release();
    return hr;
}

HRESULT GroupProxy::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    GroupProxy* made = nullptr;
    const ConnectionRef& connection = core_.Rpc().Connection();
    const HRESULT hr = Call([&](vokrpc::OpcGroup::Client& cap) {
        auto request = cap.cloneGroupRequest();
        request.setName(Text(szName));
        ToWire(riid, request.initIid());
        return request.send().then([&](auto&& r) {
            if (r.hasGroup()) made = new GroupProxy(connection, r.getGroup());
            return static_cast<HRESULT>(r.getHr());
        });
    });
    return GroupResult(made, hr, riid, ppUnk);
}

// ---------------------------------------------------------------------------
// Servers

class ServerProxy final : public IOPCServer, public IOPCBrowseServerAddressSpace {
public:
    ServerProxy(ConnectionRef connection, vokrpc::OpcServer::Client client)
        : core_(std::move(connection), kj::mv(client)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        void* face = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCServer)
            face = static_cast<IOPCServer*>(this);
        else if (riid == IID_IOPCBrowseServerAddressSpace)
            face = static_cast<IOPCBrowseServerAddressSpace*>(this);
        if (face == nullptr) return E_NOINTERFACE;
        if (riid != IID_IUnknown) {
            const HRESULT hr = core_.Answers(riid);
            if (FAILED(hr)) return hr;
        }
        *ppv = face;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                     DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override {
        if (ppUnk == nullptr) return E_INVALIDARG;
        *ppUnk = nullptr;
        GroupProxy* made = nullptr;
        const ConnectionRef& connection = core_.Rpc().Connection();
        const HRESULT hr = Call([&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.addGroupRequest();
            request.setName(Text(szName));
            request.setActive(bActive != FALSE);
            request.setRequestedUpdateRate(dwRequestedUpdateRate);
            request.setHClientGroup(hClientGroup);
            SetOptional(request.initTimeBias(), pTimeBias, pTimeBias != nullptr ? *pTimeBias : 0);
            if (pPercentDeadband != nullptr)
                request.initPercentDeadband().setValue(*pPercentDeadband);
            else
                request.initPercentDeadband().setNone();
            request.setLcid(dwLCID);
            ToWire(riid, request.initIid());
            return request.send().then([&](auto&& r) {
                if (phServerGroup != nullptr) *phServerGroup = r.getHServerGroup();
                if (pRevisedUpdateRate != nullptr) *pRevisedUpdateRate = r.getRevisedUpdateRate();
                if (r.hasGroup()) made = new GroupProxy(connection, r.getGroup());
                return static_cast<HRESULT>(r.getHr());
            });
        });
        return GroupResult(made, hr, riid, ppUnk);
    }
    HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override {
        if (ppString != nullptr) *ppString = nullptr;
        return Call([&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.getErrorStringRequest();
            request.setError(dwError);
            request.setLocale(dwLocale);
            return request.send().then([&](auto&& r) {
                const HRESULT hr = r.getHr();
                if (SUCCEEDED(hr) && ppString != nullptr) *ppString = TaskAllocString(Wide(r.getText()));
                return hr;
            });
        });
    }
    HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override {
        if (ppUnk == nullptr) return E_INVALIDARG;
        *ppUnk = nullptr;
        GroupProxy* made = nullptr;
        const ConnectionRef& connection = core_.Rpc().Connection();
        const HRESULT hr = Call([&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.getGroupByNameRequest();
            request.setName(Text(szName));
            ToWire(riid, request.initIid());
            return request.send().then([&](auto&& r) {
                if (r.hasGroup()) made = new GroupProxy(connection, r.getGroup());
                return static_cast<HRESULT>(r.getHr());
            });
        });
        return GroupResult(made, hr, riid, ppUnk);
    }
    HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override {
        if (ppServerStatus == nullptr) return E_INVALIDARG;
        *ppServerStatus = nullptr;
        return Call([&](vokrpc::OpcServer::Client& cap) {
            return cap.getStatusRequest().send().then([&](auto&& r) {
                const HRESULT hr = r.getHr();
                if (FAILED(hr) || !r.hasStatus()) return hr;
                auto* status = TaskArray<OPCSERVERSTATUS>(1);
                if (status == nullptr) return E_OUTOFMEMORY;
                auto s = r.getStatus();
                status->ftStartTime = FromWire(s.getStartTime());
                status->ftCurrentTime = FromWire(s.getCurrentTime());
                status->ftLastUpdateTime = FromWire(s.getLastUpdateTime());
                status->dwServerState = static_cast<OPCSERVERSTATE>(s.getServerState());
                status->dwGroupCount = s.getGroupCount();
                status->dwBandWidth = s.getBandWidth();
                status->wMajorVersion = s.getMajorVersion();
                status->wMinorVersion = s.getMinorVersion();
                status->wBuildNumber = s.getBuildNumber();
                status->szVendorInfo = TaskAllocString(Wide(s.getVendorInfo()));
                *ppServerStatus = status;
                return hr;
            });
        });
    }
    HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override {
        return Call([&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.removeGroupRequest();
            request.setHServerGroup(hServerGroup);
            request.setForce(bForce != FALSE);
            return HrOf(request);
        });
    }
    HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override {
        if (ppUnk != nullptr) *ppUnk = nullptr;
        return Call([&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.createGroupEnumeratorRequest();
            request.setScope(dwScope);
            ToWire(riid, request.initIid());
            return HrOf(request);
        });
    }

    HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override {
        if (pNameSpaceType == nullptr) return E_INVALIDARG;
        return Call([&](vokrpc::OpcServer::Client& cap) {
            return cap.queryOrganizationRequest().send().then([&](auto&& r) {
                *pNameSpaceType = static_cast<OPCNAMESPACETYPE>(r.getNameSpaceType());
                return static_cast<HRESULT>(r.getHr());
            });
        });
    }
    HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override {
        return Call([&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.changeBrowsePositionRequest();
            request.setDirection(dwBrowseDirection);
            request.setName(Text(szString));
            request.setHasName(szString != nullptr);
            return HrOf(request);
        });
    }
    HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                             DWORD dwAccessRightsFilter, IEnumString** ppIEnumString) override {
        if (ppIEnumString == nullptr) return E_INVALIDARG;
        *ppIEnumString = nullptr;
        return Names(ppIEnumString, [&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.browseItemIdsRequest();
            request.setFilterType(dwBrowseFilterType);
            request.setCriteria(Text(szFilterCriteria));
            request.setDataType(vtDataTypeFilter);
            request.setAccessRights(dwAccessRightsFilter);
            return request;
        });
    }
    HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override {
        if (szItemID == nullptr) return E_INVALIDARG;
        *szItemID = nullptr;
        return Call([&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.getItemIdRequest();
            request.setItemDataId(Text(szItemDataID));
            request.setHasItemDataId(szItemDataID != nullptr);
            return request.send().then([&](auto&& r) {
                HRESULT hr = r.getHr();
                if (SUCCEEDED(hr)) {
                    *szItemID = TaskAllocString(Wide(r.getItemId()));
                    if (*szItemID == nullptr) hr = E_OUTOFMEMORY;
                }
                return hr;
            });
        });
    }
    HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override {
        if (ppIEnumString == nullptr) return E_INVALIDARG;
        *ppIEnumString = nullptr;
        return Names(ppIEnumString, [&](vokrpc::OpcServer::Client& cap) {
            auto request = cap.browseAccessPathsRequest();
            request.setItemId(Text(szItemID));
            return request;
        });
    }

private:
    ~ServerProxy() noexcept override = default;

    template <typename F>
    HRESULT Call(F&& f) {
        return core_.Rpc().Call(std::forward<F>(f));
    }

    // A call that answers with a name enumerator.
    template <typename MakeRequest>
    HRESULT Names(IEnumString** out, MakeRequest make) {
        EnumStringProxy* made = nullptr;
        const ConnectionRef& connection = core_.Rpc().Connection();
        const HRESULT hr = Call([&](vokrpc::OpcServer::Client& cap) {
            return make(cap).send().then([&](auto&& r) {
                if (r.hasNames()) made = new EnumStringProxy(connection, r.getNames());
                return static_cast<HRESULT>(r.getHr());
            });
        });
        if (made != nullptr) {
            made->AddRef();
            *out = made;
        }
        return hr;
    }

    std::atomic<ULONG> refs_{0};
    ProxyCore<vokrpc::OpcServer> core_;
};

// The class object another process publishes.
class ClassFactoryProxy final : public IClassFactory {
public:
    ClassFactoryProxy(ConnectionRef connection, vokrpc::ClassObject::Client client)
        : remote_(std::move(connection), kj::mv(client)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        ServerProxy* made = nullptr;
        const ConnectionRef& connection = remote_.Connection();
        HRESULT hr = remote_.Call([&](vokrpc::ClassObject::Client& cap) {
            auto request = cap.createInstanceRequest();
            ToWire(riid, request.initIid());
            return request.send().then([&](auto&& r) {
                if (r.hasServer()) made = new ServerProxy(connection, r.getServer());
                return static_cast<HRESULT>(r.getHr());
            });
        });
        if (made != nullptr) {
            made->AddRef();
            if (SUCCEEDED(hr)) hr = made->QueryInterface(riid, ppvObject);
            made->Release();
        }
        return hr;
    }
    HRESULT LockServer(BOOL fLock) override {
        return remote_.Call([&](vokrpc::ClassObject::Client& cap) {
            auto request = cap.lockServerRequest();
            request.setLock(fLock != FALSE);
            return HrOf(request);
        });
    }

private:
    ~ClassFactoryProxy() noexcept override = default;
    std::atomic<ULONG> refs_{0};
    Remote<vokrpc::ClassObject> remote_;
};

}  // namespace

HRESULT ConnectClassObject(EventLoop& loop, WorkerPool& delivery, int fd, REFIID riid, LPVOID* ppv,
                           unsigned callTimeoutMs) {
    *ppv = nullptr;
    auto connection = std::make_shared<Connection>(loop, delivery);
    connection->callTimeoutMs = callTimeoutMs;
    ClassFactoryProxy* factory = nullptr;
    try {
        loop.Run([&] {
            connection->stream = loop.LowLevel().wrapSocketFd(fd, kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP);
            connection->network =
                kj::heap<capnp::TwoPartyVatNetwork>(*connection->stream, capnp::rpc::twoparty::Side::CLIENT);
            connection->rpc = kj::heap<capnp::RpcSystem<capnp::rpc::twoparty::VatId>>(
                capnp::makeRpcClient(*connection->network));
            capnp::word scratch[4];
            memset(scratch, 0, sizeof(scratch));
            capnp::MallocMessageBuilder message(scratch);
            auto server = message.getRoot<capnp::rpc::twoparty::VatId>();
            server.setSide(capnp::rpc::twoparty::Side::SERVER);
            factory = new ClassFactoryProxy(connection, connection->rpc->bootstrap(server).castAs<vokrpc::ClassObject>());
        });
    } catch (const kj::Exception&) {
        return CO_E_SERVER_EXEC_FAILURE;
    }
    factory->AddRef();
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

}  // namespace remote
