#pragma once
// The server program without a window: the same start, instance guard,
// settings and event log as the operator's program, the COM object count kept
// from posted notices on a small event-loop thread, every message box
// answered with its default answer (and written to the event log and standard
// error), and the exit sequence on an interrupt or terminate request.

#include "model/Posting.h"
#include "model/UiServices.h"
#include "platform/WinTypes.h"

#include <string>
#include <vector>

class OPCS_App;

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

// The whole program with --headless; returns its exit status. The caller
// holds back the termination signals before any thread starts.
int RunHeadlessServer(const std::vector<std::string>& args);
