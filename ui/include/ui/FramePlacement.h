#pragma once
// The main window's placement as the settings keep it: a stored rectangle is
// used only when all four coordinates are above zero and it has a width and
// a height; the splitter's share is the tree's part of both panes' widths.

#include "platform/WinTypes.h"

#include <algorithm>

namespace frameplace {

inline bool IsRestorable(const RECT& r) {
    return r.left > 0 && r.top > 0 && r.right > 0 && r.bottom > 0 && r.right > r.left && r.bottom > r.top;
}

// The left pane's share; the current share when both panes are empty.
inline double SplitterShare(int leftWidth, int rightWidth, double current) {
    const int total = leftWidth + rightWidth;
    return total > 0 && leftWidth >= 0 && rightWidth >= 0 ? static_cast<double>(leftWidth) / total : current;
}

// The share the settings start with. While the splitter has it, nobody has
// placed it: the tree is widened to its names once it has any.
constexpr double kStartingShare = 0.2;
inline bool IsStartingShare(double share) { return share == kStartingShare; }

// The tree's width for its widest name: at least the starting share and at
// most 45% of both panes, so that the tag list keeps the larger part.
inline int FittedTreeWidth(int contentWidth, int totalWidth) {
    const int least = static_cast<int>(totalWidth * kStartingShare);
    const int most = std::max(least, static_cast<int>(totalWidth * 0.45));
    return std::clamp(contentWidth, least, most);
}

}  // namespace frameplace
