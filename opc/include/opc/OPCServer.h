#pragma once
// The OPC server object: one per client connection, made by the server
// class's factory. It owns the client's groups (a reference each, in the
// group map keyed by the groups' server handles), serves the IOPCServer
// interface, and lets its client browse the configuration from a position of
// its own. Free-threaded: any thread of the apartment may call it.

#include "opc/OpcDa.h"
#include "platform/Sync.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class OPCGroup;
class OPCServer;
class OPCS_TagGroup;

// How a group reaches its server. A client may keep a group after it has
// released the server, so the group holds no pointer of its own: it asks the
// link, which the server cuts when it dies. Lock order: the link's mutex, then
// the server lock.
struct ServerLink {
    std::mutex mutex;
    OPCServer* server = nullptr;
};

class OPCServer : public IOPCServer, public IOPCBrowseServerAddressSpace {
public:
    // Adds itself to the program-wide server list; the count starts at 0.
    OPCServer();
    OPCServer(const OPCServer&) = delete;
    OPCServer& operator=(const OPCServer&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IOPCServer
    HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                     DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override;
    HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCBrowseServerAddressSpace: devices are the root's branches, tag
    // groups the branches below them, tags the leaves.
    HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                             DWORD dwAccessRightsFilter, IEnumString** ppIEnumString) override;
    HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override;

    // For the server's groups, under the server lock: whether another group of
    // this server (not except) has exactly this name.
    bool IsGroupNameUsed(const std::u16string& name, const OPCGroup* except) const;
    CRITICAL_SECTION& Lock() { return lock_; }
    bool IsDying() const { return dying_.load(); }
    // Written by the groups' data threads after each scan, without the lock.
    void SetLastUpdateTime(const FILETIME& time);

    // The program's shutdown: first every server refuses new calls, then each
    // remaining one is destroyed whatever its count (its clients are gone or
    // forsaken), taken from the server list one by one.
    static void SetAllDying();
    static void DestroyAll();
    static std::size_t LiveCount();

private:
    ~OPCServer() override;
    std::u16string UnusedGroupName() const;
    // Under the server and configuration locks: the browse position, moved
    // back to the root when its group was deleted since.
    OPCS_TagGroup* LivePositionLocked();

    std::atomic<ULONG> refs_{0};
    std::atomic<bool> dying_{false};
    std::atomic<std::uint64_t> lastUpdateTime_{0};
    mutable CRITICAL_SECTION lock_;
    std::unordered_map<OPCHANDLE, OPCGroup*> groups_;
    // The tag group the client browses at; null is the root.
    OPCS_TagGroup* position_ = nullptr;
    std::shared_ptr<ServerLink> link_;
};

// The program's start time, reported by every server's status; set once by
// the program's normal start (zero until then).
void SetProgramStartTime(const FILETIME& time);
FILETIME ProgramStartTime();
