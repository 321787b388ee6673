// The configuration file's layers of tags, groups and devices, and the three
// list routines that carry them.

#include "foundation/Archive.h"
#include "foundation/CLogFile.h"
#include "foundation/VersionInfo.h"
#include "model/ItemId.h"
#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "model/ScopedLock.h"
#include "model/SerializeLists.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "model/VOKTagGroup.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <string>

namespace {

// Writes one entry of the list routines; an error entry is also kept by the
// archive, so that the caller can tell the user what the load dropped.
void LogEntry(CArchive& ar, bool error, std::initializer_list<std::string> items) {
    std::string text;
    CLogFile& log = EventLog();
    for (const std::string& item : items) {
        log.Append(item);
        if (!text.empty()) text += ' ';
        text += item;
    }
    log.Commit(CLogFile::kWrite);
    if (error) ar.AddError(std::move(text));
}

std::string Number(std::size_t value) { return std::to_string(value); }

// Names stored by an older release may hold the item delimiter; in memory it
// is always a blank, as a rename would make it.
std::string StoredName(std::string name) {
    std::replace(name.begin(), name.end(), kItemDelimiter, ' ');
    return name;
}

void RequireVersion(double v, double atLeast, const char* layer) {
    if (!(v >= atLeast)) throw UnsupportedLayoutException(std::string("the ") + layer + " layout of version " +
                                                          std::to_string(v) + " is not read by this program");
}

// What one list needs to know of its kind of object.
template <typename T>
struct ListKind;

template <>
struct ListKind<OPCS_Device> {
    static constexpr const char* kOutput = "Serialization Success - output device:";
    static constexpr const char* kOutputError = "Serialization Error - output device:";
    static constexpr const char* kInput = "Serialization Success - input Device:";
    static constexpr const char* kCreateError = "Serialization Error - failed to create device:";
    static constexpr const char* kInputError = "Serialization Error - input device#:";
    static constexpr const char* kTail = nullptr;
    static bool IsValid(const OPCS_Device* d) { return OPCS_Device::IsValidDevice(d); }
    static std::int32_t ClassCode(const OPCS_Device* d) { return d->GetClassCode(); }
    static std::unique_ptr<OPCS_Device> Create() { return VOKDevice::Create(true); }
};

template <>
struct ListKind<OPCS_TagGroup> {
    static constexpr const char* kOutput = "Serialization Success - output group:";
    static constexpr const char* kOutputError = "Serialization Error - output group:";
    static constexpr const char* kInput = "Serialization Success - input grp:";
    static constexpr const char* kCreateError = "Serialization Error - failed to create group#:";
    static constexpr const char* kInputError = "Serialization Error - input group#:";
    static constexpr const char* kTail = nullptr;
    static bool IsValid(const OPCS_TagGroup* g) { return OPCS_TagGroup::IsValidGroup(g); }
    static std::int32_t ClassCode(const OPCS_TagGroup* g) {
        GroupLock hold(*g);
        return g->GetClassCode();
    }
    static std::unique_ptr<OPCS_TagGroup> Create() { return std::make_unique<VOKTagGroup>(); }
};

template <>
struct ListKind<OPCS_Tag> {
    static constexpr const char* kOutput = "Serialization Success - output tag:";
    static constexpr const char* kOutputError = "Serialization Error - output tag:";
    static constexpr const char* kInput = "Serialization Success - input tag:";
    static constexpr const char* kCreateError = "Serialization Error - failed to create tag#:";
    static constexpr const char* kInputError = "Serialization Error - input tag#:";
    static constexpr const char* kTail = "from config file";
    static bool IsValid(const OPCS_Tag* t) { return OPCS_Tag::IsValidTag(t); }
    static std::int32_t ClassCode(const OPCS_Tag* t) { return t->GetClassCode(); }
    static std::unique_ptr<OPCS_Tag> Create() { return std::make_unique<VOKTag>(); }
};

template <typename T>
void IndexedError(CArchive& ar, const char* text, std::size_t index, std::uint32_t code) {
    using K = ListKind<T>;
    if (K::kTail)
        LogEntry(ar, true, {text, Number(index), "of type:", Number(code), K::kTail});
    else
        LogEntry(ar, true, {text, Number(index), "of type:", Number(code)});
}

template <typename T>
void StoreList(CArchive& ar, Dll<T*>& list) {
    using K = ListKind<T>;
    // Only live entries are written, and the count says so: a count that
    // included a skipped entry would make the reader take the next layer's
    // bytes for an object.
    std::vector<T*> entries;
    auto* node = list.Head();
    for (int i = 0; i < list.GetCount(); ++i, node = node->Next())
        if (K::IsValid(node->Value())) entries.push_back(node->Value());
    ar.WriteU32(static_cast<std::uint32_t>(entries.size()));
    for (T* object : entries) {
        try {
            ar.WriteU32(static_cast<std::uint32_t>(K::ClassCode(object)));
            object->Serialize(ar);
            LogEntry(ar, false, {K::kOutput, object->GetName()});
        } catch (const std::exception&) {
            LogEntry(ar, true, {K::kOutputError, object->GetName()});
            throw;  // the file would be incomplete: the store must not be kept
        }
    }
}

template <typename T>
void LoadList(CArchive& ar, Dll<T*>& list) {
    using K = ListKind<T>;
    const std::uint32_t count = ar.ReadU32();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t code = 0;
        try {
            code = ar.ReadU32();
        } catch (const ArchiveException&) {
            IndexedError<T>(ar, K::kInputError, i, code);
            return;
        }
        std::unique_ptr<T> object;
        try {
            object = K::Create();
        } catch (const std::bad_alloc&) {
        }
        if (!object) {
            IndexedError<T>(ar, K::kCreateError, i, code);
            return;
        }
        try {
            object->Serialize(ar);
        } catch (const UnsupportedLayoutException&) {
            throw;  // the file as a whole is not readable by this program
        } catch (const std::exception&) {
            object.reset();
            IndexedError<T>(ar, K::kInputError, i, code);
            return;
        }
        LogEntry(ar, false, {K::kInput, object->GetName()});
        list.AddTail(object.release());
    }
}

template <typename T>
void SerializeList(CArchive& ar, Dll<T*>& list) {
    if (ar.IsStoring())
        StoreList(ar, list);
    else
        LoadList(ar, list);
}

}  // namespace

void SerializeDeviceList(CArchive& ar, Dll<OPCS_Device*>& list) { SerializeList(ar, list); }
void SerializeGroupList(CArchive& ar, Dll<OPCS_TagGroup*>& list) { SerializeList(ar, list); }
void SerializeTagList(CArchive& ar, Dll<OPCS_Tag*>& list) { SerializeList(ar, list); }

// ---------------------------------------------------------------------------
// Tags

void OPCS_Tag::Serialize(CArchive& ar) {
    TagLock hold(*this);
    if (ar.IsStoring()) {
        ar.WriteF64(kLayerVersion);
        ar.WriteString(name_);
        ar.WriteString(description_);
        ar.WriteI32(imageIndex_);
        ar.WriteI32(classCode_);
        ar.WriteI32(kindCode_);
        for (bool flag : {volatile_, euLimitsEnabled_, rawLimitsEnabled_, scalingEnabled_, simulationEnabled_,
                          euLimitsActive_, rawLimitsActive_, scalingActive_, undeletable_})
            ar.WriteBool32(flag);
        ar.WriteU16(quality_);
        ar.WriteI32(simulationStep_);
        ar.WriteU32(simulationSteps_);
        ar.WriteVariant(value_);
        ar.WriteU32(timestamp_.dwHighDateTime);
        ar.WriteU32(timestamp_.dwLowDateTime);
        ar.WriteI32(accessRights_);
        ar.WriteI32(static_cast<std::int32_t>(simulationType_));
        ar.WriteU32(canonicalType_);
        for (double d : {euMin_, euMax_, rawMin_, rawMax_, offset_, gain_, deadBand_}) ar.WriteF64(d);
        return;
    }
    const double v = ar.ReadF64();
    RequireVersion(v, 1.5, "tag");
    const bool current = v >= kLayerVersion;
    name_ = StoredName(ar.ReadString());
    description_ = ar.ReadString();
    imageIndex_ = ar.ReadI32();
    classCode_ = ar.ReadI32();
    if (current) kindCode_ = ar.ReadI32();
    volatile_ = ar.ReadBool32();
    euLimitsEnabled_ = ar.ReadBool32();
    rawLimitsEnabled_ = ar.ReadBool32();
    scalingEnabled_ = ar.ReadBool32();
    simulationEnabled_ = ar.ReadBool32();
    euLimitsActive_ = ar.ReadBool32();
    rawLimitsActive_ = ar.ReadBool32();
    scalingActive_ = ar.ReadBool32();
    if (current) undeletable_ = ar.ReadBool32();
    quality_ = ar.ReadU16();
    simulationStep_ = ar.ReadI32();
    simulationSteps_ = ar.ReadU32();
    ar.ReadVariant(value_);
    timestamp_.dwHighDateTime = ar.ReadU32();
    timestamp_.dwLowDateTime = ar.ReadU32();
    accessRights_ = ar.ReadU32() != 0 ? 1 : 0;
    const std::uint32_t simulation = ar.ReadU32();
    canonicalType_ = static_cast<VARTYPE>(ar.ReadU32());
    euMin_ = ar.ReadF64();
    euMax_ = ar.ReadF64();
    rawMin_ = ar.ReadF64();
    rawMax_ = ar.ReadF64();
    offset_ = ar.ReadF64();
    gain_ = ar.ReadF64();
    deadBand_ = ar.ReadF64();
    // Values the setters would never have let in keep the tag usable: the
    // simulation needs at least one step and a known curve, and the dead band
    // is a percentage.
    simulationType_ = simulation <= 2 ? static_cast<SimulationType>(simulation) : SimulationType::Ramp;
    if (simulationSteps_ == 0) simulationSteps_ = 1;
    if (simulationStep_ < 0 || simulationStep_ > static_cast<std::int32_t>(simulationSteps_)) simulationStep_ = 0;
    if (!(deadBand_ >= 0 && deadBand_ <= 100)) deadBand_ = 0;
}

void VOKTag::Serialize(CArchive& ar) {
    SetClassCode(1);
    OPCS_Tag::Serialize(ar);
    TagLock hold(*this);
    if (ar.IsStoring()) {
        ar.WriteF64(versioninfo::ProgramVersion());
        ar.WriteI32(kind_);
        ar.WriteI32(slot_);
    } else {
        ar.ReadF64();  // every counter-tag layer so far has the same fields
        // The tag layer's own class field must not make this counter tag
        // another class: the list it is saved in would carry that code.
        SetClassCode(1);
        const std::int32_t kind = ar.ReadI32();
        const std::int32_t slot = ar.ReadI32();
        SetKind(kind >= 0 && kind <= kNoKind ? kind : kNoKind);
        slot_ = slot;
    }
}

// ---------------------------------------------------------------------------
// Groups

void OPCS_TagGroup::Serialize(CArchive& ar) {
    GroupLock hold(*this);
    if (ar.IsStoring()) {
        ar.WriteF64(kLayerVersion);
        ar.WriteString(name_);
        ar.WriteString(description_);
        ar.WriteI32(imageIndex_);
        ar.WriteI32(openImageIndex_);
        ar.WriteI32(ordinal_);
        SerializeGroupList(ar, groups_);
        SerializeTagList(ar, tags_);
        return;
    }
    const double v = ar.ReadF64();
    name_ = StoredName(ar.ReadString());
    description_ = ar.ReadString();
    imageIndex_ = ar.ReadI32();
    openImageIndex_ = ar.ReadI32();
    if (v >= kLayerVersion) ordinal_ = ar.ReadI32();

    // The members join through AddGroup and AddTag, which give each its parent
    // and place and refuse a name a sibling already has.
    Dll<OPCS_TagGroup*> groups;
    Dll<OPCS_Tag*> tags;
    auto adopt = [&] {
        while (!groups.IsEmpty()) {
            std::unique_ptr<OPCS_TagGroup> child(groups.RemoveNode(groups.Head()));
            const std::string childName = child->GetName();
            if (AddGroup(child.get()))
                child.release();
            else
                LogEntry(ar, true, {"Serialization Error - group name repeated, not loaded:", childName});
        }
        while (!tags.IsEmpty()) {
            std::unique_ptr<OPCS_Tag> tag(tags.RemoveNode(tags.Head()));
            const std::string tagName = tag->GetName();
            if (AddTag(tag.get()))
                tag.release();
            else
                LogEntry(ar, true, {"Serialization Error - tag name repeated, not loaded:", tagName});
        }
    };
    try {
        SerializeGroupList(ar, groups);
        SerializeTagList(ar, tags);
    } catch (...) {
        adopt();  // what was read belongs to this group, which its reader destroys
        throw;
    }
    adopt();
    SetConfigurationChanged(false);
}

void VOKTagGroup::Serialize(CArchive& ar) {
    SetClassCode(2);
    OPCS_TagGroup::Serialize(ar);
    GroupLock hold(*this);
    if (ar.IsStoring()) {
        ar.WriteF64(versioninfo::ProgramVersion());
        ar.WriteI32(kind_);
    } else if (ar.ReadF64() >= 2.0) {
        const std::int32_t kind = ar.ReadI32();
        kind_ = kind >= BinSizes && kind <= Unknown ? kind : Unknown;
    }
}

// ---------------------------------------------------------------------------
// Devices

void OPCS_Device::Serialize(CArchive& ar) {
    OPCS_TagGroup::Serialize(ar);
    GroupLock hold(*this);
    if (ar.IsStoring()) {
        ar.WriteF64(kLayerVersion);
        ar.WriteBool32(inService_.load());
        ar.WriteU32(updateInterval_);
    } else {
        const double v = ar.ReadF64();
        RequireVersion(v, 1.5, "device");
        inService_.store(ar.ReadBool32());
        DWORD seconds = ar.ReadU32();
        if (v < kLayerVersion) seconds /= 1000;  // milliseconds before
        updateInterval_ = std::clamp(seconds, kMinUpdateInterval, kMaxUpdateInterval);
    }
}

void VOKDevice::Serialize(CArchive& ar) {
    SetClassCode(kClassCode);
    {
        GroupLock hold(*this);
        OPCS_Device::Serialize(ar);
        if (ar.IsStoring()) {
            ar.WriteF64(versioninfo::ProgramVersion());
            ar.WriteBool32(simulation_.load());
            ar.WriteU8(busAddress_);
            ar.WriteU32(sampleInterval_);
            ar.WriteString(softwareVersion_);
            ar.WriteF64(flow_);
            ar.WriteI32(portNumber_);
            ar.WriteU32(static_cast<std::uint32_t>(binSizes_.GetCount()));
            for (double size : binSizes_) ar.WriteF64(size);
            ar.WriteU32(static_cast<std::uint32_t>(calPoints_.GetCount()));
            for (const VOK_CalPt& point : calPoints_) {
                ar.WriteF64(point.size);
                ar.WriteI32(point.voltage);
            }
        } else {
            RequireVersion(ar.ReadF64(), 2.0, "counter device");
            const bool simulation = ar.ReadBool32();
            const BYTE address = ar.ReadU8();
            const DWORD interval = ar.ReadU32();
            std::string version = ar.ReadString();
            const double flow = ar.ReadF64();
            const std::int32_t port = ar.ReadI32();
            const std::uint32_t bins = ar.ReadU32();
            // A counter has at most 32 bins; more cannot be a configuration
            // this program wrote, and would not fit the tag tree.
            if (bins > static_cast<std::uint32_t>(kMaxBins))
                throw ArchiveException("more bins than a counter has: " + std::to_string(bins));
            Dll<double> sizes;
            for (std::uint32_t i = 0; i < bins; ++i) sizes.AddTail(ar.ReadF64());
            const std::uint32_t points = ar.ReadU32();
            if (points > ar.GetRemaining() / 12) throw ArchiveException("unexpected end of file");
            Dll<VOK_CalPt> calibration;
            for (std::uint32_t i = 0; i < points; ++i) {
                VOK_CalPt point;
                point.size = ar.ReadF64();
                point.voltage = ar.ReadI32();
                calibration.AddTail(point);
            }
            simulation_.store(simulation);
            busAddress_ = address;
            sampleInterval_ = std::clamp(interval, kMinUpdateInterval, kMaxUpdateInterval);
            softwareVersion_ = std::move(version);
            flow_ = std::isfinite(flow) ? flow : 0.0;
            portNumber_ = port;
            binSizes_.Assign(sizes);
            calPoints_.Assign(calibration);
        }
    }
    if (ar.IsLoading()) AfterLoad();
}
