#pragma once
// The group class of a counter device's bin and analog tags. Its kind says
// which tags it holds; it cannot be deleted as a whole.

#include "model/OPCS_TagGroup.h"

class CArchive;
class VOKTagGroup : public OPCS_TagGroup {
public:
    enum Kind : std::int32_t {
        BinSizes = 0,
        CumulativeRaw = 1,
        CumulativeNormalized = 2,
        DifferentialRaw = 3,
        DifferentialNormalized = 4,
        AnalogData = 5,
        Unknown = 6,
    };

    VOKTagGroup();
    ~VOKTagGroup() override;

    static bool IsValidVOKTagGroup(const OPCS_TagGroup* group);

    // An unknown kind is inferred from the first tag whose kind decides it, and kept.
    std::int32_t GetKind();
    void SetKind(std::int32_t kind);

    bool ShowProperties() override;
    void Serialize(CArchive& ar) override;
    bool CanDelete() const override { return false; }

private:
    std::int32_t kind_ = Unknown;
};
