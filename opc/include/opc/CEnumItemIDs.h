#pragma once
// The names a browsing client asks for at one position of the address space:
// the devices at the root, a group's child groups as branches and its tags as
// leaves, or flat the full item ID of every tag below the position. The list
// is taken when the enumerator is filled; a clone fills itself afresh from the
// same position, so it shows the configuration as it is by then.
// Free-threaded, one lock.

#include "opc/OpcDa.h"
#include "platform/DataObject.h"
#include "platform/Sync.h"

#include <atomic>
#include <string>
#include <vector>

class OPCS_TagGroup;

// The address space as a browser sees it. Each is called under the
// configuration lock; a null position is the root, and a position that is no
// longer a live group has nothing under it.
namespace addressspace {
// The branches of the position: the devices at the root, else its child groups.
std::vector<std::string> BranchNames(OPCS_TagGroup* position);
// The tags of the position; none at the root.
std::vector<std::string> LeafNames(OPCS_TagGroup* position);
// The branch of that name, letter case ignored; null when there is none.
OPCS_TagGroup* FindBranch(OPCS_TagGroup* position, const std::string& name);
// The branch a full path names from the root ("Dev1.Group1"), each name's
// letter case ignored as item IDs are; null when one of them is not there.
OPCS_TagGroup* FindBranchByPath(const std::string& path);
// The full item ID of every tag below the position (at the root: of every
// device), each group's tags before its sub-groups, in the configuration's order.
std::vector<std::string> LeafItemIds(OPCS_TagGroup* position);
}  // namespace addressspace

class CEnumItemIDs : public IEnumString {
public:
    struct Filter {
        OPCBROWSETYPE type = OPC_BRANCH;
        // Kept for clones; the names are not filtered by them.
        std::u16string criteria;
        VARTYPE dataType = VT_EMPTY;
        DWORD accessRights = 0;
    };

    // Posts its creation notice; the count starts at 0.
    CEnumItemIDs();
    CEnumItemIDs(const CEnumItemIDs&) = delete;
    CEnumItemIDs& operator=(const CEnumItemIDs&) = delete;

    // Takes the names at the position (null: the root) for the filter, under
    // the configuration lock, and starts at the first.
    void Fill(OPCS_TagGroup* position, const Filter& filter);

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumString** ppenum) override;

private:
    ~CEnumItemIDs() override;

    std::atomic<ULONG> refs_{0};
    mutable CRITICAL_SECTION lock_;
    std::vector<std::u16string> names_;
    std::size_t next_ = 0;
    OPCS_TagGroup* position_ = nullptr;
    Filter filter_;
};
