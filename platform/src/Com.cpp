// GUID text forms, apartment entry, the process-wide class table and the COM clock.

#include "platform/Com.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
constexpr std::size_t kGuidTextLength = 38;
constexpr int kGuidBufferLength = static_cast<int>(kGuidTextLength) + 1;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Where each byte of the GUID sits in the text, as the offset of its first hex
// digit, in the order Data1 (most significant first), Data2, Data3, Data4.
constexpr std::size_t kByteOffsets[16] = {1, 3, 5, 7, 10, 12, 15, 17, 20, 22, 25, 27, 29, 31, 33, 35};
constexpr std::size_t kDashOffsets[4] = {9, 14, 19, 24};

// The sixteen bytes in text order: Data1 to Data3 as big-endian numbers,
// Data4 as it is stored.
void GuidToTextBytes(const GUID& guid, BYTE (&bytes)[16]) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(guid.Data1 >> (24 - 8 * i));
    bytes[4] = static_cast<BYTE>(guid.Data2 >> 8);
    bytes[5] = static_cast<BYTE>(guid.Data2);
    bytes[6] = static_cast<BYTE>(guid.Data3 >> 8);
    bytes[7] = static_cast<BYTE>(guid.Data3);
    std::copy(std::begin(guid.Data4), std::end(guid.Data4), bytes + 8);
}

GUID GuidFromTextBytes(const BYTE (&bytes)[16]) {
    GUID guid{};
    for (int i = 0; i < 4; ++i) guid.Data1 = (guid.Data1 << 8) | bytes[i];
    guid.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
    std::copy(bytes + 8, bytes + 16, guid.Data4);
    return guid;
}

void FormatGuid(const GUID& guid, char (&text)[kGuidBufferLength]) {
    BYTE bytes[16];
    GuidToTextBytes(guid, bytes);
    text[0] = '{';
    for (std::size_t offset : kDashOffsets) text[offset] = '-';
    for (int i = 0; i < 16; ++i) {
        text[kByteOffsets[i]] = kHexDigits[bytes[i] >> 4];
        text[kByteOffsets[i] + 1] = kHexDigits[bytes[i] & 0xF];
    }
    text[kGuidTextLength - 1] = '}';
    text[kGuidTextLength] = '\0';
}

int HexValue(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    return -1;
}

// Reads exactly the braced form from a text of known length; works for both
// the UTF-8 and the UTF-16 callers because only ASCII is accepted.
template <typename Char>
bool ParseGuid(const Char* text, std::size_t length, GUID& guid) {
    if (length != kGuidTextLength) return false;
    if (text[0] != '{' || text[kGuidTextLength - 1] != '}') return false;
    for (std::size_t offset : kDashOffsets) {
        if (text[offset] != '-') return false;
    }
    BYTE bytes[16];
    for (int i = 0; i < 16; ++i) {
        const int high = HexValue(static_cast<char32_t>(text[kByteOffsets[i]]));
        const int low = HexValue(static_cast<char32_t>(text[kByteOffsets[i] + 1]));
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<BYTE>((high << 4) | low);
    }
    guid = GuidFromTextBytes(bytes);
    return true;
}

// ---------------------------------------------------------------------------
// Apartments: only the multi-threaded one exists, so a thread's state is how
// many successful entries it has not yet left.

thread_local unsigned t_apartmentEntries = 0;

// ---------------------------------------------------------------------------
// The class table

struct Registration {
    DWORD cookie;
    CLSID clsid;
    IUnknown* object;  // the table's own reference
    DWORD context;
};

struct ClassTable {
    std::mutex mutex;
    std::vector<Registration> entries;  // in registration order
    // Cookies count up and are never handed out twice; 64 bits so that the
    // end of the 32-bit range is noticed instead of wrapping back to in-use values.
    std::uint64_t nextCookie = 1;
};

ClassTable& Classes() {
    static ClassTable* table = new ClassTable;  // never destroyed: threads may outlive static destruction
    return *table;
}

// The carrier of local-server classes between processes; null when the
// program installed none.
std::atomic<platform::LocalServerBroker*> broker{nullptr};

// The entry that serves a request in the given context: the latest
// registration whose context overlaps it, so a newer registration of the same
// class shadows an older one until it is revoked.
Registration* FindServing(ClassTable& table, REFCLSID clsid, DWORD context) {
    for (auto it = table.entries.rbegin(); it != table.entries.rend(); ++it) {
        if (it->clsid == clsid && (it->context & context) != 0) return &*it;
    }
    return nullptr;
}

}  // namespace

int StringFromGUID2(REFGUID guid, LPOLESTR text, int cchMax) {
    if (text == nullptr || cchMax < kGuidBufferLength) return 0;
    char narrow[kGuidBufferLength];
    FormatGuid(guid, narrow);
    for (int i = 0; i < kGuidBufferLength; ++i) text[i] = static_cast<OLECHAR>(narrow[i]);
    return kGuidBufferLength;
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    if (clsid == nullptr) return E_INVALIDARG;
    *clsid = GUID_NULL;
    if (text == nullptr) return CO_E_CLASSSTRING;
    // Measure only as far as one unit past a valid text, so an unterminated
    // or very long input is not read further than needed to refuse it.
    std::size_t length = 0;
    while (length <= kGuidTextLength && text[length] != 0) ++length;
    GUID parsed;
    if (!ParseGuid(text, length, parsed)) return CO_E_CLASSSTRING;
    *clsid = parsed;
    return S_OK;
}

namespace platform {

std::string GuidToString(REFGUID guid) {
    char text[kGuidBufferLength];
    FormatGuid(guid, text);
    return std::string(text, kGuidTextLength);
}

bool GuidFromString(std::string_view text, GUID& guid) {
    GUID parsed;
    if (!ParseGuid(text.data(), text.size(), parsed)) return false;
    guid = parsed;
    return true;
}

bool IsThreadInApartment() { return t_apartmentEntries > 0; }

}  // namespace platform

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved != nullptr) return E_INVALIDARG;
    // The threading model is the apartment-threaded bit; the other flags
    // (OLE1 DDE, speed over memory) do not change which apartment is entered.
    if ((dwCoInit & COINIT_APARTMENTTHREADED) != 0) return RPC_E_CHANGED_MODE;
    return t_apartmentEntries++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    // An unbalanced extra call must not wrap the count and put the thread
    // back in the apartment.
    if (t_apartmentEntries > 0) --t_apartmentEntries;
}

namespace platform {
void SetLocalServerBroker(LocalServerBroker* carrier) { broker.store(carrier); }
}  // namespace platform

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD, LPDWORD lpdwRegister) {
    if (lpdwRegister != nullptr) *lpdwRegister = 0;
    if (pUnk == nullptr || lpdwRegister == nullptr || dwClsContext == 0) return E_INVALIDARG;
    if (!platform::IsThreadInApartment()) return CO_E_NOTINITIALIZED;

    // The table's reference is taken before the lock, so that no object code
    // runs under it, and given back the same way when the registration fails.
    pUnk->AddRef();
    HRESULT hr = S_OK;
    {
        ClassTable& table = Classes();
        std::lock_guard lock(table.mutex);
        const bool localTaken = (dwClsContext & CLSCTX_LOCAL_SERVER) != 0 &&
                                std::any_of(table.entries.begin(), table.entries.end(), [&](const Registration& r) {
                                    return r.clsid == rclsid && (r.context & CLSCTX_LOCAL_SERVER) != 0;
                                });
        if (localTaken) {
            hr = CO_E_OBJISREG;
        } else if (table.nextCookie > 0xFFFFFFFFull) {
            hr = E_OUTOFMEMORY;  // every cookie has been used once
        } else {
            const auto cookie = static_cast<DWORD>(table.nextCookie++);
            table.entries.push_back(Registration{cookie, rclsid, pUnk, dwClsContext});
            *lpdwRegister = cookie;
        }
    }
    if (FAILED(hr)) {
        pUnk->Release();
        return hr;
    }
    platform::LocalServerBroker* carrier = broker.load();
    if (carrier != nullptr && (dwClsContext & CLSCTX_LOCAL_SERVER) != 0) {
        hr = carrier->Publish(rclsid, pUnk);
        if (FAILED(hr)) {
            const DWORD cookie = *lpdwRegister;
            *lpdwRegister = 0;
            CoRevokeClassObject(cookie);
        }
    }
    return hr;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
    IUnknown* object = nullptr;
    std::optional<CLSID> withdraw;
    {
        ClassTable& table = Classes();
        std::lock_guard lock(table.mutex);
        auto it = std::find_if(table.entries.begin(), table.entries.end(),
                               [&](const Registration& r) { return r.cookie == dwRegister; });
        if (it == table.entries.end()) return CO_E_OBJNOTREG;
        object = it->object;
        if ((it->context & CLSCTX_LOCAL_SERVER) != 0) withdraw = it->clsid;
        table.entries.erase(it);
    }
    platform::LocalServerBroker* carrier = broker.load();
    if (carrier != nullptr && withdraw) carrier->Withdraw(*withdraw);
    // Released outside the lock: the last Release may run a destructor that
    // registers or revokes other classes.
    object->Release();
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (!platform::IsThreadInApartment()) return CO_E_NOTINITIALIZED;

    IUnknown* object = nullptr;
    {
        ClassTable& table = Classes();
        std::lock_guard lock(table.mutex);
        if (Registration* entry = FindServing(table, rclsid, dwClsContext)) {
            // Held before the lock goes, so a revoke on another thread cannot
            // release the object while it is being asked for the interface.
            object = entry->object;
            object->AddRef();
        }
    }
    if (object == nullptr) {
        // Not served here: another process may serve it.
        platform::LocalServerBroker* carrier = broker.load();
        if (carrier == nullptr || (dwClsContext & CLSCTX_LOCAL_SERVER) == 0) return REGDB_E_CLASSNOTREG;
        const HRESULT hr = carrier->GetClassObject(rclsid, riid, ppv);
        if (FAILED(hr)) *ppv = nullptr;
        return hr;
    }
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!platform::IsThreadInApartment()) return CO_E_NOTINITIALIZED;

    void* factoryPointer = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, &factoryPointer);
    if (FAILED(hr)) return hr;
    auto* factory = static_cast<IClassFactory*>(factoryPointer);
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}

HRESULT CoFileTimeNow(FILETIME* lpFileTime) {
    if (lpFileTime == nullptr) return E_INVALIDARG;
    GetSystemTimeAsFileTime(lpFileTime);
    return S_OK;
}
