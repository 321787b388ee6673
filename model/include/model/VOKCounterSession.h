#pragma once
// A counter device's use of its port and of its counter: opening and closing
// the port, the counter transactions (each a select, the exchange and a
// release under the device's I/O lock, given the device's stop flag unless
// the caller brings its own) and the initialisation sequence that pushes the
// device's configuration into the counter when polling starts.

#include "foundation/Dll.h"
#include "link/VOKCommands.h"
#include "model/OPCS_Device.h"

#include <cstdint>
#include <string>

class VOKDevice;

class VOKCounterSession {
public:
    explicit VOKCounterSession(VOKDevice& device) : device_(device) {}
    VOKCounterSession(const VOKCounterSession&) = delete;
    VOKCounterSession& operator=(const VOKCounterSession&) = delete;

    // The device's own opening of its port, kept until ClosePort.
    bool OpenPort();
    void ClosePort();
    bool IsPortOpen() const;

    // Opens the port for one configuration change when the device has not
    // opened it, and closes exactly what it opened. The port's use is counted
    // per user, so a poll loop that opens the port meanwhile keeps its own opening.
    class PortUse {
    public:
        PortUse(bool alreadyOpen, int port);
        ~PortUse();
        PortUse(const PortUse&) = delete;
        PortUse& operator=(const PortUse&) = delete;
        bool Failed() const { return failed_; }

    private:
        int port_;
        bool opened_ = false;
        bool failed_ = false;
    };

    bool ReadType(std::string& text, const StopFlag* stop = nullptr);
    bool ReadVersion(std::string& text, const StopFlag* stop = nullptr);
    bool ReadData(BYTE& flags, Dll<VOK_DataRec>& records);
    bool ReadBinSizes(Dll<double>& sizes, const StopFlag* stop = nullptr);
    bool ReadCalPts(Dll<VOK_CalPt>& points, const StopFlag* stop = nullptr);
    bool ReadSampleInterval(int& seconds, const StopFlag* stop = nullptr);
    bool ReadCounterMode(int& mode);
    bool WriteBinSizes(const Dll<double>& sizes);
    bool StartSampling();
    bool WriteSampleInterval(int seconds);
    bool SetManualMode();
    bool ClearBuffer();

    // The initialisation sequence: firmware version and calibration points
    // come from the counter, the device's sample interval and bins go to it.
    // True at once when the device is initialised already or simulating.
    bool Initialise();

private:
    template <typename F>
    bool Transact(const StopFlag* stop, F&& exchange);
    bool InitStep(bool ok, const char* failure);

    VOKDevice& device_;
    bool portOpen_ = false;  // under the device lock
};
