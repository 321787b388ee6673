#include "model/OPCS_Tag.h"

#include "foundation/LiveObjects.h"
#include "foundation/StringTable.h"
#include "foundation/TextCompare.h"
#include "foundation/VersionInfo.h"
#include "model/ItemId.h"
#include "model/ModelHost.h"
#include "model/OPCS_TagGroup.h"
#include "model/ScopedLock.h"

#include <algorithm>
#include <utility>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

namespace {

FILETIME Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

// A variant holding a double, or Empty when the value does not convert.
VARIANT AsDouble(const VARIANT& value, bool* ok) {
    VARIANT out;
    VariantInit(&out);
    *ok = SUCCEEDED(VariantChangeType(&out, &value, 0, VT_R8));
    return out;
}

VARIANT Copy(const VARIANT& value) {
    VARIANT out;
    VariantInit(&out);
    VariantCopy(&out, &value);
    return out;
}

VARIANT Clamped(const VARIANT& value, double min, double max) {
    bool ok = false;
    VARIANT out = AsDouble(value, &ok);
    if (!ok) {
        VariantClear(&out);
        return Copy(value);
    }
    out.dblVal = std::clamp(out.dblVal, min, max);
    return out;
}

// 0..32767, as the classic C library generator gives.
int RandomFraction32767() {
    thread_local std::minstd_rand engine{std::random_device{}()};
    return std::uniform_int_distribution<int>(0, 32767)(engine);
}

// Truncates toward zero and keeps the result inside the type's range.
template <typename T>
T Truncated(double x) {
    if (!std::isfinite(x)) return T{};
    const double t = std::trunc(x);
    if (t <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (t >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(t);
}

}  // namespace

using versioninfo::IsNumericType;  // the types limits, scaling and simulation act on

namespace {
std::atomic<std::uint64_t> nextGeneration{1};
}  // namespace

OPCS_Tag::OPCS_Tag() : generation_(nextGeneration.fetch_add(1)) {
    InitializeCriticalSection(&lock_);
    VariantInit(&value_);
    VariantInit(&deviceValue_);
    timestamp_ = Now();
    LiveObjects<OPCS_Tag>::Add(this);
}

OPCS_Tag::~OPCS_Tag() {
    LiveObjects<OPCS_Tag>::Remove(this);
    {
        TagLock hold(*this);
        name_ = "Deleted";
        VariantClear(&value_);
        VariantClear(&deviceValue_);
        quality_ = 0;
        group_ = nullptr;
        accessRights_ = 0;
        timestamp_ = FILETIME{};
        changed_ = volatile_ = euLimitsEnabled_ = rawLimitsEnabled_ = scalingEnabled_ = simulationEnabled_ = false;
        euLimitsActive_ = rawLimitsActive_ = scalingActive_ = undeletable_ = false;
        signature_ = 0;
    }
    DeleteCriticalSection(&lock_);
}

bool OPCS_Tag::IsValidTag(const OPCS_Tag* tag) {
    return LiveObjects<OPCS_Tag>::Contains(tag) && tag->signature_ == kSignature;
}

bool OPCS_Tag::IsSameTag(const OPCS_Tag* tag, std::uint64_t generation) {
    return IsValidTag(tag) && tag->generation_ == generation;
}

void OPCS_Tag::ConfigurationChanged() const {
    if (group_.load() != nullptr) MarkDocumentModified();
}

bool OPCS_Tag::StoreValue(const VARIANT& deviceValue, WORD quality, const FILETIME& timestamp) {
    VariantClear(&deviceValue_);
    VariantCopy(&deviceValue_, &deviceValue);
    VARIANT engineering = ToEngineering(deviceValue);
    VariantClear(&value_);
    value_ = engineering;  // takes over what ToEngineering made
    timestamp_ = timestamp;
    quality_ = quality;
    changed_ = true;
    if (FAILED(VariantChangeType(&value_, &value_, 0, canonicalType_))) return false;
    if (!volatile_) ConfigurationChanged();
    return true;
}

bool OPCS_Tag::SetValue(const VARIANT& deviceValue, WORD quality, const FILETIME& timestamp) {
    TagLock hold(*this);
    return StoreValue(deviceValue, quality, timestamp);
}

bool OPCS_Tag::SetValueGood(const VARIANT& deviceValue) { return SetValue(deviceValue, kQualityGood, Now()); }

bool OPCS_Tag::SetBad() {
    VARIANT empty;
    VariantInit(&empty);
    return SetValue(empty, kQualityBad, Now());
}

void OPCS_Tag::SetQuality(WORD quality) {
    TagLock hold(*this);
    if (quality == quality_) return;
    quality_ = quality;
    changed_ = true;
    timestamp_ = Now();
    if (!volatile_) ConfigurationChanged();
}

WORD OPCS_Tag::GetQuality() const {
    TagLock hold(*this);
    return quality_;
}

void OPCS_Tag::GetValue(VARIANT& out) const {
    TagLock hold(*this);
    VariantInit(&out);
    VariantCopy(&out, &value_);
}

void OPCS_Tag::GetDeviceValue(VARIANT& out) const {
    TagLock hold(*this);
    VariantInit(&out);
    VariantCopy(&out, &deviceValue_);
}

FILETIME OPCS_Tag::GetTimestamp() const {
    TagLock hold(*this);
    return timestamp_;
}

bool OPCS_Tag::WriteFromClient(const VARIANT& value) { return WriteClientValue(value) == TagWrite::kDone; }

TagWrite OPCS_Tag::WriteClientValue(const VARIANT& value) {
    VARIANT deviceValue;
    VariantInit(&deviceValue);
    OPCS_TagGroup* group = nullptr;
    {
        TagLock hold(*this);
        group = group_.load();
        if (!OPCS_TagGroup::IsValidGroup(group) || accessRights_ != 1) return TagWrite::kNotWritable;
        VARIANT canonical;
        VariantInit(&canonical);
        if (FAILED(VariantChangeType(&canonical, &value, 0, canonicalType_))) return TagWrite::kBadType;
        const bool converted = ToDevice(canonical, deviceValue);
        VariantClear(&canonical);
        if (!converted || FAILED(VariantChangeType(&deviceValue, &deviceValue, 0, canonicalType_))) {
            VariantClear(&deviceValue);
            return TagWrite::kBadType;
        }
    }
    // The write travels up to the device, which takes its own lock and talks to
    // the counter; the tag's lock is not held meanwhile (a device's lock comes
    // before a tag's).
    const bool written = group->WriteTag(this, deviceValue);
    const bool stored = written && IsValidTag(this) && SetValueGood(deviceValue);
    VariantClear(&deviceValue);
    return written && stored ? TagWrite::kDone : TagWrite::kNotAccepted;
}

std::string OPCS_Tag::GetQualityText() const {
    const WORD q = GetQuality();
    UINT major, sub = 0;
    switch (q & 0xC0) {
    case 0xC0:
    case 0x80: major = IDS_QUALITY_GOOD; break;
    case 0x40:
        major = IDS_QUALITY_UNCERTAIN;
        switch (q & 0xFC) {
        case 0x44: sub = IDS_QUALITY_LAST_KNOWN; break;
        case 0x50: sub = IDS_QUALITY_SENSOR_NOT_ACCURATE; break;
        case 0x54: sub = IDS_QUALITY_EU_EXCEEDED; break;
        case 0x58: sub = IDS_QUALITY_SUB_NORMAL; break;
        default: break;
        }
        break;
    default:
        major = IDS_QUALITY_BAD;
        switch (q & 0xFC) {
        case 0x04: sub = IDS_QUALITY_CONFIG_ERROR; break;
        case 0x08: sub = IDS_QUALITY_NOT_CONNECTED; break;
        case 0x0C: sub = IDS_QUALITY_DEVICE_FAILURE; break;
        case 0x10: sub = IDS_QUALITY_SENSOR_FAILURE; break;
        case 0x14: sub = IDS_QUALITY_LAST_KNOWN; break;
        case 0x18: sub = IDS_QUALITY_COMM_FAILURE; break;
        case 0x1C: sub = IDS_QUALITY_OUT_OF_SERVICE; break;
        default: break;
        }
        break;
    }
    std::string text = LoadStringText(major);
    if (sub != 0) text += " (" + LoadStringText(sub) + ")";
    return text;
}

std::string OPCS_Tag::FormatValue(const VARIANT& value) const {
    char text[64];
    switch (value.vt) {
    case VT_I2: std::snprintf(text, sizeof text, "%d", value.iVal); break;
    case VT_I4: std::snprintf(text, sizeof text, "%ld", static_cast<long>(value.lVal)); break;
    case VT_R4: std::snprintf(text, sizeof text, "%g", static_cast<double>(value.fltVal)); break;
    case VT_R8: std::snprintf(text, sizeof text, "%g ", value.dblVal); break;
    case VT_BSTR: return BstrToUtf8(value.bstrVal);
    case VT_BOOL: return value.boolVal != 0 ? "1" : "0";
    case VT_UI1: std::snprintf(text, sizeof text, "%d", value.bVal); break;
    case VT_UI2: std::snprintf(text, sizeof text, "%hu", value.uiVal); break;
    case VT_UI4: std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value.ulVal)); break;
    default: return "?";
    }
    return text;
}

std::string OPCS_Tag::GetValueText() {
    TagLock hold(*this);
    changed_ = false;
    if (quality_ != kQualityGood) return "?";
    return FormatValue(value_);
}

std::string OPCS_Tag::GetDeviceValueText() const {
    TagLock hold(*this);
    if (quality_ != kQualityGood) return "?";
    return FormatValue(deviceValue_);
}

std::string OPCS_Tag::GetTimestampText() const {
    FILETIME utc;
    {
        TagLock hold(*this);
        if (quality_ != kQualityGood) return "----------";
        utc = timestamp_;
    }
    FILETIME local;
    SYSTEMTIME st;
    char date[128], time[128];
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st) ||
        GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, sizeof date) == 0 ||
        GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, sizeof time) == 0)
        return {};
    return std::string(date) + " " + time;
}

std::string OPCS_Tag::GetAccessText() const {
    return LoadStringText(GetAccessRights() == 1 ? IDS_ACCESS_READ_WRITE : IDS_ACCESS_READ_ONLY);
}

std::string OPCS_Tag::GetItemID() const {
    const std::string name = GetName();
    OPCS_TagGroup* group = GetGroup();
    if (OPCS_TagGroup::IsValidGroup(group)) return group->GetPath() + name;
    return std::string(1, kItemDelimiter) + name;
}

VARIANT OPCS_Tag::ClampEngineering(const VARIANT& value) const {
    TagLock hold(*this);
    if (!IsNumericType(value.vt) || !euLimitsActive_) return Copy(value);
    return Clamped(value, euMin_, euMax_);
}

VARIANT OPCS_Tag::ClampRaw(const VARIANT& value) const {
    TagLock hold(*this);
    if (!IsNumericType(value.vt) || !rawLimitsActive_) return Copy(value);
    return Clamped(value, rawMin_, rawMax_);
}

VARIANT OPCS_Tag::ToEngineering(const VARIANT& value) const {
    TagLock hold(*this);
    if (!IsNumericType(value.vt)) return Copy(value);
    VARIANT raw = ClampRaw(value);
    if (scalingActive_) {
        bool ok = false;
        VARIANT scaled = AsDouble(raw, &ok);
        VariantClear(&raw);
        if (ok) scaled.dblVal = scaled.dblVal * gain_ + offset_;
        raw = scaled;
    }
    VARIANT out = ClampEngineering(raw);
    VariantClear(&raw);
    return out;
}

bool OPCS_Tag::ToDevice(const VARIANT& value, VARIANT& out) const {
    TagLock hold(*this);
    VariantInit(&out);
    if (!IsNumericType(value.vt)) {
        VariantCopy(&out, &value);
        return true;
    }
    VARIANT engineering = ClampEngineering(value);
    if (scalingActive_) {
        if (gain_ == 0) {
            VariantClear(&engineering);
            return false;
        }
        bool ok = false;
        VARIANT raw = AsDouble(engineering, &ok);
        VariantClear(&engineering);
        if (!ok) return false;
        raw.dblVal = (raw.dblVal - offset_) / gain_;
        engineering = raw;
    }
    out = ClampRaw(engineering);
    VariantClear(&engineering);
    return true;
}

std::string OPCS_Tag::GetName() const {
    TagLock hold(*this);
    return name_;
}

bool OPCS_Tag::IsNamed(std::string_view name) const {
    TagLock hold(*this);
    return EqualNoCase(name_, name);
}

void OPCS_Tag::SetName(const std::string& requested) {
    std::string name = requested;
    std::replace(name.begin(), name.end(), kItemDelimiter, ' ');
    if (requested == GetName()) return;
    OPCS_TagGroup* group = GetGroup();
    if (OPCS_TagGroup::IsValidGroup(group)) {
        // The group's lock comes first and is held to the end, so that no other
        // rename or AddTag in the group can slip in between the check and the store.
        GroupLock groupHold(*group);
        Dll<OPCS_Tag*> siblings;
        group->CopyTags(siblings);
        const bool clash = std::any_of(siblings.begin(), siblings.end(), [&](OPCS_Tag* tag) {
            return IsValidTag(tag) && EqualNoCase(tag->GetName(), name);
        });
        if (!clash) {
            TagLock hold(*this);
            name_ = name;
            changed_ = true;
            ConfigurationChanged();
        }
        return;
    }
    TagLock hold(*this);
    name_ = name;
    changed_ = true;
}

std::string OPCS_Tag::GetDescription() const {
    TagLock hold(*this);
    return description_;
}

void OPCS_Tag::SetDescription(const std::string& text) {
    TagLock hold(*this);
    if (text == description_) return;
    description_ = text;
    changed_ = true;
    ConfigurationChanged();
}

VARTYPE OPCS_Tag::GetCanonicalType() const {
    TagLock hold(*this);
    return canonicalType_;
}

void OPCS_Tag::SetCanonicalType(VARTYPE type) {
    TagLock hold(*this);
    if (type == canonicalType_) return;
    canonicalType_ = type;
    VariantClear(&value_);
    changed_ = true;
    ConfigurationChanged();
}

std::int32_t OPCS_Tag::GetAccessRights() const {
    TagLock hold(*this);
    return accessRights_;
}

void OPCS_Tag::SetAccessRights(std::int32_t rights) {
    TagLock hold(*this);
    if (rights == accessRights_) return;
    accessRights_ = rights;
    ConfigurationChanged();
}

bool OPCS_Tag::IsVolatile() const {
    TagLock hold(*this);
    return volatile_;
}

void OPCS_Tag::SetVolatile(bool on) {
    TagLock hold(*this);
    if (on == volatile_) return;
    volatile_ = on;
    ConfigurationChanged();
}

#define VOK_TAG_FLAG(Setter, Getter, member) \
    void OPCS_Tag::Setter(bool on) {          \
        TagLock hold(*this);                  \
        if (member == on) return;             \
        member = on;                          \
        ConfigurationChanged();               \
    }                                         \
    bool OPCS_Tag::Getter() const {           \
        TagLock hold(*this);                  \
        return member;                        \
    }
VOK_TAG_FLAG(SetEULimitsEnabled, IsEULimitsEnabled, euLimitsEnabled_)
VOK_TAG_FLAG(SetRawLimitsEnabled, IsRawLimitsEnabled, rawLimitsEnabled_)
VOK_TAG_FLAG(SetScalingEnabled, IsScalingEnabled, scalingEnabled_)
VOK_TAG_FLAG(SetSimulationEnabled, IsSimulationEnabled, simulationEnabled_)
VOK_TAG_FLAG(SetUndeletable, IsUndeletable, undeletable_)
#undef VOK_TAG_FLAG

bool OPCS_Tag::IsEULimitsActive() const {
    TagLock hold(*this);
    return euLimitsActive_;
}
bool OPCS_Tag::IsRawLimitsActive() const {
    TagLock hold(*this);
    return rawLimitsActive_;
}
bool OPCS_Tag::IsScalingActive() const {
    TagLock hold(*this);
    return scalingActive_;
}

namespace {

// The shared rule of the three pairs: only while enabled, and only a real change marks the document.
bool StorePair(bool enabled, bool& active, double& first, double& second, double a, double b) {
    if (!enabled) {
        active = false;
        return false;
    }
    if (active && first == a && second == b) return false;
    first = a;
    second = b;
    active = true;
    return true;
}

}  // namespace

void OPCS_Tag::SetEULimits(double min, double max) {
    if (min > max) return;
    TagLock hold(*this);
    if (StorePair(euLimitsEnabled_, euLimitsActive_, euMin_, euMax_, min, max)) ConfigurationChanged();
}

void OPCS_Tag::SetRawLimits(double min, double max) {
    if (min > max) return;
    TagLock hold(*this);
    if (StorePair(rawLimitsEnabled_, rawLimitsActive_, rawMin_, rawMax_, min, max)) ConfigurationChanged();
}

void OPCS_Tag::SetScaling(double offset, double gain) {
    TagLock hold(*this);
    if (StorePair(scalingEnabled_, scalingActive_, offset_, gain_, offset, gain)) ConfigurationChanged();
}

// A limit or scaling switched off changes what the configuration file holds.
void OPCS_Tag::ClearEULimits() {
    TagLock hold(*this);
    if (std::exchange(euLimitsActive_, false)) ConfigurationChanged();
}

void OPCS_Tag::ClearRawLimits() {
    TagLock hold(*this);
    if (std::exchange(rawLimitsActive_, false)) ConfigurationChanged();
}

void OPCS_Tag::ClearScaling() {
    TagLock hold(*this);
    if (std::exchange(scalingActive_, false)) ConfigurationChanged();
}

double OPCS_Tag::GetEUMin() const { TagLock hold(*this); return euMin_; }
double OPCS_Tag::GetEUMax() const { TagLock hold(*this); return euMax_; }
double OPCS_Tag::GetRawMin() const { TagLock hold(*this); return rawMin_; }
double OPCS_Tag::GetRawMax() const { TagLock hold(*this); return rawMax_; }
double OPCS_Tag::GetOffset() const { TagLock hold(*this); return offset_; }
double OPCS_Tag::GetGain() const { TagLock hold(*this); return gain_; }

bool OPCS_Tag::SetDeadBand(double percent) {
    if (!(percent >= 0 && percent <= 100)) return false;
    TagLock hold(*this);
    if (deadBand_ != percent) {
        deadBand_ = percent;
        ConfigurationChanged();
    }
    return true;
}

double OPCS_Tag::GetDeadBand() const {
    TagLock hold(*this);
    return deadBand_;
}

void OPCS_Tag::SetSimulationType(SimulationType type) {
    TagLock hold(*this);
    if (type == simulationType_) return;
    simulationType_ = type;
    ConfigurationChanged();
}

bool OPCS_Tag::SetSimulationSteps(DWORD steps) {
    // A period of no steps would divide by zero in every generator.
    if (steps == 0) return false;
    TagLock hold(*this);
    if (steps != simulationSteps_) {
        simulationSteps_ = steps;
        ConfigurationChanged();
    }
    return true;
}

SimulationType OPCS_Tag::GetSimulationType() const {
    TagLock hold(*this);
    return simulationType_;
}

DWORD OPCS_Tag::GetSimulationSteps() const {
    TagLock hold(*this);
    return simulationSteps_;
}

std::int32_t OPCS_Tag::GetSimulationStep() const {
    TagLock hold(*this);
    return simulationStep_;
}

void OPCS_Tag::SimulateStep() {
    TagLock hold(*this);
    if (!simulationEnabled_ || !(IsNumericType(canonicalType_) || canonicalType_ == VT_BOOL)) return;
    const double k = simulationStep_, n = simulationSteps_, a = euMin_, b = euMax_;
    double x = 0, fraction = 0;
    switch (simulationType_) {
    case SimulationType::Sine:
        fraction = std::sin(k / n * 3.1415926535);
        x = a + (b - a) * fraction;
        break;
    case SimulationType::Ramp:
        x = a + (b - a) / n * k;
        if (x > b || simulationStep_ == static_cast<std::int32_t>(simulationSteps_)) x = b;
        break;
    case SimulationType::Random:
        fraction = RandomFraction32767() / 32767.0;
        x = a + (b - a) * fraction;
        break;
    }
    const bool sine = simulationType_ == SimulationType::Sine;
    VariantClear(&value_);
    switch (canonicalType_) {
    case VT_I2: value_.vt = VT_I2; value_.iVal = Truncated<std::int16_t>(x); break;
    case VT_I4: value_.vt = VT_I4; value_.lVal = Truncated<std::int32_t>(x); break;
    case VT_R4: value_.vt = VT_R4; value_.fltVal = static_cast<float>(x); break;
    case VT_R8: value_.vt = VT_R8; value_.dblVal = x; break;
    case VT_UI1: value_.vt = VT_UI1; value_.bVal = Truncated<std::uint8_t>(sine ? std::fabs(x) : x); break;
    case VT_UI2: value_.vt = VT_UI2; value_.uiVal = Truncated<std::uint16_t>(sine ? std::fabs(x) : x); break;
    case VT_UI4: value_.vt = VT_UI4; value_.ulVal = Truncated<std::uint32_t>(sine ? std::fabs(x) : x); break;
    case VT_BOOL: {
        bool on = false;
        if (simulationType_ == SimulationType::Ramp) on = Truncated<std::int64_t>(x) % 2 == 0;
        else on = fraction > 0.5;
        value_.vt = VT_BOOL;
        value_.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    }
    default:
        // The remaining numeric types take the value through the variant conversion;
        // a sine of them stays Empty.
        if (!sine) {
            VARIANT d;
            VariantInit(&d);
            d.vt = VT_R8;
            d.dblVal = std::trunc(x);
            if (FAILED(VariantChangeType(&value_, &d, 0, canonicalType_))) VariantClear(&value_);
        }
        break;
    }
    if (++simulationStep_ > static_cast<std::int32_t>(simulationSteps_)) simulationStep_ = 0;
    timestamp_ = Now();
    quality_ = kQualityGood;
    changed_ = true;
}

std::int32_t OPCS_Tag::GetImageIndex() {
    TagLock hold(*this);
    return imageIndex_;
}

void OPCS_Tag::SetImageIndex(std::int32_t index) {
    TagLock hold(*this);
    imageIndex_ = index;
}

std::int32_t OPCS_Tag::GetClassCode() const {
    TagLock hold(*this);
    return classCode_;
}

std::int32_t OPCS_Tag::GetKindCode() const {
    TagLock hold(*this);
    return kindCode_;
}

void OPCS_Tag::SetClassCode(std::int32_t code) {
    TagLock hold(*this);
    classCode_ = code;
}

void OPCS_Tag::SetKindCode(std::int32_t code) {
    TagLock hold(*this);
    kindCode_ = code;
}

bool OPCS_Tag::IsChanged() const {
    TagLock hold(*this);
    return changed_;
}

void OPCS_Tag::SetChanged(bool on) {
    TagLock hold(*this);
    changed_ = on;
}

bool OPCS_Tag::CanDelete() const {
    TagLock hold(*this);
    return referenceCount_ == 0 && !undeletable_;
}

void OPCS_Tag::AddReference() {
    TagLock hold(*this);
    ++referenceCount_;
}

void OPCS_Tag::ReleaseReference() {
    TagLock hold(*this);
    // A release without its reference would let the count go negative and the
    // tag be deleted under a holder; the count stops at zero instead.
    if (referenceCount_ > 0) --referenceCount_;
}

std::int32_t OPCS_Tag::GetReferenceCount() const {
    TagLock hold(*this);
    return referenceCount_;
}

OPCS_TagGroup* OPCS_Tag::GetGroup() const { return group_.load(); }

void OPCS_Tag::SetGroup(OPCS_TagGroup* group) {
    TagLock hold(*this);
    group_ = group;
}
