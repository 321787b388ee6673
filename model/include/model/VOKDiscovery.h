#pragma once
// The search for counters on the serial ports: one search thread per usable
// port selects every bus address in turn, and each counter that answers
// becomes a counter device initialised from the counter itself. The window's
// status page and the command line read the same progress and results.
//
// Threads are never killed: stopping sets the stop flag, which ends every
// address loop and abandons the exchange in progress, and then waits for the
// threads. A thread still running when the wait gives up is left to end by
// itself; whatever it finds after that is destroyed, never handed out.

#include "foundation/Dll.h"
#include "link/VOKProtocol.h"
#include "model/VOKDevice.h"
#include "platform/WinTypes.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class VOKDiscovery {
public:
    // How long stopping waits for the search threads.
    static constexpr DWORD kStopWaitMs = 60000;
    // Combinations per port: the address bytes 0x80 to 0xBF.
    static constexpr int kAddressesPerPort = 64;

    struct Progress {
        int ports = 0;    // ports searched
        int total = 0;    // ports x 64
        int checked = 0;  // combinations done so far
        int found = 0;    // devices found
    };

    VOKDiscovery();
    // Stops the search (waiting as Stop does) and destroys the devices found.
    ~VOKDiscovery();
    VOKDiscovery(const VOKDiscovery&) = delete;
    VOKDiscovery& operator=(const VOKDiscovery&) = delete;

    // Starts a search; nothing happens while one runs or a stop is pending.
    // Devices of an earlier search are destroyed first. The ports are every
    // listed port, or only those with the numbers given; a port that cannot be
    // opened is left out. Returns the number of search threads started (0: no
    // usable port, and nothing runs).
    int Start(const std::vector<int>& onlyPorts = {});

    Progress GetProgress() const;
    // The found lines from index `first` on, for a list that shows them as they come.
    std::vector<std::string> FoundLinesFrom(std::size_t first) const;
    // The search went through every combination (never true without a port).
    bool IsComplete() const;
    // Threads are running (stopping or not).
    bool IsRunning() const;

    // Stopping in two steps, for a caller that must keep its window painting:
    // RequestStop sets the stop flag; WaitStopped waits up to the time given
    // and is true once every thread has ended, then closing the search down.
    void RequestStop();
    bool WaitStopped(DWORD milliseconds);
    // Gives up on threads that did not end: logs it, leaves them to end by
    // themselves, and destroys the devices found (the search counts as
    // cancelled). Does nothing when every thread has ended.
    void Abandon();
    // RequestStop, WaitStopped(timeout) and, on time-out, Abandon; false then.
    bool Stop(DWORD timeoutMs = kStopWaitMs);

    // After a stop: hands the devices found over, in the order they were found.
    std::vector<std::unique_ptr<VOKDevice>> TakeFound();
    // Cancel: destroys the devices found and counts nothing checked.
    void DiscardFound();

    // What the search threads share with this object (defined where they run).
    struct Search;

private:
    void CloseThreads();

    std::shared_ptr<Search> search_;  // shared with the threads, which may outlive this object
    std::vector<HANDLE> threads_;
    bool stopping_ = false;
};

// The adding step: each found device, in order, that is unique on the bus (no
// other counter device has its port and address or its name) goes to add,
// which takes ownership when it returns true. Every other one is destroyed,
// after one log entry for each configured device it conflicts with. Returns
// the devices added.
int AddDiscoveredDevices(std::vector<std::unique_ptr<VOKDevice>> found,
                         const std::function<void(Dll<OPCS_Device*>&)>& copyConfigured,
                         const std::function<bool(VOKDevice*)>& add);
