#pragma once
// Server handles of groups and items. A client names a group or an item by a
// 32-bit OPCHANDLE, but objects live at 64-bit addresses here, so the handle
// cannot be the object's address. Every group and item takes a number from
// this one process-wide table when it is made and gives it back when it is
// destroyed:
//
// - numbers are non-zero and handed out in increasing order, so a number is
//   not given again while the process runs (only after the 32-bit space has
//   wrapped, and then never one that is still in use);
// - a number resolves only while its object is alive, and only when asked for
//   the kind it was registered with: a group's handle is no item, a forged or
//   stale number is nothing.
//
// This is the live-object check of the server's objects in handle form. The
// table says nothing about an object's lifetime beyond the moment of the
// look-up: a caller uses what it resolved only under a lock or a reference
// that keeps the object alive (the group's item lock for items, the server's
// group map for groups).

#include "opc/OpcDa.h"

#include <cstddef>

enum class HandleKind : unsigned char { Group = 1, Item = 2 };

class HandleTable {
public:
    // A new number for the object; 0 only when every number is in use.
    static OPCHANDLE Register(HandleKind kind, void* object);
    // Gives the number back; unknown numbers are ignored.
    static void Unregister(OPCHANDLE handle);
    // The object of a live number of that kind, else null.
    static void* Resolve(OPCHANDLE handle, HandleKind kind);
    template <typename T>
    static T* ResolveAs(OPCHANDLE handle, HandleKind kind) {
        return static_cast<T*>(Resolve(handle, kind));
    }
    static std::size_t LiveCount();
    // Moves the next number to hand out, so that tests can reach the wrap.
    static void SetNextHandleForTesting(OPCHANDLE next);
};
