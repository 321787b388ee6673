#include "opc/COPCItem.h"

#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "foundation/LiveObjects.h"
#include "opc/HandleTable.h"

#include <cmath>
#include <utility>

namespace {

constexpr WORD kQualityConfigError = 0x04;

// The device that polls for the tag, when the tag and its device are alive.
OPCS_Device* DeviceOf(OPCS_Tag* tag) {
    if (!OPCS_Tag::IsValidTag(tag)) return nullptr;
    OPCS_TagGroup* group = tag->GetGroup();
    if (!OPCS_TagGroup::IsValidGroup(group)) return nullptr;
    OPCS_TagGroup* device = group->GetDevice();
    return OPCS_Device::IsValidDevice(device) ? static_cast<OPCS_Device*>(device) : nullptr;
}

bool AsDouble(const VARIANT& v, double& out) {
    VARIANT d;
    VariantInit(&d);
    if (FAILED(VariantChangeType(&d, &v, 0, VT_R8))) return false;
    out = d.dblVal;
    return true;
}

// The tag's engineering-unit range, when it has one (its EU limits are on);
// under the tag's lock.
bool EngineeringRange(const OPCS_Tag& tag, double& low, double& high) {
    if (!tag.IsEULimitsEnabled()) return false;
    low = tag.GetEUMin();
    high = tag.GetEUMax();
    return true;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

}  // namespace

COPCItem::COPCItem(OPCGroup* owner, OPCS_Tag* tag)
    : owner_(owner),
      tag_(tag),
      tagGeneration_(tag->Generation()),
      handle_(HandleTable::Register(HandleKind::Item, this)),
      canonicalType_(tag->GetCanonicalType()) {
    VariantInit(&value);
    requestedType = canonicalType_;
    tag->AddReference();
}

COPCItem::~COPCItem() {
    HandleTable::Unregister(handle_);
    ReleasePollRequest();
    if (OPCS_Tag* tag = LiveTag()) tag->ReleaseReference();
    VariantClear(&value);
}

OPCS_Tag* COPCItem::LiveTag() const { return OPCS_Tag::IsSameTag(tag_, tagGeneration_) ? tag_ : nullptr; }

OPCS_Tag* COPCItem::ScannedTag() {
    const std::uint64_t removals = LiveObjects<OPCS_Tag>::Removals();
    if (removals == tagCheckedAt_) return tag_;
    if (LiveTag() == nullptr) return nullptr;
    tagCheckedAt_ = removals;
    return tag_;
}

std::string COPCItem::TagName() const {
    OPCS_Tag* tag = LiveTag();
    return tag != nullptr ? tag->GetName() : std::string();
}

bool COPCItem::IsWritable() const {
    OPCS_Tag* tag = LiveTag();
    return tag != nullptr && tag->GetAccessRights() == 1;
}

ItemAttributes COPCItem::Attributes() const {
    ItemAttributes out;
    out.hServer = handle_;
    out.hClient = hClient;
    out.active = active ? TRUE : FALSE;
    out.accessRights = AccessRights();
    out.requestedType = requestedType;
    out.canonicalType = canonicalType_;
    out.tagName = TagName();
    if (OPCS_Tag* tag = LiveTag()) {
        tag->Lock();
        out.hasRange = EngineeringRange(*tag, out.low, out.high);
        tag->Unlock();
    }
    return out;
}

DWORD COPCItem::AccessRights() const { return OPC_READABLE | (IsWritable() ? OPC_WRITEABLE : 0); }

void COPCItem::TakePollRequest() {
    if (pollRequestHeld_) return;
    pollDevice_ = DeviceOf(LiveTag());
    if (pollDevice_ != nullptr) pollDevice_->RequestPolling(OPCS_Device::kClient);
    pollRequestHeld_ = true;
    VariantClear(&value);
    quality = 0;
    timestamp = FILETIME{};
}

void COPCItem::ReleasePollRequest() {
    if (!pollRequestHeld_) return;
    pollRequestHeld_ = false;
    OPCS_Device* device = std::exchange(pollDevice_, nullptr);
    if (OPCS_Device::IsValidDevice(device)) device->ReleasePolling(OPCS_Device::kClient);
}

bool COPCItem::Refresh() {
    bool itemChanged = false;
    OPCS_Tag* tag = ScannedTag();
    const WORD outside = tag == nullptr ? kQualityConfigError : (!active ? kQualityOutOfService : 0);
    if (outside != 0) {
        if (quality == outside) return false;
        quality = outside;
        return true;
    }

    VARIANT current;
    VariantInit(&current);
    WORD currentQuality;
    FILETIME currentTime;
    double deadBand = 0;
    double low = 0;
    double high = 0;
    tag->Lock();
    tag->GetValue(current);
    currentQuality = tag->GetQuality();
    currentTime = tag->GetTimestamp();
    const bool hasRange = EngineeringRange(*tag, low, high);
    if (hasRange) deadBand = tag->GetDeadBand();
    tag->Unlock();
    const double range = high - low;

    if (value.vt != VT_EMPTY && value.vt != canonicalType_) VariantChangeType(&value, &value, 0, canonicalType_);
    if (currentQuality == kQualityGood) {
        bool take = true;
        double before = 0;
        double after = 0;
        // Values that do not read as numbers are taken as they come.
        if (hasRange && value.vt != VT_EMPTY && AsDouble(value, before) && AsDouble(current, after))
            take = std::fabs(after - before) > deadBand * range * 0.01;
        if (take) {
            VariantCopy(&value, &current);
            if (value.vt != canonicalType_) VariantChangeType(&value, &value, 0, canonicalType_);
            itemChanged = true;
        }
    }
    if (value.vt == VT_EMPTY) {
        VariantCopy(&value, &current);
        quality = currentQuality;
        timestamp = currentTime;
        itemChanged = true;
    } else {
        if (currentQuality != quality) {
            quality = currentQuality;
            itemChanged = true;
        }
        if (!SameTime(currentTime, timestamp)) {
            timestamp = currentTime;
            itemChanged = true;
        }
    }
    VariantClear(&current);
    return itemChanged;
}

bool COPCItem::ValueForClient(VARIANT& out) const {
    VariantInit(&out);
    const VARTYPE type = requestedType == VT_EMPTY ? canonicalType_ : requestedType;
    if (value.vt == VT_EMPTY || type == VT_EMPTY) return SUCCEEDED(VariantCopy(&out, &value));
    if (SUCCEEDED(VariantChangeType(&out, &value, 0, type))) return true;
    VariantClear(&out);
    return false;
}
