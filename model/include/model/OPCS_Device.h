#pragma once
// The generic device: a tag group without a parent that owns one poll thread
// for its whole life. Operators and OPC clients ask it to poll; the thread
// runs its poll loop while at least one request is outstanding and sleeps on
// an event otherwise. Each pass calls the derived class's PollOnce.

#include "foundation/Dll.h"
#include "model/OPCS_TagGroup.h"
#include "platform/Sync.h"
#include "platform/Time.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The flag long counter-link operations poll to abandon their work.
using StopFlag = std::atomic<bool>;

constexpr WORD kQualityNotConnected = 0x08;

class CArchive;
class OPCS_Device : public OPCS_TagGroup {
public:
    enum PollState : std::int32_t {
        kPollingStopped = 0,
        kPollingStarting = 1,
        kWaitingPollInterval = 2,
        kPollingDevice = 3,
    };
    // Who asks for polling; kQueryOnly only reads the total.
    enum Requester : std::int32_t { kOperator = 0, kClient = 1, kQueryOnly = 2 };

    static constexpr DWORD kMinUpdateInterval = 1;
    static constexpr DWORD kMaxUpdateInterval = 3599;

    OPCS_Device();
    ~OPCS_Device() override;

    static bool IsValidDevice(const OPCS_TagGroup* group);
    // False when another live device has this name (letter case ignored).
    static bool IsUniqueDeviceName(const std::string& name, const OPCS_Device* except);

    virtual std::string GetNamePrefix() const;
    virtual void SetUpdateInterval(DWORD seconds);
    virtual void SetInService(bool inService);
    virtual std::string GetDefaultName() = 0;
    virtual bool WriteDeviceTag(OPCS_Tag* tag, const VARIANT& value);
    virtual void PollOnce() = 0;
    virtual void OnPollStart();
    virtual void OnPollStop();
    virtual void RebuildTagList();
    virtual void SetCommOK(bool ok);

    bool WriteTag(OPCS_Tag* tag, const VARIANT& value) override;
    void Serialize(CArchive& ar) override;
    OPCS_TagGroup* GetDevice() override { return this; }
    bool IsDevice() const override { return true; }
    bool CanDelete() const override;

    // Poll requests; each returns the total afterwards.
    std::int32_t RequestPolling(std::int32_t requester);
    std::int32_t ReleasePolling(std::int32_t requester);
    void ForceUpdate();
    // Every volatile tag of the flat list: Empty, this quality, time stamp 0.
    void SetAllVolatile(WORD quality);

    std::int32_t GetPollState() const { return pollState_.load(); }
    SYSTEMTIME GetLastPollTime() const;
    // Poll passes ended since the device was made; a watcher that missed one sees the gap.
    std::uint64_t GetPollPassCount() const;
    DWORD GetUpdateInterval() const;
    bool IsInService() const { return inService_.load(); }
    bool IsCommOK() const { return commOK_.load(); }
    std::int32_t GetGuiPollRequests() const;
    std::int32_t GetClientPollRequests() const;
    std::int32_t GetTotalPollRequests() const;
    bool HasPollThread() const { return thread_ != nullptr; }
    // A copy of the flat list of every tag in the device's tree.
    void CopyTagList(Dll<OPCS_Tag*>& out) const;

    bool IsStopRequested() const { return stopRequested_.load(); }
    bool IsTerminating() const { return terminate_.load(); }
    // The flag every device transaction is given.
    const StopFlag* GetStopFlag() const { return &stopRequested_; }

    // Serialises the derived class's device transactions.
    void LockIO() const { EnterCriticalSection(&ioLock_); }
    void UnlockIO() const { LeaveCriticalSection(&ioLock_); }

protected:
    // Ends the poll thread and waits for it. A derived class calls it first in
    // its destructor, so that the thread never runs into a half-destroyed device.
    void StopPollThread();
    // Leaves the program-wide device list; a derived destructor may call it
    // before its own teardown, the base destructor calls it in any case.
    void LeaveDeviceList();
    void SetStopRequested(bool on);
    // Sleeps up to ms; false when cut short because the device is being
    // destroyed or (when honourStop) polling was asked to stop.
    bool Pause(DWORD ms, bool honourStop = true);

private:
    static DWORD PollThreadMain(LPVOID self);
    void RunPollThread();
    void RunPollLoop();
    void SetPollState(std::int32_t state) { pollState_.store(state); }
    void StampLastPoll();
    void WakePauses();
    // With the device lock held: makes the loop's references match the flat list.
    void SyncLoopReferences();
    void ReleaseLoopReferences();
    void LogEntry(const char* text);

    std::atomic<bool> terminate_{false};
    std::atomic<bool> commOK_{true};
    StopFlag stopRequested_{false};
    std::atomic<bool> inService_{true};
    HANDLE thread_ = nullptr;
    HANDLE wakeEvent_ = nullptr;
    HANDLE startEvent_ = nullptr;
    DWORD updateInterval_ = 30;
    DWORD threadId_ = 0;
    SYSTEMTIME lastPollTime_{};
    std::uint64_t pollPasses_ = 0;
    Dll<OPCS_Tag*> tagList_;
    std::int32_t guiPollRequests_ = 0;
    std::int32_t clientPollRequests_ = 0;
    mutable CRITICAL_SECTION ioLock_;
    std::atomic<std::int32_t> pollState_{kPollingStopped};
    std::int32_t totalPollRequests_ = 0;

    // The tags the running poll loop holds a reference on, kept equal to the
    // flat list while the loop runs, so that every reference it took is given
    // back exactly once whatever the configuration does meanwhile.
    bool loopHoldsReferences_ = false;
    std::vector<OPCS_Tag*> loopReferences_;

    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
};
