#include "model/ModelHost.h"

#include "model/UiServices.h"

#include <atomic>

namespace {

ModelHost& NoHost() {
    static ModelHost* host = new ModelHost;
    return *host;
}

std::atomic<ModelHost*> g_host{nullptr};

}  // namespace

void SetModelHost(ModelHost* host) { g_host.store(host); }

ModelHost& GetModelHost() {
    ModelHost* host = g_host.load();
    return host != nullptr ? *host : NoHost();
}

void MarkDocumentModified() { GetModelHost().MarkDocumentModified(); }

bool ModelHost::ShowTagProperties(OPCS_Tag& tag) { return GetUiServices().ShowProperties(tag); }
bool ModelHost::ShowGroupProperties(OPCS_TagGroup& group) { return GetUiServices().ShowProperties(group); }
