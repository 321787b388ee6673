#include "opc/CEnumItemIDs.h"

#include "config/OPCS_Doc.h"
#include "foundation/TextCompare.h"
#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/ItemId.h"
#include "model/OPCS_TagGroup.h"
#include "opc/ComObjects.h"

#include <algorithm>
#include <new>

namespace addressspace {

std::vector<std::string> BranchNames(OPCS_TagGroup* position) {
    std::vector<std::string> names;
    if (position == nullptr) {
        if (const OPCS_Doc* doc = GetCurrentDoc()) {
            Dll<OPCS_Device*> devices;
            doc->GetDeviceList(devices);
            for (OPCS_Device* device : devices)
                if (OPCS_TagGroup::IsValidGroup(device)) names.push_back(device->GetName());
        }
        return names;
    }
    if (!OPCS_TagGroup::IsValidGroup(position)) return names;
    Dll<OPCS_TagGroup*> groups;
    position->CopyGroups(groups);
    for (OPCS_TagGroup* group : groups)
        if (OPCS_TagGroup::IsValidGroup(group)) names.push_back(group->GetName());
    return names;
}

std::vector<std::string> LeafNames(OPCS_TagGroup* position) {
    std::vector<std::string> names;
    if (position == nullptr || !OPCS_TagGroup::IsValidGroup(position)) return names;
    Dll<OPCS_Tag*> tags;
    position->CopyTags(tags);
    for (OPCS_Tag* tag : tags)
        if (OPCS_Tag::IsValidTag(tag)) names.push_back(tag->GetName());
    return names;
}

OPCS_TagGroup* FindBranch(OPCS_TagGroup* position, const std::string& name) {
    if (position != nullptr) return OPCS_TagGroup::IsValidGroup(position) ? position->FindGroup(name) : nullptr;
    const OPCS_Doc* doc = GetCurrentDoc();
    if (doc == nullptr) return nullptr;
    Dll<OPCS_Device*> devices;
    doc->GetDeviceList(devices);
    for (OPCS_Device* device : devices)
        if (OPCS_TagGroup::IsValidGroup(device) && EqualNoCase(device->GetName(), name)) return device;
    return nullptr;
}

OPCS_TagGroup* FindBranchByPath(const std::string& path) {
    OPCS_TagGroup* branch = nullptr;
    std::size_t from = 0;
    for (;;) {
        const std::size_t end = std::min(path.find(kItemDelimiter, from), path.size());
        branch = FindBranch(branch, path.substr(from, end - from));
        if (branch == nullptr || end == path.size()) return branch;
        from = end + 1;
    }
}

namespace {

// Groups nest only as deep as a path can be walked back (GetPath stops at 64).
constexpr int kMaxDepth = 64;

void AddLeafItemIds(OPCS_TagGroup* group, int depth, std::vector<std::string>& ids) {
    if (!OPCS_TagGroup::IsValidGroup(group) || depth > kMaxDepth) return;
    const std::string path = group->GetPath();
    for (const std::string& name : LeafNames(group)) ids.push_back(path + name);
    Dll<OPCS_TagGroup*> groups;
    group->CopyGroups(groups);
    for (OPCS_TagGroup* child : groups) AddLeafItemIds(child, depth + 1, ids);
}

}  // namespace

std::vector<std::string> LeafItemIds(OPCS_TagGroup* position) {
    std::vector<std::string> ids;
    if (position != nullptr) {
        AddLeafItemIds(position, 0, ids);
        return ids;
    }
    if (const OPCS_Doc* doc = GetCurrentDoc()) {
        Dll<OPCS_Device*> devices;
        doc->GetDeviceList(devices);
        for (OPCS_Device* device : devices) AddLeafItemIds(device, 0, ids);
    }
    return ids;
}

}  // namespace addressspace

CEnumItemIDs::CEnumItemIDs() {
    InitializeCriticalSection(&lock_);
    PostComObjectCount(true);
}

CEnumItemIDs::~CEnumItemIDs() {
    DeleteCriticalSection(&lock_);
    PostComObjectCount(false);
}

void CEnumItemIDs::Fill(OPCS_TagGroup* position, const Filter& filter) {
    std::vector<std::string> names;
    {
        ConfigLockHold hold;
        if (filter.type == OPC_BRANCH)
            names = addressspace::BranchNames(position);
        else if (filter.type == OPC_LEAF)
            names = addressspace::LeafNames(position);
        else if (filter.type == OPC_FLAT)
            names = addressspace::LeafItemIds(position);
    }
    CriticalSectionLock hold(lock_);
    position_ = position;
    filter_ = filter;
    names_.clear();
    names_.reserve(names.size());
    for (const std::string& name : names) names_.push_back(Utf8ToUtf16(name));
    next_ = 0;
}

HRESULT CEnumItemIDs::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (riid != IID_IUnknown && riid != IID_IEnumString) return E_NOINTERFACE;
    *ppvObject = static_cast<IEnumString*>(this);
    AddRef();
    return S_OK;
}

ULONG CEnumItemIDs::AddRef() { return ++refs_; }

ULONG CEnumItemIDs::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT CEnumItemIDs::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) {
    if (pceltFetched != nullptr) *pceltFetched = 0;
    if (rgelt == nullptr) return E_INVALIDARG;
    CriticalSectionLock hold(lock_);
    ULONG fetched = 0;
    while (fetched < celt && next_ < names_.size()) {
        LPOLESTR copy = TaskAllocString(names_[next_]);
        if (copy == nullptr) {
            // The names handed out so far are the caller's; the index stays
            // at the one that could not be copied.
            if (pceltFetched != nullptr) *pceltFetched = fetched;
            return E_OUTOFMEMORY;
        }
        rgelt[fetched++] = copy;
        ++next_;
    }
    if (pceltFetched != nullptr) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

HRESULT CEnumItemIDs::Skip(ULONG celt) {
    CriticalSectionLock hold(lock_);
    const std::size_t left = names_.size() - next_;
    if (celt > left) {
        next_ = names_.size();
        return S_FALSE;
    }
    next_ += celt;
    return S_OK;
}

HRESULT CEnumItemIDs::Reset() {
    CriticalSectionLock hold(lock_);
    next_ = 0;
    return S_OK;
}

HRESULT CEnumItemIDs::Clone(IEnumString** ppenum) {
    if (ppenum == nullptr) return E_INVALIDARG;
    *ppenum = nullptr;
    OPCS_TagGroup* position;
    Filter filter;
    {
        CriticalSectionLock hold(lock_);
        position = position_;
        filter = filter_;
    }
    auto* clone = new (std::nothrow) CEnumItemIDs;
    if (clone == nullptr) return E_OUTOFMEMORY;
    clone->Fill(position, filter);
    clone->AddRef();
    const HRESULT hr = clone->QueryInterface(IID_IEnumString, reinterpret_cast<void**>(ppenum));
    clone->Release();
    return hr;
}
