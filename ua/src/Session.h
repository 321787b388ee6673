#pragma once
// A client's session (OPC 10000-4, 5.6) and the table of sessions. Each
// session is an OPC DA client of the in-process server: it holds its own
// OPCServer object, through which its reads, writes and subscriptions go, so
// that UA clients count as clients and ask the devices to poll like DA ones.

#include "Channel.h"
#include "Messages.h"
#include "ua/Types.h"
#include "ua/UserStore.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class IOPCServer;

namespace ua {

// Who a session acts for: the user it signed in as (empty: anonymous) and
// what that user may do.
struct UserIdentity {
    Role role = Role::Viewer;
    std::string userName;
};

class Session {
public:
    virtual ~Session() = default;
    virtual NodeId Id() const = 0;
    virtual NodeId AuthenticationToken() const = 0;
    virtual std::string Name() const = 0;
    virtual bool IsActivated() const = 0;
    virtual std::uint32_t ChannelId() const = 0;
    // The session's OPCServer object; valid while the session lives. Any
    // thread in the apartment may call it.
    virtual IOPCServer* DaServer() const = 0;
    // Who the session acts for since its last activation (a viewer before).
    virtual UserIdentity User() const = 0;
    // Per-session state of the service sets (browse continuation points,
    // the read group), kept here so that it ends with the session.
    struct Extension {
        virtual ~Extension() = default;
    };
    // The extension of that key, made by make() the first time. Thread-safe.
    virtual Extension& Extend(const void* key, const std::function<std::unique_ptr<Extension>()>& make) = 0;
};

}  // namespace ua
