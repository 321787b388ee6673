#include "link/CSerialMsg.h"

#include "foundation/LiveObjects.h"

#include <cstring>
#include <new>

CSerialMsg::CSerialMsg() {
    LiveObjects<CSerialMsg>::Add(this);
    GetSystemTimeAsFileTime(&timestamp_);
}

CSerialMsg::~CSerialMsg() {
    LiveObjects<CSerialMsg>::Remove(this);
    signature_ = 0;
}

bool CSerialMsg::IsValid() const { return LiveObjects<CSerialMsg>::Contains(this) && signature_ == kSignature; }

void CSerialMsg::Reset() {
    if (!IsValid()) return;
    if (data_) std::memset(data_.get(), 0, capacity_);
    length_ = 0;
    GetSystemTimeAsFileTime(&timestamp_);
}

bool CSerialMsg::Allocate(DWORD n) {
    if (!IsValid()) return false;
    data_.reset();
    length_ = 0;
    capacity_ = 0;
    data_.reset(new (std::nothrow) BYTE[n]());
    if (!data_) return false;
    capacity_ = n;
    return true;
}

bool CSerialMsg::SetData(const BYTE* bytes, DWORD n) {
    if (!IsValid() || !data_ || capacity_ < n || (n > 0 && bytes == nullptr)) return false;
    if (n > 0) std::memcpy(data_.get(), bytes, n);
    length_ = n;
    return true;
}

bool CSerialMsg::Append(BYTE byte) {
    if (!IsValid() || !data_ || length_ >= capacity_) return false;
    data_[length_++] = byte;
    return true;
}
