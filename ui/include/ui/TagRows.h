#pragma once
// What the tag list shows, without its widget: the text of a cell, the order
// of two tags by a column, and a header click's effect on the sort columns.
// The model is read under its own locks inside the tag and device calls.

#include "config/OPCS_Registry.h"

#include <string>
#include <vector>

class OPCS_Device;
class OPCS_Tag;

namespace tagrows {

// A device polls while it has a poll request and its poll thread runs.
bool IsPolling(const OPCS_Device* device);

// The text of one cell. A volatile tag of a device that is not polling shows
// blank cells except in the columns marked always shown. The value column
// clears the tag's changed flag.
std::string CellText(OPCS_Tag& tag, const ColumnInfo& column, bool devicePolling);

// Below zero when a sorts before b by that column; values and unknown columns compare equal.
int Compare(const OPCS_Tag& a, const OPCS_Tag& b, UINT columnId, bool ascending);
// Sorts by that column; tags that compare equal keep their order.
void Sort(std::vector<OPCS_Tag*>& tags, UINT columnId, bool ascending);

// A click on the header of shown column k: the sort column's direction turns
// round, any other column becomes the sort column. The shown records point
// into the view's copy of the settings' columns.
void HeaderClick(const std::vector<ColumnInfo*>& shown, int& sortPosition, int k);

// Whether every shown column still has the width the settings start with:
// nobody has sized the list yet, so it is sized to its contents once rows show.
bool HasStartingWidths(const std::vector<ColumnInfo*>& shown);
// A column's width fitted to its contents (cell or header text, in pixels):
// never below the starting width of a narrow column (live values grow), and
// never so wide that one long text pushes the other columns out of view.
unsigned FittedWidth(unsigned contentPx, unsigned startingWidth);
// A text a live column comes to show later, to size it by when the rows
// show something shorter at first (a device not polling yet); empty for the
// columns whose texts do not change.
std::string LaterText(UINT columnId);
constexpr unsigned kFittedMargin = 16;
constexpr unsigned kFittedMax = 480;

}  // namespace tagrows
