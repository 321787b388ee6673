#pragma once
// One message on a serial line: the bytes of a command or of a reply, with the
// time it was last reset or completed. Derived classes say when a reply is whole.

#include "platform/Time.h"

#include <memory>

class CSerialMsg {
public:
    static constexpr DWORD kSignature = 0x504D5347;

    CSerialMsg();
    virtual ~CSerialMsg();
    CSerialMsg(const CSerialMsg&) = delete;
    CSerialMsg& operator=(const CSerialMsg&) = delete;

    // Zeroes the whole array, empties the message and stamps it with the current time.
    virtual void Reset();
    // True when the bytes received so far form a whole reply.
    virtual bool IsComplete() const = 0;

    bool Allocate(DWORD n);
    bool SetData(const BYTE* bytes, DWORD n);
    // Adds one received byte; false when the message is full.
    bool Append(BYTE byte);
    bool IsValid() const;

    const BYTE* Data() const { return data_.get(); }
    DWORD Length() const { return length_; }
    DWORD Capacity() const { return capacity_; }
    FILETIME Timestamp() const { return timestamp_; }
    void SetTimestamp(const FILETIME& time) { timestamp_ = time; }

protected:
    std::unique_ptr<BYTE[]> data_;
    DWORD capacity_ = 0;
    DWORD length_ = 0;
    DWORD signature_ = kSignature;
    FILETIME timestamp_{};
};
