#include "model/VOKTag.h"

#include "foundation/CLogFile.h"
#include "model/ModelHost.h"
#include "model/ScopedLock.h"

namespace {
constexpr std::int32_t kCounterInServiceKind = 17;
constexpr std::int32_t kAnalogInServiceKind = 18;
}  // namespace

VOKTag::VOKTag() { SetClassCode(1); }

VOKTag::~VOKTag() {
    // The name first: the log's lock is innermost and must not be held while the tag's is taken.
    const std::string name = GetName();
    EventLog().Append("Deleting Tag:").Append(name).Commit(CLogFile::kWrite);
}

bool VOKTag::IsValidVOKTag(const OPCS_Tag* tag) {
    return IsValidTag(tag) && dynamic_cast<const VOKTag*>(tag) != nullptr;
}

std::int32_t VOKTag::GetKind() const {
    TagLock hold(*this);
    return kind_;
}

void VOKTag::SetKind(std::int32_t kind) {
    TagLock hold(*this);
    kind_ = kind;
    SetKindCode(kind);
}

std::int32_t VOKTag::GetSlot() const {
    TagLock hold(*this);
    return slot_;
}

void VOKTag::SetSlot(std::int32_t slot) {
    TagLock hold(*this);
    slot_ = slot;
}

std::int32_t VOKTag::GetImageIndex() {
    {
        TagLock hold(*this);
        if (kind_ == kCounterInServiceKind || kind_ == kAnalogInServiceKind) {
            VARIANT value;
            GetValue(value);
            SetImageIndex(value.vt == VT_BOOL && value.boolVal == VARIANT_TRUE ? 11 : 10);
            VariantClear(&value);
        }
    }
    return OPCS_Tag::GetImageIndex();
}

bool VOKTag::ShowProperties() { return GetModelHost().ShowTagProperties(*this); }
