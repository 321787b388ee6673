#include "opc/Registration.h"

#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "foundation/RegIO.h"
#include "foundation/VersionInfo.h"
#include "model/UiServices.h"
#include "opc/OpcDa.h"
#include "platform/File.h"
#include "platform/Registrar.h"

#include <cstdio>

namespace {

constexpr const char* kModuleScript = R"(HKCR
{
    NoRemove AppID
    {
        '{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}' = s 'Vell VOK Explorer'
    }
}
)";

constexpr const char* kClassScript = R"(HKCR
{
    Vell.VOK.1 = s 'Vell VOK Explorer'
    {
        CLSID = s '{5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018}'
        OPC
        {
            val Vendor = s 'Vell Company'
        }
    }
    NoRemove CLSID
    {
        ForceRemove {5B0E7A41-93C2-4F6D-8A1E-2C7D9B44E018} = s 'Vell VOK Explorer'
        {
            ProgID = s 'Vell.VOK.1'
            VersionIndependentProgID = s 'Vell.VOK'
            LocalServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'both'
            }
            'Implemented Categories'
            {
                {63D5F432-CFE4-11D1-B2C8-0060083BA1FB}
            }
        }
    }
}
)";

HRESULT RunScript(UINT id, bool doRegister, const std::string& modulePath) {
    std::string error;
    const HRESULT result =
        platform::RunRegistryScript(FindRegistryScript(id), doRegister, {{"MODULE", modulePath}}, &error);
    if (FAILED(result)) {
        EventLog()
            .Append(doRegister ? "Registration script" : "Unregistration script")
            .Append(static_cast<unsigned>(id))
            .Append("failed:")
            .Append(error)
            .Commit(CLogFile::kWrite);
    }
    return result;
}

// Deletes parent\name with everything under it, only when the parent opens.
void DeleteKeyUnder(const std::string& parent, const std::string& name) {
    RegIO reg;
    if (!reg.Open(parent, false)) return;
    reg.DeleteKey(name);
    reg.Close();
}

void OfferToDelete(const char* question, const std::string& path, bool closeEventLogFirst) {
    if (path.empty() || !versioninfo::FileExists(path)) return;
    char text[1024];
    std::snprintf(text, sizeof text, question, path.c_str());
    if (GetUiServices().ShowMessage(text, MessageIcon::Question, MessageButtons::YesNo) != MessageAnswer::Yes) return;
    if (closeEventLogFirst) EventLog().Close();
    // The file is deleted directly, not through a command processor.
    DeleteFileA(path.c_str());
}

}  // namespace

const char* FindRegistryScript(UINT id) {
    switch (id) {
    case IDR_MODULE_SCRIPT: return kModuleScript;
    case IDR_CLASS_SCRIPT: return kClassScript;
    default: return nullptr;
    }
}

HRESULT RegisterServer(const std::string& modulePath) {
    const HRESULT result = RunScript(IDR_MODULE_SCRIPT, true, modulePath);
    if (FAILED(result)) return result;
    return RunScript(IDR_CLASS_SCRIPT, true, modulePath);
}

HRESULT UnregisterServer(const std::string& modulePath) {
    const HRESULT result = RunScript(IDR_MODULE_SCRIPT, false, modulePath);
    if (FAILED(result)) return result;
    return RunScript(IDR_CLASS_SCRIPT, false, modulePath);
}

void RemoveTraces() {
    const std::string company = versioninfo::CompanyName();
    const std::string product = versioninfo::ProductName();
    DeleteKeyUnder("HKEY_LOCAL_MACHINE\\Software\\" + company, product);
    DeleteKeyUnder("HKEY_CURRENT_USER\\Software\\" + company, product);
    DeleteKeyUnder("HKEY_CLASSES_ROOT\\CLSID", platform::GuidToString(CLSID_VOKExplorer));
    DeleteKeyUnder("HKEY_CLASSES_ROOT", "Vell.VOK.1");
    EventLog().Append("Application registry entries removed.").Commit(CLogFile::kWrite);

    const OPCS_Registry& settings = ProgramSettings();
    OfferToDelete("Do you wish to delete the application configuration file: %s", settings.GetLastUsedFile(), false);
    OfferToDelete("Do you wish to delete the application event log file: %s", settings.GetEventLogFile(), true);
}

std::string ComErrorText(HRESULT code) {
    const auto value = static_cast<DWORD>(code);
    if ((value & 0xFFFF0000u) == 0x80070000u) return versioninfo::SystemErrorText(value & 0xFFFFu);
    char text[64];
    std::snprintf(text, sizeof text, "Error 0x%08X", static_cast<unsigned>(value));
    return text;
}
