#pragma once
// UI services and posting without a screen, for tests and headless mode:
// every message box and dialog request is recorded and answered from a
// script of preset answers (or the default answer when the script is empty);
// every posted notice is recorded (the most recent kRecordLimit of each, so
// that a long headless run does not grow without bound). Installs itself for
// its lifetime. Safe to use from any thread.

#include "model/Posting.h"
#include "model/UiServices.h"

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct RecordedMessage {
    std::string text;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
    MessageAnswer answer = MessageAnswer::Ok;
    std::string caption;
};

struct RecordedPost {
    PostTarget target = PostTarget::MainWindow;
    UINT message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

class ScriptedUiServices : public UiServices, public Posting {
public:
    static constexpr std::size_t kRecordLimit = 4096;

    ScriptedUiServices();
    ~ScriptedUiServices() override;
    ScriptedUiServices(const ScriptedUiServices&) = delete;
    ScriptedUiServices& operator=(const ScriptedUiServices&) = delete;

    // Answers for the next message boxes, dialogs and file choosers, in order.
    void QueueAnswer(MessageAnswer answer);
    void QueueDialogResult(bool ok);
    void QueueFile(const std::string& path);  // an empty path answers "cancelled"

    MessageAnswer ShowMessage(const std::string& text, MessageIcon icon, MessageButtons buttons,
                              const std::string& caption = {}) override;
    bool ShowProperties(OPCS_Tag& tag) override;
    bool ShowProperties(OPCS_TagGroup& group) override;
    bool ShowDeviceProperties(OPCS_Device& device) override;
    std::optional<std::string> ChooseFile(const FileChoice& choice) override;
    void Post(PostTarget target, UINT message, std::uintptr_t wParam, std::intptr_t lParam) override;

    std::vector<RecordedMessage> Messages() const;
    std::vector<RecordedPost> Posts() const;
    // Posted timer messages with this id to this view.
    std::size_t CountTimerPosts(PostTarget target, UINT timerId) const;
    std::size_t DialogRequests() const;
    void Clear();

private:
    bool NextDialogResult();

    mutable std::mutex mutex_;
    std::deque<MessageAnswer> answers_;
    std::deque<bool> dialogResults_;
    std::deque<std::string> files_;
    std::deque<RecordedMessage> messages_;
    std::deque<RecordedPost> posts_;
    std::size_t dialogRequests_ = 0;
};
