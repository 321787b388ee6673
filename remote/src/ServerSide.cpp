#include "ServerSide.h"

#include "ChangeBacklog.h"
#include "Wire.h"

#include "foundation/CLogFile.h"
#include "opc/ComObjects.h"
#include "opc/OpcStream.h"
#include "platform/LocalSocket.h"

#include <capnp/rpc-twoparty.h>
#include <capnp/message.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <list>
#include <mutex>
#include <utility>
#include <vector>

namespace remote {

namespace {

// The most elements one call hands to a real object or asks it for: a
// message may claim billions, and nothing of the server grows with a claim.
constexpr std::size_t kMaxElements = 1u << 20;

// What the adapters of one client connection share: the loop, the workers,
// and the connection's own account of its calls and server locks. Owned
// jointly by the connection, its adapters, the references they hand to the
// workers and the sinks the groups hold: whichever ends last (a sink may still
// be delivering when the class is withdrawn) finds it alive.
struct Shared {
    Shared(EventLoop& eventLoop, WorkerPool& workers, const ServerSettings& serverSettings,
           std::shared_ptr<std::atomic<std::size_t>> serverCalls)
        : loop(eventLoop), pool(workers), settings(serverSettings), allCalls(std::move(serverCalls)) {}

    EventLoop& loop;
    WorkerPool& pool;
    const ServerSettings settings;
    // The calls of every connection of the server taken and not yet answered.
    std::shared_ptr<std::atomic<std::size_t>> allCalls;

    std::mutex mutex;
    // This connection's calls taken and not yet answered, and of them those
    // on a worker now; the others wait in held for one of its workers.
    std::size_t calls = 0;
    std::size_t running = 0;
    std::deque<std::function<void()>> held;
    // LockServer(TRUE) calls not yet balanced, given back when it ends.
    std::size_t locks = 0;
    bool ended = false;
};
using SharedRef = std::shared_ptr<Shared>;

// Runs a call's work on a worker, or holds it while the connection has as
// many workers in use as it may: one client's slow calls never take every
// worker from the others.
void Dispatch(const SharedRef& shared, std::function<void()> task) {
    {
        std::lock_guard lock(shared->mutex);
        if (shared->running >= shared->settings.workersPerConnection) {
            shared->held.push_back(std::move(task));
            return;
        }
        ++shared->running;
    }
    shared->pool.Submit([shared, task = std::move(task)]() mutable {
        for (;;) {
            task();
            task = nullptr;
            // The connection's next held call goes on this worker.
            std::lock_guard lock(shared->mutex);
            if (shared->held.empty()) {
                --shared->running;
                return;
            }
            task = std::move(shared->held.front());
            shared->held.pop_front();
        }
    });
}

// One reference on a server object, given back on a worker thread: a last
// Release may stop a group's threads, which must not happen on the loop.
class Held {
public:
    Held() = default;
    Held(const SharedRef& shared, IUnknown* object) : shared_(shared), object_(object) {}
    Held(Held&& other) noexcept : shared_(std::move(other.shared_)), object_(other.object_) { other.object_ = nullptr; }
    Held& operator=(Held&& other) noexcept {
        std::swap(shared_, other.shared_);
        std::swap(object_, other.object_);
        return *this;
    }
    ~Held() {
        if (object_ == nullptr) return;
        IUnknown* object = object_;
        shared_->pool.Submit([object] { object->Release(); });
    }
    IUnknown* get() const { return object_; }
    // The reference goes to whoever took it over (an adapter's own Held).
    void Disown() { object_ = nullptr; }

private:
    SharedRef shared_;
    IUnknown* object_ = nullptr;
};

// The interface of an object asked for, or null; the reference is the caller's.
template <typename I>
I* Ask(IUnknown* object, REFIID iid) {
    void* out = nullptr;
    if (object == nullptr || FAILED(object->QueryInterface(iid, &out))) return nullptr;
    return static_cast<I*>(out);
}

// Whether the object serves the interface a client asks about.
HRESULT ServesInterface(IUnknown* object, vokrpc::Guid::Reader wire) {
    GUID iid;
    if (!FromWire(wire, iid)) return E_INVALIDARG;
    void* answer = nullptr;
    const HRESULT hr = object->QueryInterface(iid, &answer);
    if (answer != nullptr) static_cast<IUnknown*>(answer)->Release();
    return hr;
}

// A call carried to a worker: its parameters copied out of the connection's
// message, its results built apart, and objects it made held until they are
// wrapped for the client (or released when the client went away meanwhile).
template <typename P, typename R>
struct Call {
    capnp::MallocMessageBuilder out;
    std::vector<Held> made;
};

template <typename P, typename R>
using Work = std::function<void(typename P::Reader, typename R::Builder, Call<P, R>&)>;
template <typename P, typename R>
using Finish = std::function<void(typename R::Builder, Call<P, R>&)>;

// The adapter of the object a call made, which takes over the call's
// reference on it; null when the call made none.
template <typename Impl, typename Interface, typename Made>
kj::Own<Impl> AdoptMade(const SharedRef& shared, Made& call) {
    if (call.made.empty()) return {};
    auto adapter = kj::heap<Impl>(shared, static_cast<Interface*>(call.made.front().get()));
    call.made.front().Disown();
    return adapter;
}

// The finish of a call that may make an object: the object's adapter, if it
// made one, goes to the client through set.
template <typename Impl, typename Interface, typename Set>
auto GiveMade(const SharedRef& shared, Set set) {
    return [shared, set](auto out, auto& call) {
        auto adapter = AdoptMade<Impl, Interface>(shared, call);
        if (adapter.get() != nullptr) set(out, kj::mv(adapter));
    };
}

// Runs work on a worker thread and answers the call when it is done; then
// finish (on the loop) may attach capabilities to the results. The work reads
// only what it captured.
template <typename P, typename R>
kj::Promise<void> OffLoopResults(const SharedRef& shared, capnp::CallContext<P, R> context,
                                 std::function<void(typename R::Builder, Call<P, R>&)> work,
                                 Finish<P, R> finish = nullptr) {
    {
        // A client with as many calls in flight as it may have gets no more
        // taken until some are answered.
        std::lock_guard lock(shared->mutex);
        if (shared->calls >= shared->settings.callsPerConnection) {
            context.getResults().setHr(E_OUTOFMEMORY);
            return kj::READY_NOW;
        }
        ++shared->calls;
        ++*shared->allCalls;
    }
    auto call = std::make_shared<Call<P, R>>();
    auto pair = kj::newPromiseAndCrossThreadFulfiller<void>();
    auto fulfiller = std::make_shared<kj::Own<kj::CrossThreadPromiseFulfiller<void>>>(kj::mv(pair.fulfiller));
    Dispatch(shared, [call, fulfiller, work = std::move(work)] {
        KJ_IF_MAYBE(failure, kj::runCatchingExceptions([&] { work(call->out.template initRoot<R>(), *call); })) {
            (*fulfiller)->reject(kj::mv(*failure));
        } else {
            (*fulfiller)->fulfill();
        }
    });
    // Answered (or failed, or cancelled with its connection): counted out.
    auto done = kj::defer([shared] {
        std::lock_guard lock(shared->mutex);
        --shared->calls;
        --*shared->allCalls;
    });
    return pair.promise
        .then([context, call, finish = std::move(finish)]() mutable {
            context.setResults(call->out.template getRoot<R>().asReader());
            if (finish) finish(context.getResults(), *call);
        })
        .attach(kj::mv(done));
}

// The same with the call's parameters, copied out of the connection's message
// first (a connection that goes away takes its messages with it).
template <typename P, typename R>
kj::Promise<void> OffLoop(const SharedRef& shared, capnp::CallContext<P, R> context, Work<P, R> work,
                          Finish<P, R> finish = nullptr) {
    auto in = std::make_shared<capnp::MallocMessageBuilder>();
    in->setRoot(context.getParams());
    context.releaseParams();
    return OffLoopResults<P, R>(
        shared, context,
        [in, work = std::move(work)](typename R::Builder out, Call<P, R>& call) {
            work(in->getRoot<P>().asReader(), out, call);
        },
        std::move(finish));
}

// An array of the client's, refused whole when it claims too much.
template <typename List>
bool Fits(const List& list) {
    return list.size() <= kMaxElements;
}

std::vector<OPCHANDLE> Handles(capnp::List<std::uint32_t>::Reader list) {
    std::vector<OPCHANDLE> handles;
    handles.reserve(list.size());
    for (std::uint32_t handle : list) handles.push_back(handle);
    return handles;
}

void PutErrors(HRESULT* errors, std::size_t count, capnp::List<std::int32_t>::Builder out) {
    for (std::size_t i = 0; errors != nullptr && i < count; ++i) out.set(static_cast<unsigned>(i), errors[i]);
}

template <typename Results>
void TakeErrors(Results results, HRESULT* errors, std::size_t count) {
    if (errors != nullptr) PutErrors(errors, count, results.initErrors(static_cast<unsigned>(count)));
    CoTaskMemFree(errors);
}

// The client's variants; false when one of them is of a type not served.
bool Values(capnp::List<vokrpc::Variant>::Reader list, std::vector<VARIANT>& values) {
    values.resize(list.size());
    bool good = true;
    for (unsigned i = 0; i < list.size(); ++i) good = FromWire(list[i], values[i]) && good;
    if (!good)
        for (VARIANT& v : values) VariantClear(&v);
    return good;
}

void ClearValues(std::vector<VARIANT>& values) {
    for (VARIANT& v : values) VariantClear(&v);
}

// A call on the client's array of server handles, answered with one error
// per handle: call is given the count, the handles and where the errors go,
// and returns the call's HRESULT. An array that claims too much, or a call
// the object does not serve (served false), is answered E_INVALIDARG.
template <typename In, typename Out, typename F>
void PerHandle(bool served, In in, Out out, F&& call) {
    if (!served || !Fits(in.getHandles())) return out.setHr(E_INVALIDARG);
    std::vector<OPCHANDLE> handles = Handles(in.getHandles());
    const auto count = static_cast<DWORD>(handles.size());
    HRESULT* errors = nullptr;
    out.setHr(call(count, handles.empty() ? nullptr : handles.data(), &errors));
    TakeErrors(out, errors, count);
}

// The same for a call that also takes the client's variants, one per handle.
template <typename In, typename Out, typename F>
void PerHandleWithValues(bool served, In in, Out out, F&& call) {
    PerHandle(served && in.getValues().size() == in.getHandles().size(), in, out,
              [&](DWORD count, OPCHANDLE* handles, HRESULT** errors) {
                  std::vector<VARIANT> values;
                  if (!Values(in.getValues(), values)) return E_INVALIDARG;
                  const HRESULT hr = call(count, handles, values.empty() ? nullptr : values.data(), errors);
                  ClearValues(values);
                  return hr;
              });
}

// ---------------------------------------------------------------------------
// Enumerators

class EnumStringImpl final : public vokrpc::EnumString::Server {
public:
    EnumStringImpl(const SharedRef& shared, IEnumString* list) : shared_(shared), held_(shared, list), list_(list) {}

    kj::Promise<void> next(NextContext context) override {
        return OffLoop<NextParams, NextResults>(shared_, context, [this](auto in, auto out, auto&) {
            const ULONG count = static_cast<ULONG>(std::min<std::size_t>(in.getCount(), kMaxElements));
            std::vector<LPOLESTR> names(count, nullptr);
            ULONG fetched = 0;
            const HRESULT hr = list_->Next(count, names.data(), &fetched);
            fetched = std::min(fetched, count);
            // Fewer than asked, because the call was cut to size, is S_FALSE too.
            out.setHr(hr == S_OK && count < in.getCount() ? S_FALSE : hr);
            auto list = out.initNames(fetched);
            for (ULONG i = 0; i < fetched; ++i) {
                list.set(i, Text(names[i]));
                CoTaskMemFree(names[i]);
            }
        });
    }
    kj::Promise<void> skip(SkipContext context) override {
        return OffLoop<SkipParams, SkipResults>(shared_, context, [this](auto in, auto out, auto&) {
            out.setHr(list_->Skip(in.getCount()));
        });
    }
    kj::Promise<void> reset(ResetContext context) override {
        return OffLoop<ResetParams, ResetResults>(shared_, context,
                                                  [this](auto, auto out, auto&) { out.setHr(list_->Reset()); });
    }
    kj::Promise<void> clone(CloneContext context) override;

private:
    SharedRef shared_;
    Held held_;
    IEnumString* list_;
};

kj::Promise<void> EnumStringImpl::clone(CloneContext context) {
    return OffLoop<CloneParams, CloneResults>(
        shared_, context,
        [this](auto, auto out, auto& call) {
            IEnumString* copy = nullptr;
            out.setHr(list_->Clone(&copy));
            if (copy != nullptr) call.made.emplace_back(shared_, copy);
        },
        GiveMade<EnumStringImpl, IEnumString>(shared_, [](auto out, auto made) { out.setNames(kj::mv(made)); }));
}

class EnumAttributesImpl final : public vokrpc::EnumItemAttributes::Server {
public:
    EnumAttributesImpl(const SharedRef& shared, IEnumOPCItemAttributes* list)
        : shared_(shared), held_(shared, list), list_(list) {}

    kj::Promise<void> next(NextContext context) override {
        return OffLoop<NextParams, NextResults>(shared_, context, [this](auto in, auto out, auto&) {
            const ULONG count = static_cast<ULONG>(std::min<std::size_t>(in.getCount(), kMaxElements));
            OPCITEMATTRIBUTES* array = nullptr;
            ULONG fetched = 0;
            const HRESULT hr = list_->Next(count, &array, &fetched);
            if (array == nullptr) fetched = 0;
            out.setHr(hr == S_OK && count < in.getCount() ? S_FALSE : hr);
            auto items = out.initItems(fetched);
            for (ULONG i = 0; i < fetched; ++i) {
                OPCITEMATTRIBUTES& a = array[i];
                auto item = items[i];
                item.setAccessPath(Text(a.szAccessPath));
                item.setItemId(Text(a.szItemID));
                item.setActive(a.bActive != FALSE);
                item.setHClient(a.hClient);
                item.setHServer(a.hServer);
                item.setAccessRights(a.dwAccessRights);
                if (a.pBlob != nullptr) item.setBlob(kj::arrayPtr(a.pBlob, a.dwBlobSize));
                item.setRequestedType(a.vtRequestedDataType);
                item.setCanonicalType(a.vtCanonicalDataType);
                item.setEuType(a.dwEUType);
                ToWire(a.vEUInfo, item.initEuInfo());
                CoTaskMemFree(a.szAccessPath);
                CoTaskMemFree(a.szItemID);
                CoTaskMemFree(a.pBlob);
                VariantClear(&a.vEUInfo);
            }
            CoTaskMemFree(array);
        });
    }
    kj::Promise<void> skip(SkipContext context) override {
        return OffLoop<SkipParams, SkipResults>(shared_, context, [this](auto in, auto out, auto&) {
            out.setHr(list_->Skip(in.getCount()));
        });
    }
    kj::Promise<void> reset(ResetContext context) override {
        return OffLoop<ResetParams, ResetResults>(shared_, context,
                                                  [this](auto, auto out, auto&) { out.setHr(list_->Reset()); });
    }
    kj::Promise<void> clone(CloneContext context) override {
        return OffLoop<CloneParams, CloneResults>(
            shared_, context,
            [this](auto, auto out, auto& call) {
                IEnumOPCItemAttributes* copy = nullptr;
                out.setHr(list_->Clone(&copy));
                if (copy != nullptr) call.made.emplace_back(shared_, copy);
            },
            GiveMade<EnumAttributesImpl, IEnumOPCItemAttributes>(
                shared_, [](auto out, auto made) { out.setItems(kj::mv(made)); }));
    }

private:
    SharedRef shared_;
    Held held_;
    IEnumOPCItemAttributes* list_;
};

// ---------------------------------------------------------------------------
// The client's advise sink, as the group's data thread sees it

class SinkProxy final : public IAdviseSink {
public:
    SinkProxy(const SharedRef& shared, vokrpc::AdviseSink::Client client)
        : shared_(shared),
          client_(kj::heap<vokrpc::AdviseSink::Client>(kj::mv(client))),
          backlog_(shared->settings.backlog, kMaxCompletions) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IAdviseSink) return E_NOINTERFACE;
        *ppv = static_cast<IAdviseSink*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    // Called by a data or async thread: the change is queued and sent by the
    // loop, so that the thread never waits for the client. A client that
    // does not keep up has its oldest data changes folded into one that keeps
    // each item's newest value, so that it never keeps a stale value of an
    // item whose only change came while it lagged. Completions of a write,
    // read or refresh answer one transaction each: they are never folded or
    // dropped, and have a bound of their own.
    void OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        if (format == nullptr || medium == nullptr || medium->tymed != TYMED_HGLOBAL) return;
        PendingStream change{*format, medium->tymed, opcstream::FromGlobal(medium->hGlobal)};
        bool start = false;
        std::uint64_t folds = 0;
        bool cutOff = false;
        {
            std::lock_guard lock(mutex_);
            if (broken_) return;
            switch (backlog_.Add(std::move(change))) {
            case ChangeBacklog::Added::kFolded:
                folds = backlog_.Folds();
                break;
            case ChangeBacklog::Added::kFull:
                // The client takes nothing any more: it is cut off rather
                // than let the server's memory grow.
                broken_ = true;
                cutOff = true;
                break;
            case ChangeBacklog::Added::kQueued:
                break;
            }
            start = !sending_ && !broken_;
            sending_ = sending_ || start;
        }
        if (cutOff)
            EventLog()
                .Append("Data changes no longer sent to a client that took none of its last completions:")
                .Append(static_cast<unsigned long>(kMaxCompletions))
                .Commit(CLogFile::kWrite);
        // The first fold and every hundredth after it, so that a stuck client
        // does not fill the log.
        if (folds % 100 == 1)
            EventLog()
                .Append("Data changes for a client that does not keep up folded into one, folded so far:")
                .Append(static_cast<unsigned long>(folds))
                .Commit(CLogFile::kWrite);
        if (!start) return;
        AddRef();  // for the sending
        try {
            shared_->loop.Run([this] { SendNext(); });
        } catch (const kj::Exception&) {
            Stop();
        }
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}

private:
    // Completions kept for a client that does not take them.
    static constexpr std::size_t kMaxCompletions = 256;

    ~SinkProxy() noexcept override {
        // The capability lives on the loop and is let go there.
        if (EventLoop::IsLoopThread()) {
            client_ = nullptr;
            return;
        }
        try {
            shared_->loop.Run([this] { client_ = nullptr; });
        } catch (const kj::Exception&) {
            // The loop is gone: the capability cannot be let go anywhere else.
            new kj::Own<vokrpc::AdviseSink::Client>(kj::mv(client_));
        }
    }

    // On the loop: one change in flight at a time; the next goes when the
    // client has taken this one.
    void SendNext() {
        PendingStream next;
        {
            std::lock_guard lock(mutex_);
            if (backlog_.Empty() || broken_) {
                sending_ = false;
                backlog_.Clear();
                FinishSending();
                return;
            }
            next = std::move(*backlog_.Take());
        }
        auto request = client_->onDataChangeRequest();
        ToWire(next.format, request.initFormat());
        request.setTymed(next.tymed);
        request.setBytes(kj::arrayPtr(next.bytes.data(), next.bytes.size()));
        shared_->loop.Tasks().add(request.send().then([this](auto&&) { SendNext(); },
                                                     [this](kj::Exception&&) {
                                                         {
                                                             std::lock_guard lock(mutex_);
                                                             broken_ = true;
                                                         }
                                                         SendNext();
                                                     }));
    }

    // The sending is over: its reference goes (on a worker, as it may be the last).
    void FinishSending() {
        shared_->pool.Submit([this] { Release(); });
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            broken_ = true;
            sending_ = false;
            backlog_.Clear();
        }
        Release();
    }

    std::atomic<ULONG> refs_{0};
    SharedRef shared_;
    kj::Own<vokrpc::AdviseSink::Client> client_;
    std::mutex mutex_;
    ChangeBacklog backlog_;
    bool sending_ = false;
    bool broken_ = false;
};

// ---------------------------------------------------------------------------
// Groups

void FillDefs(capnp::List<vokrpc::ItemDef>::Reader list, std::vector<OPCITEMDEF>& defs,
              std::vector<std::u16string>& texts, std::vector<std::vector<BYTE>>& blobs) {
    defs.resize(list.size());
    texts.resize(list.size() * 2);
    blobs.resize(list.size());
    for (unsigned i = 0; i < list.size(); ++i) {
        auto def = list[i];
        texts[2 * i] = Wide(def.getAccessPath());
        texts[2 * i + 1] = Wide(def.getItemId());
        blobs[i].assign(def.getBlob().begin(), def.getBlob().end());
        defs[i] = OPCITEMDEF{};
        defs[i].szAccessPath = texts[2 * i].data();
        defs[i].szItemID = texts[2 * i + 1].data();
        defs[i].bActive = def.getActive() ? TRUE : FALSE;
        defs[i].hClient = def.getHClient();
        defs[i].dwBlobSize = static_cast<DWORD>(blobs[i].size());
        defs[i].pBlob = blobs[i].empty() ? nullptr : blobs[i].data();
        defs[i].vtRequestedDataType = def.getRequestedType();
    }
}

template <typename Results>
void PutItemResults(Results out, OPCITEMRESULT* results, HRESULT* errors, std::size_t count) {
    if (results != nullptr) {
        auto list = out.initResults(static_cast<unsigned>(count));
        for (std::size_t i = 0; i < count; ++i) {
            auto r = list[static_cast<unsigned>(i)];
            r.setHServer(results[i].hServer);
            r.setCanonicalType(results[i].vtCanonicalDataType);
            r.setAccessRights(results[i].dwAccessRights);
            if (results[i].pBlob != nullptr) r.setBlob(kj::arrayPtr(results[i].pBlob, results[i].dwBlobSize));
            CoTaskMemFree(results[i].pBlob);
        }
    }
    CoTaskMemFree(results);
    TakeErrors(out, errors, count);
}

class GroupImpl final : public vokrpc::OpcGroup::Server {
public:
    GroupImpl(const SharedRef& shared, IUnknown* group)
        : shared_(shared),
          state_(Ask<IOPCGroupStateMgt>(group, IID_IOPCGroupStateMgt)),
          public_(Ask<IOPCPublicGroupStateMgt>(group, IID_IOPCPublicGroupStateMgt)),
          sync_(Ask<IOPCSyncIO>(group, IID_IOPCSyncIO)),
          async_(Ask<IOPCAsyncIO>(group, IID_IOPCAsyncIO)),
          items_(Ask<IOPCItemMgt>(group, IID_IOPCItemMgt)),
          data_(Ask<IDataObject>(group, IID_IDataObject)),
          held_{Held(shared, state_), Held(shared, public_), Held(shared, sync_),
                Held(shared, async_), Held(shared, items_), Held(shared, data_)},
          object_(shared, group) {}

    kj::Promise<void> queryInterface(QueryInterfaceContext context) override {
        return OffLoop<QueryInterfaceParams, QueryInterfaceResults>(
            shared_, context, [this](auto in, auto out, auto&) { out.setHr(ServesInterface(object_.get(), in.getIid())); });
    }

    kj::Promise<void> getState(GetStateContext context) override {
        return OffLoop<GetStateParams, GetStateResults>(shared_, context, [this](auto, auto out, auto&) {
            DWORD rate = 0, lcid = 0;
            BOOL active = FALSE;
            LPWSTR name = nullptr;
            LONG bias = 0;
            FLOAT deadband = 0;
            OPCHANDLE client = 0, server = 0;
            const HRESULT hr =
                state_ == nullptr ? E_NOINTERFACE
                                  : state_->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &server);
            out.setHr(hr);
            out.setUpdateRate(rate);
            out.setActive(active != FALSE);
            out.setName(Text(name));
            out.setTimeBias(bias);
            out.setPercentDeadband(deadband);
            out.setLcid(lcid);
            out.setHClientGroup(client);
            out.setHServerGroup(server);
            CoTaskMemFree(name);
        });
    }

    kj::Promise<void> setState(SetStateContext context) override {
        return OffLoop<SetStateParams, SetStateResults>(shared_, context, [this](auto in, auto out, auto&) {
            // Each [in] pointer the client gave is passed on; the others stay null.
            DWORD rate = 0, revised = 0, lcid = 0;
            BOOL active = FALSE;
            LONG bias = 0;
            FLOAT deadband = 0;
            OPCHANDLE client = 0;
            DWORD* pRate = nullptr;
            BOOL* pActive = nullptr;
            LONG* pBias = nullptr;
            FLOAT* pDeadband = nullptr;
            DWORD* pLcid = nullptr;
            OPCHANDLE* pClient = nullptr;
            if (in.getRequestedUpdateRate().isValue()) {
                rate = static_cast<DWORD>(in.getRequestedUpdateRate().getValue());
                pRate = &rate;
            }
            if (in.getActive().isValue()) {
                active = in.getActive().getValue() != 0 ? TRUE : FALSE;
                pActive = &active;
            }
            if (in.getTimeBias().isValue()) {
                bias = in.getTimeBias().getValue();
                pBias = &bias;
            }
            if (in.getPercentDeadband().isValue()) {
                deadband = in.getPercentDeadband().getValue();
                pDeadband = &deadband;
            }
            if (in.getLcid().isValue()) {
                lcid = static_cast<DWORD>(in.getLcid().getValue());
                pLcid = &lcid;
            }
            if (in.getHClientGroup().isValue()) {
                client = static_cast<OPCHANDLE>(in.getHClientGroup().getValue());
                pClient = &client;
            }
            out.setHr(state_ == nullptr ? E_NOINTERFACE
                                        : state_->SetState(pRate, &revised, pActive, pBias, pDeadband, pLcid, pClient));
            out.setRevisedUpdateRate(revised);
        });
    }

    kj::Promise<void> setName(SetNameContext context) override {
        return OffLoop<SetNameParams, SetNameResults>(shared_, context, [this](auto in, auto out, auto&) {
            const std::u16string name = Wide(in.getName());
            out.setHr(state_ == nullptr ? E_NOINTERFACE : state_->SetName(in.getHasName() ? name.c_str() : nullptr));
        });
    }

    kj::Promise<void> cloneGroup(CloneGroupContext context) override {
        return OffLoop<CloneGroupParams, CloneGroupResults>(
            shared_, context,
            [this](auto in, auto out, auto& call) {
                GUID iid;
                if (!FromWire(in.getIid(), iid) || state_ == nullptr) {
                    out.setHr(E_INVALIDARG);
                    return;
                }
                const std::u16string name = Wide(in.getName());
                LPUNKNOWN made = nullptr;
                out.setHr(state_->CloneGroup(name.c_str(), iid, &made));
                if (made != nullptr) call.made.emplace_back(shared_, made);
            },
            GiveMade<GroupImpl, IUnknown>(shared_, [](auto out, auto made) { out.setGroup(kj::mv(made)); }));
    }

    kj::Promise<void> getPublic(GetPublicContext context) override {
        return OffLoop<GetPublicParams, GetPublicResults>(shared_, context, [this](auto, auto out, auto&) {
            BOOL isPublic = FALSE;
            out.setHr(public_ == nullptr ? E_NOINTERFACE : public_->GetState(&isPublic));
            out.setPublic(isPublic != FALSE);
        });
    }

    kj::Promise<void> moveToPublic(MoveToPublicContext context) override {
        return OffLoop<MoveToPublicParams, MoveToPublicResults>(shared_, context, [this](auto, auto out, auto&) {
            out.setHr(public_ == nullptr ? E_NOINTERFACE : public_->MoveToPublic());
        });
    }

    kj::Promise<void> read(ReadContext context) override {
        return OffLoop<ReadParams, ReadResults>(shared_, context, [this](auto in, auto out, auto&) {
            PerHandle(sync_ != nullptr, in, out, [&](DWORD count, OPCHANDLE* handles, HRESULT** errors) {
                OPCITEMSTATE* states = nullptr;
                const HRESULT hr =
                    sync_->Read(static_cast<OPCDATASOURCE>(in.getSource()), count, handles, &states, errors);
                if (states != nullptr) {
                    auto list = out.initStates(count);
                    for (DWORD i = 0; i < count; ++i) {
                        auto s = list[i];
                        s.setHClient(states[i].hClient);
                        ToWire(states[i].ftTimeStamp, s.initTimeStamp());
                        s.setQuality(states[i].wQuality);
                        ToWire(states[i].vDataValue, s.initValue());
                        VariantClear(&states[i].vDataValue);
                    }
                }
                CoTaskMemFree(states);
                return hr;
            });
        });
    }

    kj::Promise<void> write(WriteContext context) override {
        return OffLoop<WriteParams, WriteResults>(shared_, context, [this](auto in, auto out, auto&) {
            PerHandleWithValues(sync_ != nullptr, in, out,
                                [&](DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) {
                                    return sync_->Write(count, handles, values, errors);
                                });
        });
    }

    kj::Promise<void> readAsync(ReadAsyncContext context) override {
        return OffLoop<ReadAsyncParams, ReadAsyncResults>(shared_, context, [this](auto in, auto out, auto&) {
            PerHandle(async_ != nullptr, in, out, [&](DWORD count, OPCHANDLE* handles, HRESULT** errors) {
                DWORD transaction = 0;
                const HRESULT hr = async_->Read(in.getConnection(), static_cast<OPCDATASOURCE>(in.getSource()),
                                                count, handles, &transaction, errors);
                out.setTransactionId(transaction);
                return hr;
            });
        });
    }

    kj::Promise<void> writeAsync(WriteAsyncContext context) override {
        return OffLoop<WriteAsyncParams, WriteAsyncResults>(shared_, context, [this](auto in, auto out, auto&) {
            PerHandleWithValues(async_ != nullptr, in, out,
                                [&](DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) {
                                    DWORD transaction = 0;
                                    const HRESULT hr = async_->Write(in.getConnection(), count, handles, values,
                                                                     &transaction, errors);
                                    out.setTransactionId(transaction);
                                    return hr;
                                });
        });
    }

    kj::Promise<void> refresh(RefreshContext context) override {
        return OffLoop<RefreshParams, RefreshResults>(shared_, context, [this](auto in, auto out, auto&) {
            DWORD transaction = 0;
            out.setHr(async_ == nullptr ? E_NOINTERFACE
                                        : async_->Refresh(in.getConnection(),
                                                          static_cast<OPCDATASOURCE>(in.getSource()), &transaction));
            out.setTransactionId(transaction);
        });
    }

    kj::Promise<void> cancel(CancelContext context) override {
        return OffLoop<CancelParams, CancelResults>(shared_, context, [this](auto in, auto out, auto&) {
            out.setHr(async_ == nullptr ? E_NOINTERFACE : async_->Cancel(in.getTransactionId()));
        });
    }

    kj::Promise<void> addItems(AddItemsContext context) override {
        return OffLoop<AddItemsParams, AddItemsResults>(shared_, context, [this](auto in, auto out, auto&) {
            if (!Fits(in.getItems()) || items_ == nullptr) return out.setHr(E_INVALIDARG);
            std::vector<OPCITEMDEF> defs;
            std::vector<std::u16string> texts;
            std::vector<std::vector<BYTE>> blobs;
            FillDefs(in.getItems(), defs, texts, blobs);
            OPCITEMRESULT* results = nullptr;
            HRESULT* errors = nullptr;
            const auto count = static_cast<DWORD>(defs.size());
            out.setHr(items_->AddItems(count, defs.empty() ? nullptr : defs.data(), &results, &errors));
            PutItemResults(out, results, errors, count);
        });
    }

    kj::Promise<void> validateItems(ValidateItemsContext context) override {
        return OffLoop<ValidateItemsParams, ValidateItemsResults>(shared_, context, [this](auto in, auto out, auto&) {
            if (!Fits(in.getItems()) || items_ == nullptr) return out.setHr(E_INVALIDARG);
            std::vector<OPCITEMDEF> defs;
            std::vector<std::u16string> texts;
            std::vector<std::vector<BYTE>> blobs;
            FillDefs(in.getItems(), defs, texts, blobs);
            OPCITEMRESULT* results = nullptr;
            HRESULT* errors = nullptr;
            const auto count = static_cast<DWORD>(defs.size());
            out.setHr(items_->ValidateItems(count, defs.empty() ? nullptr : defs.data(),
                                            in.getBlobUpdate() ? TRUE : FALSE, &results, &errors));
            PutItemResults(out, results, errors, count);
        });
    }

    kj::Promise<void> removeItems(RemoveItemsContext context) override {
        return OffLoop<RemoveItemsParams, RemoveItemsResults>(shared_, context, [this](auto in, auto out, auto&) {
            PerHandle(items_ != nullptr, in, out, [&](DWORD count, OPCHANDLE* handles, HRESULT** errors) {
                return items_->RemoveItems(count, handles, errors);
            });
        });
    }

    kj::Promise<void> setActiveState(SetActiveStateContext context) override {
        return OffLoop<SetActiveStateParams, SetActiveStateResults>(shared_, context, [this](auto in, auto out,
                                                                                             auto&) {
            PerHandle(items_ != nullptr, in, out, [&](DWORD count, OPCHANDLE* handles, HRESULT** errors) {
                return items_->SetActiveState(count, handles, in.getActive() ? TRUE : FALSE, errors);
            });
        });
    }

    kj::Promise<void> setClientHandles(SetClientHandlesContext context) override {
        return OffLoop<SetClientHandlesParams, SetClientHandlesResults>(shared_, context, [this](auto in, auto out,
                                                                                                 auto&) {
            const bool served = items_ != nullptr && in.getClientHandles().size() == in.getHandles().size();
            PerHandle(served, in, out, [&](DWORD count, OPCHANDLE* handles, HRESULT** errors) {
                std::vector<OPCHANDLE> clients = Handles(in.getClientHandles());
                return items_->SetClientHandles(count, handles, clients.empty() ? nullptr : clients.data(), errors);
            });
        });
    }

    kj::Promise<void> setDatatypes(SetDatatypesContext context) override {
        return OffLoop<SetDatatypesParams, SetDatatypesResults>(shared_, context, [this](auto in, auto out, auto&) {
            const bool served = items_ != nullptr && in.getTypes().size() == in.getHandles().size();
            PerHandle(served, in, out, [&](DWORD count, OPCHANDLE* handles, HRESULT** errors) {
                std::vector<VARTYPE> types;
                for (std::uint16_t type : in.getTypes()) types.push_back(type);
                return items_->SetDatatypes(count, handles, types.empty() ? nullptr : types.data(), errors);
            });
        });
    }

    kj::Promise<void> createEnumerator(CreateEnumeratorContext context) override {
        return OffLoop<CreateEnumeratorParams, CreateEnumeratorResults>(
            shared_, context,
            [this](auto in, auto out, auto& call) {
                GUID iid;
                if (!FromWire(in.getIid(), iid) || items_ == nullptr) return out.setHr(E_INVALIDARG);
                LPUNKNOWN made = nullptr;
                out.setHr(items_->CreateEnumerator(iid, &made));
                if (made == nullptr) return;
                // Carried as the enumerator's one interface, whatever was asked.
                auto* list = Ask<IEnumOPCItemAttributes>(made, IID_IEnumOPCItemAttributes);
                made->Release();
                if (list == nullptr) return out.setHr(E_NOINTERFACE);
                call.made.emplace_back(shared_, list);
            },
            GiveMade<EnumAttributesImpl, IEnumOPCItemAttributes>(
                shared_, [](auto out, auto made) { out.setItems(kj::mv(made)); }));
    }

    kj::Promise<void> getData(GetDataContext context) override {
        return OffLoop<GetDataParams, GetDataResults>(shared_, context, [this](auto in, auto out, auto&) {
            if (data_ == nullptr) return out.setHr(E_NOINTERFACE);
            FORMATETC format = FromWire(in.getFormat());
            if (format.cfFormat == 0) return out.setHr(DV_E_FORMATETC);
            STGMEDIUM medium{};
            const HRESULT hr = data_->GetData(&format, &medium);
            out.setHr(hr);
            if (SUCCEEDED(hr)) {
                out.setTymed(medium.tymed);
                if (medium.tymed == TYMED_HGLOBAL) {
                    const std::vector<std::uint8_t> bytes = opcstream::FromGlobal(medium.hGlobal);
                    out.setBytes(kj::arrayPtr(bytes.data(), bytes.size()));
                }
                ReleaseStgMedium(&medium);
            }
        });
    }

    kj::Promise<void> queryGetData(QueryGetDataContext context) override {
        return OffLoop<QueryGetDataParams, QueryGetDataResults>(shared_, context, [this](auto in, auto out, auto&) {
            FORMATETC format = FromWire(in.getFormat());
            if (format.cfFormat == 0) return out.setHr(DV_E_FORMATETC);
            out.setHr(data_ == nullptr ? E_NOINTERFACE : data_->QueryGetData(&format));
        });
    }

    kj::Promise<void> dAdvise(DAdviseContext context) override {
        // The sink's proxy is made here, on the loop, where its capability
        // lives; the parameters are read here too, as they hold a capability.
        auto params = context.getParams();
        FORMATETC format = FromWire(params.getFormat());
        if (format.cfFormat == 0) {
            // A format name the server does not know: refused here, before
            // a sink is made for it.
            context.getResults().setHr(DV_E_FORMATETC);
            return kj::READY_NOW;
        }
        const DWORD advf = params.getAdvf();
        // The call's reference on the sink goes with the call, also when the
        // call is refused before it runs.
        std::shared_ptr<IAdviseSink> sink;
        if (params.hasSink()) {
            IAdviseSink* made = new SinkProxy(shared_, params.getSink());
            made->AddRef();
            sink.reset(made, [](IAdviseSink* s) { s->Release(); });
        }
        context.releaseParams();
        return OffLoopResults<DAdviseParams, DAdviseResults>(shared_, context, [this, sink, format, advf](auto out,
                                                                                                       auto&) mutable {
            DWORD connection = 0;
            out.setHr(data_ == nullptr ? E_NOINTERFACE : data_->DAdvise(&format, advf, sink.get(), &connection));
            out.setConnection(connection);
            sink.reset();
        });
    }

    kj::Promise<void> dUnadvise(DUnadviseContext context) override {
        return OffLoop<DUnadviseParams, DUnadviseResults>(shared_, context, [this](auto in, auto out, auto&) {
            out.setHr(data_ == nullptr ? E_NOINTERFACE : data_->DUnadvise(in.getConnection()));
        });
    }

private:
    SharedRef shared_;
    IOPCGroupStateMgt* state_;
    IOPCPublicGroupStateMgt* public_;
    IOPCSyncIO* sync_;
    IOPCAsyncIO* async_;
    IOPCItemMgt* items_;
    IDataObject* data_;
    Held held_[6];
    Held object_;
};

// ---------------------------------------------------------------------------
// Servers

class ServerImpl final : public vokrpc::OpcServer::Server {
public:
    ServerImpl(const SharedRef& shared, IUnknown* server)
        : shared_(shared),
          server_(Ask<IOPCServer>(server, IID_IOPCServer)),
          browse_(Ask<IOPCBrowseServerAddressSpace>(server, IID_IOPCBrowseServerAddressSpace)),
          held_{Held(shared, server_), Held(shared, browse_)},
          object_(shared, server) {}

    kj::Promise<void> queryInterface(QueryInterfaceContext context) override {
        return OffLoop<QueryInterfaceParams, QueryInterfaceResults>(
            shared_, context, [this](auto in, auto out, auto&) { out.setHr(ServesInterface(object_.get(), in.getIid())); });
    }

    kj::Promise<void> addGroup(AddGroupContext context) override {
        return OffLoop<AddGroupParams, AddGroupResults>(
            shared_, context,
            [this](auto in, auto out, auto& call) {
                GUID iid;
                if (!FromWire(in.getIid(), iid) || server_ == nullptr) return out.setHr(E_INVALIDARG);
                const std::u16string name = Wide(in.getName());
                LONG bias = 0;
                FLOAT deadband = 0;
                const bool hasBias = in.getTimeBias().isValue();
                const bool hasDeadband = in.getPercentDeadband().isValue();
                if (hasBias) bias = in.getTimeBias().getValue();
                if (hasDeadband) deadband = in.getPercentDeadband().getValue();
                OPCHANDLE handle = 0;
                DWORD revised = 0;
                LPUNKNOWN group = nullptr;
                out.setHr(server_->AddGroup(name.c_str(), in.getActive() ? TRUE : FALSE, in.getRequestedUpdateRate(),
                                            in.getHClientGroup(), hasBias ? &bias : nullptr,
                                            hasDeadband ? &deadband : nullptr, in.getLcid(), &handle, &revised, iid,
                                            &group));
                out.setHServerGroup(handle);
                out.setRevisedUpdateRate(revised);
                if (group != nullptr) call.made.emplace_back(shared_, group);
            },
            GiveMade<GroupImpl, IUnknown>(shared_, [](auto out, auto made) { out.setGroup(kj::mv(made)); }));
    }

    kj::Promise<void> getErrorString(GetErrorStringContext context) override {
        return OffLoop<GetErrorStringParams, GetErrorStringResults>(shared_, context, [this](auto in, auto out,
                                                                                             auto&) {
            LPWSTR text = nullptr;
            out.setHr(server_ == nullptr ? E_NOINTERFACE : server_->GetErrorString(in.getError(), in.getLocale(), &text));
            out.setText(Text(text));
            CoTaskMemFree(text);
        });
    }

    kj::Promise<void> getGroupByName(GetGroupByNameContext context) override {
        return OffLoop<GetGroupByNameParams, GetGroupByNameResults>(
            shared_, context,
            [this](auto in, auto out, auto& call) {
                GUID iid;
                if (!FromWire(in.getIid(), iid) || server_ == nullptr) return out.setHr(E_INVALIDARG);
                const std::u16string name = Wide(in.getName());
                LPUNKNOWN group = nullptr;
                out.setHr(server_->GetGroupByName(name.c_str(), iid, &group));
                if (group != nullptr) call.made.emplace_back(shared_, group);
            },
            GiveMade<GroupImpl, IUnknown>(shared_, [](auto out, auto made) { out.setGroup(kj::mv(made)); }));
    }

    kj::Promise<void> getStatus(GetStatusContext context) override {
        return OffLoop<GetStatusParams, GetStatusResults>(shared_, context, [this](auto, auto out, auto&) {
            OPCSERVERSTATUS* status = nullptr;
            out.setHr(server_ == nullptr ? E_NOINTERFACE : server_->GetStatus(&status));
            if (status == nullptr) return;
            auto s = out.initStatus();
            ToWire(status->ftStartTime, s.initStartTime());
            ToWire(status->ftCurrentTime, s.initCurrentTime());
            ToWire(status->ftLastUpdateTime, s.initLastUpdateTime());
            s.setServerState(status->dwServerState);
            s.setGroupCount(status->dwGroupCount);
            s.setBandWidth(status->dwBandWidth);
            s.setMajorVersion(status->wMajorVersion);
            s.setMinorVersion(status->wMinorVersion);
            s.setBuildNumber(status->wBuildNumber);
            s.setVendorInfo(Text(status->szVendorInfo));
            CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
        });
    }

    kj::Promise<void> removeGroup(RemoveGroupContext context) override {
        return OffLoop<RemoveGroupParams, RemoveGroupResults>(shared_, context, [this](auto in, auto out, auto&) {
            out.setHr(server_ == nullptr ? E_NOINTERFACE
                                         : server_->RemoveGroup(in.getHServerGroup(), in.getForce() ? TRUE : FALSE));
        });
    }

    kj::Promise<void> createGroupEnumerator(CreateGroupEnumeratorContext context) override {
        return OffLoop<CreateGroupEnumeratorParams, CreateGroupEnumeratorResults>(
            shared_, context, [this](auto in, auto out, auto&) {
                GUID iid;
                if (!FromWire(in.getIid(), iid) || server_ == nullptr) return out.setHr(E_INVALIDARG);
                LPUNKNOWN made = nullptr;
                out.setHr(server_->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(in.getScope()), iid, &made));
                // No group enumerator is served; one that came would have no carrier.
                if (made != nullptr) {
                    made->Release();
                    out.setHr(E_NOTIMPL);
                }
            });
    }

    kj::Promise<void> queryOrganization(QueryOrganizationContext context) override {
        return OffLoop<QueryOrganizationParams, QueryOrganizationResults>(shared_, context, [this](auto, auto out,
                                                                                                   auto&) {
            OPCNAMESPACETYPE type = OPC_NS_FLAT;
            out.setHr(browse_ == nullptr ? E_NOINTERFACE : browse_->QueryOrganization(&type));
            out.setNameSpaceType(type);
        });
    }

    kj::Promise<void> changeBrowsePosition(ChangeBrowsePositionContext context) override {
        return OffLoop<ChangeBrowsePositionParams, ChangeBrowsePositionResults>(
            shared_, context, [this](auto in, auto out, auto&) {
                const std::u16string name = Wide(in.getName());
                out.setHr(browse_ == nullptr
                              ? E_NOINTERFACE
                              : browse_->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(in.getDirection()),
                                                              in.getHasName() ? name.c_str() : nullptr));
            });
    }

    kj::Promise<void> browseItemIds(BrowseItemIdsContext context) override {
        return OffLoop<BrowseItemIdsParams, BrowseItemIdsResults>(
            shared_, context,
            [this](auto in, auto out, auto& call) {
                if (browse_ == nullptr) return out.setHr(E_NOINTERFACE);
                const std::u16string criteria = Wide(in.getCriteria());
                IEnumString* list = nullptr;
                out.setHr(browse_->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(in.getFilterType()), criteria.c_str(),
                                                    in.getDataType(), in.getAccessRights(), &list));
                if (list != nullptr) call.made.emplace_back(shared_, list);
            },
            GiveMade<EnumStringImpl, IEnumString>(shared_, [](auto out, auto made) { out.setNames(kj::mv(made)); }));
    }

    kj::Promise<void> getItemId(GetItemIdContext context) override {
        return OffLoop<GetItemIdParams, GetItemIdResults>(shared_, context, [this](auto in, auto out, auto&) {
            if (browse_ == nullptr) return out.setHr(E_NOINTERFACE);
            std::u16string name = Wide(in.getItemDataId());
            LPWSTR id = nullptr;
            out.setHr(browse_->GetItemID(in.getHasItemDataId() ? name.data() : nullptr, &id));
            out.setItemId(Text(id));
            CoTaskMemFree(id);
        });
    }

    kj::Promise<void> browseAccessPaths(BrowseAccessPathsContext context) override {
        return OffLoop<BrowseAccessPathsParams, BrowseAccessPathsResults>(
            shared_, context,
            [this](auto in, auto out, auto& call) {
                if (browse_ == nullptr) return out.setHr(E_NOINTERFACE);
                const std::u16string id = Wide(in.getItemId());
                IEnumString* list = nullptr;
                out.setHr(browse_->BrowseAccessPaths(id.c_str(), &list));
                if (list != nullptr) call.made.emplace_back(shared_, list);
            },
            GiveMade<EnumStringImpl, IEnumString>(shared_, [](auto out, auto made) { out.setNames(kj::mv(made)); }));
    }

private:
    SharedRef shared_;
    IOPCServer* server_;
    IOPCBrowseServerAddressSpace* browse_;
    Held held_[2];
    Held object_;
};

// The published class, the bootstrap of every connection.
class ClassObjectImpl final : public vokrpc::ClassObject::Server {
public:
    ClassObjectImpl(const SharedRef& shared, IClassFactory* factory)
        : shared_(shared), factory_((factory->AddRef(), factory)), held_(shared, factory) {}

    kj::Promise<void> createInstance(CreateInstanceContext context) override {
        return OffLoop<CreateInstanceParams, CreateInstanceResults>(
            shared_, context,
            [this](auto in, auto out, auto& call) {
                GUID iid;
                if (!FromWire(in.getIid(), iid)) return out.setHr(E_INVALIDARG);
                IUnknown* server = nullptr;
                HRESULT hr = factory_->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&server));
                if (SUCCEEDED(hr)) {
                    // The client's interface must be one the object serves.
                    void* asked = nullptr;
                    hr = server->QueryInterface(iid, &asked);
                    if (asked != nullptr) static_cast<IUnknown*>(asked)->Release();
                    if (SUCCEEDED(hr))
                        call.made.emplace_back(shared_, server);
                    else
                        server->Release();
                }
                out.setHr(hr);
            },
            GiveMade<ServerImpl, IUnknown>(shared_, [](auto out, auto made) { out.setServer(kj::mv(made)); }));
    }

    // The connection counts its client's locks: what a client that dies
    // still held is given back with its connection, and an unlock it never
    // locked for is ignored, so that no client can drop the locks of others.
    kj::Promise<void> lockServer(LockServerContext context) override {
        return OffLoop<LockServerParams, LockServerResults>(shared_, context, [this](auto in, auto out, auto&) {
            std::lock_guard lock(shared_->mutex);
            if (shared_->ended) return out.setHr(RPC_E_DISCONNECTED);
            if (in.getLock()) {
                const HRESULT hr = factory_->LockServer(TRUE);
                if (SUCCEEDED(hr)) ++shared_->locks;
                return out.setHr(hr);
            }
            if (shared_->locks == 0) return out.setHr(S_OK);
            --shared_->locks;
            out.setHr(factory_->LockServer(FALSE));
        });
    }

private:
    SharedRef shared_;
    IClassFactory* factory_;
    Held held_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Listening and connections

struct ServerConnection {
    ServerConnection(kj::Own<kj::AsyncIoStream>&& socket, SharedRef connectionShared, IClassFactory* classFactory)
        : shared(std::move(connectionShared)),
          factory(classFactory),
          stream(kj::mv(socket)),
          network(*stream, capnp::rpc::twoparty::Side::SERVER),
          rpc(capnp::makeRpcServer(network,
                                   vokrpc::ClassObject::Client(kj::heap<ClassObjectImpl>(shared, factory)))) {}
    ~ServerConnection() noexcept {
        // The locks its client did not give back go with the connection.
        std::size_t locks = 0;
        {
            std::lock_guard lock(shared->mutex);
            shared->ended = true;
            locks = std::exchange(shared->locks, 0);
        }
        if (locks == 0) return;
        IClassFactory* unlocked = factory;
        unlocked->AddRef();
        shared->pool.Submit([unlocked, locks] {
            for (std::size_t i = 0; i < locks; ++i) unlocked->LockServer(FALSE);
            unlocked->Release();
        });
    }
    SharedRef shared;
    IClassFactory* factory;
    kj::Own<kj::AsyncIoStream> stream;
    capnp::TwoPartyVatNetwork network;
    capnp::RpcSystem<capnp::rpc::twoparty::VatId> rpc;
};

// How long the listener waits after a failed accept before it accepts again.
constexpr auto kAcceptRetry = 100 * kj::MILLISECONDS;

class ClassListener : public kj::TaskSet::ErrorHandler {
public:
    // Takes over the factory's reference and the listening socket.
    ClassListener(EventLoop& loop, WorkerPool& pool, const ServerSettings& settings,
                  std::shared_ptr<std::atomic<std::size_t>> calls, REFCLSID clsid, IClassFactory* factory,
                  std::string path, int fd)
        : loop_(loop),
          pool_(pool),
          settings_(settings),
          calls_(std::move(calls)),
          clsid_(clsid),
          path_(std::move(path)),
          factory_(factory),
          factoryHeld_(std::make_shared<Shared>(loop, pool, settings, calls_), factory),
          tasks_(kj::heap<kj::TaskSet>(*this)) {
        receiver_ = loop_.LowLevel().wrapListenSocketFd(fd, kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP);
        tasks_->add(Accept());
    }
    ~ClassListener() noexcept {
        // The watchers first, then the connections they watch.
        tasks_ = nullptr;
        connections_.clear();
    }

    void taskFailed(kj::Exception&& exception) override { (void)exception; }

    REFCLSID Clsid() const { return clsid_; }
    const std::string& Path() const { return path_; }
    std::size_t ConnectionCount() const { return connections_.size(); }

private:
    // Accepts for as long as the listener lives. An accept that fails (out
    // of descriptors or memory for the moment) is logged and tried again a
    // little later: ending here would leave every later client waiting in
    // the backlog for good.
    kj::Promise<void> Accept() {
        // An accept that fails at once throws rather than rejects: evalNow
        // makes both the same failure.
        return kj::evalNow([this] { return receiver_->accept(); }).then(
            [this](kj::Own<kj::AsyncIoStream>&& stream) {
                if (failedAccepts_ != 0) {
                    EventLog()
                        .Append("OPC client connections accepted again after failed accepts:")
                        .Append(static_cast<unsigned long>(failedAccepts_))
                        .Commit(CLogFile::kWrite);
                    failedAccepts_ = 0;
                }
                Accepted(kj::mv(stream));
                return Accept();
            },
            [this](kj::Exception&& failure) {
                // The first of a run of failures, and every hundredth after it.
                if (failedAccepts_++ % 100 == 0)
                    EventLog()
                        .Append("OPC client connection not accepted, trying again:")
                        .Append(failure.getDescription().cStr())
                        .Commit(CLogFile::kWrite);
                return loop_.Io().getTimer().afterDelay(kAcceptRetry).then([this] { return Accept(); });
            });
    }

    void Accepted(kj::Own<kj::AsyncIoStream>&& stream) {
        std::uint32_t user = 0;
        bool known = false;
        KJ_IF_MAYBE(fd, stream->getFd()) { known = platform::LocalSocketPeerUser(*fd, user); }
        if (!known || user != platform::CurrentUserId()) {
            // The socket's mode keeps other users out already; this is the
            // check that does not depend on the file system.
            EventLog()
                .Append("OPC client connection refused: it belongs to user")
                .Append(known ? static_cast<long>(user) : -1L)
                .Commit(CLogFile::kWrite);
            return;
        }
        auto connection = std::make_unique<ServerConnection>(
            kj::mv(stream), std::make_shared<Shared>(loop_, pool_, settings_, calls_), factory_);
        ServerConnection* raw = connection.get();
        connections_.push_back(std::move(connection));
        tasks_->add(raw->network.onDisconnect().then([this, raw] {
            // Let go after this turn of the loop: the network is still in its
            // own callback here.
            return kj::evalLater([this, raw] {
                connections_.remove_if([raw](const std::unique_ptr<ServerConnection>& c) { return c.get() == raw; });
            });
        }));
    }

    EventLoop& loop_;
    WorkerPool& pool_;
    const ServerSettings settings_;
    const std::shared_ptr<std::atomic<std::size_t>> calls_;
    const CLSID clsid_;
    const std::string path_;
    IClassFactory* factory_;
    Held factoryHeld_;
    kj::Own<kj::ConnectionReceiver> receiver_;
    std::list<std::unique_ptr<ServerConnection>> connections_;
    kj::Own<kj::TaskSet> tasks_;
    unsigned long failedAccepts_ = 0;
};

ServerSide::ServerSide(EventLoop& loop, WorkerPool& pool, ServerSettings settings)
    : loop_(loop), pool_(pool), settings_(settings) {}

ServerSide::~ServerSide() {
    try {
        loop_.Run([this] { listeners_.clear(); });
    } catch (const kj::Exception&) {
    }
    pool_.Drain();
}

HRESULT ServerSide::Publish(REFCLSID clsid, IUnknown* classObject, const std::string& path, std::string& error) {
    auto* factory = Ask<IClassFactory>(classObject, IID_IClassFactory);
    if (factory == nullptr) {
        error = "the class object is no class factory";
        return E_NOINTERFACE;
    }
    const int fd = platform::ListenLocalSocket(path, error);
    if (fd < 0) {
        factory->Release();
        return E_FAIL;
    }
    try {
        loop_.Run([&] {
            listeners_.push_back(
                std::make_unique<ClassListener>(loop_, pool_, settings_, calls_, clsid, factory, path, fd));
        });
    } catch (const kj::Exception& e) {
        error = e.getDescription().cStr();
        factory->Release();
        platform::RemoveLocalSocket(path);
        return E_FAIL;
    }
    return S_OK;
}

void ServerSide::Withdraw(REFCLSID clsid) {
    std::vector<std::unique_ptr<ClassListener>> gone;
    try {
        loop_.Run([&] {
            for (auto it = listeners_.begin(); it != listeners_.end();) {
                if ((*it)->Clsid() == clsid) {
                    gone.push_back(std::move(*it));
                    it = listeners_.erase(it);
                } else {
                    ++it;
                }
            }
            // Connections and their adapters end here, on the loop; their
            // references go to the workers.
            for (auto& listener : gone) platform::RemoveLocalSocket(listener->Path());
            gone.clear();
        });
    } catch (const kj::Exception&) {
    }
    pool_.Drain();
}

std::size_t ServerSide::CallsInFlight() const { return *calls_; }

std::size_t ServerSide::ConnectionCount() {
    try {
        return loop_.Run([this] {
            std::size_t count = 0;
            for (const auto& listener : listeners_) count += listener->ConnectionCount();
            return count;
        });
    } catch (const kj::Exception&) {
        return 0;
    }
}

}  // namespace remote
