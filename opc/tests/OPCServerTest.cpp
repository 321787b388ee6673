#include "OpcTestSupport.h"

#include "opc/HandleTable.h"
#include "opc/OPCGroup.h"
#include "opc/OPCServer.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

DWORD GroupCount(IOPCServer* server) {
    OPCSERVERSTATUS* status = nullptr;
    EXPECT_EQ(server->GetStatus(&status), S_OK);
    if (status == nullptr) return 0xFFFFFFFF;
    const DWORD count = status->dwGroupCount;
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return count;
}

}  // namespace

TEST_F(OpcClientTest, StatusReportsTheCallingServerOnly) {
    IOPCServer* first = Connect();
    IOPCServer* second = Connect();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    OPCHANDLE handle = 0;
    IOPCGroupStateMgt* a = nullptr;
    IOPCGroupStateMgt* b = nullptr;
    ASSERT_EQ(AddGroup(first, u"", &handle, &a), S_OK);
    ASSERT_EQ(AddGroup(first, u"", &handle, &b), S_OK);

    FILETIME before{};
    CoFileTimeNow(&before);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(first->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->dwGroupCount, 2u);
    EXPECT_EQ(status->dwBandWidth, 0u);
    EXPECT_EQ(status->wMajorVersion, 2);
    EXPECT_EQ(status->wMinorVersion, 1);
    EXPECT_EQ(status->wBuildNumber, 1);
    EXPECT_EQ(std::u16string(status->szVendorInfo), u"VOK Explorer by Vell Company");
    EXPECT_GE(FileTimeToUInt64(status->ftCurrentTime), FileTimeToUInt64(before));
    EXPECT_NE(FileTimeToUInt64(status->ftStartTime), 0u);
    EXPECT_LE(FileTimeToUInt64(status->ftStartTime), FileTimeToUInt64(status->ftCurrentTime));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    EXPECT_EQ(GroupCount(second), 0u);

    EXPECT_EQ(first->GetStatus(nullptr), E_INVALIDARG);
    a->Release();
    b->Release();
    first->Release();
    second->Release();
}

TEST_F(OpcClientTest, GroupNamesAreUniquePerServerAndCaseSensitive) {
    IOPCServer* server = Connect();
    IOPCServer* other = Connect();
    OPCHANDLE h1 = 0, h2 = 0, h3 = 0, h4 = 0, h5 = 0, h6 = 0;
    IOPCGroupStateMgt *g1 = nullptr, *g2 = nullptr, *g3 = nullptr, *g4 = nullptr, *g5 = nullptr, *g6 = nullptr;
    ASSERT_EQ(AddGroup(server, u"", &h1, &g1), S_OK);
    ASSERT_EQ(AddGroup(server, nullptr, &h2, &g2), S_OK);
    EXPECT_EQ(NameOf(g1), u"Group1");
    EXPECT_EQ(NameOf(g2), u"Group2");
    EXPECT_NE(h1, h2);

    ASSERT_EQ(server->RemoveGroup(h1, FALSE), S_OK);
    ASSERT_EQ(AddGroup(server, u"", &h3, &g3), S_OK);
    EXPECT_EQ(NameOf(g3), u"Group1");
    EXPECT_NE(h3, h1) << "a handle is not given again";

    IOPCGroupStateMgt* duplicate = nullptr;
    OPCHANDLE unused = 0;
    EXPECT_EQ(AddGroup(server, u"Group2", &unused, &duplicate), OPC_E_DUPLICATENAME);
    EXPECT_EQ(duplicate, nullptr);
    ASSERT_EQ(AddGroup(server, u"group2", &h4, &g4), S_OK);
    ASSERT_EQ(AddGroup(other, u"Group2", &h5, &g5), S_OK);
    // A name taken by the client is skipped by the server's own naming.
    ASSERT_EQ(AddGroup(other, u"Group1", &h6, &g6), S_OK);
    IOPCGroupStateMgt* named = nullptr;
    OPCHANDLE h7 = 0;
    ASSERT_EQ(AddGroup(other, u"", &h7, &named), S_OK);
    EXPECT_EQ(NameOf(named), u"Group3");
    EXPECT_EQ(GroupCount(server), 3u);

    // SetName follows the same rule; GetGroupByName compares exactly.
    EXPECT_EQ(g4->SetName(u"Group2"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(g4->SetName(u"group2"), S_OK);
    EXPECT_EQ(g4->SetName(nullptr), E_FAIL);
    EXPECT_EQ(g4->SetName(u"Renamed"), S_OK);
    IUnknown* found = nullptr;
    EXPECT_EQ(server->GetGroupByName(u"renamed", IID_IOPCGroupStateMgt, &found), E_INVALIDARG);
    EXPECT_EQ(found, nullptr);
    ASSERT_EQ(server->GetGroupByName(u"Renamed", IID_IOPCGroupStateMgt, &found), S_OK);
    EXPECT_EQ(NameOf(static_cast<IOPCGroupStateMgt*>(found)), u"Renamed");
    found->Release();
    EXPECT_EQ(server->GetGroupByName(u"Renamed", IID_IOPCGroupStateMgt, nullptr), E_INVALIDARG);

    for (IOPCGroupStateMgt* g : {g1, g2, g3, g4, g5, g6, named}) g->Release();
    server->Release();
    other->Release();
}

TEST_F(OpcClientTest, RemoveGroupRefusesEverythingButItsOwnLiveGroups) {
    IOPCServer* server = Connect();
    IOPCServer* other = Connect();
    OPCHANDLE mine = 0, theirs = 0;
    IOPCGroupStateMgt *g = nullptr, *t = nullptr;
    ASSERT_EQ(AddGroup(server, u"A", &mine, &g), S_OK);
    ASSERT_EQ(AddGroup(other, u"A", &theirs, &t), S_OK);

    EXPECT_EQ(server->RemoveGroup(0, FALSE), E_INVALIDARG);
    EXPECT_EQ(server->RemoveGroup(0xDEADBEEF, FALSE), E_INVALIDARG);
    EXPECT_EQ(server->RemoveGroup(theirs, FALSE), E_INVALIDARG);
    // A live number of another kind (an item's) is no group.
    int item = 0;
    const OPCHANDLE itemHandle = HandleTable::Register(HandleKind::Item, &item);
    EXPECT_EQ(server->RemoveGroup(itemHandle, FALSE), E_INVALIDARG);
    HandleTable::Unregister(itemHandle);
    EXPECT_EQ(GroupCount(server), 1u);

    EXPECT_EQ(server->RemoveGroup(mine, TRUE), S_OK);
    EXPECT_EQ(server->RemoveGroup(mine, FALSE), E_INVALIDARG);
    // The client's reference keeps the removed group usable.
    OPCHANDLE reported = 0;
    EXPECT_EQ(g->GetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &reported), S_OK);
    EXPECT_EQ(reported, mine);
    g->Release();
    // Once the group is gone its number resolves to nothing.
    EXPECT_EQ(HandleTable::Resolve(mine, HandleKind::Group), nullptr);
    EXPECT_EQ(server->RemoveGroup(mine, FALSE), E_INVALIDARG);
    t->Release();
    server->Release();
    other->Release();
}

TEST_F(OpcClientTest, ReferenceCountsAndNoticesBalance) {
    ASSERT_EQ(ObjectCount(), 0);
    IOPCServer* server = Connect();
    EXPECT_EQ(ObjectCount(), 1);
    OPCHANDLE h = 0;
    IOPCGroupStateMgt* group = nullptr;
    ASSERT_EQ(AddGroup(server, u"", &h, &group), S_OK);
    EXPECT_EQ(ObjectCount(), 2);
    EXPECT_EQ(OPCServer::LiveCount(), 1u);
    EXPECT_EQ(OPCGroup::LiveCount(), 1u);

    // Interfaces of one object share its count.
    IOPCPublicGroupStateMgt* pub = nullptr;
    ASSERT_EQ(group->QueryInterface(IID_IOPCPublicGroupStateMgt, reinterpret_cast<void**>(&pub)), S_OK);
    BOOL isPublic = TRUE;
    EXPECT_EQ(pub->GetState(&isPublic), S_OK);
    EXPECT_EQ(isPublic, FALSE);
    EXPECT_EQ(pub->GetState(nullptr), E_INVALIDARG);
    EXPECT_EQ(pub->MoveToPublic(), E_NOTIMPL);
    pub->Release();
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(server->QueryInterface(IID_IOPCItemMgt, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(server->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // The client lets the server go first: the group outlives it, but can
    // no longer reach it.
    EXPECT_EQ(server->Release(), 0u);
    EXPECT_EQ(OPCServer::LiveCount(), 0u);
    EXPECT_EQ(OPCGroup::LiveCount(), 1u);
    EXPECT_EQ(group->SetName(u"Other"), E_FAIL);
    IUnknown* clone = nullptr;
    EXPECT_EQ(group->CloneGroup(u"Clone", IID_IOPCGroupStateMgt, &clone), E_FAIL);
    EXPECT_EQ(NameOf(group), u"Group1");
    EXPECT_EQ(group->Release(), 0u);
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
    EXPECT_EQ(ObjectCount(), 0);

    // A refused interface at creation leaves nothing behind.
    void* refused = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCItemMgt, &refused),
              E_NOINTERFACE);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(OPCServer::LiveCount(), 0u);
    EXPECT_EQ(ObjectCount(), 0);

    // The factory: no aggregation; a server lock counts as an object.
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_VOKExplorer, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    void* aggregated = nullptr;
    EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, &aggregated), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(ObjectCount(), 1);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(ObjectCount(), 0);
    factory->Release();
}

TEST_F(OpcClientTest, GroupStateAsSetAndCloned) {
    IOPCServer* server = Connect();
    LONG bias = -60;
    FLOAT deadband = 2.5f;
    OPCHANDLE handle = 0;
    DWORD revised = 1;
    IUnknown* unknown = nullptr;
    ASSERT_EQ(server->AddGroup(u"State", TRUE, 0, 42, &bias, &deadband, 0x409, &handle, &revised,
                               IID_IOPCGroupStateMgt, &unknown),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, kFastestUpdateRate) << "a rate of 0 is revised to the fastest";
    auto* group = static_cast<IOPCGroupStateMgt*>(unknown);

    DWORD rate = 1, lcid = 0;
    BOOL active = FALSE;
    LONG gotBias = 0;
    FLOAT gotDeadband = 0;
    OPCHANDLE client = 0, serverHandle = 0;
    ASSERT_EQ(group->GetState(&rate, &active, nullptr, &gotBias, &gotDeadband, &lcid, &client, &serverHandle), S_OK);
    EXPECT_EQ(rate, kFastestUpdateRate);
    EXPECT_EQ(active, TRUE);
    EXPECT_EQ(gotBias, -60);
    EXPECT_EQ(gotDeadband, 2.5f);
    EXPECT_EQ(lcid, 0x409u);
    EXPECT_EQ(client, 42u);
    EXPECT_EQ(serverHandle, handle);

    DWORD newRate = 250;
    BOOL off = FALSE;
    OPCHANDLE newClient = 43;
    DWORD tooFast = 1;
    ASSERT_EQ(group->SetState(&tooFast, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, kFastestUpdateRate);
    ASSERT_EQ(group->SetState(&newRate, &revised, &off, nullptr, nullptr, nullptr, &newClient), S_OK);
    EXPECT_EQ(revised, 250u);

    IUnknown* cloneUnknown = nullptr;
    ASSERT_EQ(group->CloneGroup(u"", IID_IOPCGroupStateMgt, &cloneUnknown), S_OK);
    auto* clone = static_cast<IOPCGroupStateMgt*>(cloneUnknown);
    LPWSTR name = nullptr;
    active = TRUE;
    ASSERT_EQ(clone->GetState(&rate, &active, &name, &gotBias, nullptr, nullptr, &client, &serverHandle), S_OK);
    EXPECT_EQ(std::u16string(name), u"Group1");
    CoTaskMemFree(name);
    EXPECT_EQ(rate, 250u);
    EXPECT_EQ(active, FALSE);
    EXPECT_EQ(gotBias, -60);
    EXPECT_EQ(client, 43u);
    EXPECT_NE(serverHandle, handle);
    EXPECT_EQ(GroupCount(server), 2u);
    clone->Release();
    group->Release();
    server->Release();
}

TEST_F(OpcClientTest, EveryMethodFailsWhileTheServerIsDying) {
    IOPCServer* server = Connect();
    OPCHANDLE handle = 0;
    IOPCGroupStateMgt* group = nullptr;
    ASSERT_EQ(AddGroup(server, u"G", &handle, &group), S_OK);
    OPCServer::SetAllDying();

    IUnknown* out = nullptr;
    OPCHANDLE h = 0;
    DWORD rate = 0;
    EXPECT_EQ(server->AddGroup(u"", TRUE, 1000, 0, nullptr, nullptr, 0, &h, &rate, IID_IUnknown, &out), E_FAIL);
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(server->GetErrorString(E_FAIL, 0, &text), E_FAIL);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(server->GetGroupByName(u"G", IID_IUnknown, &out), E_FAIL);
    OPCSERVERSTATUS* status = nullptr;
    EXPECT_EQ(server->GetStatus(&status), E_FAIL);
    EXPECT_EQ(status, nullptr);
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), E_FAIL);
    EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IUnknown, &out), E_FAIL);
    EXPECT_EQ(group->SetName(u"H"), E_FAIL);
    group->Release();
    server->Release();
    EXPECT_EQ(OPCServer::LiveCount(), 0u);
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
}

TEST_F(OpcClientTest, OptionalOutputsMayBeNullAndRequiredOnesMayNot) {
    IOPCServer* server = Connect();
    IUnknown* group = nullptr;
    EXPECT_EQ(server->AddGroup(u"", FALSE, 100, 0, nullptr, nullptr, 0, nullptr, nullptr, IID_IUnknown, nullptr),
              E_INVALIDARG);
    ASSERT_EQ(server->AddGroup(u"", FALSE, 100, 0, nullptr, nullptr, 0, nullptr, nullptr, IID_IUnknown, &group),
              S_OK);
    EXPECT_EQ(GroupCount(server), 1u);
    EXPECT_EQ(server->GetErrorString(E_FAIL, 0, nullptr), E_INVALIDARG);
    IUnknown* enumerator = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IUnknown, &enumerator), E_NOTIMPL);
    EXPECT_EQ(enumerator, nullptr);
    group->Release();
    server->Release();
}

// Clients on many threads add, find and remove groups on one shared server
// and on servers of their own; names stay unique per server and nothing
// outlives its last reference.
TEST_F(OpcClientTest, OpcServerConcurrencyOfGroupsOnOneAndManyServers) {
    IOPCServer* shared = Connect();
    constexpr int kThreads = 6;
    constexpr int kRounds = 45;  // the groups kept stay below one client's limit
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            IOPCServer* own = nullptr;
            if (FAILED(CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                        reinterpret_cast<void**>(&own)))) {
                ++failures;
                CoUninitialize();
                return;
            }
            for (int round = 0; round < kRounds; ++round) {
                for (IOPCServer* server : {shared, own}) {
                    OPCHANDLE h = 0;
                    IOPCGroupStateMgt* g = nullptr;
                    if (FAILED(AddGroup(server, u"", &h, &g))) {
                        ++failures;
                        continue;
                    }
                    const std::u16string name = NameOf(g);
                    IUnknown* found = nullptr;
                    if (server->GetGroupByName(name.c_str(), IID_IUnknown, &found) != S_OK) {
                        ++failures;
                    } else {
                        found->Release();
                    }
                    if (round % 3 != 0 && server->RemoveGroup(h, FALSE) != S_OK) ++failures;
                    g->Release();
                }
            }
            own->Release();
            CoUninitialize();
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    // A third of the groups stay in the shared server's map, each under a name of its own.
    EXPECT_EQ(GroupCount(shared), static_cast<DWORD>(kThreads * kRounds / 3));
    EXPECT_EQ(OPCServer::LiveCount(), 1u);
    shared->Release();
    EXPECT_EQ(OPCServer::LiveCount(), 0u);
    EXPECT_EQ(OPCGroup::LiveCount(), 0u);
}
