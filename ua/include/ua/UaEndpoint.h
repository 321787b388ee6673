#pragma once
// The program's OPC UA endpoint as the operator and the service manager see
// it: its port and listen address come from the settings, overridden (and
// kept) by the command line; it opens once the OPC DA class is published and
// closes before the program's OPC servers go. A port in use is reported and
// the OPC DA server serves on.

#include "opc/OPCS_App.h"
#include "ua/UaServer.h"

#include <mutex>
#include <string>

namespace ua {

class UaEndpoint : public ServingExtension {
public:
    UaEndpoint() = default;
    ~UaEndpoint() override;

    void StartServing(OPCS_App& app) override;
    void StopServing() override;
    std::string EndpointUrl() const override;

    // Closes the endpoint and opens it again with the settings' port and
    // address (the options page's change); false with the reason when it
    // cannot open. Port 0 only closes it.
    bool Restart(std::string& error);
    std::size_t SessionCount() const;
    // The text the options page and the log give for the endpoint's state.
    std::string StateText() const;

private:
    bool OpenLocked(std::string& error);

    mutable std::mutex mutex_;
    UaServer server_;
    std::string lastError_;
};

// The running program's endpoint, null outside it (tests, tools).
UaEndpoint* ProgramEndpoint();

}  // namespace ua
