#include "ui/QtPosting.h"

#include "opc/OPCS_App.h"
#include "opc/ComObjects.h"

#include <QCoreApplication>

namespace {

// Takes WM_COMOBJECT_COUNT on the GUI thread and hands it to the application object.
class NoticeReceiver : public QObject {
protected:
    bool event(QEvent* e) override {
        if (e->type() != PostedMessageEvent::Kind()) return QObject::event(e);
        const auto* posted = static_cast<PostedMessageEvent*>(e);
        if (posted->Message() == WM_COMOBJECT_COUNT) {
            if (OPCS_App* app = GetApp()) app->OnComObjectCount(posted->WParam());
        }
        return true;
    }
};

std::size_t Slot(PostTarget target) { return static_cast<std::size_t>(target); }

}  // namespace

PostedMessageEvent::PostedMessageEvent(UINT message, std::uintptr_t wParam, std::intptr_t lParam)
    : QEvent(Kind()), message_(message), wParam_(wParam), lParam_(lParam) {}

QEvent::Type PostedMessageEvent::Kind() {
    static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
    return kind;
}

QtPosting::QtPosting() : noticeReceiver_(std::make_unique<NoticeReceiver>()) {
    PostedMessageEvent::Kind();  // registered before any thread can post
    receivers_[Slot(PostTarget::MainWindow)] = noticeReceiver_.get();
    SetPosting(this);
}

QtPosting::~QtPosting() {
    SetPosting(nullptr);
    std::lock_guard hold(lock_);
    receivers_.fill(nullptr);
}

void QtPosting::SetReceiver(PostTarget target, QObject* receiver) {
    if (target == PostTarget::MainWindow) return;
    std::lock_guard hold(lock_);
    receivers_[Slot(target)] = receiver;
}

void QtPosting::Post(PostTarget target, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (Slot(target) >= receivers_.size()) return;
    // Under the lock, so that a view that stops its posts is never handed one
    // after; Qt drops the events still queued for an object it destroys.
    std::lock_guard hold(lock_);
    if (QObject* receiver = receivers_[Slot(target)]) {
        QCoreApplication::postEvent(receiver, new PostedMessageEvent(message, wParam, lParam));
    }
}
