#include "model/ScriptedUiServices.h"

ScriptedUiServices::ScriptedUiServices() {
    SetUiServices(this);
    SetPosting(this);
}

ScriptedUiServices::~ScriptedUiServices() {
    SetPosting(nullptr);
    SetUiServices(nullptr);
}

void ScriptedUiServices::QueueAnswer(MessageAnswer answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

void ScriptedUiServices::QueueDialogResult(bool ok) {
    std::lock_guard lock(mutex_);
    dialogResults_.push_back(ok);
}

void ScriptedUiServices::QueueFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    files_.push_back(path);
}

MessageAnswer ScriptedUiServices::ShowMessage(const std::string& text, MessageIcon icon, MessageButtons buttons,
                                              const std::string& caption) {
    std::lock_guard lock(mutex_);
    MessageAnswer answer = DefaultAnswer(buttons);
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
    }
    messages_.push_back({text, icon, buttons, answer, caption});
    if (messages_.size() > kRecordLimit) messages_.pop_front();
    return answer;
}

bool ScriptedUiServices::NextDialogResult() {
    std::lock_guard lock(mutex_);
    ++dialogRequests_;
    if (dialogResults_.empty()) return false;
    const bool ok = dialogResults_.front();
    dialogResults_.pop_front();
    return ok;
}

bool ScriptedUiServices::ShowProperties(OPCS_Tag&) { return NextDialogResult(); }
bool ScriptedUiServices::ShowProperties(OPCS_TagGroup&) { return NextDialogResult(); }
bool ScriptedUiServices::ShowDeviceProperties(OPCS_Device&) { return NextDialogResult(); }

std::optional<std::string> ScriptedUiServices::ChooseFile(const FileChoice&) {
    std::lock_guard lock(mutex_);
    ++dialogRequests_;
    if (files_.empty()) return std::nullopt;
    std::string path = files_.front();
    files_.pop_front();
    if (path.empty()) return std::nullopt;
    return path;
}

void ScriptedUiServices::Post(PostTarget target, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
    std::lock_guard lock(mutex_);
    posts_.push_back({target, message, wParam, lParam});
    if (posts_.size() > kRecordLimit) posts_.pop_front();
}

std::vector<RecordedMessage> ScriptedUiServices::Messages() const {
    std::lock_guard lock(mutex_);
    return {messages_.begin(), messages_.end()};
}

std::vector<RecordedPost> ScriptedUiServices::Posts() const {
    std::lock_guard lock(mutex_);
    return {posts_.begin(), posts_.end()};
}

std::size_t ScriptedUiServices::CountTimerPosts(PostTarget target, UINT timerId) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& post : posts_) n += post.target == target && post.message == kWmTimer && post.wParam == timerId;
    return n;
}

std::size_t ScriptedUiServices::DialogRequests() const {
    std::lock_guard lock(mutex_);
    return dialogRequests_;
}

void ScriptedUiServices::Clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    posts_.clear();
    dialogRequests_ = 0;
}
