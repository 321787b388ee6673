#pragma once
// The 21 kinds of a counter device's tags: what each is called, which slots
// it occupies, and the tags it makes, configured as the kind says.

#include <cstdint>
#include <memory>
#include <string>

class VOKTag;
class OPCS_TagGroup;

class VOKTagKinds {
public:
    static constexpr std::int32_t kKindCount = 21;

    // The kinds the device itself refers to by number.
    static constexpr std::int32_t kBinSize = 2;
    static constexpr std::int32_t kAnalog = 7;
    static constexpr std::int32_t kSampleInterval = 8;
    static constexpr std::int32_t kCommStatus = 16;
    static constexpr std::int32_t kCounterInService = 17;
    static constexpr std::int32_t kAnalogInService = 18;

    static bool IsKind(std::int32_t kind) { return kind >= 0 && kind < kKindCount; }
    static std::string KindName(std::int32_t kind);
    static std::string KindDescription(std::int32_t kind);
    static std::int32_t FirstSlot(std::int32_t kind);  // -1 for no kind
    static std::int32_t SlotCount(std::int32_t kind);  // 0 for no kind
    static std::int32_t KindOfSlot(std::int32_t slot);  // -1 for none

    // A new tag of that kind for that slot, configured as its kind says; null
    // when the slot is not one of the kind's.
    static std::unique_ptr<VOKTag> MakeTag(std::int32_t kind, std::int32_t slot);

    // Hands the tag to the group; the group owns it from then on. Returns the
    // tag, or null when the group refused it (the tag is then destroyed).
    static VOKTag* AddTo(OPCS_TagGroup& group, std::unique_ptr<VOKTag> tag);
};
