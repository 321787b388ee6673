#pragma once
// One item of an OPC group: the client's view of one tag, with the value,
// quality and time stamp last taken from it. It holds a reference on its tag
// (so the tag cannot be deleted under it) and, while its group is active, a
// poll request on the tag's device. Its server handle comes from the handle
// table. Used under its group's item lock.

#include "opc/OpcDa.h"

#include <cstdint>
#include <string>

class OPCGroup;
class OPCS_Device;
class OPCS_Tag;

// What an attribute enumerator reports of one item, taken under its group's
// item lock so that the enumerator fills the client's array without it.
struct ItemAttributes {
    OPCHANDLE hServer = 0;
    OPCHANDLE hClient = 0;
    BOOL active = FALSE;
    DWORD accessRights = OPC_READABLE;
    VARTYPE requestedType = VT_EMPTY;
    // The tag's canonical type, as the item was added.
    VARTYPE canonicalType = VT_EMPTY;
    std::string tagName;
    bool hasRange = false;
    double low = 0;
    double high = 0;
};

class COPCItem {
public:
    // Takes a reference on the tag (which must be live) and a server handle.
    COPCItem(OPCGroup* owner, OPCS_Tag* tag);
    // Gives back the poll request, the tag reference and the handle.
    ~COPCItem();
    COPCItem(const COPCItem&) = delete;
    COPCItem& operator=(const COPCItem&) = delete;

    OPCHANDLE ServerHandle() const { return handle_; }
    OPCGroup* Owner() const { return owner_; }
    // The tag while it is alive, else null.
    OPCS_Tag* LiveTag() const;
    // The same for the scan, which asks again only after some tag was destroyed.
    OPCS_Tag* ScannedTag();
    std::string TagName() const;
    VARTYPE CanonicalType() const { return canonicalType_; }
    // OPC_READABLE, and OPC_WRITEABLE for a read/write tag.
    DWORD AccessRights() const;
    bool IsWritable() const;
    ItemAttributes Attributes() const;

    // Asks the tag's device to poll for this item (once), and empties the
    // cached value so that the next scan reports it afresh.
    void TakePollRequest();
    void ReleasePollRequest();
    bool HoldsPollRequest() const { return pollRequestHeld_; }

    // Takes the tag's value, quality and time stamp with change detection and
    // the tag's dead band; returns whether the item changed. The group stamps
    // a change with its change number (changedAt), once for every consumer.
    bool Refresh();

    // The group's change number of the last change of value, quality or time
    // stamp; each subscriber is sent the items changed after its last stream.
    std::uint64_t changedAt = 0;
    bool active = false;
    OPCHANDLE hClient = 0;
    VARTYPE requestedType = VT_EMPTY;
    VARIANT value;
    WORD quality = 0;
    FILETIME timestamp{};

    // The cached value in the requested type for a stream; false (out Empty)
    // when it cannot be converted.
    bool ValueForClient(VARIANT& out) const;

private:
    OPCGroup* const owner_;
    OPCS_Tag* const tag_;
    // Tells the item's own tag from a new one made at the same address.
    const std::uint64_t tagGeneration_;
    const OPCHANDLE handle_;
    // The device the poll request was taken from: a tag retired by its device
    // (fewer bins) no longer leads back to it, and the request must still be
    // given back there.
    OPCS_Device* pollDevice_ = nullptr;
    const VARTYPE canonicalType_;
    bool pollRequestHeld_ = false;
    // The tags' removal count when the tag was last found alive.
    std::uint64_t tagCheckedAt_ = ~std::uint64_t{0};
};
