#include "opc/OpcErrors.h"

namespace {

struct KnownCode {
    HRESULT code;
    const char* name;
    const char* text;
};

// The OPC DA 2.0 codes with the meaning the OPC DA standard gives them, then
// the COM codes the server's interfaces return.
constexpr KnownCode kCodes[] = {
    {OPC_E_INVALIDHANDLE, "OPC_E_INVALIDHANDLE", "The value of the handle is invalid."},
    {OPC_E_BADTYPE, "OPC_E_BADTYPE",
     "The server cannot convert the data between the requested data type and the canonical data type."},
    {OPC_E_PUBLIC, "OPC_E_PUBLIC", "The requested operation cannot be done on a public group."},
    {OPC_E_BADRIGHTS, "OPC_E_BADRIGHTS", "The item's access rights do not allow the operation."},
    {OPC_E_UNKNOWNITEMID, "OPC_E_UNKNOWNITEMID",
     "The item ID is not defined in the server's address space, or no longer exists in it."},
    {OPC_E_INVALIDITEMID, "OPC_E_INVALIDITEMID", "The item ID does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, "OPC_E_INVALIDFILTER", "The filter string is not valid."},
    {OPC_E_UNKNOWNPATH, "OPC_E_UNKNOWNPATH", "The item's access path is not known to the server."},
    {OPC_E_RANGE, "OPC_E_RANGE", "The value is out of range."},
    {OPC_E_DUPLICATENAME, "OPC_E_DUPLICATENAME", "The name is already in use; duplicate names are not allowed."},
    {OPC_S_UNSUPPORTEDRATE, "OPC_S_UNSUPPORTEDRATE",
     "The server does not support the requested rate and uses the closest rate it supports."},
    {OPC_S_CLAMP, "OPC_S_CLAMP", "The value written was accepted, but the output was clamped."},
    {OPC_S_INUSE, "OPC_S_INUSE", "The operation cannot be done because the object is still referenced."},
    {OPC_E_INVALIDCONFIGFILE, "OPC_E_INVALIDCONFIGFILE", "The server's configuration file has an invalid format."},
    {OPC_E_NOTFOUND, "OPC_E_NOTFOUND", "The requested object (for example a public group) was not found."},
    {OPC_E_INVALID_PID, "OPC_E_INVALID_PID", "The property ID is not valid for the item."},

    {S_OK, "S_OK", "The operation succeeded."},
    {S_FALSE, "S_FALSE", "The operation succeeded with a partial or negative result."},
    {E_FAIL, "E_FAIL", "Unspecified error."},
    {E_INVALIDARG, "E_INVALIDARG", "One or more arguments are not valid."},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", "Not enough memory to complete the operation."},
    {E_NOTIMPL, "E_NOTIMPL", "The operation is not implemented."},
    {E_NOINTERFACE, "E_NOINTERFACE", "The object does not support the requested interface."},
    {E_POINTER, "E_POINTER", "A required pointer is null or not valid."},
    {E_UNEXPECTED, "E_UNEXPECTED", "Unexpected failure."},
    {CONNECT_E_NOCONNECTION, "CONNECT_E_NOCONNECTION", "There is no connection for this cookie."},
    {CONNECT_E_ADVISELIMIT, "CONNECT_E_ADVISELIMIT", "The connection point has no room for another connection."},
    {CONNECT_E_CANNOTCONNECT, "CONNECT_E_CANNOTCONNECT",
     "The sink does not support the interface the connection point calls."},
    {OLE_E_ADVISENOTSUPPORTED, "OLE_E_ADVISENOTSUPPORTED", "The object does not support advise connections."},
    {OLE_E_NOCONNECTION, "OLE_E_NOCONNECTION", "There is no advise connection with this number."},
    {DV_E_FORMATETC, "DV_E_FORMATETC", "The data format (FORMATETC) is not valid or not supported."},
    {DV_E_DVTARGETDEVICE, "DV_E_DVTARGETDEVICE", "The target device is not valid."},
    {DV_E_STGMEDIUM, "DV_E_STGMEDIUM", "The storage medium (STGMEDIUM) is not valid."},
    {DV_E_STATDATA, "DV_E_STATDATA", "The advise data (STATDATA) is not valid."},
    {DV_E_LINDEX, "DV_E_LINDEX", "The lindex value is not valid."},
    {DV_E_TYMED, "DV_E_TYMED", "The medium type (TYMED) is not valid."},
    {DV_E_CLIPFORMAT, "DV_E_CLIPFORMAT", "The clipboard format is not valid."},
    {DV_E_DVASPECT, "DV_E_DVASPECT", "The aspect (DVASPECT) is not valid."},
    {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION", "The class does not support aggregation."},
    {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE", "The class factory cannot supply the requested class."},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG", "The class is not registered."},
    {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED", "COM has not been initialised on this thread."},
    {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE", "The server program could not be started."},
    {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED", "The object's process has gone or the connection to it broke."},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH", "The value cannot be converted to the requested type."},
    {DISP_E_BADVARTYPE, "DISP_E_BADVARTYPE", "The variant type is not valid."},
    {DISP_E_OVERFLOW, "DISP_E_OVERFLOW", "The value does not fit the requested type."},
    {DISP_E_BADINDEX, "DISP_E_BADINDEX", "The array index is out of range."},
    {DISP_E_ARRAYISLOCKED, "DISP_E_ARRAYISLOCKED", "The array is locked."},
};

const KnownCode* Find(HRESULT code) {
    for (const KnownCode& known : kCodes)
        if (known.code == code) return &known;
    return nullptr;
}

}  // namespace

const char* OpcErrorName(HRESULT code) {
    const KnownCode* known = Find(code);
    return known != nullptr ? known->name : nullptr;
}

const char* OpcErrorText(HRESULT code) {
    const KnownCode* known = Find(code);
    return known != nullptr ? known->text : nullptr;
}
