#include "model/VOKCounterSession.h"

#include "VOKDeviceSupport.h"
#include "foundation/CLogFile.h"
#include "foundation/TextCompare.h"
#include "model/VOKDataMapper.h"
#include "model/VOKDevice.h"

using vokdevice::Hold;
using vokdevice::IOHold;
using vokdevice::LogStart;

// ---------------------------------------------------------------------------
// The port

VOKCounterSession::PortUse::PortUse(bool alreadyOpen, int port) : port_(port) {
    if (alreadyOpen) return;
    opened_ = VOK_OpenPort(port);
    failed_ = !opened_;
    if (failed_) EventLog().Append("Unable to open port COM:").Append(port).Commit(CLogFile::kWrite);
}

VOKCounterSession::PortUse::~PortUse() {
    if (opened_ && !VOK_ClosePort(port_))
        EventLog().Append("Unable to close port COM:").Append(port_).Commit(CLogFile::kWrite);
}

bool VOKCounterSession::OpenPort() {
    int port = 0;
    {
        Hold hold(device_);
        if (portOpen_) return true;
        port = device_.portNumber_;
    }
    if (!VOK_OpenPort(port)) {
        EventLog().Append("Unable to open port COM:").Append(port).Commit(CLogFile::kWrite);
        return false;
    }
    Hold hold(device_);
    portOpen_ = true;
    return true;
}

void VOKCounterSession::ClosePort() {
    int port = 0;
    {
        Hold hold(device_);
        if (!portOpen_) return;
        portOpen_ = false;
        port = device_.portNumber_;
    }
    if (!VOK_ClosePort(port)) EventLog().Append("Unable to close port COM:").Append(port).Commit(CLogFile::kWrite);
}

bool VOKCounterSession::IsPortOpen() const {
    Hold hold(device_);
    return portOpen_;
}

// ---------------------------------------------------------------------------
// Transactions

template <typename F>
bool VOKCounterSession::Transact(const StopFlag* stop, F&& exchange) {
    IOHold io(device_);
    if (device_.IsSimulation()) return true;
    const StopFlag* flag = stop != nullptr ? stop : device_.GetStopFlag();
    std::int32_t handle = 0;
    if (!VOK_SelectCounter(device_.GetPort(), device_.GetAddress(), handle, flag)) return false;
    const bool ok = exchange(handle, flag);
    VOK_ReleaseCounter(handle);
    return ok;
}

bool VOKCounterSession::ReadType(std::string& text, const StopFlag* stop) {
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadType(h, text, f); });
}
bool VOKCounterSession::ReadVersion(std::string& text, const StopFlag* stop) {
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadVersion(h, text, f); });
}
bool VOKCounterSession::ReadData(BYTE& flags, Dll<VOK_DataRec>& records) {
    records.RemoveAll();
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadData(h, flags, records, f); });
}
bool VOKCounterSession::ReadBinSizes(Dll<double>& sizes, const StopFlag* stop) {
    sizes.RemoveAll();
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadBinSizes(h, sizes, f); });
}
bool VOKCounterSession::ReadCalPts(Dll<VOK_CalPt>& points, const StopFlag* stop) {
    points.RemoveAll();
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadCalPts(h, points, f); });
}
bool VOKCounterSession::ReadSampleInterval(int& seconds, const StopFlag* stop) {
    return Transact(stop, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadSampleInterval(h, seconds, f); });
}
bool VOKCounterSession::ReadCounterMode(int& mode) {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_ReadCounterMode(h, mode, f); });
}
bool VOKCounterSession::WriteBinSizes(const Dll<double>& sizes) {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_WriteBinSizes(h, sizes, f); });
}
bool VOKCounterSession::StartSampling() {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_StartSampling(h, f); });
}
bool VOKCounterSession::WriteSampleInterval(int seconds) {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_WriteSampleInterval(h, seconds, f); });
}
bool VOKCounterSession::SetManualMode() {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_SetManualMode(h, f); });
}
bool VOKCounterSession::ClearBuffer() {
    return Transact(nullptr, [&](std::int32_t h, const StopFlag* f) { return VOK_ClearBuffer(h, f); });
}

// ---------------------------------------------------------------------------
// Initialisation

bool VOKCounterSession::InitStep(bool ok, const char* failure) {
    if (!ok && !device_.IsStopRequested()) device_.LogDevice(failure);
    return ok && !device_.IsStopRequested();
}

bool VOKCounterSession::Initialise() {
    if (device_.IsInitialised() || device_.IsSimulation()) return true;
    IOHold io(device_);
    if (device_.IsStopRequested()) return false;

    int mode = 2;
    if (!InitStep(ReadCounterMode(mode), "Failed to read counter mode")) return false;

    std::string type;
    if (!InitStep(ReadType(type), "Init - Failed to read device type")) return false;
    if (!EqualNoCase(type, "MCA")) {
        LogStart("Device:", device_.GetName()).Append("Init - Invalid device type response:").Append(type).Commit(
            CLogFile::kWrite);
        return false;
    }

    std::string version;
    if (!InitStep(ReadVersion(version), "Init - Failed to read firmware version")) return false;
    {
        Hold hold(device_);
        device_.softwareVersion_ = version;
    }
    device_.Data().SetVersionTag();

    Dll<VOK_CalPt> points;
    if (!InitStep(ReadCalPts(points), "Init - Failed to read cal pts")) return false;
    device_.SetCalPoints(points);

    int seconds = 0;
    if (!InitStep(ReadSampleInterval(seconds), "Init - Failed to read sample interval")) return false;
    const int configured = static_cast<int>(device_.GetSampleInterval());
    if (seconds != configured) {
        if (!InitStep(WriteSampleInterval(configured), "Init - Failed to write sample interval")) return false;
        ClearBuffer();
    }
    device_.Data().SetSampleIntervalTag();

    Dll<double> counterBins;
    if (!InitStep(ReadBinSizes(counterBins), "Init - Failed to read bin sizes")) return false;
    Dll<double> bins;
    device_.GetBinSizes(bins);
    if (!vokdevice::SameList(counterBins, bins)) {
        if (!InitStep(WriteBinSizes(bins), "Init - Failed to write bin sizes")) return false;
        ClearBuffer();
    }

    if (!InitStep(SetManualMode(), "Init - Failed to set counter to manual mode")) return false;
    if (!InitStep(StartSampling(), "Init - Failed to start sampling")) return false;
    device_.initialised_ = true;
    return true;
}
