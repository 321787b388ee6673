#include "model/VOKDiscovery.h"

#include "foundation/CLogFile.h"
#include "foundation/TextCompare.h"
#include "link/CSerial.h"
#include "link/VOKCommands.h"
#include "model/VOKDevice.h"
#include "platform/SerialNames.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/Time.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>

// What the search threads share with the caller. The threads hold it too, so
// a thread left to end by itself never touches freed memory.
struct VOKDiscovery::Search {
    StopFlag stop{false};
    // Set when the caller gave up waiting: a late thread destroys what it finds.
    std::atomic<bool> abandoned{false};

    mutable std::mutex foundLock;  // guards found and lines
    std::vector<std::unique_ptr<VOKDevice>> found;
    std::vector<std::string> lines;

    mutable std::mutex progressLock;  // guards checked
    int checked = 0;
    int ports = 0;  // fixed before the threads start
    int total = 0;

    void AddChecked(int n) {
        std::lock_guard lock(progressLock);
        checked += n;
    }
    int Checked() const {
        std::lock_guard lock(progressLock);
        return checked;
    }
};

namespace {

struct SearchThreadArgs {
    std::shared_ptr<VOKDiscovery::Search> search;
    CSerial* port = nullptr;
};

void LogPort(const char* text, const std::string& port) { EventLog().Append(text).Append(port).Commit(CLogFile::kWrite); }

void LogPortAddress(const char* text, const std::string& port, BYTE address) {
    EventLog().Append(text).Append(port).Append("Address:").AppendByte(address).Commit(CLogFile::kWrite);
}

// The line a found device shows in the list: its name, bus address and port.
std::string FoundLine(const std::string& name, BYTE address, const std::string& port) {
    char text[64];
    std::snprintf(text, sizeof text, ", Addr: %d, Port: ", address - 0x80);
    return name + text + port;
}

// One address of a port: a select, and for a counter that answers, the
// reading of its properties. A device found is kept unless the caller gave up.
void ExamineAddress(VOKDiscovery::Search& search, int number, const std::string& name, BYTE address) {
    std::int32_t handle = 0;
    if (!VOK_SelectCounter(number, address, handle, &search.stop)) return;
    LogPortAddress("4400 VOK found on Port:", name, address);
    VOK_ReleaseCounter(handle);

    std::unique_ptr<VOKDevice> device = VOKDevice::Create(true);
    if (!device->InitFromDiscovery(address, name, &search.stop)) {
        device.reset();
        EventLog().Append("4400 VOK failed AutoDiscover, Port:").Append(name).Append("Address:").AppendByte(address)
            .Commit(CLogFile::kWrite);
        return;
    }
    device->SetName(device->GetDefaultName());
    const std::string line = FoundLine(device->GetName(), address, name);
    std::lock_guard lock(search.foundLock);
    if (search.abandoned.load()) return;  // the device goes with this call
    search.found.push_back(std::move(device));
    search.lines.push_back(line);
}

// One port: every address in turn, while the search is neither stopped nor through.
DWORD SearchPort(LPVOID parameter) {
    const std::unique_ptr<SearchThreadArgs> args(static_cast<SearchThreadArgs*>(parameter));
    VOKDiscovery::Search& search = *args->search;
    const std::string name = args->port->GetName();
    LogPort("Starting search on port:", name);
    int number = 0;
    if (!serialnames::ParseComName(name, &number) || !VOK_OpenPort(number)) {
        LogPort("Unable to open port:", name);
        search.AddChecked(VOKDiscovery::kAddressesPerPort);
        return 0;
    }
    for (int a = kFirstCounterAddress; a <= kLastCounterAddress; ++a) {
        if (StopRequested(&search.stop) || search.Checked() >= search.total) break;
        ExamineAddress(search, number, name, static_cast<BYTE>(a));
        // Counted once examined: the count reaching the total is what ends
        // the search, and it must not cut short the last port's last counter.
        search.AddChecked(1);
    }
    LogPort("Search ending on port:", name);
    VOK_ClosePort(number);
    return 0;
}

}  // namespace

VOKDiscovery::VOKDiscovery() : search_(std::make_shared<Search>()) {}

VOKDiscovery::~VOKDiscovery() {
    Stop();
    DiscardFound();
}

int VOKDiscovery::Start(const std::vector<int>& onlyPorts) {
    if (!threads_.empty() || stopping_) return 0;
    DiscardFound();
    search_ = std::make_shared<Search>();

    Dll<CSerial*> listed;
    CSerial::ListPorts(listed);
    std::vector<CSerial*> ports;
    for (CSerial* port : listed) {
        int number = 0;
        serialnames::ParseComName(port->GetName(), &number);
        if (!onlyPorts.empty() && std::find(onlyPorts.begin(), onlyPorts.end(), number) == onlyPorts.end()) continue;
        // A trial: a port that cannot be opened now is left out of the search.
        if (!port->Open()) {
            LogPort("Unable to open Port:", port->GetName());
            continue;
        }
        port->Close();
        ports.push_back(port);
    }
    search_->ports = static_cast<int>(ports.size());
    search_->total = search_->ports * kAddressesPerPort;
    if (ports.empty()) return 0;

    EventLog().Append("Starting").Append(search_->ports).Append("search threads, #Combos:").Append(search_->total)
        .Commit(CLogFile::kWrite);
    for (CSerial* port : ports) {
        auto* args = new SearchThreadArgs{search_, port};
        HANDLE thread = CreateThread(nullptr, 0, SearchPort, args, 0, nullptr);
        if (thread == nullptr) {
            delete args;
            LogPort("Unable to start the search on port:", port->GetName());
            search_->AddChecked(kAddressesPerPort);
            continue;
        }
        threads_.push_back(thread);
    }
    return static_cast<int>(threads_.size());
}

VOKDiscovery::Progress VOKDiscovery::GetProgress() const {
    Progress p;
    p.ports = search_->ports;
    p.total = search_->total;
    p.checked = search_->Checked();
    std::lock_guard lock(search_->foundLock);
    p.found = static_cast<int>(search_->found.size());
    return p;
}

std::vector<std::string> VOKDiscovery::FoundLinesFrom(std::size_t first) const {
    std::lock_guard lock(search_->foundLock);
    if (first >= search_->lines.size()) return {};
    return {search_->lines.begin() + static_cast<std::ptrdiff_t>(first), search_->lines.end()};
}

bool VOKDiscovery::IsComplete() const { return search_->total > 0 && search_->Checked() >= search_->total; }

bool VOKDiscovery::IsRunning() const { return !threads_.empty(); }

void VOKDiscovery::RequestStop() {
    if (threads_.empty() || stopping_) return;
    EventLog().Append("Stopping the discover process").Commit(CLogFile::kWrite);
    stopping_ = true;
    search_->stop.store(true);
}

bool VOKDiscovery::WaitStopped(DWORD milliseconds) {
    if (threads_.empty()) return true;
    const DWORD start = GetTickCount();  // differences stay right across the counter's wrap
    for (HANDLE thread : threads_) {
        const DWORD spent = GetTickCount() - start;
        const DWORD left = spent >= milliseconds ? 0 : milliseconds - spent;
        if (WaitForSingleObject(thread, left) != WAIT_OBJECT_0) return false;
    }
    CloseThreads();
    EventLog().Append("Discover process finished").Commit(CLogFile::kWrite);
    return true;
}

void VOKDiscovery::Abandon() {
    if (threads_.empty()) return;
    EventLog().Append("Timeout waiting for discover threads, leaving them to end by themselves").Commit(
        CLogFile::kWrite);
    search_->abandoned.store(true);
    CloseThreads();
    DiscardFound();
}

bool VOKDiscovery::Stop(DWORD timeoutMs) {
    RequestStop();
    if (WaitStopped(timeoutMs)) return true;
    Abandon();
    return false;
}

void VOKDiscovery::CloseThreads() {
    // Closing a handle leaves its thread running; a thread that has ended is gone with it.
    for (HANDLE thread : threads_) CloseHandle(thread);
    threads_.clear();
    stopping_ = false;
}

std::vector<std::unique_ptr<VOKDevice>> VOKDiscovery::TakeFound() {
    std::lock_guard lock(search_->foundLock);
    search_->lines.clear();
    return std::exchange(search_->found, {});
}

void VOKDiscovery::DiscardFound() {
    std::vector<std::unique_ptr<VOKDevice>> doomed;
    {
        std::lock_guard lock(search_->foundLock);
        doomed = std::exchange(search_->found, {});
        search_->lines.clear();
    }
    {
        std::lock_guard lock(search_->progressLock);
        search_->checked = 0;
    }
    doomed.clear();  // outside the found lock: a device's destruction takes the model's locks
}

int AddDiscoveredDevices(std::vector<std::unique_ptr<VOKDevice>> found,
                         const std::function<void(Dll<OPCS_Device*>&)>& copyConfigured,
                         const std::function<bool(VOKDevice*)>& add) {
    int added = 0;
    for (std::unique_ptr<VOKDevice>& device : found) {
        if (device->IsUniqueOnBus() && add(device.get())) {
            device.release();  // owned by the configuration now
            ++added;
            continue;
        }
        const std::int32_t port = device->GetPort();
        const BYTE address = device->GetAddress();
        const std::string name = device->GetName();
        Dll<OPCS_Device*> configured;
        copyConfigured(configured);
        for (OPCS_Device* other : configured) {
            const auto* counter = VOKDevice::IsValidVOKDevice(other) ? static_cast<const VOKDevice*>(other) : nullptr;
            if (counter == nullptr) continue;
            // Read before the entry: the log's lock is taken last.
            const std::string otherName = counter->GetName();
            const std::int32_t otherPort = counter->GetPort();
            const BYTE otherAddress = counter->GetAddress();
            if (!(otherPort == port && otherAddress == address) && !EqualNoCase(otherName, name)) continue;
            EventLog().Append("Conflicting device discovered - Existing device name:").Append(otherName)
                .Append("Addr:").AppendByte(otherAddress).Append("Port:").Append(static_cast<int>(otherPort))
                .Commit(CLogFile::kWrite);
        }
    }
    return added;
}
