// Any bytes from the line as a counter's answer to one command. The first
// byte picks the command (its message type; for a select, the next byte is
// the address sent); the rest is what the counter sends back, byte by byte,
// as the port hands it over: each command byte's echo and, after the last,
// the reply. The message decides when a reply is whole, checks the echo and
// cuts out the payload; the payload goes through the decoding its read
// applies and, for data, bin sizes and the sample interval, onto a counter
// device's tags.
#include "link/VOKCommands.h"
#include "link/VOKMsg.h"
#include "link/VOKProtocol.h"
#include "model/VOKDataMapper.h"
#include "model/VOKDevice.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "reply decoding: %s\n", what);
    std::abort();
}

// One received message, as the port fills it: from empty, byte by byte,
// until the message says it is whole or it is full. False when the line
// ran dry first (the port's time-out).
bool Receive(VOKMsg& message, Input& in) {
    message.Reset();
    bool complete = message.IsComplete();
    while (!complete && message.Length() < message.Capacity()) {
        if (in.at >= in.size) return false;
        message.Append(in.data[in.at++]);
        complete = message.IsComplete();
    }
    return complete;
}

// One counter device with its tag tree, made once: its poll thread sleeps
// until someone asks it to poll, which nobody here does.
VOKDevice& Device() {
    static VOKDevice* device = VOKDevice::Create(false).release();
    return *device;
}

void Decode(int type, const BYTE* payload, DWORD n) {
    switch (type) {
    case VOKType::ReadData: {
        BYTE status = 0;
        Dll<VOK_DataRec> records;
        const bool good = VOK_DecodeData(payload, n, status, records);
        if (good != (n == 0 || n > 20)) Fault("a data payload was taken or refused by its length wrongly");
        if (n > 20 && static_cast<DWORD>(records.GetCount()) != (n - 21) / 11)
            Fault("a data payload gave the wrong number of records");
        for (const VOK_DataRec& record : records)
            if (record.name.size() != 3) Fault("a record label is not three characters");
        if (good) Device().Data().ProcessCounterData(status, records);
        break;
    }
    case VOKType::ReadBinSizes: {
        Dll<double> sizes;
        VOK_DecodeBinSizes(payload, n, sizes);
        Device().Data().ApplyBinSizes(sizes);
        break;
    }
    case VOKType::ReadCalPoints: {
        Dll<VOK_CalPt> points;
        VOK_DecodeCalPts(payload, n, points);
        break;
    }
    case VOKType::ReadSampleInterval:
        // The read hands over only a payload of four characters or more.
        if (n >= 4) (void)VOK_DecodeSampleInterval(payload);
        break;
    default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Input in{data, size, 1};
    const int type = data[0] % (VOKType::None + 1);

    BYTE buffer[VOKMsg::kBufferSize];
    DWORD length = VOKMsg::kBufferSize;
    if (type == VOKType::Address) {
        if (size < 2) return 0;
        VOK_BuildAddress(data[in.at++], buffer, length);
    } else {
        VOK_BuildCommand(type, buffer, length);
        if (length == VOKMsg::kBufferSize) length = 0;  // nothing was built
    }

    // The exchange: each command byte goes out and its echo must come back.
    VOKMsg message;
    if (!message.SetType(type)) return 0;
    for (DWORD i = 0; i < length; ++i) {
        message.SetData(&buffer[i], 1);
        message.SetLastSent(buffer[i]);
        if (!Receive(message, in)) break;
        if (!message.CheckEcho()) return 0;
    }
    if (message.Length() > message.Capacity()) Fault("the message grew beyond its array");

    BYTE payload[VOKMsg::kBufferSize];
    DWORD n = 0;
    if (!message.GetPayload(payload, n, sizeof payload)) {
        if (n != 0) Fault("a refused reply left a payload length");
        return 0;
    }
    if (n > message.Length()) Fault("the payload is longer than the reply");
    Decode(type, payload, n);
    return 0;
}
