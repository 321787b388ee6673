#pragma once
// A counter tag: a tag with the kind that fixes its role on the counter
// device and the slot that places it in the device's slot table.

#include "model/OPCS_Tag.h"

class CArchive;
class VOKTag : public OPCS_Tag {
public:
    static constexpr std::int32_t kNoKind = 21;
    static constexpr std::int32_t kSlotCount = 190;

    VOKTag();
    ~VOKTag() override;

    static bool IsValidVOKTag(const OPCS_Tag* tag);

    std::int32_t GetKind() const;
    void SetKind(std::int32_t kind);
    std::int32_t GetSlot() const;
    void SetSlot(std::int32_t slot);

    // The two in-service kinds show whether they are on.
    std::int32_t GetImageIndex() override;
    bool ShowProperties() override;
    void Serialize(CArchive& ar) override;

private:
    std::int32_t slot_ = 0;
    std::int32_t kind_ = kNoKind;
};
