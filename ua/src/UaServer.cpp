#include "ua/UaServer.h"

#include "AddressSpace.h"
#include "AttributeServices.h"
#include "HistoryServices.h"
#include "DiscoveryServices.h"
#include "ServerInfo.h"
#include "ServiceDispatcher.h"
#include "SessionManager.h"
#include "ServerSecurity.h"
#include "SessionSecurity.h"
#include "SessionServices.h"
#include "SubscriptionService.h"
#include "TcpTransport.h"
#include "ViewServices.h"
#include "foundation/CLogFile.h"
#include "foundation/VersionInfo.h"
#include "platform/Com.h"
#include "platform/Environment.h"
#include "ua/CertificateStore.h"
#include "ua/UserStore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

namespace ua {

namespace {

// Service calls may wait seconds on a counter that does not answer (a write);
// enough workers that such calls do not hold up the reads of other clients.
constexpr std::size_t kServiceWorkers = 8;

}  // namespace

std::string EndpointUrlFor(const UaServerSettings& settings, const std::string& hostName) {
    if (settings.port == 0) return {};
    std::string host = settings.listenAddress;
    if (host == "127.0.0.1" || host == "::1" || host == "localhost") host = "localhost";
    else if (host == "0.0.0.0" || host == "*" || host == "::") host = hostName;
    else if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "opc.tcp://" + host + ":" + std::to_string(settings.port);
}

std::vector<EndpointSummary> OfferedEndpoints(const UaServerSettings& settings, const std::string& hostName) {
    std::vector<EndpointSummary> out;
    const std::string url = EndpointUrlFor(settings, hostName);
    if (url.empty()) return out;
    const std::string users = settings.anonymous ? "anonymous, user name" : "user name";
    for (const EndpointConfig& endpoint : ConfiguredEndpoints(settings.signOnly, settings.noneOnLoopback)) {
        EndpointSummary summary;
        summary.url = url;
        summary.policy = endpoint.policy->name;
        summary.mode = endpoint.mode == SecurityMode::SignAndEncrypt ? "SignAndEncrypt"
                       : endpoint.mode == SecurityMode::Sign         ? "Sign"
                                                                      : "None";
        summary.userTokens = users;
        summary.loopbackOnly = endpoint.policy->none;
        out.push_back(summary);
    }
    return out;
}

// The names the server's certificate gives for this machine: clients check
// the host of the URL they connect to against them.
std::vector<std::string> CertificateHostNames(const UaServerSettings& settings, const std::string& hostName) {
    std::vector<std::string> names{hostName, "localhost"};
    const std::string& address = settings.listenAddress;
    if (address != "0.0.0.0" && address != "::" && address != "*" && address != "127.0.0.1" && address != "::1" &&
        address != "localhost" && address != hostName)
        names.push_back(address);
    return names;
}

struct UaServer::Parts {
    ServerInfo info;
    std::shared_ptr<CertificateStore> certificates;
    SessionSecurity security;
    DelayedWork delays;
    AddressSpace addressSpace;
    SessionManager sessions;
    SubscriptionService subscriptions;
    ServiceTable services;
    ServiceDispatcher dispatcher;
    TcpTransport transport;

    // Ends sessions whose clients went quiet past their time-out.
    std::mutex sweepMutex;
    std::condition_variable sweepWake;
    bool stopping = false;
    std::thread sweeper;

    Parts(const ServerInfo& serverInfo, std::shared_ptr<CertificateStore> store, std::shared_ptr<UserStore> users)
        : info(serverInfo),
          certificates(std::move(store)),
          security(certificates->OwnKey(), certificates->OwnCertificate(), std::move(users)),
          addressSpace(info),
          subscriptions(addressSpace),
          services(Table()),
          dispatcher(services, sessions, kServiceWorkers),
          transport(dispatcher, TransportLimits{}, TransportSecurity()) {}

    // The secure channels' keys and the check of a client's certificate,
    // which reads the trust folders at each connection.
    ServerSecurity TransportSecurity() const {
        ServerSecurity out;
        out.key = certificates->OwnKey();
        out.certificate = certificates->OwnCertificate();
        std::shared_ptr<CertificateStore> store = certificates;
        out.validateClient = [store](const ByteString& chain) { return store->Validate(chain, std::time(nullptr)); };
        return out;
    }
    // The sessions' end reaches the subscriptions, which are destroyed
    // before the sessions: everything ends in order first.
    ~Parts() { Stop(); }

    ServiceTable Table() {
        ServiceTable table;
        RegisterDiscoveryServices(table, info);
        RegisterSessionServices(table, sessions, info, security, delays);
        RegisterViewServices(table, addressSpace);
        RegisterAttributeServices(table, addressSpace);
        RegisterHistoryServices(table, addressSpace);
        subscriptions.Register(table);
        sessions.OnSessionEnd(
            [this](Session& session, bool deleteSubscriptions) { subscriptions.OnSessionEnd(session, deleteSubscriptions); });
        return table;
    }

    void StartSweeping() {
        sweeper = std::thread([this] {
            // Ending a session releases its DA objects, which serve threads of the apartment.
            const bool entered = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
            std::unique_lock lock(sweepMutex);
            while (!sweepWake.wait_for(lock, std::chrono::seconds(1), [this] { return stopping; })) {
                lock.unlock();
                sessions.Sweep(Now());
                lock.lock();
            }
            lock.unlock();
            if (entered) CoUninitialize();
        });
    }

    void Stop() {
        {
            std::lock_guard lock(sweepMutex);
            stopping = true;
            sweepWake.notify_all();
        }
        if (sweeper.joinable()) sweeper.join();
        // No new requests, then no running ones, then the subscriptions' and
        // sessions' DA objects go, before the program destroys the servers.
        transport.Stop();
        delays.Stop();
        dispatcher.Stop();
        subscriptions.Stop();
        sessions.CloseAll();
    }
};

UaServer::UaServer() = default;

UaServer::~UaServer() { Stop(); }

bool UaServer::Start(const UaServerSettings& settings, std::string& error) {
    Stop();
    ServerInfo info;
    info.hostName = platform::HostName();
    info.applicationUri = "urn:" + info.hostName + ":VOKExplorer";
    info.productName = versioninfo::ProductName();
    info.manufacturerName = versioninfo::CompanyName();
    info.softwareVersion = versioninfo::ProductVersion();
    info.buildNumber = versioninfo::FileVersion();
    info.startTime = Now();
    info.buildDate = info.startTime;
    UaServerSettings bound = settings;
    info.endpointUrl = EndpointUrlFor(bound, info.hostName);
    info.endpoints = ConfiguredEndpoints(settings.signOnly, settings.noneOnLoopback);
    info.anonymous = settings.anonymous;
    // The certificate is made at the first start and kept; without it no
    // endpoint opens (the None one alone would serve only this machine, and
    // would hide why the others are missing).
    auto store = std::make_shared<CertificateStore>(settings.pkiFolder.empty() ? CertificateStore::DefaultFolder()
                                                                               : settings.pkiFolder);
    if (!store->LoadOrCreateOwn(info.applicationUri, CertificateHostNames(settings, info.hostName), error)) {
        error = "the server certificate in " + store->Folder() + ": " + error;
        EventLog().Append("OPC UA endpoint not opened: " + error).Commit(CLogFile::kWrite);
        return false;
    }
    info.certificateDer = store->OwnCertificate()->Der();
    auto users = std::make_shared<UserStore>(settings.usersFile.empty() ? UserStore::DefaultFile() : settings.usersFile);
    auto parts = std::make_unique<Parts>(info, std::move(store), std::move(users));
    if (!parts->transport.Listen(settings.listenAddress, settings.port, error)) {
        EventLog().Append("OPC UA endpoint not opened on " + settings.listenAddress + " port " +
                          std::to_string(settings.port) + ": " + error).Commit(CLogFile::kWrite);
        parts->Stop();
        return false;
    }
    if (settings.port == 0) {
        // A free port chosen now (tests): its clients learn it from Port()
        // once Start returns, so no request reads the URL while it is set.
        bound.port = parts->transport.Port();
        parts->info.endpointUrl = EndpointUrlFor(bound, info.hostName);
    }
    parts->StartSweeping();
    parts_ = std::move(parts);
    EventLog().Append("OPC UA endpoint opened: " + parts_->info.endpointUrl + " (listening on " +
                      settings.listenAddress + "; server certificate " +
                      parts_->certificates->OwnCertificate()->ThumbprintHex() + ")").Commit(CLogFile::kWrite);
    return true;
}

void UaServer::Stop() {
    if (!parts_) return;
    parts_->Stop();
    parts_.reset();
    EventLog().Append("OPC UA endpoint closed").Commit(CLogFile::kWrite);
}

bool UaServer::IsRunning() const { return parts_ != nullptr; }

std::uint16_t UaServer::Port() const { return parts_ ? parts_->transport.Port() : 0; }

std::string UaServer::EndpointUrl() const { return parts_ ? parts_->info.endpointUrl : std::string(); }

std::size_t UaServer::SessionCount() const { return parts_ ? parts_->sessions.Count() : 0; }

}  // namespace ua
