#include "opc/OPCS_App.h"

#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "foundation/StringTable.h"
#include "foundation/VersionInfo.h"
#include "history/HistoryStore.h"
#include "model/ModelHost.h"
#include "model/UiServices.h"
#include "opc/ComObjects.h"
#include "opc/OPCServer.h"
#include "opc/OPCServerFactory.h"
#include "opc/OpcDa.h"
#include "opc/Registration.h"
#include "platform/Com.h"
#include "platform/Thread.h"

#include <cstdio>
#include <filesystem>

namespace {

std::atomic<OPCS_App*> g_app{nullptr};
std::atomic<ServingExtension*> g_extension{nullptr};

// The program's own record for the history, stamped now.
DeviceEvent ProgramEvent(DeviceEventKind kind, const char* text) {
    DeviceEvent event;
    event.timeMs = NowUtcMs();
    event.kind = kind;
    event.text = text;
    return event;
}

// How long start-up waits for the class-factory thread to publish the class.
constexpr DWORD kPublishWaitMs = 10000;

}  // namespace

OPCS_App* GetApp() { return g_app.load(); }

void SetServingExtension(ServingExtension* extension) { g_extension.store(extension); }

ServingExtension* GetServingExtension() { return g_extension.load(); }

OPCS_App::OPCS_App() { g_app.store(this); }

OPCS_App::~OPCS_App() {
    // An early end of InitInstance, or a caller that never ran ExitInstance:
    // nothing is left running.
    StopExtension();
    StopClassFactoryThread();
    doc_.reset();
    StopHistory();
    if (&GetModelHost() == &modelHost_) SetModelHost(nullptr);
    if (factory_ != nullptr) factory_->Release();
    if (comInitialised_) CoUninitialize();
    if (factoryReady_ != nullptr) CloseHandle(factoryReady_);
    if (instanceMutex_ != nullptr) CloseHandle(instanceMutex_);
    g_app.store(nullptr);
}

std::optional<int> OPCS_App::InitInstance(const std::vector<std::string>& args) {
    // 1. One instance per user: nothing touches the settings or the log before this.
    instanceMutex_ = CreateMutexA(nullptr, TRUE, versioninfo::ProductName().c_str());
    if (instanceMutex_ == nullptr) return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(instanceMutex_);
        instanceMutex_ = nullptr;
        return 0;
    }

    // 2.-4. The string tables are part of the program; the settings, then the event log.
    OPCS_Registry& settings = ProgramSettings();
    settings.Load();
    if (settings.GetEventLogEnabled()) {
        EventLog().Open(settings.GetEventLogFile());
        if (settings.GetEventLogFileSize() >= 1024) EventLog().SetSizeLimit(settings.GetEventLogFileSize());
    }

    // 5. OLE.
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        GetUiServices().ShowMessage(LoadStringText(IDS_OLE_INIT_FAILED), MessageIcon::Error, MessageButtons::Ok);
        return 1;
    }
    comInitialised_ = true;

    // 6. The configuration lock is the program's one static lock; the class table's entry.
    factory_ = new OPCServerFactory;

    // 7. Registration.
    commandLine_ = ParseCommandLine(args);
    int status = 0;
    if (RegisterOrUnregister(status)) return status;

    // 8. Normal start.
    FILETIME now{};
    CoFileTimeNow(&now);
    SetProgramStartTime(now);
    doc_ = std::make_unique<OPCS_Doc>();
    SetModelHost(&modelHost_);
    doc_->Hooks().clientsConnected = [this] { return AreClientsConnected(); };
    // A configuration named on the command line that does not exist yet is
    // made there, not over the last used one.
    if (!commandLine_.fileName.empty()) {
        const std::string named = commandLine_.fileName;
        doc_->Hooks().configurationPath = [named] { return named; };
    }

    // The history starts before the devices do, so that it holds their first samples.
    StartHistory();

    // 10.-11. The configuration.
    if (!OpenConfiguration()) return 1;

    // 12. The class-factory thread; clients see the class once it has published it.
    factoryReady_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    factoryThread_ = CreateThread(nullptr, 0, &OPCS_App::ClassFactoryThread, this, 0, &factoryThreadId_);
    if (factoryThread_ != nullptr) WaitForSingleObject(factoryReady_, kPublishWaitMs);
    started_ = true;
    if (ServingExtension* extension = g_extension.load(); extension != nullptr && serving_.load()) {
        extension->StartServing(*this);
        extensionStarted_ = true;
    }
    return std::nullopt;
}

void OPCS_App::StartHistory() {
    OPCS_Registry& settings = ProgramSettings();
    // What the command line names is kept, as the options page's choice would be.
    if (commandLine_.history) {
        if (*commandLine_.history == "off") {
            settings.SetHistoryEnabled(false);
        } else {
            std::error_code ignored;
            const std::filesystem::path file = std::filesystem::absolute(*commandLine_.history, ignored);
            settings.SetHistoryEnabled(true);
            settings.SetHistoryFile(file.empty() ? *commandLine_.history : file.string());
        }
    }
    if (!settings.GetHistoryEnabled()) {
        EventLog().Append("Sample history off").Commit(CLogFile::kWrite);
        return;
    }
    history::HistoryOptions options;
    options.path = settings.GetHistoryFile();
    options.retentionDays = settings.GetHistoryRetentionDays();
    options.maxBytes = static_cast<std::int64_t>(settings.GetHistoryMaxSizeMB()) * 1024 * 1024;
    history_ = std::make_unique<history::HistoryStore>(options);
    std::string error;
    // A history that cannot be written yet keeps its samples in memory and
    // tries again; the program serves either way.
    if (!history_->Start(error))
        std::fprintf(stderr, "vok-explorer: the sample history is not written yet (%s): %s\n", options.path.c_str(),
                     error.c_str());
    history::SetProgramHistory(history_.get());
    AddSampleSink(history_.get());
    history_->OnDeviceEvent(ProgramEvent(DeviceEventKind::ProgramStarted, "Program started"));
}

void OPCS_App::StopHistory() {
    if (!history_) return;
    RemoveSampleSink(history_.get());
    history_->OnDeviceEvent(ProgramEvent(DeviceEventKind::ProgramStopped, "Program stopped"));
    history::SetProgramHistory(nullptr);
    history_->Stop();
    history_.reset();
}

void OPCS_App::StopExtension() {
    if (!extensionStarted_) return;
    extensionStarted_ = false;
    if (ServingExtension* extension = g_extension.load()) extension->StopServing();
}

bool OPCS_App::RegisterOrUnregister(int& status) {
    const std::string module = versioninfo::ProgramPath();
    switch (commandLine_.action) {
    case CommandLine::Action::Run: return false;
    case CommandLine::Action::Unregister: {
        EventLog().Append("Un-Registering server").Commit(CLogFile::kWrite);
        const HRESULT result = UnregisterServer(module);
        RemoveTraces();
        status = FAILED(result) ? 1 : 0;
        return true;
    }
    case CommandLine::Action::Register: {
        EventLog().Append("Registering server").Commit(CLogFile::kWrite);
        const HRESULT result = RegisterServer(module);
        if (FAILED(result)) {
            GetUiServices().ShowMessage(ComErrorText(result), MessageIcon::Error, MessageButtons::Ok, "COM Error");
        }
        ProgramSettings().Save();
        // A failed registration is not reported as success to whoever ran it.
        status = FAILED(result) ? 1 : 0;
        return true;
    }
    case CommandLine::Action::Usage:
        GetUiServices().ShowMessage(LoadStringText(IDS_USAGE), MessageIcon::Information, MessageButtons::Ok);
        status = 0;
        return true;
    }
    return false;
}

bool OPCS_App::OpenConfiguration() {
    std::string file;
    if (!commandLine_.fileName.empty() && versioninfo::FileExists(commandLine_.fileName)) {
        file = commandLine_.fileName;
    } else if (commandLine_.fileName.empty() && versioninfo::FileExists(ProgramSettings().GetLastUsedFile())) {
        file = ProgramSettings().GetLastUsedFile();
    }
    if (!file.empty()) {
        EventLog().Append("Application starting - Opening:").Append(file).Commit(CLogFile::kWrite);
        return doc_->OnOpenDocument(file);
    }
    EventLog().Append("Application starting - Creating new configuration").Commit(CLogFile::kWrite);
    newConfiguration_ = true;
    return doc_->OnNewDocument();
}

DWORD OPCS_App::ClassFactoryThread(LPVOID parameter) {
    static_cast<OPCS_App*>(parameter)->RunClassFactoryThread();
    return 0;
}

void OPCS_App::RunClassFactoryThread() {
    // The queue exists before anyone may post the quit message to it.
    MSG msg{};
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        SetEvent(factoryReady_);
        return;
    }
    DWORD cookie = 0;
    IClassFactory* classObject = nullptr;
    if (SUCCEEDED(factory_->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&classObject)))) {
        if (SUCCEEDED(CoRegisterClassObject(CLSID_VOKExplorer, classObject, CLSCTX_LOCAL_SERVER,
                                            REGCLS_MULTIPLEUSE, &cookie))) {
            serving_.store(true);
        }
        classObject->Release();
    }
    SetEvent(factoryReady_);
    while (run_.load() && GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (cookie != 0) CoRevokeClassObject(cookie);
    serving_.store(false);
    CoUninitialize();
}

void OPCS_App::StopClassFactoryThread() {
    if (factoryThread_ == nullptr) return;
    run_.store(false);
    PostThreadMessageA(factoryThreadId_, WM_QUIT, 0, 0);
    if (WaitForSingleObject(factoryThread_, INFINITE) == WAIT_FAILED) {
        // A thread is never killed here (it could hold a lock); it is left to end with the process.
        EventLog().Append("The class-factory thread could not be waited for").Commit(CLogFile::kWrite);
    }
    CloseHandle(factoryThread_);
    factoryThread_ = nullptr;
}

OPCS_App::ExitSave OPCS_App::SaveAllForExit() {
    ExitSave saved;
    if (doc_ != nullptr && !doc_->GetPathName().empty())
        saved.configurationSaved = doc_->OnSaveDocument(doc_->GetPathName());
    saved.settingsSaved = ProgramSettings().Save();
    saved.clientsConnected = AreClientsConnected();
    return saved;
}

void OPCS_App::LogForcedTermination() {
    EventLog().Append("Forcing termination of server while clients connected").Commit(CLogFile::kWrite);
    if (OPCS_App* app = GetApp()) app->StopHistory();
}

int OPCS_App::ExitInstance() {
    EventLog().Append("Application terminating normally").Commit(CLogFile::kWrite);
    StopExtension();
    StopClassFactoryThread();
    OPCServer::DestroyAll();
    if (factory_ != nullptr) {
        factory_->Release();
        factory_ = nullptr;
    }
    // The devices go before the settings are written, so that no poll thread
    // runs while the process winds down.
    doc_.reset();
    StopHistory();
    if (&GetModelHost() == &modelHost_) SetModelHost(nullptr);
    ProgramSettings().Save();
    if (comInitialised_) {
        CoUninitialize();
        comInitialised_ = false;
    }
    if (instanceMutex_ != nullptr) {
        CloseHandle(instanceMutex_);
        instanceMutex_ = nullptr;
    }
    return 0;
}

void OPCS_App::OnComObjectCount(WPARAM wParam) {
    if (wParam == kComObjectCreated) {
        ++objectCount_;
    } else {
        --objectCount_;
    }
}
