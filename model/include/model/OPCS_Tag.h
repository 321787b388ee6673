#pragma once
// One named value the server publishes: the current value as a variant, its
// OPC quality and time stamp, and the configuration that shapes the value on
// its way from the device to the clients (limits, linear scaling, dead band,
// simulation, access rights, canonical type). Every member is guarded by the
// tag's own lock; the poll thread writes values while the GUI and the OPC
// threads read them and write client values.

#include "platform/OleAuto.h"
#include "platform/Sync.h"
#include "platform/Time.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

class CArchive;
class OPCS_TagGroup;

// OPC quality words.
constexpr WORD kQualityGood = 0xC0;
constexpr WORD kQualityUncertain = 0x40;
constexpr WORD kQualityBad = 0x00;
constexpr WORD kQualityCommFailure = 0x18;
constexpr WORD kQualityOutOfService = 0x1C;

enum class SimulationType : std::int32_t { Sine = 0, Ramp = 1, Random = 2 };

// What became of a client's write: taken, refused because the tag is read
// only (or no longer in a group), refused because the value cannot become the
// tag's type (or its scaling cannot be inverted), or not taken by the device.
enum class TagWrite { kDone, kNotWritable, kBadType, kNotAccepted };

class OPCS_Tag {
public:
    static constexpr DWORD kSignature = 0x4F504354;

    OPCS_Tag();
    virtual ~OPCS_Tag();
    OPCS_Tag(const OPCS_Tag&) = delete;
    OPCS_Tag& operator=(const OPCS_Tag&) = delete;

    // A live tag: constructed, not yet destroyed. Every holder of a tag pointer asks first.
    static bool IsValidTag(const OPCS_Tag* tag);
    // A number no other tag of this process ever had: a holder that keeps it
    // beside the pointer can tell its own tag from a new one made at the
    // same address after its own was destroyed.
    std::uint64_t Generation() const { return generation_; }
    // The tag at that address, when it is still the one of that generation.
    static bool IsSameTag(const OPCS_Tag* tag, std::uint64_t generation);

    // Values.
    virtual bool SetValue(const VARIANT& deviceValue, WORD quality, const FILETIME& timestamp);
    virtual bool SetValueGood(const VARIANT& deviceValue);
    virtual bool SetBad();
    virtual void SetQuality(WORD quality);
    WORD GetQuality() const;
    // A copy of the value; the caller clears it.
    void GetValue(VARIANT& out) const;
    void GetDeviceValue(VARIANT& out) const;
    FILETIME GetTimestamp() const;
    virtual bool WriteFromClient(const VARIANT& value);
    // The same write, saying why it was not taken.
    TagWrite WriteClientValue(const VARIANT& value);

    // Texts for the views.
    virtual std::string GetQualityText() const;
    virtual std::string GetValueText();  // clears the changed flag
    virtual std::string GetDeviceValueText() const;
    std::string GetTimestampText() const;
    std::string GetAccessText() const;
    virtual std::string GetItemID() const;

    // Limits and scaling. ToDevice fails (false) when the scaling cannot be
    // inverted (a gain of 0): a client value must not reach the device then.
    virtual VARIANT ToEngineering(const VARIANT& value) const;
    virtual bool ToDevice(const VARIANT& value, VARIANT& out) const;
    virtual VARIANT ClampEngineering(const VARIANT& value) const;
    virtual VARIANT ClampRaw(const VARIANT& value) const;

    // Configuration.
    std::string GetName() const;
    // Whether the name is this one, letter case ignored; no copy is made,
    // which matters to the look-ups that compare every tag of a group.
    bool IsNamed(std::string_view name) const;
    void SetName(const std::string& name);
    std::string GetDescription() const;
    virtual void SetDescription(const std::string& text);
    VARTYPE GetCanonicalType() const;
    virtual void SetCanonicalType(VARTYPE type);
    std::int32_t GetAccessRights() const;
    void SetAccessRights(std::int32_t rights);  // 0 read only, 1 read/write
    bool IsVolatile() const;
    void SetVolatile(bool on);

    void SetEULimitsEnabled(bool on);
    void SetRawLimitsEnabled(bool on);
    void SetScalingEnabled(bool on);
    void SetSimulationEnabled(bool on);
    void SetUndeletable(bool on);
    bool IsEULimitsEnabled() const;
    bool IsRawLimitsEnabled() const;
    bool IsScalingEnabled() const;
    bool IsSimulationEnabled() const;
    bool IsUndeletable() const;
    bool IsEULimitsActive() const;
    bool IsRawLimitsActive() const;
    bool IsScalingActive() const;

    void SetEULimits(double min, double max);
    void SetRawLimits(double min, double max);
    void SetScaling(double offset, double gain);
    void ClearEULimits();
    void ClearRawLimits();
    void ClearScaling();
    double GetEUMin() const;
    double GetEUMax() const;
    double GetRawMin() const;
    double GetRawMax() const;
    double GetOffset() const;
    double GetGain() const;
    bool SetDeadBand(double percent);  // 0 to 100
    double GetDeadBand() const;

    virtual void SetSimulationType(SimulationType type);
    virtual bool SetSimulationSteps(DWORD steps);  // at least 1
    SimulationType GetSimulationType() const;
    DWORD GetSimulationSteps() const;
    std::int32_t GetSimulationStep() const;
    virtual void SimulateStep();

    virtual std::int32_t GetImageIndex();
    void SetImageIndex(std::int32_t index);
    std::int32_t GetClassCode() const;
    std::int32_t GetKindCode() const;

    bool IsChanged() const;
    void SetChanged(bool on);

    // Holders that forbid deletion: OPC items and running poll loops.
    bool CanDelete() const;
    void AddReference();
    void ReleaseReference();
    std::int32_t GetReferenceCount() const;

    OPCS_TagGroup* GetGroup() const;
    // Used by the owning group, under the group's lock.
    void SetGroup(OPCS_TagGroup* group);

    virtual bool ShowProperties() = 0;
    // Writes or reads the tag layer of the configuration file, under the tag's lock.
    virtual void Serialize(CArchive& ar);

    void Lock() const { EnterCriticalSection(&lock_); }
    void Unlock() const { LeaveCriticalSection(&lock_); }

protected:
    // Marks the document modified when the tag belongs to a group; called with the lock held.
    void ConfigurationChanged() const;
    void SetClassCode(std::int32_t code);
    void SetKindCode(std::int32_t code);

private:
    bool StoreValue(const VARIANT& deviceValue, WORD quality, const FILETIME& timestamp);
    std::string FormatValue(const VARIANT& value) const;

    const std::uint64_t generation_;
    std::string name_ = "Tag";
    std::string description_ = "New Tag";
    std::int32_t imageIndex_ = 0;
    std::int32_t classCode_ = 0;
    std::int32_t kindCode_ = 0;
    bool changed_ = false;
    bool volatile_ = true;
    bool euLimitsEnabled_ = false;
    bool rawLimitsEnabled_ = false;
    bool scalingEnabled_ = false;
    bool simulationEnabled_ = false;
    bool euLimitsActive_ = false;
    bool rawLimitsActive_ = false;
    bool scalingActive_ = false;
    bool undeletable_ = false;
    WORD quality_ = kQualityUncertain;
    std::int32_t simulationStep_ = 0;
    DWORD simulationSteps_ = 10;
    std::int32_t referenceCount_ = 0;
    VARIANT value_;
    VARIANT deviceValue_;
    FILETIME timestamp_{};
    std::atomic<OPCS_TagGroup*> group_{nullptr};
    std::int32_t accessRights_ = 0;
    SimulationType simulationType_ = SimulationType::Ramp;
    VARTYPE canonicalType_ = VT_EMPTY;
    mutable CRITICAL_SECTION lock_;
    double euMin_ = 0, euMax_ = 0;
    double rawMin_ = 0, rawMax_ = 0;
    double offset_ = 0, gain_ = 0;
    double deadBand_ = 0;
    DWORD signature_ = kSignature;
};
