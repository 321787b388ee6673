#pragma once
// An OPC group: a client's items, each bound to a tag of the configuration,
// with the group's state (name, update rate, active flag, client handle, time
// bias, dead band, locale), made by its server's AddGroup. It reads and writes
// its items synchronously and asynchronously and sends data changes to the
// subscribers of its IDataObject from a data thread of its own; asynchronous
// requests are worked off in order by a second thread. It is named to its
// clients by a server handle from the handle table. Free-threaded.
//
// Locks, outermost first: the advise lock, the item lock, the configuration
// lock, then the locks of devices and tags. No device I/O (a write waiting
// for a counter's confirmation) runs under the item lock.
//
// Its work is spread over one source file per job: OPCGroup.cpp (the object
// and its state), OPCGroupItems.cpp (items and their server handles),
// OPCGroupSyncIO.cpp (synchronous reads and writes), OPCGroupAsyncIO.cpp (the
// queue of asynchronous requests and its thread) and OPCGroupData.cpp (the
// data thread, the streams and the subscriptions).

#include "opc/COPCItem.h"
#include "opc/OPCServer.h"
#include "opc/OpcDa.h"
#include "opc/OpcStream.h"
#include "platform/DataObject.h"
#include "platform/Sync.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The fastest update rate a group runs at: a faster one (0 included) is
// revised to it, so that no client can make a data thread scan without pause.
constexpr DWORD kFastestUpdateRate = 50;
// What one client may hold, so that no client can exhaust the server for the
// others: groups per connection, items per group, asynchronous requests
// waiting per group, and subscriptions (advises) per group.
constexpr std::size_t kMaxGroupsPerServer = 100;
constexpr std::size_t kMaxItemsPerGroup = 10000;
constexpr std::size_t kMaxQueuedRequests = 100;
constexpr std::size_t kMaxAdvisesPerGroup = 16;

// The rate a group runs at for a requested one.
inline DWORD ReviseUpdateRate(DWORD requested) { return requested < kFastestUpdateRate ? kFastestUpdateRate : requested; }

struct GroupState {
    std::u16string name;
    BOOL active = FALSE;
    DWORD updateRate = 1000;
    OPCHANDLE clientGroup = 0;
    LONG timeBias = 0;
    FLOAT percentDeadband = 0.0f;
    DWORD lcid = 0;
};

// One queued asynchronous request: the valid items of the call only.
struct ASyncRequest {
    enum Kind : DWORD { kRead = 0, kWrite = 1, kRefresh = 2 };
    DWORD connection = 0;
    DWORD count = 0;
    DWORD source = 0;
    std::vector<OPCHANDLE> items;
    std::vector<VARIANT> values;
    std::vector<HRESULT> errors;
    DWORD transactionId = 0;
    Kind kind = kRead;
    // What a read or refresh found, taken when it was processed: the
    // completion carries exactly these.
    std::vector<opcstream::ItemValue> found;

    ASyncRequest() = default;
    ASyncRequest(const ASyncRequest&) = delete;
    ASyncRequest& operator=(const ASyncRequest&) = delete;
    ~ASyncRequest();
};

class OPCGroup : public IOPCGroupStateMgt,
                 public IOPCPublicGroupStateMgt,
                 public IOPCSyncIO,
                 public IOPCAsyncIO,
                 public IOPCItemMgt,
                 public IDataObject {
public:
    // Takes a server handle and enters the program-wide group list; posts its
    // creation notice. The count starts at 0.
    explicit OPCGroup(std::shared_ptr<ServerLink> link);
    OPCGroup(const OPCGroup&) = delete;
    OPCGroup& operator=(const OPCGroup&) = delete;

    // The first call stores the state, starts the data and async threads and
    // logs it; later calls are ignored. False when a thread could not be
    // started: the group cannot serve and is to be released.
    bool Initialize(const GroupState& state);

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

    // IOPCSyncIO
    HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                 HRESULT** ppErrors) override;
    HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;

    // IOPCAsyncIO
    HRESULT Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                 DWORD* pTransactionID, HRESULT** ppErrors) override;
    HRESULT Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                  DWORD* pTransactionID, HRESULT** ppErrors) override;
    HRESULT Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) override;
    HRESULT Cancel(DWORD dwTransactionID) override;

    // IOPCItemMgt
    HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
    HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate, OPCITEMRESULT** ppValidationResults,
                          HRESULT** ppErrors) override;
    HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override;
    HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) override;
    HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) override;
    HRESULT CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IDataObject
    HRESULT GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    HRESULT GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    HRESULT QueryGetData(FORMATETC* pformatetc) override;
    HRESULT GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    HRESULT SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    HRESULT EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    HRESULT DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) override;
    HRESULT DUnadvise(DWORD dwConnection) override;
    HRESULT EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    // The group's own operations: the two data streams of its changed items,
    // the pending data change, and an asynchronous request's completion.
    virtual std::vector<std::uint8_t> BuildDataStream(DWORD transactionId);
    virtual std::vector<std::uint8_t> BuildDataTimeStream(DWORD transactionId);
    virtual HRESULT SendPendingDataChange();
    virtual void SendAsyncCompletion(ASyncRequest& request);

    OPCHANDLE ServerHandle() const { return handle_; }
    // For CloneGroup: adds items on the tags of another group's items, with
    // their active flags, client handles and requested types.
    struct ItemCopy {
        OPCS_Tag* tag;  // referenced by the caller until the call returns
        BOOL active;
        OPCHANDLE hClient;
        VARTYPE requestedType;
    };
    void AddCopies(const std::vector<ItemCopy>& copies);
    // For the group's attribute enumerators: under the item lock, the
    // attributes of up to count items from server handle `from` on, in handle
    // order; `from` moves past the last one taken.
    std::vector<ItemAttributes> ItemAttributesFrom(std::uint64_t& from, ULONG count) const;
    // Read by the server under its lock; changed only under it.
    std::u16string Name() const;
    void SetNameLocked(const std::u16string& name);

    static std::size_t LiveCount();

private:
    ~OPCGroup() override;

    // AddItems (add) and ValidateItems: the item IDs resolved under the item
    // and configuration locks.
    HRESULT ResolveItems(bool add, DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppResults,
                         HRESULT** ppErrors);
    // Under the item lock: the item of each handle (null for one that is not
    // one of the group's live items, whose error becomes OPC_E_INVALIDHANDLE,
    // the others' S_OK). S_OK when all are valid, else S_FALSE.
    HRESULT ResolveHandles(DWORD dwCount, const OPCHANDLE* phServer, HRESULT* errors,
                           std::vector<COPCItem*>& items) const;
    // The calls that change items by handle: validates every handle first,
    // then change(index, item) for each valid one, under the item lock.
    template <typename Change>
    HRESULT ForEachItem(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors, Change change);
    // Under the item lock: a new item on the tag, with the active flag, client
    // handle and requested type of `like`, entered in the map (null when
    // there is no memory or handle left for it); it polls at once in an
    // active group.
    COPCItem* NewItem(OPCS_Tag* tag, bool pollNow, const ItemCopy& like);
    // Under the item lock: the group's own live item of that server handle, else null.
    COPCItem* FindItem(OPCHANDLE handle) const;
    // Under the item lock: refreshes the item and stamps a change with the
    // group's next change number.
    void RefreshItem(COPCItem& item);
    void NoteChanged(COPCItem& item);
    // Under the item lock: what a stream carries of one item.
    static opcstream::ItemValue StreamValue(const COPCItem& item);
    // The items changed after *sentUpTo, which moves to the latest change.
    std::vector<opcstream::ItemValue> ChangesSince(std::uint64_t& sentUpTo);
    std::vector<std::uint8_t> BuildStream(bool withTime, DWORD transactionId,
                                          const std::vector<opcstream::ItemValue>& values) const;
    // Takes (true) or gives back every item's poll request, under the item lock.
    void SetPollRequests(bool take);
    HRESULT QueueRequest(std::unique_ptr<ASyncRequest> request, DWORD* pTransactionID);
    // An asynchronous read (no values) or write of the valid ones of the items.
    HRESULT QueueItemRequest(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                             VARIANT* pItemValues, DWORD* pTransactionID, HRESULT** ppErrors);
    // Under the advise lock: a snapshot of the subscriptions, each sink
    // AddRef'ed for the caller.
    std::vector<STATDATA> Subscriptions();
    // Whether the connection is one of the group's subscriptions.
    bool HasConnection(DWORD connection);
    void ProcessRequest(ASyncRequest& request);
    // Writes values to the items' tags outside the item lock (a counter may
    // take seconds to confirm) and fills each error; errors already failed
    // (invalid handles) are left as they are.
    void WriteItems(const std::vector<OPCHANDLE>& handles, const VARIANT* values, HRESULT* errors);
    bool IsActive() const;
    DWORD UpdateRate() const;
    OPCHANDLE ClientGroup() const;
    void NoteServerUpdate();

    static DWORD DataThreadStub(LPVOID parameter);
    static DWORD AsyncThreadStub(LPVOID parameter);
    void RunDataThread();
    void RunAsyncThread();

    std::atomic<ULONG> refs_{0};
    const OPCHANDLE handle_;
    std::shared_ptr<ServerLink> link_;
    mutable CRITICAL_SECTION stateLock_;
    GroupState state_;
    bool initialised_ = false;

    mutable CRITICAL_SECTION itemLock_;
    CRITICAL_SECTION adviseLock_;
    // Under the item lock: the group's items by server handle (in the order
    // they were added), the queue of asynchronous requests, the change number
    // of the latest change, and per subscription (advise connection) and for
    // GetData the change number up to which it was sent (its keys are the
    // group's live subscriptions).
    std::map<OPCHANDLE, std::unique_ptr<COPCItem>> items_;
    std::deque<std::unique_ptr<ASyncRequest>> asyncQueue_;
    DWORD nextTransactionId_ = 2;
    std::uint64_t changeNumber_ = 0;
    std::map<DWORD, std::uint64_t> sentUpTo_;
    std::uint64_t getDataSentUpTo_ = 0;
    IDataAdviseHolder* adviseHolder_ = nullptr;

    HANDLE dataThread_ = nullptr;
    HANDLE dataWake_ = nullptr;
    std::atomic<bool> dataRun_{false};
    HANDLE asyncThread_ = nullptr;
    HANDLE asyncWake_ = nullptr;
    std::atomic<bool> asyncRun_{false};
};
