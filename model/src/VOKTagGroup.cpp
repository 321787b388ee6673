#include "model/VOKTagGroup.h"

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
    Lock();
    if (kind_ == Unknown) {
        Dll<OPCS_Tag*> tags;
        CopyTags(tags);
        for (int i = 0; i < tags.GetCount() && kind_ == Unknown; ++i) {
            OPCS_Tag* tag = tags.GetAt(i);
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
    const std::int32_t kind = kind_;
    Unlock();
    return kind;
}

void VOKTagGroup::SetKind(std::int32_t kind) {
    Lock();
    kind_ = kind;
    Unlock();
}

bool VOKTagGroup::ShowProperties() { return GetModelHost().ShowGroupProperties(*this); }
