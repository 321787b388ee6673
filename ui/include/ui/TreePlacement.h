#pragma once
// Where the device tree puts a new device or group among its siblings: first
// when it is the first of them, last when it is the last, otherwise right
// after the sibling that precedes it, so the tree keeps the model's order.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace treeplace {

enum class Where { First, Last, After };

struct Placement {
    Where where = Where::Last;
    std::size_t after = 0;  // with After: the index of the preceding sibling
};

// The siblings include the object; one that is missing goes last.
template <class T>
Placement Place(const std::vector<T*>& siblings, const T* object) {
    const auto at = std::find(siblings.begin(), siblings.end(), object);
    if (at == siblings.end() || at + 1 == siblings.end()) return {Where::Last, 0};
    if (at == siblings.begin()) return {Where::First, 0};
    return {Where::After, static_cast<std::size_t>(at - siblings.begin()) - 1};
}

// Child groups in the order of their ordinals; equal ordinals keep their order.
template <class T>
void SortByOrdinal(std::vector<T*>& groups) {
    std::stable_sort(groups.begin(), groups.end(),
                     [](const T* a, const T* b) { return a->GetOrdinal() < b->GetOrdinal(); });
}

}  // namespace treeplace
