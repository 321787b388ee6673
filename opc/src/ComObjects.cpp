#include "opc/ComObjects.h"

#include "model/Posting.h"

#include <cstring>

void PostComObjectCount(bool created) {
    PostNotice(PostTarget::MainWindow, WM_COMOBJECT_COUNT, created ? kComObjectCreated : kComObjectDestroyed, 0);
}

LPWSTR TaskAllocString(std::u16string_view text) {
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (copy == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
    copy[text.size()] = 0;
    return copy;
}

std::u16string WideText(LPCWSTR text) {
    return text != nullptr ? std::u16string(text) : std::u16string();
}
