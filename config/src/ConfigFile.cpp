#include "config/ConfigFile.h"

#include "foundation/Archive.h"
#include "foundation/CLogFile.h"
#include "model/OPCS_Device.h"
#include "model/SerializeLists.h"
#include "platform/Environment.h"
#include "platform/File.h"

#include <memory>

namespace {

// A handle closed on every path out.
class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    ~FileHandle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return h_; }
    bool Close() {
        const bool ok = CloseHandle(h_) != FALSE;
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_;
};

std::string LastErrorText() { return platform::SystemMessageText(GetLastError()); }

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        error = LastErrorText();
        return false;
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(file.get(), &high);
    if (size == INVALID_FILE_SIZE || high != 0) {
        error = size == INVALID_FILE_SIZE ? LastErrorText() : "the file is too large to be a configuration";
        return false;
    }
    bytes.assign(size, 0);
    DWORD done = 0;
    while (done < size) {
        DWORD n = 0;
        if (!ReadFile(file.get(), bytes.data() + done, size - done, &n, nullptr)) {
            error = LastErrorText();
            return false;
        }
        if (n == 0) break;  // shorter than it was a moment ago: read what is there
        done += n;
    }
    bytes.resize(done);
    return true;
}

void DestroyAll(Dll<OPCS_Device*>& devices) {
    while (!devices.IsEmpty()) delete devices.RemoveNode(devices.Head());
}

}  // namespace

double SerializeDocumentLayer(CArchive& ar, Dll<OPCS_Device*>& devices) {
    double version = kLayerVersion;
    if (ar.IsStoring())
        ar.WriteF64(version);
    else
        version = ar.ReadF64();  // every document layer so far has the same fields
    SerializeDeviceList(ar, devices);
    return version;
}

ConfigLoad LoadConfigFile(const std::string& path, Dll<OPCS_Device*>& devices) {
    ConfigLoad result;
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(path, bytes, result.systemError)) return result;
    CArchive ar(bytes);
    Dll<OPCS_Device*> loaded;
    try {
        result.documentVersion = SerializeDocumentLayer(ar, loaded);
        result.outcome = ConfigLoad::kLoaded;
    } catch (const std::exception&) {
        DestroyAll(loaded);
        EventLog().Append("Failed to open file:").Append(path).Commit(CLogFile::kWrite);
        ar.AddError("Failed to open file: " + path);
        result.outcome = ConfigLoad::kUnreadable;
    }
    result.errors = ar.GetErrors();
    if (!result.errors.empty()) result.original = std::move(bytes);
    while (!loaded.IsEmpty()) devices.AddTail(loaded.RemoveNode(loaded.Head()));
    return result;
}

bool KeepFileCopy(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& copyPath,
                  std::string& error) {
    for (int n = 0; n < kCopyNames; ++n) {
        const std::string candidate = path + ".bad" + (n == 0 ? std::string() : std::to_string(n));
        // CREATE_NEW: a name that exists, whatever it is, is passed over and never overwritten.
        FileHandle file(CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
            error = platform::SystemMessageText(code);
            return false;
        }
        DWORD written = 0;
        bool ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size() && FlushFileBuffers(file.get());
        if (!ok) error = LastErrorText();
        if (!file.Close() && ok) {
            ok = false;
            error = LastErrorText();
        }
        if (!ok) {
            // A partial copy is no copy: it must not pass for the original later.
            DeleteFileA(candidate.c_str());
            return false;
        }
        copyPath = candidate;
        return true;
    }
    error = "every name from " + path + ".bad to " + path + ".bad" + std::to_string(kCopyNames - 1) +
            " is taken";
    return false;
}

bool SaveConfigFile(const std::string& path, Dll<OPCS_Device*>& devices, std::string& error) {
    CArchive ar;
    try {
        SerializeDocumentLayer(ar, devices);
    } catch (const std::exception& e) {
        error = e.what();
        EventLog().Append("Failed to save file:").Append(path).Append(error).Commit(CLogFile::kWrite);
        return false;
    }
    const std::vector<std::uint8_t>& bytes = ar.GetBytes();
    // The new content goes to a file beside the old one and replaces it only
    // once it is complete on disk.
    const std::string temporary = path + ".saving";
    bool ok = false;
    {
        FileHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) {
            error = LastErrorText();
            EventLog().Append("Failed to save file:").Append(path).Append(error).Commit(CLogFile::kWrite);
            return false;
        }
        DWORD written = 0;
        ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
             written == bytes.size() && FlushFileBuffers(file.get());
        if (!ok) error = LastErrorText();
        if (!file.Close() && ok) {
            ok = false;
            error = LastErrorText();
        }
    }
    if (ok && !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        error = LastErrorText();
    }
    if (!ok) {
        DeleteFileA(temporary.c_str());
        EventLog().Append("Failed to save file:").Append(path).Append(error).Commit(CLogFile::kWrite);
        return false;
    }
    EventLog().Append("Config file saved to disk").Commit(CLogFile::kWrite);
    return true;
}
