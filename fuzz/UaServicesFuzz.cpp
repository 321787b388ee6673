// Fuzz target: any bytes as the body of a request an OPC UA client sends in
// an activated session. The services decode the body themselves (browse
// descriptions, read and write values, monitored-item requests with their
// filters, acknowledgements); whatever it holds they must answer with a
// response or a ServiceFault and never crash, leak or allocate without bound.
//
// The first byte picks the service, the rest is its body. The server runs as
// in the program, over a configuration of one simulated counter in this
// process, with one session made and activated once for all inputs.
#include "AddressSpace.h"
#include "AttributeServices.h"
#include "Messages.h"
#include "ServiceDispatcher.h"
#include "SessionManager.h"
#include "SubscriptionService.h"
#include "ViewServices.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "opc/InProcessServer.h"
#include "platform/Com.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

// Answers go nowhere; the services only have to give them.
class DiscardingChannel : public ua::ChannelLink {
public:
    std::uint32_t Id() const override { return 1; }
    bool Send(std::uint32_t, std::vector<std::uint8_t>) override { return true; }
    bool IsOpen() const override { return true; }
    std::string EndpointUrl() const override { return "opc.tcp://localhost:4840"; }
    std::string PeerAddress() const override { return "127.0.0.1:1"; }
};

constexpr std::array<std::uint32_t, 18> kServices = {
    ua::encoding::BrowseRequest,
    ua::encoding::BrowseNextRequest,
    ua::encoding::TranslateBrowsePathsToNodeIdsRequest,
    ua::encoding::RegisterNodesRequest,
    ua::encoding::UnregisterNodesRequest,
    ua::encoding::ReadRequest,
    ua::encoding::WriteRequest,
    ua::encoding::CreateSubscriptionRequest,
    ua::encoding::ModifySubscriptionRequest,
    ua::encoding::SetPublishingModeRequest,
    ua::encoding::DeleteSubscriptionsRequest,
    ua::encoding::PublishRequest,
    ua::encoding::RepublishRequest,
    ua::encoding::CreateMonitoredItemsRequest,
    ua::encoding::ModifyMonitoredItemsRequest,
    ua::encoding::SetMonitoringModeRequest,
    ua::encoding::DeleteMonitoredItemsRequest,
    ua::encoding::HistoryReadRequest,
};

struct Server {
    Server() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        auto device = VOKDevice::Create(false);
        device->SetName("Dev0");
        device->SetSimulation(true);
        host.UseDocument().AddDevice(device.release());
        info.applicationUri = "urn:fuzz:VOKExplorer";
        info.endpointUrl = "opc.tcp://localhost:4840";
        space = std::make_unique<ua::AddressSpace>(info);
        subscriptions = std::make_unique<ua::SubscriptionService>(*space);
        ua::RegisterViewServices(table, *space);
        ua::RegisterAttributeServices(table, *space);
        subscriptions->Register(table);
        sessions.OnSessionEnd([this](ua::Session& s, bool d) { subscriptions->OnSessionEnd(s, d); });
        dispatcher = std::make_unique<ua::ServiceDispatcher>(table, sessions, 1);
        std::shared_ptr<ua::ServerSession> session;
        if (ua::IsBad(sessions.Create("fuzz", "", 3600000, *channel, session)) ||
            ua::IsBad(sessions.Activate(session->AuthenticationToken(), *channel, ua::UserIdentity{ua::Role::Operator, "fuzz"})))
            std::abort();
        token = session->AuthenticationToken();
    }

    ScriptedUiServices ui;
    InProcessServer host;
    ua::ServerInfo info;
    std::unique_ptr<ua::AddressSpace> space;
    ua::SessionManager sessions;
    std::unique_ptr<ua::SubscriptionService> subscriptions;
    ua::ServiceTable table;
    std::unique_ptr<ua::ServiceDispatcher> dispatcher;
    std::shared_ptr<DiscardingChannel> channel = std::make_shared<DiscardingChannel>();
    ua::NodeId token;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Made once and kept: the DA server, the session and its subscriptions
    // live on from input to input, as they do for a client.
    static Server* server = new Server;
    if (size == 0) return 0;
    ua::Writer message;
    message.NodeIdValue(ua::NodeId(0, kServices[data[0] % kServices.size()]));
    ua::RequestHeader header;
    header.authenticationToken = server->token;
    header.requestHandle = 1;
    ua::WriteRequestHeader(message, header);
    message.Raw(data + 1, size - 1);
    server->dispatcher->Process(server->channel, 1, message.Out());
    return 0;
}
