// Synchronous reads and writes of a group's items, and the writes of values
// to the items' tags that the asynchronous writes share.

#include "opc/OPCGroup.h"

#include "GroupArrays.h"

#include "model/OPCS_Tag.h"
#include "opc/ComObjects.h"

namespace {

// The item error of a write as the tag reports it.
HRESULT WriteError(TagWrite result) {
    switch (result) {
    case TagWrite::kDone: return S_OK;
    case TagWrite::kNotWritable: return OPC_E_BADRIGHTS;
    case TagWrite::kBadType: return OPC_E_BADTYPE;
    case TagWrite::kNotAccepted: break;
    }
    return E_FAIL;
}

}  // namespace

HRESULT OPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                       HRESULT** ppErrors) {
    if (phServer == nullptr || ppItemValues == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    *ppItemValues = TaskArray<OPCITEMSTATE>(dwCount);
    *ppErrors = TaskArray<HRESULT>(dwCount);
    if (*ppItemValues == nullptr || *ppErrors == nullptr) {
        DropArray(ppItemValues);
        DropArray(ppErrors);
        return E_OUTOFMEMORY;
    }
    // The item lock keeps the items alive while they are read: a RemoveItems
    // on another thread must not destroy an item under the read.
    CriticalSectionLock hold(itemLock_);
    std::vector<COPCItem*> items;
    HRESULT result = ResolveHandles(dwCount, phServer, *ppErrors, items);
    for (DWORD i = 0; i < dwCount; ++i) {
        OPCITEMSTATE& state = (*ppItemValues)[i];
        VariantInit(&state.vDataValue);
        if (items[i] == nullptr) continue;
        COPCItem& item = *items[i];
        // A change the read finds is every subscriber's change as well.
        RefreshItem(item);
        state.hClient = item.hClient;
        state.ftTimeStamp = item.timestamp;
        state.wQuality = item.quality;
        if (!item.ValueForClient(state.vDataValue)) {
            // The value is there but not in the type the client asked for.
            state.wQuality = OPC_QUALITY_BAD;
            (*ppErrors)[i] = OPC_E_BADTYPE;
            result = S_FALSE;
        }
    }
    return result;
}

void OPCGroup::WriteItems(const std::vector<OPCHANDLE>& handles, const VARIANT* values, HRESULT* errors) {
    // The tags are held by a reference while their writes run without the
    // item lock, so that a slow counter holds up neither the group's scans
    // nor its other calls, and a removed item cannot take its tag along.
    std::vector<OPCS_Tag*> tags(handles.size(), nullptr);
    {
        CriticalSectionLock hold(itemLock_);
        for (std::size_t i = 0; i < handles.size(); ++i) {
            if (FAILED(errors[i])) continue;
            COPCItem* item = FindItem(handles[i]);
            OPCS_Tag* tag = item != nullptr ? item->LiveTag() : nullptr;
            if (item == nullptr) {
                errors[i] = OPC_E_INVALIDHANDLE;
            } else if (tag == nullptr) {
                // The tag left the configuration: the item names nothing any more.
                errors[i] = OPC_E_UNKNOWNITEMID;
            } else if (!item->IsWritable()) {
                errors[i] = OPC_E_BADRIGHTS;
            } else {
                tag->AddReference();
                tags[i] = tag;
            }
        }
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        if (tags[i] == nullptr) continue;
        errors[i] = WriteError(tags[i]->WriteClientValue(values[i]));
        tags[i]->ReleaseReference();
    }
    CriticalSectionLock hold(itemLock_);
    for (std::size_t i = 0; i < handles.size(); ++i) {
        if (tags[i] == nullptr || FAILED(errors[i])) continue;
        if (COPCItem* item = FindItem(handles[i])) NoteChanged(*item);
    }
}

HRESULT OPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) {
    if (phServer == nullptr || pItemValues == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) (*ppErrors)[i] = S_OK;
    WriteItems(std::vector<OPCHANDLE>(phServer, phServer + dwCount), pItemValues, *ppErrors);
    for (DWORD i = 0; i < dwCount; ++i)
        if (FAILED((*ppErrors)[i])) return S_FALSE;
    return S_OK;
}
