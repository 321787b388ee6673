#pragma once
// Work that talks to a counter (seconds, when it confirms a change) runs off
// the GUI thread while the window keeps painting under a busy cursor. The
// messages that work shows are asked on the GUI thread, which waits for it.

#include <functional>

class QWidget;

namespace busywork {

// Runs the work on a thread of its own and returns when it has ended.
void Run(QWidget* parent, const std::function<void()>& work);

// True on the thread of a Run in progress: its message boxes are shown by
// the GUI thread, which is waiting for it and so cannot be holding up the
// work's locks.
bool OnWorkThread();

}  // namespace busywork
