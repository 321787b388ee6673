#pragma once
// How worker threads notify the views: they post (never send) a message to a
// window and go on. The GUI implements posting with queued events; headless
// mode with a small event-loop thread. Without an implementation installed,
// posts are dropped.

#include "platform/WinTypes.h"

#include <cstdint>

enum class PostTarget { DeviceTree, TagList, MainWindow };

// Timer ids the views answer when they arrive as posted messages.
constexpr UINT kTimerDeviceIcons = 5;  // device tree: a device's communication state changed
constexpr UINT kTimerTagRows = 8;      // tag list: values changed (a poll pass or a write)

// The message number of a timer tick, as the window system numbers it.
constexpr UINT kWmTimer = 0x0113;

class Posting {
public:
    virtual ~Posting() = default;
    // Must return at once and be callable from any thread.
    virtual void Post(PostTarget target, UINT message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

// Installs the implementation (not owned). Null removes it.
void SetPosting(Posting* posting);
// A WM_TIMER message with this id to the view.
void PostTimer(PostTarget target, UINT timerId);
void PostNotice(PostTarget target, UINT message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
