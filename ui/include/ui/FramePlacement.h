#pragma once
// The main window's placement as the settings keep it: a stored rectangle is
// used only when all four coordinates are above zero and it has a width and
// a height; the splitter's share is the tree's part of both panes' widths.

#include "platform/WinTypes.h"

namespace frameplace {

inline bool IsRestorable(const RECT& r) {
    return r.left > 0 && r.top > 0 && r.right > 0 && r.bottom > 0 && r.right > r.left && r.bottom > r.top;
}

// The left pane's share; the current share when both panes are empty.
inline double SplitterShare(int leftWidth, int rightWidth, double current) {
    const int total = leftWidth + rightWidth;
    return total > 0 && leftWidth >= 0 && rightWidth >= 0 ? static_cast<double>(leftWidth) / total : current;
}

}  // namespace frameplace
