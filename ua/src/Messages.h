#pragma once
// The parts every service message shares (OPC 10000-4, 7.28/7.29/7.33):
// request and response headers, the service fault, and the binary encoding
// ids of the requests this server knows (each response's id is the
// request's + 3).

#include "ua/Binary.h"
#include "ua/Types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ua {

namespace encoding {
constexpr std::uint32_t ServiceFault = 397;
constexpr std::uint32_t FindServersRequest = 422;
constexpr std::uint32_t GetEndpointsRequest = 428;
constexpr std::uint32_t OpenSecureChannelRequest = 446;
constexpr std::uint32_t CloseSecureChannelRequest = 452;
constexpr std::uint32_t CreateSessionRequest = 461;
constexpr std::uint32_t ActivateSessionRequest = 467;
constexpr std::uint32_t CloseSessionRequest = 473;
constexpr std::uint32_t CancelRequest = 479;
constexpr std::uint32_t AddNodesRequest = 488;
constexpr std::uint32_t BrowseRequest = 527;
constexpr std::uint32_t BrowseNextRequest = 533;
constexpr std::uint32_t TranslateBrowsePathsToNodeIdsRequest = 554;
constexpr std::uint32_t RegisterNodesRequest = 560;
constexpr std::uint32_t UnregisterNodesRequest = 566;
constexpr std::uint32_t ReadRequest = 631;
constexpr std::uint32_t HistoryReadRequest = 664;
constexpr std::uint32_t WriteRequest = 673;
constexpr std::uint32_t CallRequest = 712;
constexpr std::uint32_t CreateMonitoredItemsRequest = 751;
constexpr std::uint32_t ModifyMonitoredItemsRequest = 763;
constexpr std::uint32_t SetMonitoringModeRequest = 769;
constexpr std::uint32_t SetTriggeringRequest = 775;
constexpr std::uint32_t DeleteMonitoredItemsRequest = 781;
constexpr std::uint32_t CreateSubscriptionRequest = 787;
constexpr std::uint32_t ModifySubscriptionRequest = 793;
constexpr std::uint32_t SetPublishingModeRequest = 799;
constexpr std::uint32_t PublishRequest = 826;
constexpr std::uint32_t RepublishRequest = 832;
constexpr std::uint32_t TransferSubscriptionsRequest = 841;
constexpr std::uint32_t DeleteSubscriptionsRequest = 847;
constexpr std::uint32_t ResponseOf(std::uint32_t request) { return request + 3; }
// Structures carried in ExtensionObjects.
constexpr std::uint32_t AnonymousIdentityToken = 321;
constexpr std::uint32_t UserNameIdentityToken = 324;
constexpr std::uint32_t X509IdentityToken = 327;
constexpr std::uint32_t IssuedIdentityToken = 940;
constexpr std::uint32_t DataChangeFilter = 724;
constexpr std::uint32_t EventFilter = 727;
constexpr std::uint32_t AggregateFilter = 730;
constexpr std::uint32_t DataChangeNotification = 811;
constexpr std::uint32_t StatusChangeNotification = 820;
constexpr std::uint32_t EventNotificationList = 916;
constexpr std::uint32_t ServerStatusDataType = 864;
constexpr std::uint32_t BuildInfo = 340;
constexpr std::uint32_t Range = 886;
constexpr std::uint32_t EUInformation = 889;
// HistoryRead's details and its answer for values.
constexpr std::uint32_t ReadEventDetails = 646;
constexpr std::uint32_t ReadRawModifiedDetails = 649;
constexpr std::uint32_t ReadProcessedDetails = 652;
constexpr std::uint32_t ReadAtTimeDetails = 655;
constexpr std::uint32_t HistoryData = 658;
}  // namespace encoding

struct RequestHeader {
    NodeId authenticationToken;
    DateTime timestamp = 0;
    std::uint32_t requestHandle = 0;
    std::uint32_t returnDiagnostics = 0;
    std::string auditEntryId;
    std::uint32_t timeoutHint = 0;  // ms; 0: none
    ExtensionObject additionalHeader;
};

struct ResponseHeader {
    DateTime timestamp = 0;
    std::uint32_t requestHandle = 0;
    StatusCode serviceResult = status::Good;
    // serviceDiagnostics, stringTable and additionalHeader go empty.
};

RequestHeader ReadRequestHeader(Reader& reader);
void WriteRequestHeader(Writer& writer, const RequestHeader& header);
ResponseHeader ReadResponseHeader(Reader& reader);
void WriteResponseHeader(Writer& writer, const ResponseHeader& header);

// A whole ServiceFault message (encoding NodeId, header), for the request
// with that handle.
std::vector<std::uint8_t> EncodeServiceFault(std::uint32_t requestHandle, StatusCode result);

// Arrays of DiagnosticInfo that services return: always empty here.
inline void WriteNoDiagnostics(Writer& writer) { writer.Int32(0); }

}  // namespace ua
