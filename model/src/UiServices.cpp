#include "model/UiServices.h"

#include <atomic>

namespace {

std::atomic<UiServices*> g_services{nullptr};

UiServices& NoServices() {
    static UiServices* services = new UiServices;
    return *services;
}

}  // namespace

MessageAnswer UiServices::ShowMessage(const std::string&, MessageIcon, MessageButtons buttons, const std::string&) {
    return DefaultAnswer(buttons);
}
bool UiServices::ShowProperties(OPCS_Tag&) { return false; }
bool UiServices::ShowProperties(OPCS_TagGroup&) { return false; }
bool UiServices::ShowDeviceProperties(OPCS_Device&) { return false; }
std::optional<std::string> UiServices::ChooseFile(const FileChoice&) { return std::nullopt; }

MessageAnswer DefaultAnswer(MessageButtons buttons) {
    switch (buttons) {
    case MessageButtons::Ok: return MessageAnswer::Ok;
    case MessageButtons::YesNo:
    case MessageButtons::YesNoCancel: return MessageAnswer::No;
    case MessageButtons::OkCancel:
    case MessageButtons::RetryCancel: return MessageAnswer::Cancel;
    }
    return MessageAnswer::Cancel;
}

void SetUiServices(UiServices* services) { g_services.store(services); }

UiServices& GetUiServices() {
    UiServices* services = g_services.load();
    return services != nullptr ? *services : NoServices();
}
