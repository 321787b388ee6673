#pragma once
// The COM stand-in the OPC server is written against: GUIDs, result codes,
// IUnknown and class factories, per-thread apartment entry (multi-threaded
// apartment only), a process-wide table of registered class objects with
// in-process activation, and the current time as a FILETIME.
//
// Objects are free-threaded: reference counts change with interlocked
// operations and any thread that entered the apartment may call them.

#include "platform/OleAuto.h"
#include "platform/Time.h"
#include "platform/WinTypes.h"

#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// GUIDs. In memory Data1 to Data3 are little-endian numbers and Data4 is kept
// in the order its bytes appear in the text form.

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCLSID = CLSID*;

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
}
constexpr bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
constexpr bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex, 38
// characters and a zero) and returns 39, or 0 when cchMax is below 39.
int StringFromGUID2(REFGUID guid, LPOLESTR text, int cchMax);
// Reads the braced text form in either letter case; CO_E_CLASSSTRING for
// anything else (the CLSID is then GUID_NULL).
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);

namespace platform {
// The braced upper-case text form in UTF-8.
std::string GuidToString(REFGUID guid);
// False for anything but the braced form (either letter case, no spaces).
bool GuidFromString(std::string_view text, GUID& guid);
}  // namespace platform

// ---------------------------------------------------------------------------
// Result codes of the COM calls (the generic ones live in WinTypes.h).

constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
    return static_cast<HRESULT>(code) <= 0 ? static_cast<HRESULT>(code)
                                           : static_cast<HRESULT>((code & 0x0000FFFF) | 0x80070000);
}

constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);
constexpr HRESULT CO_E_OBJNOTREG = static_cast<HRESULT>(0x800401FB);
constexpr HRESULT CO_E_OBJISREG = static_cast<HRESULT>(0x800401FC);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = static_cast<HRESULT>(0x80080005);
// The object's process is gone or the connection to it broke.
constexpr HRESULT RPC_E_DISCONNECTED = static_cast<HRESULT>(0x80010108);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009);
constexpr HRESULT OLE_E_ADVISENOTSUPPORTED = static_cast<HRESULT>(0x80040003);
constexpr HRESULT OLE_E_NOCONNECTION = static_cast<HRESULT>(0x80040004);
constexpr HRESULT DV_E_FORMATETC = static_cast<HRESULT>(0x80040064);
constexpr HRESULT DV_E_DVTARGETDEVICE = static_cast<HRESULT>(0x80040065);
constexpr HRESULT DV_E_STGMEDIUM = static_cast<HRESULT>(0x80040066);
constexpr HRESULT DV_E_STATDATA = static_cast<HRESULT>(0x80040067);
constexpr HRESULT DV_E_LINDEX = static_cast<HRESULT>(0x80040068);
constexpr HRESULT DV_E_TYMED = static_cast<HRESULT>(0x80040069);
constexpr HRESULT DV_E_CLIPFORMAT = static_cast<HRESULT>(0x8004006A);
constexpr HRESULT DV_E_DVASPECT = static_cast<HRESULT>(0x8004006B);

// ---------------------------------------------------------------------------
// Interfaces

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The root of every interface. Objects delete themselves when Release takes
// their count to zero, so the destructor is not for callers.
class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

class IClassFactory : public IUnknown {
public:
    // pUnkOuter non-null asks for aggregation, which the server's classes refuse.
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;
};

// ---------------------------------------------------------------------------
// Apartments, class objects and activation

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
constexpr DWORD REGCLS_MULTI_SEPARATE = 2;
constexpr DWORD REGCLS_SUSPENDED = 4;

// Enters the multi-threaded apartment on the calling thread: S_OK the first
// time, S_FALSE when the thread is already in it (each success needs one
// CoUninitialize). Only the multi-threaded apartment is served: any other
// model gives RPC_E_CHANGED_MODE and the thread stays outside.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// Leaves once; the thread is outside after as many calls as entries.
void CoUninitialize();
// Whether the calling thread is in the apartment.
namespace platform {
bool IsThreadInApartment();
}

namespace platform {
// The carrier of classes between processes. Without one, a class registered
// for a local server is served only to callers in its own process. With one,
// registering a class for a local server also publishes it to the user's
// other processes, and a CoGetClassObject that finds no class here asks the
// broker for one another process serves (starting that program if need be).
class LocalServerBroker {
public:
    virtual ~LocalServerBroker() = default;
    // The class object is held by the table while published.
    virtual HRESULT Publish(REFCLSID clsid, IUnknown* classObject) = 0;
    virtual void Withdraw(REFCLSID clsid) = 0;
    virtual HRESULT GetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) = 0;
};
// Installs (or with null removes) the broker; it must outlive its use.
void SetLocalServerBroker(LocalServerBroker* broker);
}  // namespace platform

// Publishes a class object in the process-wide class table (it is AddRef'ed
// and kept until revoked). With a broker installed, a class registered for a
// local server is published to other processes too; when that fails, the
// registration is undone and the broker's failure returned. The calling thread must be in the apartment
// (CO_E_NOTINITIALIZED otherwise). A class already registered for a local
// server gives CO_E_OBJISREG. The cookie is non-zero and not reused.
HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister);
// Removes the registration and releases the table's reference; CO_E_OBJNOTREG
// for a cookie that is not (or no longer) registered.
HRESULT CoRevokeClassObject(DWORD dwRegister);
// The registered class object asked for riid. A class published for a local
// server in this process is served to callers of this process in any context
// that includes CLSCTX_LOCAL_SERVER. REGDB_E_CLASSNOTREG when no class is
// registered here and no broker serves it from another process.
// The caller must be in the apartment, as for CoCreateInstance.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
// CoGetClassObject for IClassFactory, then CreateInstance. The caller must be
// in the apartment.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);

// The current time (UTC) as a FILETIME.
HRESULT CoFileTimeNow(FILETIME* lpFileTime);
