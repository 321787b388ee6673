#pragma once
// The client's side of the transport: a connection to a server process and
// the proxies that make its objects look like in-process ones. Proxies may be
// called from any thread; each call is carried by the event loop and waits
// for its answer, so calls from different threads are in flight together.
// Data changes for the client's sinks are handed to its sinks on a thread of
// their own, never on the loop, so a sink may call the server back.

#include "remote/EventLoop.h"
#include "WorkerPool.h"

#include "platform/Com.h"

#include <string>

namespace remote {

// Connects a socket that is already connected to a server (the fd is taken
// over) and returns its class object asked for riid (IClassFactory or IUnknown).
// A call through it not answered within callTimeoutMs (0: no limit) gives
// RPC_E_TIMEOUT.
HRESULT ConnectClassObject(EventLoop& loop, WorkerPool& delivery, int fd, REFIID riid, LPVOID* ppv,
                           unsigned callTimeoutMs = 0);

}  // namespace remote
