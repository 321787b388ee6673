// The document's side of the configuration file: opening replaces the
// configuration with the file's, saving writes it whole.
#include "config/OPCS_Doc.h"

#include "config/ConfigFile.h"
#include "config/DeviceNames.h"
#include "foundation/Archive.h"
#include "foundation/CLogFile.h"
#include "model/OPCS_Device.h"
#include "model/UiServices.h"

#include <filesystem>

void OPCS_Doc::Serialize(CArchive& ar) {
    ConfigLockHold hold;
    SerializeDocumentLayer(ar, devices_);
}

bool OPCS_Doc::OnOpenDocument(const std::string& path) {
    if (AreClientsConnected()) {
        GetUiServices().ShowMessage(kTextCannotChangeFiles, MessageIcon::Warning, MessageButtons::Ok);
        return false;
    }
    // The file is read before anything is emptied: one that cannot be read at
    // all leaves the configuration as it was.
    Dll<OPCS_Device*> loaded;
    ConfigLoad load = LoadConfigFile(path, loaded);
    if (load.outcome == ConfigLoad::kNotOpened) {
        GetUiServices().ShowMessage("Failed to open document.\n" + path + "\n" + load.systemError, MessageIcon::Error,
                                    MessageButtons::Ok);
        return false;
    }
    ConfigLockHold hold;
    DeleteContents();
    while (!loaded.IsEmpty()) devices_.AddTail(loaded.RemoveNode(loaded.Head()));
    loadErrors_ = std::move(load.errors);
    // What could not be read exists only in the file now: remember it, so that
    // the first save over the file keeps it instead of destroying it.
    if (loadErrors_.empty()) {
        originalPath_.clear();
        original_.clear();
    } else {
        originalPath_ = path;
        original_ = std::move(load.original);
    }
    SetPathName(path);
    SetModifiedFlag(false);
    UpdateAllViews(0);
    WarnOfRepeatedDeviceNames(path);
    return true;
}

void OPCS_Doc::WarnOfRepeatedDeviceNames(const std::string& path) {
    // A file written before device names were checked may repeat one; it
    // still loads, but item IDs of that name reach only the first device.
    Dll<OPCS_Device*> devices;
    GetDeviceList(devices);
    for (const std::string& name : devicenames::Repeated(devicenames::NamesOf(devices, nullptr))) {
        EventLog()
            .Append(name.empty() ? "Configuration has a device without a name; OPC clients cannot reach its tags:"
                                 : "Configuration has more than one device named \"" + name +
                                       "\"; item IDs of that name reach only the first of them:")
            .Append(path)
            .Commit(CLogFile::kWrite);
    }
}

namespace {

// The same file, however the two paths spell it.
bool SameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

}  // namespace

bool OPCS_Doc::KeepOriginalBeforeSave(const std::string& path) {
    if (originalPath_.empty() || !SameFile(path, originalPath_)) return true;
    std::string copyPath;
    std::string error;
    if (!KeepFileCopy(path, original_, copyPath, error)) {
        EventLog()
            .Append("Failed to keep a copy of the configuration file that did not load whole; not saved:")
            .Append(path)
            .Append(error)
            .Commit(CLogFile::kWrite);
        GetUiServices().ShowMessage(std::string(kTextOriginalNotKept) + "\n" + path + "\n" + error,
                                    MessageIcon::Error, MessageButtons::Ok);
        return false;
    }
    // The original is safe beside the file: no later save needs another copy.
    originalPath_.clear();
    original_.clear();
    original_.shrink_to_fit();
    EventLog()
        .Append("Configuration file did not load whole, original kept as:")
        .Append(copyPath)
        .Commit(CLogFile::kWrite);
    GetUiServices().ShowMessage(std::string(kTextOriginalKept) + "\n" + copyPath, MessageIcon::Warning,
                                MessageButtons::Ok);
    return true;
}

bool OPCS_Doc::OnSaveDocument(const std::string& path) {
    if (!KeepOriginalBeforeSave(path)) return false;
    std::string error;
    bool ok;
    {
        ConfigLockHold hold;
        ok = SaveConfigFile(path, devices_, error);
    }
    if (!ok) {
        GetUiServices().ShowMessage("Failed to save document.\n" + path + "\n" + error, MessageIcon::Error,
                                    MessageButtons::Ok);
        return false;
    }
    SetModifiedFlag(false);
    return true;
}

const std::vector<std::string>& OPCS_Doc::GetLoadErrors() const { return loadErrors_; }
