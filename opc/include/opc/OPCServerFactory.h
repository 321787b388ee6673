#pragma once
// The class object of the server class: it makes one OPCServer per
// CreateInstance and counts LockServer calls as COM objects, so that a locked
// server counts as a connected client.

#include "opc/OpcDa.h"

#include <atomic>

class OPCServerFactory : public IClassFactory {
public:
    // Made with one reference for its maker.
    OPCServerFactory() = default;
    OPCServerFactory(const OPCServerFactory&) = delete;
    OPCServerFactory& operator=(const OPCServerFactory&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
    HRESULT LockServer(BOOL fLock) override;

private:
    ~OPCServerFactory() override = default;
    std::atomic<ULONG> refs_{1};
};
