#pragma once
// The application object of the server program, without its windows: the
// start-up from the single-instance guard to the class published for
// clients, the count of COM objects that clients hold, the exit test, and the
// shutdown in its fixed order. The GUI and the headless program both drive it.

#include "config/DocModelHost.h"
#include "config/OPCS_Doc.h"
#include "opc/CommandLine.h"
#include "platform/Messages.h"
#include "platform/WinTypes.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class IClassFactory;
class OPCS_App;

namespace history {
class HistoryStore;
}

// A server the program runs beside the OPC DA class (the OPC UA endpoint):
// started once the class is published, so that its clients' objects can be
// made, and stopped before the program destroys the OPC servers that remain.
class ServingExtension {
public:
    virtual ~ServingExtension() = default;
    virtual void StartServing(OPCS_App& app) = 0;
    // Returns once the extension holds no OPC object any more.
    virtual void StopServing() = 0;
    // Where clients reach it, for the start-up line; empty while it does not serve.
    virtual std::string EndpointUrl() const = 0;
};

// The program's extension (null: none); set before the application starts.
void SetServingExtension(ServingExtension* extension);
ServingExtension* GetServingExtension();

class OPCS_App {
public:
    OPCS_App();
    ~OPCS_App();
    OPCS_App(const OPCS_App&) = delete;
    OPCS_App& operator=(const OPCS_App&) = delete;

    // Start-up. nullopt when the program is to run (the class is published by
    // then); otherwise the exit status to end with: 0 for a second instance,
    // after registration, unregistration and the usage message; 1 when OLE,
    // the document or the configuration cannot be set up.
    std::optional<int> InitInstance(const std::vector<std::string>& args);

    // What the exit command's saving achieved, and whether clients are still
    // connected (the caller then logs the forcing entry, LogForcedTermination,
    // and ends the process at once).
    struct ExitSave {
        bool configurationSaved = true;  // also when there is no file to write
        bool settingsSaved = true;
        bool clientsConnected = false;
    };
    // The exit command's saving: the configuration to its file without
    // asking, then the settings.
    ExitSave SaveAllForExit();
    // The same, for a caller that only asks whether clients are still connected.
    bool SaveForExit() { return SaveAllForExit().clientsConnected; }
    static void LogForcedTermination();
    // The shutdown after an exit without clients; returns the exit status (0).
    int ExitInstance();

    // WM_COMOBJECT_COUNT as it arrives at the main window: wParam 0 one more,
    // anything else one fewer.
    void OnComObjectCount(WPARAM wParam);
    long GetObjectCount() const { return objectCount_.load(); }
    bool AreClientsConnected() const { return GetObjectCount() != 0; }

    OPCS_Doc* GetDocument() { return doc_.get(); }
    const CommandLine& GetCommandLine() const { return commandLine_; }
    bool IsNewConfiguration() const { return newConfiguration_; }
    // Whether the class-factory thread published the class.
    bool IsServing() const { return serving_.load(); }
    // Stops the serving extension (the exit's first step); harmless when none runs.
    void StopExtension();
    // Records the program's stop in the history and writes what waits; the
    // exit's last step, and the forced termination's, whose process ends at once.
    void StopHistory();
    // The program's history, null when it keeps none.
    history::HistoryStore* GetHistory() { return history_.get(); }

private:
    static DWORD ClassFactoryThread(LPVOID parameter);
    void RunClassFactoryThread();
    bool RegisterOrUnregister(int& status);
    bool OpenConfiguration();
    void StartHistory();
    void StopClassFactoryThread();

    HANDLE instanceMutex_ = nullptr;
    HANDLE factoryThread_ = nullptr;
    DWORD factoryThreadId_ = 0;
    HANDLE factoryReady_ = nullptr;
    std::atomic<bool> run_{true};
    std::atomic<bool> serving_{false};
    std::atomic<long> objectCount_{0};
    bool comInitialised_ = false;
    bool started_ = false;
    bool extensionStarted_ = false;
    bool newConfiguration_ = false;
    IClassFactory* factory_ = nullptr;
    CommandLine commandLine_;
    DocModelHost modelHost_;
    std::unique_ptr<OPCS_Doc> doc_;
    std::unique_ptr<history::HistoryStore> history_;
};

// The application object while one exists, else null.
OPCS_App* GetApp();
