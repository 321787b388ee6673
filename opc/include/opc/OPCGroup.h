#pragma once
// An OPC group: a client's set of items with the group's state (name, update
// rate, active flag, client handle, time bias, dead band, locale), made by
// its server's AddGroup. It is named to its clients by a server handle from
// the handle table. Free-threaded.

#include "opc/OPCServer.h"
#include "opc/OpcDa.h"
#include "platform/Sync.h"

#include <atomic>
#include <memory>
#include <string>

struct GroupState {
    std::u16string name;
    BOOL active = FALSE;
    DWORD updateRate = 1000;
    OPCHANDLE clientGroup = 0;
    LONG timeBias = 0;
    FLOAT percentDeadband = 0.0f;
    DWORD lcid = 0;
};

class OPCGroup : public IOPCGroupStateMgt, public IOPCPublicGroupStateMgt {
public:
    // Takes a server handle and enters the program-wide group list; posts its
    // creation notice. The count starts at 0.
    explicit OPCGroup(std::shared_ptr<ServerLink> link);
    OPCGroup(const OPCGroup&) = delete;
    OPCGroup& operator=(const OPCGroup&) = delete;

    // The first call stores the state and logs it; later calls are ignored.
    void Initialize(const GroupState& state);

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IOPCGroupStateMgt
    HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband,
                     DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
    HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                     FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) override;
    HRESULT SetName(LPCWSTR szName) override;
    HRESULT CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCPublicGroupStateMgt: there are no public groups.
    HRESULT GetState(BOOL* pPublic) override;
    HRESULT MoveToPublic() override;

    OPCHANDLE ServerHandle() const { return handle_; }
    // Read by the server under its lock; changed only under it.
    std::u16string Name() const;
    // The name is set under the server lock, by the server's AddGroup and by SetName.
    void SetNameLocked(const std::u16string& name);

    static std::size_t LiveCount();

private:
    ~OPCGroup() override;

    std::atomic<ULONG> refs_{0};
    const OPCHANDLE handle_;
    std::shared_ptr<ServerLink> link_;
    mutable CRITICAL_SECTION stateLock_;
    GroupState state_;
    bool initialised_ = false;
};
