#include "ui/TagRows.h"

#include "foundation/TextCompare.h"
#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/ScopedLock.h"

#include <algorithm>

namespace tagrows {

namespace {

template <class T>
int Order(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// FILETIME counts 100 ns steps; the list compares whole seconds.
std::uint64_t WholeSeconds(const FILETIME& time) {
    return ((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10000000u;
}

}  // namespace

bool IsPolling(const OPCS_Device* device) {
    if (device == nullptr) return false;
    ScopedLock<OPCS_Device> hold(*device);
    return device->GetTotalPollRequests() > 0 && device->HasPollThread();
}

std::string CellText(OPCS_Tag& tag, const ColumnInfo& column, bool devicePolling) {
    if (!devicePolling && tag.IsVolatile() && !column.alwaysShown) return {};
    switch (column.columnId) {
    case 0: return tag.GetName();
    case 1: return tag.GetValueText();
    case 2: return tag.GetQualityText();
    case 3: return tag.GetTimestampText();
    case 4: return tag.GetAccessText();
    case 5: return std::to_string(tag.GetKindCode());
    case 6: return tag.GetDescription();
    default: return {};
    }
}

int Compare(const OPCS_Tag& a, const OPCS_Tag& b, UINT columnId, bool ascending) {
    int result = 0;
    switch (columnId) {
    case 0: result = CompareNoCase(a.GetName(), b.GetName()); break;
    case 6: result = CompareNoCase(a.GetDescription(), b.GetDescription()); break;
    case 2: result = Order<unsigned>(a.GetQuality(), b.GetQuality()); break;
    case 3: result = Order(WholeSeconds(a.GetTimestamp()), WholeSeconds(b.GetTimestamp())); break;
    case 4: result = Order(a.GetAccessRights(), b.GetAccessRights()); break;
    case 5: result = Order(a.GetKindCode(), b.GetKindCode()); break;
    default: break;
    }
    return ascending ? result : -result;
}

void Sort(std::vector<OPCS_Tag*>& tags, UINT columnId, bool ascending) {
    std::stable_sort(tags.begin(), tags.end(), [&](const OPCS_Tag* a, const OPCS_Tag* b) {
        return Compare(*a, *b, columnId, ascending) < 0;
    });
}

void HeaderClick(const std::vector<ColumnInfo*>& shown, int& sortPosition, int k) {
    if (k < 0 || k >= static_cast<int>(shown.size())) return;
    if (k == sortPosition) {
        shown[k]->ascending = !shown[k]->ascending;
        return;
    }
    if (sortPosition >= 0 && sortPosition < static_cast<int>(shown.size())) shown[sortPosition]->sortColumn = false;
    shown[k]->sortColumn = true;
    sortPosition = k;
}

std::string LaterText(UINT columnId) {
    switch (columnId) {
    case 1: return "1234567";              // a count of seven digits
    case 2: return "Bad (Comm Failure)";   // what a lost counter's tags show
    case 3: return "88/88/88 88:88:88";    // the timestamp's widest digits
    default: return {};
    }
}

bool HasStartingWidths(const std::vector<ColumnInfo*>& shown) {
    const OPCS_Registry::Columns& defaults = OPCS_Registry::DefaultColumns();
    for (const ColumnInfo* column : shown) {
        if (column == nullptr || column->columnId >= defaults.size()) return false;
        if (column->width != defaults[column->columnId].width) return false;
    }
    return !shown.empty();
}

unsigned FittedWidth(unsigned contentPx, unsigned startingWidth) {
    // The description's starting width (5000) only fills the rest of the
    // row; it sets no floor.
    const unsigned floor = std::min(startingWidth, 100u);
    return std::clamp(contentPx + kFittedMargin, floor, std::max(floor, kFittedMax));
}

}  // namespace tagrows
