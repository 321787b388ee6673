#pragma once
// The server program without a window: the same start, instance guard,
// settings and event log as the operator's program, the COM object count kept
// from posted notices on a small event-loop thread, every message box
// answered with its default answer (and written to the event log and standard
// error), and the exit sequence on an interrupt or terminate request.

#include "model/Posting.h"
#include "model/UiServices.h"
#include "opc/OPCS_App.h"
#include "platform/WinTypes.h"

#include <mutex>
#include <string>
#include <vector>

// Message boxes nobody can see: the text goes to the event log and standard
// error, the answer is the box's default.
class HeadlessUiServices : public UiServices {
public:
    HeadlessUiServices();
    ~HeadlessUiServices() override;
    HeadlessUiServices(const HeadlessUiServices&) = delete;
    HeadlessUiServices& operator=(const HeadlessUiServices&) = delete;

    MessageAnswer ShowMessage(const std::string& text, MessageIcon icon, MessageButtons buttons,
                              const std::string& caption = {}) override;

    // The text of the last error box since the last call, which it forgets:
    // why a save failed, for the exit's own report.
    std::string TakeLastError();

private:
    std::mutex lock_;
    std::string lastError_;
};

// Posting without windows: notices for the main window go to a thread of
// their own, which hands WM_COMOBJECT_COUNT to the application object; posts
// for the views are dropped, as there are none.
class HeadlessPosting : public Posting {
public:
    HeadlessPosting();
    ~HeadlessPosting() override;
    HeadlessPosting(const HeadlessPosting&) = delete;
    HeadlessPosting& operator=(const HeadlessPosting&) = delete;

    void Post(PostTarget target, UINT message, std::uintptr_t wParam, std::intptr_t lParam) override;
    // Returns once every notice posted before the call has been handled.
    void Flush();

private:
    static DWORD LoopThread(LPVOID parameter);
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HANDLE ready_ = nullptr;
};

// With --poll: every device of the configuration polled for the operator.
void StartPollingWhenAsked(OPCS_App& app);
// The start-up line on standard output that scripts wait for: the class
// served, the configuration, its devices and whether they poll.
void PrintServingLine(OPCS_App& app);

// A save request of the running service (the hang-up signal): the
// configuration and the settings are written as at the exit, serving goes on,
// and the event log and standard error say what was saved. False when the
// configuration or the settings could not be written.
bool SaveOnRequest(OPCS_App& app);

// The exit status after a stop request when the configuration or the
// settings could not be written: the service manager then records a failed
// stop rather than a clean one while changes are lost. A stop with clients
// still connected is a stop as asked and ends with 0 once everything is saved.
constexpr int kExitNotSaved = 1;

// The exit's report of what it could not save, on standard error and in the
// event log ("Configuration not saved at shutdown - FILE: reason", the reason
// being the last line of errorText, what the failed save said). True when
// everything was saved and there is nothing to report.
bool ReportExitSave(const std::string& path, const OPCS_App::ExitSave& saved, const std::string& errorText);

// The whole program with --headless; returns its exit status. The caller
// holds back the termination signals before any thread starts.
int RunHeadlessServer(const std::vector<std::string>& args);
