#pragma once
// What every COM object of the server shares: the notice of its creation and
// destruction that the main window counts (an application with a non-zero
// count has clients connected), and task-allocated copies of wide strings
// for [out] parameters.

#include "platform/Messages.h"
#include "platform/OleAuto.h"

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
// The text of a wide string given by a client; null reads as empty.
std::u16string WideText(LPCWSTR text);
