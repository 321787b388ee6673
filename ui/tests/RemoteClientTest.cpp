// OPC clients in processes of their own against the running server: the
// simulated counters on a pseudo-terminal, vok-explorer --headless serving a
// configuration of them, and vok opc as the client, as a user runs them.
#include "ServerProcess.h"

#include "opc/OpcDa.h"
#include "opc/OpcStream.h"
#include "platform/Com.h"
#include "platform/LocalSocket.h"
#include "remote/RemoteBroker.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <functional>
#include <sstream>

using nlohmann::json;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

class RemoteClientTest : public ServerProcessTest {
protected:
    void SetUp() override {
        ServerProcessTest::SetUp();
        if (IsSkipped()) return;
        char folder[4096];
        const DWORD n = GetEnvironmentVariableA("VOK_TEST_BIN_DIR", folder, sizeof folder);
        vok_ = std::string(folder, n) + "/vok";
        config_ = dir_.File("plant.psf");
        WriteSettings(config_);
    }

    void TearDown() override {
        // gtest tears down a skipped test too: without a program there is
        // nothing to end, and `pkill -f '^'` would end every process there is.
        if (program_.empty()) return;
        for (const char* name : {"sim.pid", "sub.pid"}) {
            const std::string pid = ReadFileText(dir_.File(name));
            if (!pid.empty()) std::system(("kill -KILL " + pid + " 2>/dev/null").c_str());
        }
        // A server started by activation is nobody's child: it goes by its path.
        std::system(("pkill -KILL -f '^" + program_ + "' 2>/dev/null").c_str());
    }

    Outcome Vok(const std::string& arguments, int limitS = 90) {
        const std::string out = dir_.File("vok.out"), err = dir_.File("vok.err"), status = dir_.File("vok.status");
        const std::string command = Environment() + "timeout -k 5 " + std::to_string(limitS) + " '" + vok_ + "' " +
                                    arguments + " >'" + out + "' 2>'" + err + "'; echo $? >'" + status + "'";
        std::system(command.c_str());
        return {std::stoi(ReadFileText(status)), ReadFileText(out), ReadFileText(err)};
    }

    // vok with the arguments in the background; its pid in name.pid, its
    // output in name.out.
    void Background(const std::string& name, const std::string& arguments) {
        const std::string command = "(" + Environment() + "sh -c 'echo $$ >\"" + dir_.File(name + ".pid") +
                                    "\"; exec \"" + vok_ + "\" " + arguments + " >\"" + dir_.File(name + ".out") +
                                    "\" 2>\"" + dir_.File(name + ".err") + "\"') &";
        std::system(command.c_str());
    }

    static bool WaitFor(const std::function<bool()>& done, int ms) {
        for (int i = 0; i < ms / 50; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return done();
    }

    // One counter on COM95, and the server on a configuration of it.
    void StartPlant(const std::string& serverArguments = "--headless") {
        Background("sim", "sim --port COM95 --counter 1 --interval 10 --time-scale 10 --pace");
        ASSERT_TRUE(WaitFor([&] { return !ReadFileText(dir_.File("sim.out")).empty(); }, 10000));
        ASSERT_EQ(Vok("config new '" + config_ + "' --device COM95:1 --live").status, 0);
        Start(serverArguments + " '" + config_ + "'");
        const std::string out = ReadFileText(dir_.File("out"));
        ASSERT_NE(out.find("\"class_published\": true"), std::string::npos) << out << ReadFileText(dir_.File("err"));
    }

    std::string vok_, config_;
};

// Quoted for the shell, also inside the single quotes of a background start.
constexpr const char* kInterval = "\"4400 VOK 95-01.Sample Interval\"";
constexpr const char* kCount = "\"4400 VOK 95-01.Cumulative Raw Bin Counts.Cumulative Raw Count Bin 01\"";

std::vector<json> Lines(const std::string& text) {
    std::vector<json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(json::parse(line));
    return lines;
}

}  // namespace

TEST_F(RemoteClientTest, ClientsBrowseReadWriteAndSubscribeThroughTheRunningServer) {
    StartPlant();
    const Outcome walk = Vok("opc browse --all");
    ASSERT_EQ(walk.status, 0) << walk.err;
    const auto ids = json::parse(walk.out)["items"].get<std::vector<std::string>>();
    EXPECT_EQ(ids.size(), 50u);
    EXPECT_NE(std::find(ids.begin(), ids.end(), "4400 VOK 95-01.Sample Interval"), ids.end());

    // The counter's own counts, as the simulator sent them.
    const Outcome read = Vok(std::string("opc read ") + kCount + " --timeout 60");
    ASSERT_EQ(read.status, 0) << read.err << read.out;
    const json item = json::parse(read.out)["items"][0];
    EXPECT_EQ(item["quality"], 192);
    EXPECT_EQ(item["canonical_type"], "VT_I4");
    const Outcome changes = Vok(std::string("opc subscribe ") + kCount + " " + kInterval + " --rate 100 --count 8 --raw");
    ASSERT_EQ(changes.status, 0) << changes.err;
    const std::vector<json> lines = Lines(changes.out);
    ASSERT_EQ(lines.size(), 8u) << changes.out;
    // A new group's items start afresh; within a few scans both are good.
    bool good = false;
    for (const json& line : lines) {
        EXPECT_EQ(line["transaction"], 0);
        EXPECT_FALSE(line["raw"].get<std::string>().empty());
        for (const json& each : line["items"])
            good = good || (each["id"] == "4400 VOK 95-01.Sample Interval" && each["quality"] == 192 &&
                            each["value"] == 30.0);
    }
    EXPECT_TRUE(good) << changes.out;

    const Outcome wrote = Vok("opc write '4400 VOK 95-01.Sample Interval=20'");
    ASSERT_EQ(wrote.status, 0) << wrote.err << wrote.out;
    EXPECT_EQ(json::parse(wrote.out)["items"][0]["result"], "S_OK (0x00000000)");
    const Outcome refused = Vok("opc write '4400 VOK 95-01.Total Raw Counts=1'");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(json::parse(refused.out)["items"][0]["result"], "OPC_E_BADRIGHTS (0xC0040006)");

    EXPECT_EQ(Stop(), 0);
    // The counter itself took the new interval.
    const Outcome counter = Vok("query --port COM95 --address 1");
    ASSERT_EQ(counter.status, 0) << counter.err;
    EXPECT_EQ(json::parse(counter.out)["sample_interval"], 20);
}

TEST_F(RemoteClientTest, AClientKilledWhileSubscribedLeavesNothingBehind) {
    StartPlant();
    Background("sub", std::string("opc subscribe ") + kInterval + " --rate 100");
    ASSERT_TRUE(WaitFor([&] { return !ReadFileText(dir_.File("sub.out")).empty(); }, 30000))
        << ReadFileText(dir_.File("sub.err"));
    const std::string before = ReadFileText(log_);
    EXPECT_EQ(Count(before, "Poll Loop Stop Request Queued"), "0") << "the subscriber's items keep it polling";
    std::system(("kill -KILL " + ReadFileText(dir_.File("sub.pid"))).c_str());
    const auto killed = std::chrono::steady_clock::now();
    // Its group goes, and with it the only request to poll.
    ASSERT_TRUE(WaitFor([&] { return Count(ReadFileText(log_), "Poll Loop Stop Request Queued") == "1"; }, 5000))
        << ReadFileText(log_);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(2));
    // No client is left to hold the program: it ends in order.
    EXPECT_EQ(Stop(), 0);
}

TEST_F(RemoteClientTest, AStoppedClientHoldsUpNeitherTheServerNorOtherClients) {
    StartPlant();
    Background("sub", std::string("opc subscribe ") + kInterval + " --rate 20 --raw");
    ASSERT_TRUE(WaitFor([&] { return !ReadFileText(dir_.File("sub.out")).empty(); }, 30000));
    const std::string pid = ReadFileText(dir_.File("sub.pid"));
    std::system(("kill -STOP " + pid).c_str());
    // Let the server's backlog for it fill and overflow.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto start = std::chrono::steady_clock::now();
    const Outcome read = Vok(std::string("opc read ") + kInterval + " --timeout 20");
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(json::parse(read.out)["items"][0]["quality"], 192);
    std::system(("kill -KILL " + pid).c_str());
    EXPECT_TRUE(WaitFor([&] { return Count(ReadFileText(log_), "Poll Loop Stop Request Queued") != "0"; }, 5000));
    EXPECT_EQ(Stop(), 0);
}

TEST_F(RemoteClientTest, ActivationStartsTheRegisteredServerWhenNoneRuns) {
    // Nothing listens and nothing is registered: the class is unknown.
    const Outcome unknown = Vok("opc status");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("REGDB_E_CLASSNOTREG (0x80040154)"), std::string::npos) << unknown.err;

    ASSERT_EQ(Vok("config new '" + config_ + "'").status, 0);
    ASSERT_EQ(Run("/RegServer"), 0);
    const Outcome started = Vok("opc status --group Activated");
    ASSERT_EQ(started.status, 0) << started.err;
    EXPECT_EQ(json::parse(started.out)["server_state"], 1);
    // The program keeps serving: a second client finds it running.
    const Outcome again = Vok("opc browse");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(ReadFileText(log_).find("Application starting - Opening: " + config_), std::string::npos);
    // A server that was killed leaves its socket behind; the next start
    // replaces it and clients reach the new one.
    std::system(("pkill -KILL -f '^" + program_ + "'").c_str());
    ASSERT_TRUE(WaitFor([&] { return std::system(("pgrep -f '^" + program_ + "' >/dev/null").c_str()) != 0; },
                        5000));
    const Outcome restarted = Vok("opc status");
    EXPECT_EQ(restarted.status, 0) << restarted.err;
}

TEST_F(RemoteClientTest, AConnectionOfAnotherUserIsRefusedAndLogged) {
    if (platform::CurrentUserId() != 0) GTEST_SKIP() << "only root can run a client as another user here";
    if (std::system("command -v setpriv >/dev/null && test -x /usr/bin/python3") != 0)
        GTEST_SKIP() << "setpriv and python3 are needed to connect as another user";
    StartPlant();
    // Open the way to the socket for everyone, so that only the server's own
    // check of its peer stands between them.
    const std::string socket = runtime_ + "/vok/{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}.sock";
    std::system(("chmod 0711 '" + dir_.Path().string() + "' '" + runtime_ + "' '" + runtime_ + "/vok'; chmod 0666 '" +
                 socket + "'")
                    .c_str());
    const std::string client = "setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c \"import socket; "
                               "s=socket.socket(socket.AF_UNIX); s.connect('" +
                               socket + "'); print(len(s.recv(64)))\" >'" + dir_.File("other.out") + "' 2>&1";
    EXPECT_EQ(std::system(client.c_str()), 0) << ReadFileText(dir_.File("other.out"));
    EXPECT_EQ(ReadFileText(dir_.File("other.out")), "0\n") << "the server closed the connection at once";
    EXPECT_NE(ReadFileText(log_).find("OPC client connection refused: it belongs to user 65534"), std::string::npos)
        << ReadFileText(log_);
    // Its own user is served as before, once the folder is private again
    // (a client refuses a run-time folder others may enter).
    std::system(("chmod 0700 '" + runtime_ + "' '" + runtime_ + "/vok'").c_str());
    EXPECT_EQ(Vok("opc status").status, 0);
    EXPECT_EQ(Stop(), 0);
}

namespace {

// Keeps the streams of one group's data changes.
class KeepingSink : public IAdviseSink {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IAdviseSink) return E_NOINTERFACE;
        *ppv = static_cast<IAdviseSink*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    void OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
        auto stream = opcstream::ReadDataStream(opcstream::FromGlobal(medium->hGlobal), true, nullptr);
        std::lock_guard lock(mutex);
        if (stream)
            for (const auto& item : stream->items)
                if (item.quality == OPC_QUALITY_GOOD) good.insert(item.hClient);
    }
    void OnViewChange(DWORD, LONG) override {}
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}
    std::size_t Good() {
        std::lock_guard lock(mutex);
        return good.size();
    }

    std::atomic<ULONG> refs{0};
    std::mutex mutex;
    std::set<OPCHANDLE> good;
};

}  // namespace

TEST_F(RemoteClientTest, AClientProgramOfItsOwnUsesTheSameInterfacesAsInProcess) {
    StartPlant("--headless --poll");
    // This test's process is the client: the class is not served here, so
    // CoCreateInstance reaches the server program through the broker.
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.c_str());
    SetEnvironmentVariableA("XDG_RUNTIME_DIR", runtime_.c_str());
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        remote::RemoteBroker broker;
        broker.Install();
        IOPCServer* server = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                   reinterpret_cast<void**>(&server)),
                  S_OK);
        IOPCBrowseServerAddressSpace* browse = nullptr;
        ASSERT_EQ(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&browse)), S_OK);
        // Every tag, found by browsing alone.
        std::vector<std::u16string> ids;
        std::function<void()> walk = [&] {
            for (OPCBROWSETYPE type : {OPC_LEAF, OPC_BRANCH}) {
                IEnumString* list = nullptr;
                ASSERT_EQ(browse->BrowseOPCItemIDs(type, u"*", VT_EMPTY, 0, &list), S_OK);
                std::vector<std::u16string> names;
                LPOLESTR got[8];
                ULONG fetched = 0;
                while (SUCCEEDED(list->Next(8, got, &fetched)) && fetched > 0)
                    for (ULONG i = 0; i < fetched; ++i) {
                        names.emplace_back(got[i]);
                        CoTaskMemFree(got[i]);
                    }
                list->Release();
                for (std::u16string& name : names) {
                    if (type == OPC_LEAF) {
                        LPWSTR id = nullptr;
                        ASSERT_EQ(browse->GetItemID(name.data(), &id), S_OK);
                        ids.emplace_back(id);
                        CoTaskMemFree(id);
                    } else {
                        ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, name.c_str()), S_OK);
                        walk();
                        ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr), S_OK);
                    }
                }
            }
        };
        walk();
        ASSERT_EQ(ids.size(), 50u);
        browse->Release();

        IUnknown* unknown = nullptr;
        ASSERT_EQ(server->AddGroup(u"Own", TRUE, 200, 5, nullptr, nullptr, 0, nullptr, nullptr, IID_IDataObject,
                                   &unknown),
                  S_OK);
        auto* data = static_cast<IDataObject*>(unknown);
        IOPCItemMgt* items = nullptr;
        ASSERT_EQ(data->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&items)), S_OK);
        std::vector<OPCITEMDEF> defs(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = ids[i].data();
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i);
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors), S_OK);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        KeepingSink sink;
        FORMATETC format{opcstream::DataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        ASSERT_EQ(data->DAdvise(&format, 0, &sink, &connection), S_OK);
        // The polled counter's tags turn good one after the other.
        EXPECT_TRUE(WaitFor([&] { return sink.Good() >= 40; }, 60000)) << sink.Good();
        EXPECT_EQ(data->DUnadvise(connection), S_OK);
        items->Release();
        data->Release();
        server->Release();
        EXPECT_TRUE(WaitFor([&] { return sink.refs.load() == 0; }, 3000));
    }
    CoUninitialize();
    EXPECT_EQ(Stop(), 0) << "the client let go of everything it held";
}

// The operator's window (on the offscreen platform) closed by a terminate
// request while a client holds a group: everything is saved first, then the
// forcing entry, and the process ends with status 1.
TEST_F(RemoteClientTest, TheWindowClosedWhileAClientIsConnectedSavesEverythingAndEndsWithStatusOne) {
    SetEnvironmentVariableA("QT_QPA_PLATFORM", "offscreen");
    StartPlant("--poll");
    SetEnvironmentVariableA("QT_QPA_PLATFORM", nullptr);
    Background("sub", std::string("opc subscribe ") + kInterval + " --rate 100");
    ASSERT_TRUE(WaitFor([&] { return !ReadFileText(dir_.File("sub.out")).empty(); }, 30000))
        << ReadFileText(dir_.File("sub.err"));
    std::filesystem::remove(config_);
    EXPECT_EQ(Stop(), 1) << ReadFileText(dir_.File("err"));
    const std::string log = ReadFileText(log_);
    EXPECT_EQ(Count(log, "Forcing termination of server while clients connected"), "1") << log;
    EXPECT_EQ(Count(log, "Application terminating normally"), "0");
    EXPECT_TRUE(std::filesystem::exists(config_)) << "the configuration is saved before the forced end";
    const std::string settings = ReadFileText(registry_ + "/HKEY_LOCAL_MACHINE.reg");
    EXPECT_NE(settings.find("\"Last Window Location\"=hex:"), std::string::npos) << settings;
    EXPECT_NE(settings.find("\"Last Splitter Wnd Val\"=hex:"), std::string::npos);
    EXPECT_NE(settings.find("\"Column Info\"=\"Name,0,0,"), std::string::npos);
}
