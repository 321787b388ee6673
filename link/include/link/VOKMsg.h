#pragma once
// One command or reply of the counter protocol: the message type decides when
// a reply is whole, whether the echo is right and where its payload lies.

#include "link/CSerialMsg.h"

class VOKMsg : public CSerialMsg {
public:
    static constexpr int kNoType = 22;
    static constexpr DWORD kBufferSize = 500;

    VOKMsg();
    ~VOKMsg() override;

    void Reset() override;
    bool IsComplete() const override;

    // Gives the message a fresh 500-byte array and a type (0..22).
    bool SetType(int type);
    int GetType() const { return type_; }

    // Records the byte just sent in this exchange; the echo must repeat it.
    void SetLastSent(BYTE byte) {
        lastSent_ = byte;
        sentInExchange_ = true;
    }
    BYTE GetLastSent() const { return lastSent_; }

    bool CheckEcho() const;
    // Zeroes the caller's buffer (capacity bytes), decides whether the whole
    // reply is good and, when it is, copies its payload and sets length.
    bool GetPayload(BYTE* out, DWORD& length, DWORD capacity = kBufferSize);
    DWORD PayloadFirst() const { return payloadFirst_; }
    DWORD PayloadLast() const { return payloadLast_; }

private:
    bool EchoMatches() const;
    bool ChecksumChecked() const;
    bool EndsWithCrLf() const;

    int type_ = kNoType;
    DWORD payloadFirst_ = 0;
    DWORD payloadLast_ = 0;
    BYTE lastSent_ = 0;
    bool sentInExchange_ = false;
};
