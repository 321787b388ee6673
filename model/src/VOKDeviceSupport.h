#pragma once
// Small helpers the counter device's sources share: locks, variants and tag values.

#include "foundation/CLogFile.h"
#include "foundation/Dll.h"
#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "model/ScopedLock.h"
#include "platform/OleAuto.h"

#include <cstdint>
#include <string>

namespace vokdevice {

using Hold = GroupLock;

// Holds a device's I/O lock for a scope: one transaction or sequence of them
// at a time on the device's counter.
class IOHold {
public:
    explicit IOHold(const OPCS_Device& device) : device_(device) { device_.LockIO(); }
    ~IOHold() { device_.UnlockIO(); }
    IOHold(const IOHold&) = delete;
    IOHold& operator=(const IOHold&) = delete;

private:
    const OPCS_Device& device_;
};

// Same count and element-wise equal: how bin lists are compared.
inline bool SameList(const Dll<double>& a, const Dll<double>& b) {
    if (a.GetCount() != b.GetCount()) return false;
    auto other = b.begin();
    for (double x : a) {
        if (x != *other) return false;
        ++other;
    }
    return true;
}

// A variant that clears itself.
class Value {
public:
    Value() { VariantInit(&v_); }
    ~Value() { VariantClear(&v_); }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;

    static Value I2(std::int16_t x) { Value v; v.v_.vt = VT_I2; v.v_.iVal = x; return v; }
    static Value I4(std::int32_t x) { Value v; v.v_.vt = VT_I4; v.v_.lVal = x; return v; }
    static Value R8(double x) { Value v; v.v_.vt = VT_R8; v.v_.dblVal = x; return v; }
    static Value Text(const std::string& text) {
        Value v;
        v.v_.vt = VT_BSTR;
        v.v_.bstrVal = SysAllocStringFromUtf8(text);
        return v;
    }
    Value(Value&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }

    VARIANT& get() { return v_; }
    const VARIANT& get() const { return v_; }

private:
    VARIANT v_;
};

// The tag's value converted; false when it is Empty or does not convert.
inline bool AsDouble(const OPCS_Tag& tag, double& out) {
    VARIANT v;
    tag.GetValue(v);
    VARIANT d;
    VariantInit(&d);
    const bool ok = v.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(&d, &v, 0, VT_R8));
    if (ok) out = d.dblVal;
    VariantClear(&d);
    VariantClear(&v);
    return ok;
}

inline bool AsBool(const VARIANT& value, bool& out) {
    VARIANT b;
    VariantInit(&b);
    const bool ok = value.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(&b, &value, 0, VT_BOOL));
    if (ok) out = b.boolVal != VARIANT_FALSE;
    VariantClear(&b);
    return ok;
}

inline bool IsTrue(const OPCS_Tag& tag) {
    VARIANT v;
    tag.GetValue(v);
    bool on = false;
    const bool ok = AsBool(v, on);
    VariantClear(&v);
    return ok && on;
}

// A count as the 32-bit integer a tag carries: truncated, and held inside the
// range rather than overflowing on a wild value.
inline std::int32_t ToInt32(double x) {
    if (!(x == x)) return 0;
    if (x >= 2147483647.0) return 2147483647;
    if (x <= -2147483648.0) return static_cast<std::int32_t>(-2147483647 - 1);
    return static_cast<std::int32_t>(x);
}

// Starts an entry with a text and a name. The name is read before the log's
// lock is taken: the log's lock is innermost, never held while taking a device's.
inline CLogFile& LogStart(const char* text, const std::string& name) { return EventLog().Append(text).Append(name); }

}  // namespace vokdevice
