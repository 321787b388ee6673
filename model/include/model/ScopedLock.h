#pragma once
// Holds the own lock of a tag, group or device for a scope, so that every
// path out of it (returns and exceptions alike) gives the lock back.

class OPCS_Tag;
class OPCS_TagGroup;

template <typename T>
class ScopedLock {
public:
    explicit ScopedLock(const T& object) : object_(object) { object_.Lock(); }
    ~ScopedLock() { object_.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    const T& object_;
};

using TagLock = ScopedLock<OPCS_Tag>;
using GroupLock = ScopedLock<OPCS_TagGroup>;
