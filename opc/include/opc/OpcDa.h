#pragma once
// The OPC Data Access custom interfaces (versions 1.0a and 2.0) as the server
// serves them: identifiers, structures, enumerations, result codes and the
// interfaces with the standard's method names and parameter order. A client
// in this process and a proxy for a client in another process use the same
// declarations.

#include "platform/Com.h"
#include "platform/DataObject.h"
#include "platform/OleAuto.h"

// A handle that a server or a client gives out for a group or an item: always
// 32 bits, whatever the platform's pointer size.
using OPCHANDLE = DWORD;

// ---------------------------------------------------------------------------
// Identifiers

inline constexpr IID IID_IOPCServer = {0x39C13A4D, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCServerPublicGroups = {0x39C13A4E, 0x011E, 0x11D0,
                                                   {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCBrowseServerAddressSpace = {0x39C13A4F, 0x011E, 0x11D0,
                                                         {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCGroupStateMgt = {0x39C13A50, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCPublicGroupStateMgt = {0x39C13A51, 0x011E, 0x11D0,
                                                    {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCSyncIO = {0x39C13A52, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCAsyncIO = {0x39C13A53, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCItemMgt = {0x39C13A54, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IEnumOPCItemAttributes = {0x39C13A55, 0x011E, 0x11D0,
                                                   {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr CATID CATID_OPCDAServer10 = {0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
inline constexpr CATID CATID_OPCDAServer20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};

// ---------------------------------------------------------------------------
// Enumerations

enum OPCDATASOURCE : DWORD { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 };
enum OPCBROWSETYPE : DWORD { OPC_BRANCH = 1, OPC_LEAF = 2, OPC_FLAT = 3 };
enum OPCNAMESPACETYPE : DWORD { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT = 2 };
enum OPCBROWSEDIRECTION : DWORD { OPC_BROWSE_UP = 1, OPC_BROWSE_DOWN = 2, OPC_BROWSE_TO = 3 };
enum OPCEUTYPE : DWORD { OPC_NOENUM = 0, OPC_ANALOG = 1, OPC_ENUMERATED = 2 };
enum OPCSERVERSTATE : DWORD {
    OPC_STATUS_RUNNING = 1,
    OPC_STATUS_FAILED = 2,
    OPC_STATUS_NOCONFIG = 3,
    OPC_STATUS_SUSPENDED = 4,
    OPC_STATUS_TEST = 5
};
enum OPCENUMSCOPE : DWORD {
    OPC_ENUM_PRIVATE_CONNECTIONS = 1,
    OPC_ENUM_PUBLIC_CONNECTIONS = 2,
    OPC_ENUM_ALL_CONNECTIONS = 3,
    OPC_ENUM_PRIVATE = 4,
    OPC_ENUM_PUBLIC = 5,
    OPC_ENUM_ALL = 6
};

constexpr DWORD OPC_READABLE = 1;
constexpr DWORD OPC_WRITEABLE = 2;

// Quality word: QQSSSSLL in its low byte.
constexpr WORD OPC_QUALITY_MASK = 0xC0;
constexpr WORD OPC_STATUS_MASK = 0xFC;
constexpr WORD OPC_LIMIT_MASK = 0x03;
constexpr WORD OPC_QUALITY_BAD = 0x00;
constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
constexpr WORD OPC_QUALITY_GOOD = 0xC0;
constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;
constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;
constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;

// ---------------------------------------------------------------------------
// Result codes

constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001);
constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004);
constexpr HRESULT OPC_E_PUBLIC = static_cast<HRESULT>(0xC0040005);
constexpr HRESULT OPC_E_BADRIGHTS = static_cast<HRESULT>(0xC0040006);
constexpr HRESULT OPC_E_UNKNOWNITEMID = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT OPC_E_INVALIDITEMID = static_cast<HRESULT>(0xC0040008);
constexpr HRESULT OPC_E_INVALIDFILTER = static_cast<HRESULT>(0xC0040009);
constexpr HRESULT OPC_E_UNKNOWNPATH = static_cast<HRESULT>(0xC004000A);
constexpr HRESULT OPC_E_RANGE = static_cast<HRESULT>(0xC004000B);
constexpr HRESULT OPC_E_DUPLICATENAME = static_cast<HRESULT>(0xC004000C);
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = static_cast<HRESULT>(0x0004000D);
constexpr HRESULT OPC_S_CLAMP = static_cast<HRESULT>(0x0004000E);
constexpr HRESULT OPC_S_INUSE = static_cast<HRESULT>(0x0004000F);
constexpr HRESULT OPC_E_INVALIDCONFIGFILE = static_cast<HRESULT>(0xC0040010);
constexpr HRESULT OPC_E_NOTFOUND = static_cast<HRESULT>(0xC0040011);
constexpr HRESULT OPC_E_INVALID_PID = static_cast<HRESULT>(0xC0040203);
// The connection-point codes of COM: a group answers them for its advise
// connections, and OPC DA 2.0 clients meet them through IConnectionPoint.
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200);
constexpr HRESULT CONNECT_E_ADVISELIMIT = static_cast<HRESULT>(0x80040201);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202);

// ---------------------------------------------------------------------------
// Structures. Every out-array and every string inside one is task-allocated
// (CoTaskMemAlloc) by the callee and freed by the caller.

struct OPCSERVERSTATUS {
    FILETIME ftStartTime;
    FILETIME ftCurrentTime;
    FILETIME ftLastUpdateTime;
    OPCSERVERSTATE dwServerState;
    DWORD dwGroupCount;
    DWORD dwBandWidth;
    WORD wMajorVersion;
    WORD wMinorVersion;
    WORD wBuildNumber;
    WORD wReserved;
    LPWSTR szVendorInfo;
};

struct OPCITEMDEF {
    LPWSTR szAccessPath;
    LPWSTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    DWORD dwBlobSize;
    BYTE* pBlob;
    VARTYPE vtRequestedDataType;
    WORD wReserved;
};

struct OPCITEMRESULT {
    OPCHANDLE hServer;
    VARTYPE vtCanonicalDataType;
    WORD wReserved;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE* pBlob;
};

struct OPCITEMSTATE {
    OPCHANDLE hClient;
    FILETIME ftTimeStamp;
    WORD wQuality;
    WORD wReserved;
    VARIANT vDataValue;
};

struct OPCITEMATTRIBUTES {
    LPWSTR szAccessPath;
    LPWSTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    OPCHANDLE hServer;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE* pBlob;
    VARTYPE vtRequestedDataType;
    VARTYPE vtCanonicalDataType;
    OPCEUTYPE dwEUType;
    VARIANT vEUInfo;
};

// ---------------------------------------------------------------------------
// Interfaces

class IEnumOPCItemAttributes : public IUnknown {
public:
    // Unlike the other enumerators, the array itself is allocated by the callee.
    virtual HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) = 0;
};

class IOPCServer : public IUnknown {
public:
    virtual HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                             LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                             DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) = 0;
    virtual HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) = 0;
    virtual HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) = 0;
    virtual HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
    virtual HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
    virtual HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) = 0;
};

class IOPCBrowseServerAddressSpace : public IUnknown {
public:
    virtual HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
    virtual HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) = 0;
    virtual HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                     VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                     IEnumString** ppIEnumString) = 0;
    virtual HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
    virtual HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) = 0;
};

class IOPCGroupStateMgt : public IUnknown {
public:
    virtual HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                             FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                             OPCHANDLE* phServerGroup) = 0;
    virtual HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                             FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) = 0;
    virtual HRESULT SetName(LPCWSTR szName) = 0;
    virtual HRESULT CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) = 0;
};

class IOPCPublicGroupStateMgt : public IUnknown {
public:
    virtual HRESULT GetState(BOOL* pPublic) = 0;
    virtual HRESULT MoveToPublic() = 0;
};

class IOPCSyncIO : public IUnknown {
public:
    virtual HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                         HRESULT** ppErrors) = 0;
    virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) = 0;
};

class IOPCAsyncIO : public IUnknown {
public:
    virtual HRESULT Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                         DWORD* pTransactionID, HRESULT** ppErrors) = 0;
    virtual HRESULT Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                          DWORD* pTransactionID, HRESULT** ppErrors) = 0;
    virtual HRESULT Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) = 0;
    virtual HRESULT Cancel(DWORD dwTransactionID) = 0;
};

class IOPCItemMgt : public IUnknown {
public:
    virtual HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                             HRESULT** ppErrors) = 0;
    virtual HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                  OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) = 0;
    virtual HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
    virtual HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) = 0;
    virtual HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) = 0;
    virtual HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                 HRESULT** ppErrors) = 0;
    virtual HRESULT CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) = 0;
};

// The server's class.
inline constexpr CLSID CLSID_VOKExplorer = {0x5B0E7A41, 0x93C2, 0x4F6D, {0x8A, 0x1E, 0x2C, 0x7D, 0x9B, 0x44, 0xE0, 0x18}};
