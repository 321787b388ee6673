#pragma once
// Uniform data transfer: clipboard-format numbers, FORMATETC and STGMEDIUM,
// the advise sink, data objects and their enumerators, and the data advise
// holder that keeps a data object's subscriptions and sends to them.

#include "platform/Com.h"
#include "platform/GlobalMemory.h"

using CLIPFORMAT = WORD;

// A number for the format name, the same for every call with that name
// (letter case ignored) and distinct for distinct names: 0xC000 for the first
// name registered, then upwards. 0 for a null or empty name or when the
// numbers are used up.
UINT RegisterClipboardFormatA(LPCSTR lpszFormat);
// Copies the registered name of the number (at most cchMaxCount - 1
// characters and a zero) and returns its length; 0 for an unknown number.
int GetClipboardFormatNameA(UINT format, LPSTR lpszFormatName, int cchMaxCount);

struct DVTARGETDEVICE;
struct IMoniker;

constexpr DWORD TYMED_NULL = 0;
constexpr DWORD TYMED_HGLOBAL = 1;
constexpr DWORD TYMED_FILE = 2;
constexpr DWORD TYMED_ISTREAM = 4;
constexpr DWORD TYMED_ISTORAGE = 8;
constexpr DWORD TYMED_GDI = 16;
constexpr DWORD TYMED_MFPICT = 32;
constexpr DWORD TYMED_ENHMF = 64;

constexpr DWORD DVASPECT_CONTENT = 1;
constexpr DWORD DVASPECT_THUMBNAIL = 2;
constexpr DWORD DVASPECT_ICON = 4;
constexpr DWORD DVASPECT_DOCPRINT = 8;

constexpr DWORD ADVF_NODATA = 1;
constexpr DWORD ADVF_PRIMEFIRST = 2;
constexpr DWORD ADVF_ONLYONCE = 4;
constexpr DWORD ADVF_DATAONSTOP = 64;

constexpr DWORD DATADIR_GET = 1;
constexpr DWORD DATADIR_SET = 2;

struct FORMATETC {
    CLIPFORMAT cfFormat;
    DVTARGETDEVICE* ptd;  // null: device-independent
    DWORD dwAspect;
    LONG lindex;
    DWORD tymed;
};
using LPFORMATETC = FORMATETC*;

// Only the global-memory medium (and the empty one) is served.
struct STGMEDIUM {
    DWORD tymed;
    union {
        HGLOBAL hGlobal;
        LPOLESTR lpszFileName;
        IUnknown* pstm;
        IUnknown* pstg;
    };
    // Non-null: the receiver releases this object instead of freeing the medium.
    IUnknown* pUnkForRelease;
};
using LPSTGMEDIUM = STGMEDIUM*;

// Frees what the medium holds (or releases pUnkForRelease instead) and leaves
// it TYMED_NULL. A file medium's name is always freed (the file is kept) and
// a stream or storage medium's interface is always released. Safe on an
// empty medium.
void ReleaseStgMedium(LPSTGMEDIUM medium);

class IAdviseSink;

struct STATDATA {
    FORMATETC formatetc;
    DWORD advf;
    IAdviseSink* pAdvSink;  // AddRef'ed for the receiver of an enumeration
    DWORD dwConnection;
};

inline constexpr IID IID_IEnumString = {0x00000101, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IEnumFORMATETC = {0x00000103, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IEnumSTATDATA = {0x00000105, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDataObject = {0x0000010E, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IAdviseSink = {0x0000010F, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDataAdviseHolder = {0x00000110, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The receiver of data changes. Its methods return nothing.
class IAdviseSink : public IUnknown {
public:
    virtual void OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) = 0;
    virtual void OnViewChange(DWORD dwAspect, LONG lindex) = 0;
    virtual void OnRename(IMoniker* pmk) = 0;
    virtual void OnSave() = 0;
    virtual void OnClose() = 0;
};

// Enumerators: Next gives S_OK when all celt elements were returned, S_FALSE
// when fewer; pceltFetched may be null only when celt is 1.
class IEnumString : public IUnknown {
public:
    // Each string is task-allocated for the caller.
    virtual HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumString** ppenum) = 0;
};

class IEnumFORMATETC : public IUnknown {
public:
    virtual HRESULT Next(ULONG celt, FORMATETC* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumFORMATETC** ppenum) = 0;
};

class IEnumSTATDATA : public IUnknown {
public:
    virtual HRESULT Next(ULONG celt, STATDATA* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumSTATDATA** ppenum) = 0;
};

class IDataObject : public IUnknown {
public:
    virtual HRESULT GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) = 0;
    virtual HRESULT GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) = 0;
    virtual HRESULT QueryGetData(FORMATETC* pformatetc) = 0;
    virtual HRESULT GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) = 0;
    virtual HRESULT SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) = 0;
    virtual HRESULT EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) = 0;
    virtual HRESULT DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
    virtual HRESULT DUnadvise(DWORD dwConnection) = 0;
    virtual HRESULT EnumDAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
};

// Keeps a data object's advise connections. Each holds a reference on its sink
// until it is removed or the holder is destroyed.
class IDataAdviseHolder : public IUnknown {
public:
    // Adds a connection (numbers from 1 up, not reused by this holder). With
    // ADVF_PRIMEFIRST and a data object the sink is sent the data at once (as
    // SendOnDataChange does), and with ADVF_ONLYONCE as well that first send
    // ends the connection. A FORMATETC with a target device is refused
    // (DV_E_DVTARGETDEVICE): the holder could not keep a copy of it.
    virtual HRESULT Advise(IDataObject* pDataObject, FORMATETC* pFetc, DWORD advf, IAdviseSink* pAdvise,
                           DWORD* pdwConnection) = 0;
    // OLE_E_NOCONNECTION for a number that is not a live connection.
    virtual HRESULT Unadvise(DWORD dwConnection) = 0;
    // A snapshot of the connections (each sink AddRef'ed for the caller); an
    // empty holder gives an empty enumerator.
    virtual HRESULT EnumAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
    // For each connection: GetData from the data object with the connection's
    // FORMATETC and, when that succeeds, OnDataChange with the medium, which is
    // released afterwards (with ADVF_NODATA the sink gets an empty medium and
    // GetData is not called). Connections made with ADVF_ONLYONCE end after
    // their send. No lock of the holder is held while a sink or the data
    // object is called, so a sink may call back into the holder.
    virtual HRESULT SendOnDataChange(IDataObject* pDataObject, DWORD dwReserved, DWORD advf) = 0;
};

HRESULT CreateDataAdviseHolder(IDataAdviseHolder** ppDAHolder);
