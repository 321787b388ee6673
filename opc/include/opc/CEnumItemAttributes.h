#pragma once
// The attributes of a group's items for a client that inspects the group:
// one OPCITEMATTRIBUTES per item, in the order of the group's server handles.
// The enumerator holds a reference on its group, so a client may release the
// group and go on enumerating; it reads the group's items under the group's
// item lock, and remembers its place as the server handle of the next item,
// so that items added or removed meanwhile never leave it pointing at an item
// that is gone. Free-threaded, one lock.

#include "opc/OpcDa.h"
#include "platform/Sync.h"

#include <atomic>
#include <cstdint>

class OPCGroup;

class CEnumItemAttributes : public IEnumOPCItemAttributes {
public:
    // Takes a reference on the group and posts its creation notice; the count
    // starts at 0.
    explicit CEnumItemAttributes(OPCGroup* group);
    CEnumItemAttributes(const CEnumItemAttributes&) = delete;
    CEnumItemAttributes& operator=(const CEnumItemAttributes&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

private:
    ~CEnumItemAttributes() override;

    std::atomic<ULONG> refs_{0};
    OPCGroup* const group_;
    mutable CRITICAL_SECTION lock_;
    // The server handle from which the next item is taken (handles are never
    // 0); past the largest handle once the last one was taken.
    std::uint64_t next_ = 0;
};
