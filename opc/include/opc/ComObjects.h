#pragma once
// What every COM object of the server shares: the notice of its creation and
// destruction that the main window counts (an application with a non-zero
// count has clients connected), and task-allocated copies of wide strings
// for [out] parameters.

#include "platform/Messages.h"
#include "platform/OleAuto.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

constexpr UINT WM_COMOBJECT_COUNT = WM_USER + 50;
// wParam of the notice.
constexpr WPARAM kComObjectCreated = 0;
constexpr WPARAM kComObjectDestroyed = 1;

// Posts WM_COMOBJECT_COUNT to the main window: one more (created) or one fewer.
void PostComObjectCount(bool created);

// A task-allocated, zero-terminated copy; null when out of memory.
LPWSTR TaskAllocString(std::u16string_view text);
// A zeroed task-allocated array for an [out] parameter (one element's room
// for a count of 0, so that the caller always gets an array to free); null
// when out of memory.
template <typename T>
T* TaskArray(std::size_t count) {
    const std::size_t bytes = sizeof(T) * (count == 0 ? 1 : count);
    auto* array = static_cast<T*>(CoTaskMemAlloc(bytes));
    if (array != nullptr) std::memset(static_cast<void*>(array), 0, bytes);
    return array;
}

// The text of a wide string given by a client; null reads as empty.
std::u16string WideText(LPCWSTR text);
