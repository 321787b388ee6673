#include "opc/InProcessServer.h"

#include "model/ModelHost.h"
#include "opc/OPCServer.h"
#include "opc/OPCServerFactory.h"
#include "opc/OpcDa.h"
#include "platform/Com.h"

InProcessServer::InProcessServer() {
    status_ = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(status_)) return;
    comInitialised_ = true;
    if (FileTimeToUInt64(ProgramStartTime()) == 0) {
        FILETIME now{};
        CoFileTimeNow(&now);
        SetProgramStartTime(now);
    }
    factory_ = new OPCServerFactory;
    status_ = CoRegisterClassObject(CLSID_VOKExplorer, factory_, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    if (FAILED(status_)) cookie_ = 0;
}

InProcessServer::~InProcessServer() {
    if (cookie_ != 0) CoRevokeClassObject(cookie_);
    OPCServer::DestroyAll();
    if (factory_ != nullptr) factory_->Release();
    doc_.reset();
    if (&GetModelHost() == &modelHost_) SetModelHost(nullptr);
    if (comInitialised_) CoUninitialize();
}

bool InProcessServer::LoadConfiguration(const std::string& path, std::string& error) {
    doc_.reset();
    doc_ = std::make_unique<OPCS_Doc>();
    SetModelHost(&modelHost_);
    if (!doc_->OnOpenDocument(path)) {
        error = "cannot read " + path;
        doc_.reset();
        return false;
    }
    return true;
}

OPCS_Doc& InProcessServer::UseDocument() {
    if (doc_ == nullptr) {
        doc_ = std::make_unique<OPCS_Doc>();
        SetModelHost(&modelHost_);
    }
    return *doc_;
}
