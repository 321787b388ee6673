#include "opc/OPCServerFactory.h"

#include "opc/ComObjects.h"
#include "opc/OPCServer.h"

#include <new>

HRESULT OPCServerFactory::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppvObject = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG OPCServerFactory::AddRef() { return ++refs_; }

ULONG OPCServerFactory::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT OPCServerFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    auto* server = new (std::nothrow) OPCServer;
    if (server == nullptr) return E_OUTOFMEMORY;
    PostComObjectCount(true);
    // A refused interface destroys the server again; its destruction posts the
    // one decrement that balances the notice above.
    server->AddRef();
    const HRESULT result = server->QueryInterface(riid, ppvObject);
    server->Release();
    return result;
}

HRESULT OPCServerFactory::LockServer(BOOL fLock) {
    PostComObjectCount(fLock != FALSE);
    return S_OK;
}
