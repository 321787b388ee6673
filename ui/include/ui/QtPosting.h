#pragma once
// Posting for the operator's window: a message posted by any thread becomes a
// queued event of the receiving view, handled on the GUI thread, so that poll
// and server threads never touch a widget. Notices for the main window (the
// COM object count) are taken by a receiver of their own from the start, so
// none is lost before the window exists.

#include "model/Posting.h"

#include <QEvent>
#include <QObject>

#include <array>
#include <memory>
#include <mutex>

// A posted message as it arrives at its view.
class PostedMessageEvent : public QEvent {
public:
    PostedMessageEvent(UINT message, std::uintptr_t wParam, std::intptr_t lParam);
    static QEvent::Type Kind();
    UINT Message() const { return message_; }
    std::uintptr_t WParam() const { return wParam_; }
    std::intptr_t LParam() const { return lParam_; }

private:
    UINT message_;
    std::uintptr_t wParam_;
    std::intptr_t lParam_;
};

class QtPosting : public Posting {
public:
    // Made on the GUI thread once the QApplication exists; installs itself.
    QtPosting();
    ~QtPosting() override;
    QtPosting(const QtPosting&) = delete;
    QtPosting& operator=(const QtPosting&) = delete;

    // The view that takes the posts for a target; null stops them (before the
    // view is destroyed). The main window's notices are never redirected.
    void SetReceiver(PostTarget target, QObject* receiver);
    void Post(PostTarget target, UINT message, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    std::mutex lock_;
    std::array<QObject*, 3> receivers_{};
    std::unique_ptr<QObject> noticeReceiver_;
};
