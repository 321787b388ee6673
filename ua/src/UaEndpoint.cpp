#include "ua/UaEndpoint.h"

#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"

#include <atomic>
#include <cstdio>

namespace ua {

namespace {
std::atomic<UaEndpoint*> g_endpoint{nullptr};
}  // namespace

UaEndpoint* ProgramEndpoint() { return g_endpoint.load(); }

UaEndpoint::~UaEndpoint() { StopServing(); }

void UaEndpoint::StartServing(OPCS_App& app) {
    OPCS_Registry& settings = ProgramSettings();
    const CommandLine& line = app.GetCommandLine();
    // What the command line names is kept, as the options page's choice would be.
    if (line.uaPort) settings.SetUaPort(static_cast<DWORD>(*line.uaPort));
    if (line.uaListen) settings.SetUaListenAddress(*line.uaListen);
    if (line.uaNone) settings.SetUaAllowNone(*line.uaNone);
    if (line.uaAnonymous) settings.SetUaAllowAnonymous(*line.uaAnonymous);
    g_endpoint.store(this);
    std::lock_guard lock(mutex_);
    std::string error;
    if (!OpenLocked(error))
        std::fprintf(stderr, "vok-explorer: the OPC UA endpoint is not open: %s; OPC DA clients are served as before\n",
                     error.c_str());
}

void UaEndpoint::StopServing() {
    UaEndpoint* self = this;
    g_endpoint.compare_exchange_strong(self, nullptr);
    std::lock_guard lock(mutex_);
    server_.Stop();
}

std::string UaEndpoint::EndpointUrl() const {
    std::lock_guard lock(mutex_);
    return server_.IsRunning() ? server_.EndpointUrl() : std::string();
}

bool UaEndpoint::Restart(std::string& error) {
    std::lock_guard lock(mutex_);
    server_.Stop();
    return OpenLocked(error);
}

std::size_t UaEndpoint::SessionCount() const {
    std::lock_guard lock(mutex_);
    return server_.SessionCount();
}

std::string UaEndpoint::StateText() const {
    std::lock_guard lock(mutex_);
    if (server_.IsRunning()) return "Serving at " + server_.EndpointUrl();
    if (!lastError_.empty()) return "Not open: " + lastError_;
    return "Off (port 0)";
}

bool UaEndpoint::OpenLocked(std::string& error) {
    const OPCS_Registry& settings = ProgramSettings();
    lastError_.clear();
    if (settings.GetUaPort() == 0) {
        EventLog().Append("OPC UA endpoint off (port 0)").Commit(CLogFile::kWrite);
        return true;
    }
    UaServerSettings wanted;
    wanted.port = static_cast<std::uint16_t>(settings.GetUaPort());
    wanted.listenAddress = settings.GetUaListenAddress();
    wanted.noneOnLoopback = settings.GetUaAllowNone();
    wanted.anonymous = settings.GetUaAllowAnonymous();
    wanted.signOnly = settings.GetUaOfferSign();
    if (server_.Start(wanted, error)) return true;
    lastError_ = error;
    return false;
}

}  // namespace ua
