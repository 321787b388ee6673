#include "model/VOKTagKinds.h"

#include "foundation/StringTable.h"
#include "model/OPCS_TagGroup.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"
#include "platform/OleAuto.h"

#include <cstdio>
#include <vector>

namespace {

constexpr int kKindCount = VOKTagKinds::kKindCount;
constexpr std::int32_t kOnDevice = -1;

struct KindInfo {
    std::int32_t firstSlot;
    std::int32_t slots;
    std::int32_t group;  // the group kind that holds the tags, or kOnDevice
    VARTYPE type;
    std::int32_t access;  // 0 read only, 1 read/write
    bool isVolatile;
    bool undeletable;
    std::int32_t image;
};

constexpr KindInfo kKinds[kKindCount] = {
    {0, 1, kOnDevice, VT_BSTR, 0, false, false, 0},       // Software Version
    {1, 1, kOnDevice, VT_I4, 0, false, false, 1},         // Num Bins
    {2, 32, VOKTagGroup::BinSizes, VT_R8, 0, false, false, 2},
    {34, 32, VOKTagGroup::CumulativeRaw, VT_I4, 0, true, false, 3},
    {66, 1, kOnDevice, VT_I4, 0, true, false, 4},         // Total Raw Counts
    {67, 32, VOKTagGroup::CumulativeNormalized, VT_R8, 0, true, false, 3},
    {99, 1, kOnDevice, VT_R8, 0, true, false, 4},         // Total Normalized Counts
    {100, 8, VOKTagGroup::AnalogData, VT_R8, 0, true, false, 9},
    {108, 1, kOnDevice, VT_R8, 1, false, false, 7},       // Sample Interval
    {109, 1, kOnDevice, VT_R4, 0, false, false, 6},       // Flow Level
    {110, 1, kOnDevice, VT_BOOL, 0, true, false, 12},     // the six alarms
    {111, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {112, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {113, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {114, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {115, 1, kOnDevice, VT_BOOL, 0, true, false, 12},
    {116, 1, kOnDevice, VT_I4, 0, false, false, 8},       // Comm Status
    {117, 1, kOnDevice, VT_BOOL, 1, false, true, 10},     // Counter In Service
    {118, 8, VOKTagGroup::AnalogData, VT_BOOL, 1, false, true, 10},
    {126, 32, VOKTagGroup::DifferentialRaw, VT_I4, 0, true, false, 3},
    {158, 32, VOKTagGroup::DifferentialNormalized, VT_R8, 0, true, false, 3},
};

constexpr std::int32_t kAnalogKind = VOKTagKinds::kAnalog;
constexpr std::int32_t kAnalogInServiceKind = VOKTagKinds::kAnalogInService;

// The comma-separated texts of the string table, split once; empty fields stay.
std::vector<std::string> SplitTable(UINT id) {
    std::vector<std::string> out;
    const std::string text = LoadStringText(id);
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        out.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    out.resize(kKindCount);
    return out;
}

const std::vector<std::string>& KindNames() {
    static const std::vector<std::string> names = SplitTable(IDS_TAG_KIND_NAMES);
    return names;
}

const std::vector<std::string>& KindDescriptions() {
    static const std::vector<std::string> texts = SplitTable(IDS_TAG_KIND_DESCRIPTIONS);
    return texts;
}

}  // namespace

std::string VOKTagKinds::KindName(std::int32_t kind) { return IsKind(kind) ? KindNames()[kind] : std::string(); }
std::string VOKTagKinds::KindDescription(std::int32_t kind) {
    return IsKind(kind) ? KindDescriptions()[kind] : std::string();
}
std::int32_t VOKTagKinds::FirstSlot(std::int32_t kind) { return IsKind(kind) ? kKinds[kind].firstSlot : -1; }
std::int32_t VOKTagKinds::SlotCount(std::int32_t kind) { return IsKind(kind) ? kKinds[kind].slots : 0; }

std::int32_t VOKTagKinds::KindOfSlot(std::int32_t slot) {
    for (std::int32_t kind = 0; kind < kKindCount; ++kind)
        if (slot >= kKinds[kind].firstSlot && slot < kKinds[kind].firstSlot + kKinds[kind].slots) return kind;
    return -1;
}

std::unique_ptr<VOKTag> VOKTagKinds::MakeTag(std::int32_t kind, std::int32_t slot) {
    // KindOfSlot says -1 for a slot of no kind: that must not pass for kind -1.
    if (!IsKind(kind) || KindOfSlot(slot) != kind) return nullptr;
    const KindInfo& info = kKinds[kind];
    const int instance = slot - info.firstSlot + 1;
    char name[160];
    switch (kind) {
    case 2:
    case 3:
    case 5:
    case 19:
    case 20: std::snprintf(name, sizeof name, "%s %02d", KindName(kind).c_str(), instance); break;
    case kAnalogKind: std::snprintf(name, sizeof name, "%s %d", KindName(kAnalogKind).c_str(), instance); break;
    case kAnalogInServiceKind:
        std::snprintf(name, sizeof name, "%s %d - %s", KindName(kAnalogKind).c_str(), instance,
                      KindName(kAnalogInServiceKind).c_str());
        break;
    default: std::snprintf(name, sizeof name, "%s", KindName(kind).c_str()); break;
    }
    auto tag = std::make_unique<VOKTag>();
    tag->SetKind(kind);
    tag->SetSlot(slot);
    tag->SetName(name);
    tag->SetDescription(KindDescription(kind));
    tag->SetCanonicalType(info.type);
    tag->SetAccessRights(info.access);
    tag->SetVolatile(info.isVolatile);
    tag->SetUndeletable(info.undeletable);
    tag->SetImageIndex(info.image);
    switch (kind) {
    case 3:
    case 4:
    case 5:
    case 6:
    case 19:
    case 20:
        tag->SetEULimitsEnabled(true);
        tag->SetEULimits(0, 999999);
        tag->SetRawLimitsEnabled(false);
        tag->SetScalingEnabled(false);
        tag->SetSimulationEnabled(true);
        tag->SetSimulationType(SimulationType::Ramp);
        tag->SetSimulationSteps(200);
        break;
    case kAnalogKind:
        tag->SetEULimitsEnabled(true);
        tag->SetEULimits(0, 20);
        tag->SetRawLimitsEnabled(true);
        tag->SetRawLimits(0, 5000);
        tag->SetScalingEnabled(true);
        tag->SetScaling(0, 0.004);
        tag->SetSimulationEnabled(true);
        tag->SetSimulationType(SimulationType::Ramp);
        tag->SetSimulationSteps(200);
        break;
    default:
        tag->SetSimulationEnabled(false);
        tag->SetEULimitsEnabled(false);
        tag->SetRawLimitsEnabled(false);
        break;
    }
    return tag;
}

VOKTag* VOKTagKinds::AddTo(OPCS_TagGroup& group, std::unique_ptr<VOKTag> tag) {
    if (tag == nullptr || !group.AddTag(tag.get())) return nullptr;
    return tag.release();
}
