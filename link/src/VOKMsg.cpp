#include "link/VOKMsg.h"

#include "link/VOKProtocol.h"

#include <cstring>

VOKMsg::VOKMsg() = default;

VOKMsg::~VOKMsg() { type_ = kNoType; }

void VOKMsg::Reset() {
    if (!IsValid()) return;
    payloadFirst_ = 0;
    payloadLast_ = 0;
    CSerialMsg::Reset();
}

bool VOKMsg::SetType(int type) {
    if (!IsValid() || !Allocate(kBufferSize)) return false;
    Reset();
    type_ = type;
    return true;
}

bool VOKMsg::IsComplete() const {
    if (!IsValid()) return false;
    const DWORD n = length_;
    if (type_ == VOKType::ResetLine) return true;
    if (n == 0) return false;
    const BYTE last = data_[n - 1];
    switch (type_) {
    case 1:
    case 10: return true;
    case VOKType::ReadVersion:
    case VOKType::ReadType: return last == '\n';
    case VOKType::ReadMode: return n >= 2;
    case VOKType::ReadData: return n >= 2 && (last == '#' || last == '\n');
    case VOKType::ReadCalPoints:
    case VOKType::ReadBinSizes:
    case VOKType::ReadSampleInterval:
        if (lastSent_ == '\n') return n >= 2 && last == '\n';
        return true;
    default: return true;  // the echo alone
    }
}

bool VOKMsg::EchoMatches() const { return sentInExchange_ && length_ > 0 && data_[0] == lastSent_; }

bool VOKMsg::CheckEcho() const {
    if (!IsValid()) return false;
    if (type_ == VOKType::ReadVersion || type_ == VOKType::ResetLine) return true;
    return EchoMatches();
}

bool VOKMsg::EndsWithCrLf() const { return length_ >= 2 && data_[length_ - 2] == '\r' && data_[length_ - 1] == '\n'; }

bool VOKMsg::ChecksumChecked() const {
    const long n = static_cast<long>(length_);
    if (n < 15 || std::memcmp(&data_[n - 12], "C/S", 3) != 0) return false;
    const std::string field = VOK_ChecksumField(VOK_Checksum(data_.get(), 1, n - 14));
    return std::memcmp(&data_[n - 13], field.data(), 13) == 0;
}

bool VOKMsg::GetPayload(BYTE* out, DWORD& length, DWORD capacity) {
    length = 0;
    if (out != nullptr) std::memset(out, 0, capacity);
    if (!IsValid() || out == nullptr) return false;
    const DWORD n = length_;
    bool good = false;
    bool hasPayload = false;
    switch (type_) {
    case 1:
    case 10:
    case VOKType::ResetLine: good = true; break;
    case VOKType::ReadVersion:
        if (n >= 3 && EndsWithCrLf()) {
            good = hasPayload = true;
            payloadFirst_ = 0;
            payloadLast_ = n - 3;
        }
        break;
    default:
        if (!EchoMatches()) break;
        switch (type_) {
        case 0: case 3: case 7: case 8: case 9: case 12: case 14: case 15: case 16: case 17: case 18: case 20:
            good = true;
            break;
        case VOKType::ReadType:
            if (n >= 3 && EndsWithCrLf()) {
                good = hasPayload = true;
                payloadFirst_ = 1;
                payloadLast_ = n - 3;
            }
            break;
        case VOKType::ReadMode:
            if (n == 2 && (data_[1] == 'C' || data_[1] == 'H' || data_[1] == 'S')) {
                good = hasPayload = true;
                payloadFirst_ = payloadLast_ = 1;
            }
            break;
        case VOKType::ReadSampleInterval:
            if (n == 7 && data_[0] == '\n' && data_[6] == '\n') {
                good = hasPayload = true;
                payloadFirst_ = 1;
                payloadLast_ = 4;
            }
            break;
        case VOKType::ReadData:
            if (n == 2 && data_[1] == '#') {
                good = true;
            } else if (n >= 29 && ChecksumChecked()) {
                good = hasPayload = true;
                payloadFirst_ = 1;
                payloadLast_ = n - 14;
            }
            break;
        case VOKType::ReadCalPoints:
        case VOKType::ReadBinSizes:
            if (n >= 15 && ChecksumChecked()) {
                good = hasPayload = true;
                payloadFirst_ = 1;
                payloadLast_ = n - 14;
            }
            break;
        default: break;  // no type, or one the exchange never carries
        }
    }
    if (!good) return false;
    if (hasPayload) {
        // A reply of just "LF CR LF" around nothing leaves last before first: an empty payload.
        const DWORD size = payloadLast_ + 1 > payloadFirst_ ? payloadLast_ + 1 - payloadFirst_ : 0;
        if (size > capacity) return false;
        if (size > 0) std::memcpy(out, &data_[payloadFirst_], size);
        length = size;
    }
    return true;
}
