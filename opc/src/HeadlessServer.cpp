#include "opc/HeadlessServer.h"

#include "config/OPCS_Doc.h"
#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "history/HistoryStore.h"
#include "model/OPCS_Device.h"
#include "opc/ComObjects.h"
#include "opc/OPCS_App.h"
#include "opc/OpcDa.h"
#include "platform/Messages.h"
#include "platform/ServiceNotify.h"
#include "platform/Signals.h"
#include "platform/Thread.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// A message of the loop thread itself: lParam is an event to set.
constexpr UINT kFlushMessage = WM_USER + 1;

const char* AnswerName(MessageAnswer answer) {
    switch (answer) {
    case MessageAnswer::Ok: return "OK";
    case MessageAnswer::Cancel: return "Cancel";
    case MessageAnswer::Yes: return "Yes";
    case MessageAnswer::No: return "No";
    case MessageAnswer::Retry: return "Retry";
    }
    return "?";
}

// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

HeadlessUiServices::HeadlessUiServices() { SetUiServices(this); }
HeadlessUiServices::~HeadlessUiServices() { SetUiServices(nullptr); }

MessageAnswer HeadlessUiServices::ShowMessage(const std::string& text, MessageIcon icon, MessageButtons buttons,
                                              const std::string& caption) {
    if (icon == MessageIcon::Error) {
        std::lock_guard hold(lock_);
        lastError_ = text;
    }
    const MessageAnswer answer = DefaultAnswer(buttons);
    const std::string title = caption.empty() ? "Message" : caption;
    EventLog()
        .Append(title + " (no window; answered " + AnswerName(answer) + "):")
        .Append(text)
        .Commit(CLogFile::kWrite);
    std::fprintf(stderr, "vok-explorer: %s (answered %s): %s\n", title.c_str(), AnswerName(answer), text.c_str());
    return answer;
}

std::string HeadlessUiServices::TakeLastError() {
    std::lock_guard hold(lock_);
    return std::exchange(lastError_, {});
}

HeadlessPosting::HeadlessPosting() {
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &HeadlessPosting::LoopThread, this, 0, &threadId_);
    if (thread_ != nullptr) WaitForSingleObject(ready_, INFINITE);
    SetPosting(this);
}

HeadlessPosting::~HeadlessPosting() {
    SetPosting(nullptr);
    if (thread_ != nullptr) {
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    CloseHandle(ready_);
}

DWORD HeadlessPosting::LoopThread(LPVOID parameter) {
    auto* self = static_cast<HeadlessPosting*>(parameter);
    MSG msg{};
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(self->ready_);
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (msg.message == WM_COMOBJECT_COUNT) {
            if (OPCS_App* app = GetApp()) app->OnComObjectCount(msg.wParam);
        } else if (msg.message == kFlushMessage) {
            SetEvent(reinterpret_cast<HANDLE>(msg.lParam));
        }
    }
    return 0;
}

void HeadlessPosting::Post(PostTarget target, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (target != PostTarget::MainWindow || message != WM_COMOBJECT_COUNT) return;
    PostThreadMessageA(threadId_, message, wParam, lParam);
}

void HeadlessPosting::Flush() {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (PostThreadMessageA(threadId_, kFlushMessage, 0, reinterpret_cast<LPARAM>(done))) {
        WaitForSingleObject(done, INFINITE);
    }
    CloseHandle(done);
}

void StartPollingWhenAsked(OPCS_App& app) {
    if (!app.GetCommandLine().poll) return;
    Dll<OPCS_Device*> devices;
    app.GetDocument()->GetDeviceList(devices);
    for (OPCS_Device* device : devices) device->RequestPolling(OPCS_Device::kOperator);
}

void PrintServingLine(OPCS_App& app) {
    OPCS_Doc* doc = app.GetDocument();
    Dll<OPCS_Device*> devices;
    doc->GetDeviceList(devices);
    const ServingExtension* extension = GetServingExtension();
    const std::string endpoint = extension != nullptr ? extension->EndpointUrl() : std::string();
    const history::HistoryStore* kept = app.GetHistory();
    std::printf("{\"serving\": \"%s\", \"class_published\": %s, \"configuration\": %s, \"new\": %s, "
                "\"devices\": %d, \"polling\": %s, \"ua_endpoint\": %s, \"history\": %s}\n",
                platform::GuidToString(CLSID_VOKExplorer).c_str(), app.IsServing() ? "true" : "false",
                JsonString(doc->GetPathName()).c_str(), app.IsNewConfiguration() ? "true" : "false", devices.GetCount(),
                app.GetCommandLine().poll ? "true" : "false",
                endpoint.empty() ? "null" : JsonString(endpoint).c_str(),
                kept == nullptr ? "null" : JsonString(kept->Options().path).c_str());
    std::fflush(stdout);
}

bool SaveOnRequest(OPCS_App& app) {
    OPCS_Doc* doc = app.GetDocument();
    const std::string path = doc != nullptr ? doc->GetPathName() : std::string();
    // A configuration without a file yet has nothing to be written over; the
    // exit does not save it either.
    const bool configSaved = path.empty() || doc->OnSaveDocument(path);
    const bool settingsSaved = ProgramSettings().Save();
    std::string text;
    if (configSaved && settingsSaved) {
        text = "Configuration and settings saved on request";
    } else if (configSaved) {
        text = "Configuration saved on request; the settings could not be written";
    } else if (settingsSaved) {
        text = "Settings saved on request; the configuration could not be written";
    } else {
        text = "Save on request failed: neither the configuration nor the settings could be written";
    }
    if (!path.empty()) text += " - " + path;
    EventLog().Append(text).Commit(CLogFile::kWrite);
    std::fprintf(stderr, "vok-explorer: %s\n", text.c_str());
    std::fflush(stderr);
    return configSaved && settingsSaved;
}

bool ReportExitSave(const std::string& path, const OPCS_App::ExitSave& saved, const std::string& errorText) {
    std::vector<std::string> lines;
    if (!saved.configurationSaved) {
        // The failed save's box ends with the system's reason.
        std::string reason;
        std::size_t end = errorText.size();
        while (reason.empty() && end > 0) {
            const std::size_t start = errorText.rfind('\n', end - 1);
            const std::size_t from = start == std::string::npos ? 0 : start + 1;
            reason = errorText.substr(from, end - from);
            end = start == std::string::npos ? 0 : start;
        }
        if (reason.empty()) reason = "the file could not be written";
        lines.push_back("Configuration not saved at shutdown - " + path + ": " + reason);
    }
    if (!saved.settingsSaved) lines.push_back("Settings not saved at shutdown: the registry could not be written");
    for (const std::string& line : lines) {
        EventLog().Append(line).Commit(CLogFile::kWrite);
        std::fprintf(stderr, "vok-explorer: %s\n", line.c_str());
    }
    std::fflush(stderr);
    return lines.empty();
}

int RunHeadlessServer(const std::vector<std::string>& args) {
    HeadlessUiServices ui;
    HeadlessPosting posting;
    OPCS_App app;
    if (const auto status = app.InitInstance(args)) return *status;

    StartPollingWhenAsked(app);
    PrintServingLine(app);
    // Under a service manager the start counts as done once clients can reach the class.
    platform::NotifyServiceManager(app.IsServing() ? "READY=1" : "STATUS=The server class could not be published");

    // A save request (SIGHUP, a service manager's reload) writes everything
    // and serving goes on; interrupt or terminate end it.
    while (signals::WaitForRequest(-1) == signals::Request::Save) {
        posting.Flush();
        SaveOnRequest(app);
    }
    platform::NotifyServiceManager("STOPPING=1");

    // The exit command: everything is saved first, then a server with clients
    // still connected ends at once rather than pull their objects away.
    posting.Flush();
    ui.TakeLastError();
    const OPCS_App::ExitSave saved = app.SaveAllForExit();
    const std::string path = app.GetDocument() != nullptr ? app.GetDocument()->GetPathName() : std::string();
    const int status = ReportExitSave(path, saved, ui.TakeLastError()) ? 0 : kExitNotSaved;
    if (saved.clientsConnected) {
        OPCS_App::LogForcedTermination();
        std::fprintf(stderr, "vok-explorer: Forcing termination of server while clients connected\n");
        std::fflush(nullptr);
        std::_Exit(status);
    }
    const int shutdown = app.ExitInstance();
    return shutdown != 0 ? shutdown : status;
}
