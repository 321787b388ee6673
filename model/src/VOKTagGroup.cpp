#include "model/VOKTagGroup.h"

#include "model/ScopedLock.h"

#include "foundation/CLogFile.h"
#include "model/ModelHost.h"
#include "model/VOKTag.h"

VOKTagGroup::VOKTagGroup() {
    SetClassCode(2);
    SetImageIndices(4, 5);
}

VOKTagGroup::~VOKTagGroup() {
    const std::string name = GetName();  // before the log's lock, which is innermost
    EventLog().Append("Deleting TagGroup:").Append(name).Commit(CLogFile::kWrite);
}

bool VOKTagGroup::IsValidVOKTagGroup(const OPCS_TagGroup* group) {
    return IsValidGroup(group) && dynamic_cast<const VOKTagGroup*>(group) != nullptr;
}

std::int32_t VOKTagGroup::GetKind() {
    GroupLock hold(*this);
    if (kind_ == Unknown) {
        Dll<OPCS_Tag*> tags;
        CopyTags(tags);
        for (OPCS_Tag* tag : tags) {
            if (kind_ != Unknown) break;
            if (!VOKTag::IsValidVOKTag(tag)) continue;
            switch (static_cast<VOKTag*>(tag)->GetKind()) {
            case 2: kind_ = BinSizes; break;
            case 3: kind_ = CumulativeRaw; break;
            case 5: kind_ = CumulativeNormalized; break;
            case 19: kind_ = DifferentialRaw; break;
            case 20: kind_ = DifferentialNormalized; break;
            case 7:
            case 18: kind_ = AnalogData; break;
            default: break;
            }
        }
    }
    return kind_;
}

void VOKTagGroup::SetKind(std::int32_t kind) {
    GroupLock hold(*this);
    kind_ = kind;
}

bool VOKTagGroup::ShowProperties() { return GetModelHost().ShowGroupProperties(*this); }
