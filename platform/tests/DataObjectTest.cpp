#include "platform/DataObject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Counts its sends and reads the number a global medium carries.
class Sink final : public IAdviseSink {
public:
    explicit Sink(std::atomic<bool>* destroyed = nullptr) : destroyed_(destroyed) {}
    ~Sink() override {
        if (destroyed_ != nullptr) *destroyed_ = true;
    }
    HRESULT QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    void OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
        lastTymed = medium->tymed;
        if (medium->tymed == TYMED_HGLOBAL) {
            int value;
            std::memcpy(&value, GlobalLock(medium->hGlobal), sizeof value);
            GlobalUnlock(medium->hGlobal);
            lastValue = value;
        }
        ++changes;
        if (onChange) onChange();
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}
    ULONG Refs() const { return refs_; }

    std::atomic<int> changes{0};
    std::atomic<DWORD> lastTymed{0xFFFF};  // two threads may send at once
    std::atomic<int> lastValue{-1};
    std::function<void()> onChange;

private:
    std::atomic<ULONG> refs_{1};
    std::atomic<bool>* destroyed_;
};

// Hands out its number in a new global block on every GetData; lives on the stack.
class Source final : public IDataObject {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT GetData(FORMATETC*, STGMEDIUM* medium) override {
        ++getDataCalls;
        if (fail) return DV_E_FORMATETC;
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = GlobalAlloc(GMEM_MOVEABLE, sizeof value);
        medium->pUnkForRelease = nullptr;
        std::memcpy(GlobalLock(medium->hGlobal), &value, sizeof value);
        GlobalUnlock(medium->hGlobal);
        return S_OK;
    }
    HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT QueryGetData(FORMATETC*) override { return S_OK; }
    HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

    std::atomic<int> getDataCalls{0};
    bool fail = false;
    int value = 42;
};

class CountingOwner final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG refs = 1;
};

struct Releaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
using Holder = std::unique_ptr<IDataAdviseHolder, Releaser>;

Holder MakeHolder() {
    IDataAdviseHolder* holder = nullptr;
    EXPECT_EQ(CreateDataAdviseHolder(&holder), S_OK);
    return Holder(holder);
}

FORMATETC g_format = {0xC123, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};

DWORD Advise(const Holder& holder, Source* source, DWORD advf, Sink* sink) {
    DWORD connection = 0;
    EXPECT_EQ(holder->Advise(source, &g_format, advf, sink, &connection), S_OK);
    return connection;
}

TEST(ClipboardFormats, OneNumberPerNameWhateverItsLetterCase) {
    const UINT alpha = RegisterClipboardFormatA("VOK Test Format Alpha");
    EXPECT_GE(alpha, 0xC000u);
    EXPECT_EQ(RegisterClipboardFormatA("vok TEST format alpha"), alpha);
    const UINT beta = RegisterClipboardFormatA("VOK Test Format Beta");
    EXPECT_NE(beta, alpha);
    EXPECT_NE(beta, 0u);
    EXPECT_EQ(RegisterClipboardFormatA(""), 0u);
    EXPECT_EQ(RegisterClipboardFormatA(nullptr), 0u);

    char name[64];
    EXPECT_EQ(GetClipboardFormatNameA(alpha, name, sizeof name), 21);
    EXPECT_STREQ(name, "VOK Test Format Alpha") << "the first spelling is kept";
    EXPECT_EQ(GetClipboardFormatNameA(alpha, name, 5), 4);
    EXPECT_STREQ(name, "VOK ");
    EXPECT_EQ(GetClipboardFormatNameA(0xBFFF, name, sizeof name), 0);
    EXPECT_EQ(GetClipboardFormatNameA(0xFFFF, name, sizeof name), 0);
}

TEST(DataObjectStgMedium, ReleaseFreesTheMediumOrReleasesItsOwnerInstead) {
    const std::size_t liveBefore = platform::LiveGlobalBlockCount();
    STGMEDIUM owned{TYMED_HGLOBAL, {GlobalAlloc(GMEM_MOVEABLE, 8)}, nullptr};
    ReleaseStgMedium(&owned);
    EXPECT_EQ(platform::LiveGlobalBlockCount(), liveBefore);
    EXPECT_EQ(owned.tymed, TYMED_NULL);
    EXPECT_EQ(owned.hGlobal, nullptr);

    CountingOwner owner;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 8);
    STGMEDIUM lent{TYMED_HGLOBAL, {block}, &owner};
    ReleaseStgMedium(&lent);
    EXPECT_EQ(owner.refs, 0u);
    EXPECT_EQ(GlobalSize(block), 8u) << "the owner's memory is not the receiver's to free";
    EXPECT_EQ(lent.pUnkForRelease, nullptr);
    GlobalFree(block);

    // A leak or a wrong free of the task-allocated name shows under the sanitizers.
    STGMEDIUM file{TYMED_FILE, {nullptr}, nullptr};
    file.lpszFileName = static_cast<LPOLESTR>(CoTaskMemAlloc(16));
    ReleaseStgMedium(&file);
    EXPECT_EQ(file.lpszFileName, nullptr);
    ReleaseStgMedium(&file);
    ReleaseStgMedium(nullptr);
}

TEST(DataAdviseHolder, SendReachesEverySinkAndReleasesEachMedium) {
    Holder holder = MakeHolder();
    Source source;
    auto* first = new Sink;
    auto* second = new Sink;
    EXPECT_EQ(Advise(holder, &source, 0, first), 1u) << "connections are numbered from 1";
    EXPECT_EQ(Advise(holder, &source, 0, second), 2u);
    EXPECT_EQ(first->Refs(), 2u);

    const std::size_t liveBefore = platform::LiveGlobalBlockCount();
    source.value = 7;
    EXPECT_EQ(holder->SendOnDataChange(&source, 0, 0), S_OK);
    for (Sink* sink : {first, second}) {
        EXPECT_EQ(sink->changes, 1);
        EXPECT_EQ(sink->lastValue, 7);
        EXPECT_EQ(sink->Refs(), 2u) << "the send gave back its reference";
    }
    EXPECT_EQ(platform::LiveGlobalBlockCount(), liveBefore) << "each medium was released";
    EXPECT_EQ(holder->Unadvise(1), S_OK);
    EXPECT_EQ(holder->Unadvise(1), OLE_E_NOCONNECTION);
    EXPECT_EQ(first->Refs(), 1u);
    first->Release();
    second->Release();
}

TEST(DataAdviseHolder, AdviseFlagsShapeTheSends) {
    Holder holder = MakeHolder();
    Source source;
    auto* once = new Sink;
    auto* primed = new Sink;
    auto* primedOnce = new Sink;
    auto* noData = new Sink;
    const DWORD onceConnection = Advise(holder, &source, ADVF_ONLYONCE, once);
    Advise(holder, &source, ADVF_PRIMEFIRST, primed);
    EXPECT_EQ(primed->changes, 1) << "primed at Advise";
    const DWORD primedOnceConnection = Advise(holder, &source, ADVF_PRIMEFIRST | ADVF_ONLYONCE, primedOnce);
    EXPECT_EQ(primedOnce->changes, 1);
    Advise(holder, &source, ADVF_NODATA, noData);
    const int callsBefore = source.getDataCalls;

    holder->SendOnDataChange(&source, 0, 0);
    holder->SendOnDataChange(&source, 0, 0);
    EXPECT_EQ(once->changes, 1);
    EXPECT_EQ(primed->changes, 3);
    EXPECT_EQ(primedOnce->changes, 1);
    EXPECT_EQ(noData->changes, 2);
    EXPECT_EQ(noData->lastTymed, TYMED_NULL);
    EXPECT_EQ(source.getDataCalls - callsBefore, 3) << "one for the one-time sink, two for the primed one, none for ADVF_NODATA";
    EXPECT_EQ(holder->Unadvise(onceConnection), OLE_E_NOCONNECTION);
    EXPECT_EQ(holder->Unadvise(primedOnceConnection), OLE_E_NOCONNECTION);
    EXPECT_EQ(once->Refs(), 1u);
    EXPECT_EQ(primedOnce->Refs(), 1u);
    for (Sink* sink : {once, primed, primedOnce, noData}) sink->Release();
}

TEST(DataAdviseHolder, FailedGetDataSkipsTheSinkAndKeepsAOneTimeConnection) {
    Holder holder = MakeHolder();
    Source source;
    auto* once = new Sink;
    Advise(holder, &source, ADVF_ONLYONCE, once);
    source.fail = true;
    holder->SendOnDataChange(&source, 0, 0);
    EXPECT_EQ(source.getDataCalls, 1);
    EXPECT_EQ(once->changes, 0);
    source.fail = false;
    holder->SendOnDataChange(&source, 0, 0);
    holder->SendOnDataChange(&source, 0, 0);
    EXPECT_EQ(once->changes, 1) << "the one-time send happens when the data is there";
    once->Release();
}

TEST(DataAdviseHolder, BadArgumentsAreRefusedAndNothingIsKept) {
    Holder holder = MakeHolder();
    Source source;
    auto* sink = new Sink;
    DWORD connection = 99;
    EXPECT_EQ(holder->Advise(&source, nullptr, 0, sink, &connection), E_INVALIDARG);
    EXPECT_EQ(connection, 0u);
    EXPECT_EQ(holder->Advise(&source, &g_format, 0, nullptr, &connection), E_INVALIDARG);
    EXPECT_EQ(holder->Advise(&source, &g_format, 0, sink, nullptr), E_INVALIDARG);
    // A target device cannot be copied here, and the caller's must not be kept.
    FORMATETC withDevice = g_format;
    withDevice.ptd = reinterpret_cast<DVTARGETDEVICE*>(&connection);
    EXPECT_EQ(holder->Advise(&source, &withDevice, 0, sink, &connection), DV_E_DVTARGETDEVICE);
    EXPECT_EQ(sink->Refs(), 1u);
    EXPECT_EQ(holder->Unadvise(0), OLE_E_NOCONNECTION);
    EXPECT_EQ(holder->SendOnDataChange(nullptr, 0, 0), E_INVALIDARG);

    void* answer = nullptr;
    EXPECT_EQ(holder->QueryInterface(IID_IDataAdviseHolder, &answer), S_OK);
    EXPECT_EQ(answer, holder.get());
    holder->Release();
    EXPECT_EQ(holder->QueryInterface(IID_IDataObject, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(holder->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    sink->Release();
}

TEST(DataAdviseHolder, EnumAdviseGivesASnapshotWithReferencedSinks) {
    Holder holder = MakeHolder();
    Source source;
    auto* first = new Sink;
    auto* second = new Sink;
    const DWORD a = Advise(holder, &source, 0, first);
    const DWORD b = Advise(holder, &source, ADVF_NODATA, second);
    IEnumSTATDATA* items = nullptr;
    ASSERT_EQ(holder->EnumAdvise(&items), S_OK);
    EXPECT_EQ(holder->Unadvise(a), S_OK);  // the snapshot still lists it

    STATDATA got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(items->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(items->Next(3, got + 1, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got[0].dwConnection, a);
    EXPECT_EQ(got[0].pAdvSink, first);
    EXPECT_EQ(got[1].dwConnection, b);
    EXPECT_EQ(got[1].advf, ADVF_NODATA);
    EXPECT_EQ(first->Refs(), 3u) << "the caller's reference on top of the snapshot's";
    got[0].pAdvSink->Release();
    got[1].pAdvSink->Release();

    EXPECT_EQ(items->Reset(), S_OK);
    EXPECT_EQ(items->Skip(1), S_OK);
    IEnumSTATDATA* clone = nullptr;
    ASSERT_EQ(items->Clone(&clone), S_OK);
    EXPECT_EQ(items->Skip(5), S_FALSE);
    EXPECT_EQ(clone->Next(1, got, nullptr), S_OK) << "the clone keeps its own position";
    EXPECT_EQ(got[0].dwConnection, b);
    got[0].pAdvSink->Release();
    EXPECT_EQ(clone->Next(2, got, nullptr), E_INVALIDARG);
    items->Release();
    clone->Release();
    EXPECT_EQ(first->Refs(), 1u) << "the snapshot's references went with its last enumerator";

    Holder empty = MakeHolder();
    ASSERT_EQ(empty->EnumAdvise(&items), S_OK);
    EXPECT_EQ(items->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    items->Release();
    first->Release();
    second->Release();
}

TEST(DataAdviseHolder, SinkMayUnadviseItselfDuringOnDataChange) {
    Holder holder = MakeHolder();
    Source source;
    auto* sink = new Sink;
    const DWORD connection = Advise(holder, &source, 0, sink);
    HRESULT unadvised = E_FAIL;
    sink->onChange = [&] { unadvised = holder->Unadvise(connection); };
    holder->SendOnDataChange(&source, 0, 0);
    holder->SendOnDataChange(&source, 0, 0);
    EXPECT_EQ(unadvised, S_OK);
    EXPECT_EQ(sink->changes, 1);
    EXPECT_EQ(sink->Refs(), 1u);
    sink->Release();
}

TEST(DataAdviseHolder, DestroyingTheHolderReleasesEverySink) {
    std::atomic<bool> destroyed[3] = {false, false, false};
    Holder holder = MakeHolder();
    Source source;
    const DWORD flags[3] = {0, ADVF_ONLYONCE, ADVF_NODATA};
    for (int i = 0; i < 3; ++i) {
        auto* sink = new Sink(&destroyed[i]);
        Advise(holder, &source, flags[i], sink);
        sink->Release();
    }
    EXPECT_FALSE(destroyed[0] || destroyed[1] || destroyed[2]);
    holder.reset();
    EXPECT_TRUE(destroyed[0] && destroyed[1] && destroyed[2]);
}

TEST(DataAdviseHolderConcurrency, ConnectionsComeAndGoWhileOtherThreadsSend) {
    constexpr int kAdvisers = 3, kRounds = 300;
    const std::size_t liveBefore = platform::LiveGlobalBlockCount();
    std::vector<Sink*> sinks;  // per adviser: one steady sink, then one one-time sink per round
    for (int i = 0; i < kAdvisers * (kRounds + 1); ++i) sinks.push_back(new Sink);
    std::atomic<int> failures{0};
    {
        Holder holder = MakeHolder();
        Source source;
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int s = 0; s < 2; ++s) {
            threads.emplace_back([&] {
                while (!stop)
                    if (holder->SendOnDataChange(&source, 0, 0) != S_OK) ++failures;
            });
        }
        std::vector<std::thread> advisers;
        for (int t = 0; t < kAdvisers; ++t) {
            advisers.emplace_back([&, t] {
                Sink** mine = &sinks[t * (kRounds + 1)];
                for (int i = 1; i <= kRounds; ++i) {
                    DWORD steady = 0, once = 0;
                    if (holder->Advise(&source, &g_format, 0, mine[0], &steady) != S_OK ||
                        holder->Advise(&source, &g_format, ADVF_ONLYONCE, mine[i], &once) != S_OK)
                        ++failures;
                    IEnumSTATDATA* items = nullptr;
                    STATDATA item;
                    if (holder->EnumAdvise(&items) != S_OK) ++failures;
                    while (items->Next(1, &item, nullptr) == S_OK) item.pAdvSink->Release();
                    items->Release();
                    if (holder->Unadvise(steady) != S_OK) ++failures;
                }
            });
        }
        for (auto& thread : advisers) thread.join();
        stop = true;
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(failures, 0);
    int sent = 0;
    for (std::size_t i = 0; i < sinks.size(); ++i) {
        if (i % (kRounds + 1) != 0) {
            EXPECT_LE(sinks[i]->changes, 1) << "a one-time connection is sent to at most once";
            sent += sinks[i]->changes;
        }
        EXPECT_EQ(sinks[i]->Refs(), 1u);
        sinks[i]->Release();
    }
    EXPECT_GT(sent, 0);
    EXPECT_EQ(platform::LiveGlobalBlockCount(), liveBefore);
}

}  // namespace
