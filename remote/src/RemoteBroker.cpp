#include "remote/RemoteBroker.h"

#include "ClientSide.h"
#include "remote/EventLoop.h"
#include "ServerSide.h"
#include "WorkerPool.h"

#include "foundation/CLogFile.h"
#include "platform/LocalSocket.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Thread.h"
#include "platform/Time.h"

#include <vector>

namespace remote {

namespace {

std::string ClsidText(REFCLSID clsid) {
    OLECHAR text[64] = {};
    StringFromGUID2(clsid, text, 64);
    return Utf16ToUtf8(text);
}

// The program the class is registered with, from its LocalServer32 key;
// empty when the class is not registered.
std::string LocalServerProgram(REFCLSID clsid) {
    const std::string key = "CLSID\\" + ClsidText(clsid) + "\\LocalServer32";
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return {};
    DWORD type = 0;
    DWORD size = 0;
    std::string program;
    if (RegQueryValueExA(opened, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ &&
        size > 0) {
        std::vector<char> value(size + 1, '\0');
        if (RegQueryValueExA(opened, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &size) ==
            ERROR_SUCCESS)
            program = value.data();
    }
    RegCloseKey(opened);
    // A path with spaces may be registered in quotation marks.
    if (program.size() >= 2 && program.front() == '"' && program.back() == '"')
        program = program.substr(1, program.size() - 2);
    return program;
}

}  // namespace

struct RemoteBroker::Parts {
    explicit Parts(const BrokerSettings& settings)
        : pool(64),
          delivery(1),
          server(loop, pool,
                 ServerSettings{settings.backlog, settings.callsPerConnection, settings.workersPerConnection}) {}
    // Destroyed in reverse: the served connections first, then the threads
    // their releases ran on, then the loop.
    EventLoop loop;
    WorkerPool pool;
    WorkerPool delivery;
    ServerSide server;
};

RemoteBroker::RemoteBroker(BrokerSettings settings)
    : settings_(settings), parts_(std::make_unique<Parts>(settings_)) {}

RemoteBroker::~RemoteBroker() {
    if (installed_) platform::SetLocalServerBroker(nullptr);
}

void RemoteBroker::Install() {
    platform::SetLocalServerBroker(this);
    installed_ = true;
}

std::string RemoteBroker::SocketPath(REFCLSID clsid) {
    const std::string folder = platform::UserRuntimeFolder();
    return folder.empty() ? std::string() : folder + ClsidText(clsid) + ".sock";
}

HRESULT RemoteBroker::Publish(REFCLSID clsid, IUnknown* classObject) {
    const std::string path = SocketPath(clsid);
    std::string error = "no private run-time folder";
    const HRESULT hr = path.empty() ? E_FAIL : parts_->server.Publish(clsid, classObject, path, error);
    if (FAILED(hr)) {
        EventLog().Append("The server class cannot be published to other processes:").Append(error).Commit(
            CLogFile::kWrite);
    }
    return hr;
}

void RemoteBroker::Withdraw(REFCLSID clsid) { parts_->server.Withdraw(clsid); }

std::size_t RemoteBroker::ServedConnections() { return parts_->server.ConnectionCount(); }

std::size_t RemoteBroker::ServedCalls() const { return parts_->server.CallsInFlight(); }

HRESULT RemoteBroker::GetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    const std::string path = SocketPath(clsid);
    if (path.empty()) return CO_E_SERVER_EXEC_FAILURE;
    int fd = platform::ConnectLocalSocket(path);
    if (fd < 0) {
        // Nothing listens: start the registered program, as the object broker
        // does, and wait for it to publish the class.
        const std::string program = LocalServerProgram(clsid);
        if (program.empty()) return REGDB_E_CLASSNOTREG;
        std::string error;
        if (!platform::StartDetachedProgram(program, {"-Embedding"}, error)) return CO_E_SERVER_EXEC_FAILURE;
        const DWORD start = GetTickCount();
        while (fd < 0 && GetTickCount() - start < settings_.activationTimeoutMs) {
            Sleep(50);
            fd = platform::ConnectLocalSocket(path);
        }
        if (fd < 0) return CO_E_SERVER_EXEC_FAILURE;
    }
    return ConnectClassObject(parts_->loop, parts_->delivery, fd, riid, ppv, settings_.callTimeoutMs);
}

}  // namespace remote
