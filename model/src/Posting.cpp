#include "model/Posting.h"

#include <atomic>

namespace {
std::atomic<Posting*> g_posting{nullptr};
}  // namespace

void SetPosting(Posting* posting) { g_posting.store(posting); }

void PostNotice(PostTarget target, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (Posting* posting = g_posting.load()) posting->Post(target, message, wParam, lParam);
}

void PostTimer(PostTarget target, UINT timerId) { PostNotice(target, kWmTimer, timerId, 0); }
