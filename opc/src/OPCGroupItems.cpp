// The group's items: adding, validating and removing them, the calls that
// change them by server handle, and the poll requests they hold.

#include "opc/OPCGroup.h"

#include "GroupArrays.h"

#include "config/OPCS_Doc.h"
#include "foundation/CLogFile.h"
#include "model/OPCS_Tag.h"
#include "opc/CEnumItemAttributes.h"
#include "opc/ComObjects.h"
#include "opc/HandleTable.h"

#include <new>

namespace {

// Whether a value of the tag's type can be delivered in the requested one:
// a value of the canonical type must convert. A text tag may hold a number,
// so every type a text converts to is accepted there; a text that is not a
// number is then delivered with bad quality.
bool CanDeliver(VARTYPE canonical, VARTYPE requested) {
    if (requested == VT_EMPTY || requested == canonical) return true;
    VARIANT sample;
    VariantInit(&sample);
    if (canonical == VT_BSTR) {
        sample.vt = VT_BSTR;
        sample.bstrVal = SysAllocString(u"0");
    } else {
        sample.vt = VT_I4;
        sample.lVal = 0;
        if (FAILED(VariantChangeType(&sample, &sample, 0, canonical))) return false;
    }
    VARIANT out;
    VariantInit(&out);
    const bool ok = SUCCEEDED(VariantChangeType(&out, &sample, 0, requested));
    VariantClear(&out);
    VariantClear(&sample);
    return ok;
}

}  // namespace

COPCItem* OPCGroup::FindItem(OPCHANDLE handle) const {
    // Only this group's own live items: an item of another group is refused
    // like a forged number, so that no group ever destroys what another holds.
    auto* item = HandleTable::ResolveAs<COPCItem>(handle, HandleKind::Item);
    if (item == nullptr || item->Owner() != this) return nullptr;
    return items_.count(handle) != 0 ? item : nullptr;
}

HRESULT OPCGroup::ResolveHandles(DWORD dwCount, const OPCHANDLE* phServer, HRESULT* errors,
                                 std::vector<COPCItem*>& items) const {
    HRESULT result = S_OK;
    items.assign(dwCount, nullptr);
    for (DWORD i = 0; i < dwCount; ++i) {
        items[i] = FindItem(phServer[i]);
        errors[i] = items[i] != nullptr ? S_OK : OPC_E_INVALIDHANDLE;
        if (items[i] == nullptr) result = S_FALSE;
    }
    return result;
}

void OPCGroup::SetPollRequests(bool take) {
    CriticalSectionLock hold(itemLock_);
    for (auto& [handle, item] : items_) {
        if (take) {
            item->TakePollRequest();
        } else {
            item->ReleasePollRequest();
        }
    }
}

void OPCGroup::NoteChanged(COPCItem& item) { item.changedAt = ++changeNumber_; }

void OPCGroup::RefreshItem(COPCItem& item) {
    if (item.Refresh()) NoteChanged(item);
}

HRESULT OPCGroup::ResolveItems(bool add, DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppResults,
                               HRESULT** ppErrors) {
    if (pItemArray == nullptr || ppResults == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    *ppResults = TaskArray<OPCITEMRESULT>(dwCount);
    *ppErrors = TaskArray<HRESULT>(dwCount);
    if (*ppResults == nullptr || *ppErrors == nullptr) {
        DropArray(ppResults);
        DropArray(ppErrors);
        return E_OUTOFMEMORY;
    }
    const bool active = IsActive();
    HRESULT result = S_OK;
    CriticalSectionLock hold(itemLock_);
    // The tag is found and referenced under the configuration lock, so that
    // it cannot be deleted between the two.
    ConfigLockHold config;
    OPCS_Doc* doc = GetCurrentDoc();
    for (DWORD i = 0; i < dwCount; ++i) {
        const OPCITEMDEF& def = pItemArray[i];
        OPCS_Tag* tag = doc != nullptr && def.szItemID != nullptr ? doc->FindTag(Utf16ToUtf8(def.szItemID)) : nullptr;
        if (tag == nullptr) {
            (*ppErrors)[i] = OPC_E_UNKNOWNITEMID;
            result = S_FALSE;
            continue;
        }
        if (!CanDeliver(tag->GetCanonicalType(), def.vtRequestedDataType)) {
            (*ppErrors)[i] = OPC_E_BADTYPE;
            result = S_FALSE;
            continue;
        }
        OPCITEMRESULT& out = (*ppResults)[i];
        out.vtCanonicalDataType = tag->GetCanonicalType();
        out.dwAccessRights = OPC_READABLE | (tag->GetAccessRights() == 1 ? OPC_WRITEABLE : 0);
        (*ppErrors)[i] = S_OK;
        // A validation adds nothing, so its result names no item (hServer 0).
        if (!add) continue;
        if (items_.size() >= kMaxItemsPerGroup) {
            out = OPCITEMRESULT{};
            (*ppErrors)[i] = E_OUTOFMEMORY;
            result = S_FALSE;
            continue;
        }
        const COPCItem* item = NewItem(tag, active, {tag, def.bActive, def.hClient, def.vtRequestedDataType});
        if (item == nullptr) {
            out = OPCITEMRESULT{};
            (*ppErrors)[i] = E_OUTOFMEMORY;
            return S_FALSE;
        }
        out.hServer = item->ServerHandle();
        EventLog().Append("Added Item:").Append(tag->GetName()).Commit(CLogFile::kWrite);
    }
    return result;
}

COPCItem* OPCGroup::NewItem(OPCS_Tag* tag, bool pollNow, const ItemCopy& like) {
    auto item = std::unique_ptr<COPCItem>(new (std::nothrow) COPCItem(this, tag));
    if (item == nullptr || item->ServerHandle() == 0) return nullptr;
    if (pollNow) item->TakePollRequest();
    item->active = like.active != FALSE;
    item->hClient = like.hClient;
    item->requestedType = like.requestedType == VT_EMPTY ? item->CanonicalType() : like.requestedType;
    NoteChanged(*item);
    COPCItem* made = item.get();
    items_.emplace(item->ServerHandle(), std::move(item));
    return made;
}

void OPCGroup::AddCopies(const std::vector<ItemCopy>& copies) {
    const bool active = IsActive();
    CriticalSectionLock hold(itemLock_);
    for (const ItemCopy& copy : copies) {
        if (items_.size() >= kMaxItemsPerGroup || !OPCS_Tag::IsValidTag(copy.tag)) continue;
        if (NewItem(copy.tag, active, copy) == nullptr) return;
    }
}

HRESULT OPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) {
    EventLog()
        .Append("OPCGroup::AddItems - GrpName: ")
        .Append(Utf16ToUtf8(Name()))
        .Append("#Items:")
        .Append(static_cast<unsigned long>(dwCount))
        .Commit(CLogFile::kWrite);
    return ResolveItems(true, dwCount, pItemArray, ppAddResults, ppErrors);
}

HRESULT OPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    return ResolveItems(false, dwCount, pItemArray, ppValidationResults, ppErrors);
}

template <typename Change>
HRESULT OPCGroup::ForEachItem(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors, Change change) {
    if (phServer == nullptr || ppErrors == nullptr) return E_INVALIDARG;
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    CriticalSectionLock hold(itemLock_);
    // Every handle is checked before any item is touched: a bad handle fails
    // its own entry, never half of the batch. Each item is looked up again
    // as it is changed, since a handle given twice may already be removed.
    std::vector<COPCItem*> valid;
    HRESULT result = ResolveHandles(dwCount, phServer, *ppErrors, valid);
    for (DWORD i = 0; i < dwCount; ++i) {
        COPCItem* item = valid[i] != nullptr ? FindItem(phServer[i]) : nullptr;
        (*ppErrors)[i] = item != nullptr ? change(i, *item) : OPC_E_INVALIDHANDLE;
        if (FAILED((*ppErrors)[i])) result = S_FALSE;
    }
    return result;
}

HRESULT OPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    EventLog()
        .Append("OPCGroup::RemoveItems - GrpName:")
        .Append(Utf16ToUtf8(Name()))
        .Append("#Items:")
        .Append(static_cast<unsigned long>(dwCount))
        .Commit(CLogFile::kWrite);
    return ForEachItem(dwCount, phServer, ppErrors, [&](DWORD, COPCItem& item) {
        EventLog().Append("Removing Item:").Append(item.TagName()).Commit(CLogFile::kWrite);
        items_.erase(item.ServerHandle());
        return S_OK;
    });
}

HRESULT OPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) {
    EventLog()
        .Append("OPCGroup::SetActiveState - GrpName: ")
        .Append(Utf16ToUtf8(Name()))
        .Append("Active:")
        .Append(bActive != FALSE ? "true" : "false")
        .Commit(CLogFile::kWrite);
    return ForEachItem(dwCount, phServer, ppErrors, [&](DWORD, COPCItem& item) {
        item.active = bActive != FALSE;
        return S_OK;
    });
}

HRESULT OPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) {
    if (phClient == nullptr) return E_INVALIDARG;
    return ForEachItem(dwCount, phServer, ppErrors, [&](DWORD i, COPCItem& item) {
        item.hClient = phClient[i];
        return S_OK;
    });
}

HRESULT OPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) {
    if (pRequestedDatatypes == nullptr) return E_INVALIDARG;
    return ForEachItem(dwCount, phServer, ppErrors, [&](DWORD i, COPCItem& item) {
        if (!CanDeliver(item.CanonicalType(), pRequestedDatatypes[i])) return OPC_E_BADTYPE;
        item.requestedType = pRequestedDatatypes[i] == VT_EMPTY ? item.CanonicalType() : pRequestedDatatypes[i];
        return S_OK;
    });
}

HRESULT OPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    auto* enumerator = new (std::nothrow) CEnumItemAttributes(this);
    if (enumerator == nullptr) return E_OUTOFMEMORY;
    enumerator->AddRef();
    const HRESULT hr = enumerator->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    enumerator->Release();
    return hr;
}

std::vector<ItemAttributes> OPCGroup::ItemAttributesFrom(std::uint64_t& from, ULONG count) const {
    std::vector<ItemAttributes> out;
    CriticalSectionLock hold(itemLock_);
    if (from > 0xFFFFFFFFu) return out;
    for (auto at = items_.lower_bound(static_cast<OPCHANDLE>(from)); at != items_.end() && out.size() < count;
         ++at) {
        out.push_back(at->second->Attributes());
        from = std::uint64_t{at->first} + 1;
    }
    return out;
}
