#include "platform/Com.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr GUID kSample = {0x5B0E7A41, 0x93C2, 0x4F6D, {0x8A, 0x1E, 0x2C, 0x7D, 0x9B, 0x44, 0xE0, 0x18}};
constexpr char kSampleText[] = "{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}";

constexpr IID kForeignIid = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};  // not a factory's

// Each test uses CLSIDs of its own, as the class table is process-wide.
CLSID TestClsid(DWORD n) { return CLSID{0xC0C00000u + n, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}}; }

struct Apartment {
    Apartment() { EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    ~Apartment() { CoUninitialize(); }
};

template <class Interface>
class Counted : public Interface {
public:
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    ULONG Refs() const { return refs_; }

private:
    std::atomic<ULONG> refs_{1};
};

class TestObject final : public Counted<IUnknown> {
public:
    explicit TestObject(std::atomic<int>& alive) : alive_(alive) { ++alive_; }
    ~TestObject() override { --alive_; }
    HRESULT QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }

private:
    std::atomic<int>& alive_;
};

class TestFactory final : public Counted<IClassFactory> {
public:
    explicit TestFactory(std::atomic<bool>& destroyed) : destroyed_(destroyed) {}
    ~TestFactory() override { destroyed_ = true; }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return *ppv = nullptr, E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        if (riid != IID_IUnknown) return E_NOINTERFACE;
        ++created;
        *ppv = new TestObject(alive);
        return S_OK;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

    std::atomic<int> created{0};
    std::atomic<int> alive{0};

private:
    std::atomic<bool>& destroyed_;
};

TEST(ComGuidText, Data1ToData3AreNumbersAndData4KeepsTextOrder) {
    EXPECT_EQ(platform::GuidToString(kSample), kSampleText);
    OLECHAR wide[39];
    ASSERT_EQ(StringFromGUID2(kSample, wide, 39), 39);
    EXPECT_EQ(std::u16string(wide), Utf8ToUtf16(kSampleText));
    EXPECT_EQ(StringFromGUID2(kSample, wide, 38), 0);

    GUID parsed{};
    ASSERT_TRUE(platform::GuidFromString("{5b0e7a41-93c2-4f6d-8a1e-2c7d9b44e018}", parsed));
    EXPECT_EQ(parsed, kSample);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(u"{5B0E7A41-93c2-4F6D-8a1E-2C7D9B44E018}", &clsid), S_OK);
    EXPECT_EQ(clsid, kSample);
}

TEST(ComGuidText, OnlyTheBracedFormIsRead) {
    for (const char* text : {
             "5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}", "{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018",
             "{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E01}", "{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}x",
             "{5B0E7A4G-93C2-4F6D-8A1E-2C7D9B44E018}", "{5B0E7A41-93C2-4F6D-8A1E-2C7D 9B44E018}",
             "{5B0E7A4-193C2-4F6D-8A1E-2C7D9B44E018}", "{+B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}", ""}) {
        GUID parsed = kSample;
        EXPECT_FALSE(platform::GuidFromString(text, parsed)) << text;
        EXPECT_EQ(parsed, kSample) << text;
        CLSID clsid = kSample;
        EXPECT_EQ(CLSIDFromString(Utf8ToUtf16(text).c_str(), &clsid), CO_E_CLASSSTRING) << text;
        EXPECT_EQ(clsid, GUID_NULL) << text;
    }
    CLSID clsid = kSample;
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, GUID_NULL);
}

TEST(ComApartment, EntriesAreCountedPerThreadAndOnlyTheMultiThreadedOneIsServed) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    EXPECT_FALSE(platform::IsThreadInApartment());
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    bool otherInside = true;
    std::thread([&] { otherInside = platform::IsThreadInApartment(); }).join();
    EXPECT_FALSE(otherInside);
    CoUninitialize();
    EXPECT_TRUE(platform::IsThreadInApartment());
    CoUninitialize();
    EXPECT_FALSE(platform::IsThreadInApartment());
    CoUninitialize();  // unbalanced: must not wrap the count
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
}

TEST(ComClassTable, RegistrationAndActivationNeedTheApartment) {
    std::atomic<bool> destroyed{false};
    auto* factory = new TestFactory(destroyed);
    DWORD cookie = 7;
    EXPECT_EQ(CoRegisterClassObject(TestClsid(1), factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(cookie, 0u);
    void* object = &cookie;
    EXPECT_EQ(CoCreateInstance(TestClsid(1), nullptr, CLSCTX_ALL, IID_IUnknown, &object), CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    factory->Release();
    EXPECT_TRUE(destroyed) << "a refused registration keeps no reference";
}

TEST(ComClassTable, ActivationIsBalancedAndEndsWithTheRevoke) {
    Apartment apartment;
    std::atomic<bool> destroyed{false};
    auto* factory = new TestFactory(destroyed);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(TestClsid(2), factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    factory->Release();  // the table's reference alone keeps it

    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(TestClsid(2), nullptr, CLSCTX_ALL, IID_IUnknown, &object), S_OK);
    EXPECT_EQ(factory->alive, 1);
    static_cast<IUnknown*>(object)->Release();
    EXPECT_EQ(factory->alive, 0);
    EXPECT_EQ(CoCreateInstance(TestClsid(2), factory, CLSCTX_ALL, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoGetClassObject(TestClsid(2), CLSCTX_ALL, nullptr, kForeignIid, &object), E_NOINTERFACE);
    EXPECT_EQ(factory->Refs(), 1u) << "activation gives back every reference it takes";

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(CoCreateInstance(TestClsid(2), nullptr, CLSCTX_ALL, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
    EXPECT_EQ(CoRevokeClassObject(0), CO_E_OBJNOTREG);
}

TEST(ComClassTable, LocalServerClassIsServedInProcessAndPublishedOnce) {
    Apartment apartment;
    std::atomic<bool> destroyed{false};
    auto* factory = new TestFactory(destroyed);
    DWORD cookie = 0, second = 0;
    ASSERT_EQ(CoRegisterClassObject(TestClsid(3), factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    EXPECT_EQ(CoRegisterClassObject(TestClsid(3), factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &second),
              CO_E_OBJISREG);
    EXPECT_EQ(factory->Refs(), 2u) << "the refused registration gave its reference back";
    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(TestClsid(3), nullptr, CLSCTX_ALL, IID_IUnknown, &object), S_OK);
    static_cast<IUnknown*>(object)->Release();
    EXPECT_EQ(CoCreateInstance(TestClsid(3), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_NE(cookie, second);
    factory->Release();
    EXPECT_TRUE(destroyed);
}

TEST(ComClassTableConcurrency, ThreadsRegisterActivateAndRevokeAtOnce) {
    constexpr int kThreads = 4, kRounds = 200;
    std::atomic<bool> sharedDestroyed{false};
    auto* shared = new TestFactory(sharedDestroyed);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Apartment apartment;
            std::atomic<bool> ownDestroyed{false};
            auto* own = new TestFactory(ownDestroyed);
            for (int i = 0; i < kRounds; ++i) {
                // Every thread also registers one shared CLSID, so its
                // registrations and revokes race with its activations.
                DWORD ownCookie = 0, sharedCookie = 0;
                void* a = nullptr;
                void* b = nullptr;
                if (CoRegisterClassObject(TestClsid(100 + t), own, CLSCTX_INPROC_SERVER, 0, &ownCookie) != S_OK ||
                    CoRegisterClassObject(TestClsid(99), shared, CLSCTX_INPROC_SERVER, 0, &sharedCookie) != S_OK ||
                    CoCreateInstance(TestClsid(100 + t), nullptr, CLSCTX_ALL, IID_IUnknown, &a) != S_OK ||
                    CoCreateInstance(TestClsid(99), nullptr, CLSCTX_ALL, IID_IUnknown, &b) != S_OK)
                    ++failures;
                for (void* object : {a, b})
                    if (object != nullptr) static_cast<IUnknown*>(object)->Release();
                if (CoRevokeClassObject(sharedCookie) != S_OK || CoRevokeClassObject(ownCookie) != S_OK) ++failures;
            }
            if (own->created != kRounds || own->Refs() != 1) ++failures;
            own->Release();
            if (!ownDestroyed) ++failures;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(shared->created, kThreads * kRounds);
    EXPECT_EQ(shared->alive, 0);
    EXPECT_EQ(shared->Refs(), 1u) << "every registration's reference was given back";
    shared->Release();
}

}  // namespace
