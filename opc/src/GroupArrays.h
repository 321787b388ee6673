#pragma once
// The [out] arrays of a group's calls: allocated for the client with the task
// allocator, and freed again when a call fails, so that the client is given
// nothing to free.

#include "opc/ComObjects.h"
#include "opc/OpcDa.h"

template <typename T>
void DropArray(T** out) {
    CoTaskMemFree(*out);
    *out = nullptr;
}

inline HRESULT AllocErrors(DWORD count, HRESULT** ppErrors) {
    *ppErrors = TaskArray<HRESULT>(count);
    return *ppErrors != nullptr ? S_OK : E_OUTOFMEMORY;
}
