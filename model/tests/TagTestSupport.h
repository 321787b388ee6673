#pragma once
// A stand-in device for tag and group tests: the root of a tree that takes
// client writes and counts how often the document was marked modified.

#include "model/ModelHost.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"

#include <atomic>
#include <string>

class TestDevice : public OPCS_TagGroup {
public:
    bool WriteTag(OPCS_Tag*, const VARIANT& value) override {
        VariantClear(&written);
        VariantCopy(&written, &value);
        ++writes;
        return acceptWrites;
    }
    OPCS_TagGroup* GetDevice() override { return this; }
    bool IsDevice() const override { return true; }
    bool ShowProperties() override { return false; }
    ~TestDevice() override { VariantClear(&written); }

    VARIANT written{};
    int writes = 0;
    bool acceptWrites = true;
};

class CountingHost : public ModelHost {
public:
    CountingHost() { SetModelHost(this); }
    ~CountingHost() override { SetModelHost(nullptr); }
    void MarkDocumentModified() override { ++modified; }
    std::atomic<int> modified{0};
};

inline VARIANT I4(long v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = static_cast<LONG>(v);
    return x;
}

inline VARIANT R8(double v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_R8;
    x.dblVal = v;
    return x;
}

inline double AsDouble(const OPCS_Tag& tag) {
    VARIANT v;
    tag.GetValue(v);
    VARIANT d;
    VariantInit(&d);
    const double out = SUCCEEDED(VariantChangeType(&d, &v, 0, VT_R8)) ? d.dblVal : -12345.0;
    VariantClear(&v);
    return out;
}
