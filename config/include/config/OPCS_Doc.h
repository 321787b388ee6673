#pragma once
// The one configuration document of the server program: it owns the devices
// (each owning its groups and tags), makes every structural change of the
// configuration, answers item-ID look-ups, carries the document commands and
// the texts of four status panes, and tells the views what changed through
// update hints. It knows no window: the views register as observers and the
// tree view as the selection; the dialogs go through the UI services.

#include "config/DocCommands.h"
#include "foundation/Dll.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CArchive;
class OPCS_Device;
class OPCS_Tag;
class OPCS_TagGroup;

// A view of the document: the device tree and the tag list.
class DocObserver {
public:
    virtual ~DocObserver() = default;
    // One of the hints of dochint with its object (or null).
    virtual void OnUpdate(int hint, void* object) = 0;
};

// The device tree's selection: the item data of the selected tree item.
class DocSelection {
public:
    virtual ~DocSelection() = default;
    virtual OPCS_TagGroup* GetSelectedItem() const = 0;
};

// What the layers above fill in: the OPC server's exit test and the GUI's
// dialogs. Every member may stay empty.
struct DocHooks {
    // True while any COM object or server lock of the OPC server is alive (the
    // negation of the framework's exit test). Empty: no client is connected.
    std::function<bool()> clientsConnected;
    // The automatic discovery wizard, the program options dialog, the tag
    // columns dialog (the tag view stores its widths first), the framework's File Open.
    std::function<void()> discover;
    std::function<void()> options;
    std::function<void()> chooseColumns;
    std::function<void()> fileOpen;
    // The device factory of Add Device. Empty: a VOKDevice with its standard
    // groups and tags, switched to simulated data.
    std::function<std::unique_ptr<OPCS_Device>()> newDevice;
    // The configuration file. Empty: the "Last Used File" program setting.
    std::function<std::string()> configurationPath;
};

// User-visible texts of the document's message boxes.
inline constexpr const char* kTextCannotChangeFiles = "Cannot change files while OPC Clients are connected to this server.";
inline constexpr const char* kTextUnableToDelete = "Unable to delete while device active and/or clients are attached.";
// Before the first save over a file that did not load whole, the file itself is
// kept beside it; the box says where (the path follows the text).
inline constexpr const char* kTextOriginalKept =
    "The configuration file could not be read whole. Its original content is kept as:";
inline constexpr const char* kTextOriginalNotKept =
    "The configuration file could not be read whole and no copy of it could be kept, so it was not overwritten.";

class OPCS_Doc {
public:
    OPCS_Doc();
    virtual ~OPCS_Doc();
    OPCS_Doc(const OPCS_Doc&) = delete;
    OPCS_Doc& operator=(const OPCS_Doc&) = delete;

    // Structure. Each runs under the configuration lock and fails on a null
    // or invalid argument.
    bool AddDevice(OPCS_Device* device);  // takes ownership on success
    bool InsertGroup(OPCS_TagGroup* parent, OPCS_TagGroup* group);  // the parent owns it on success
    bool InsertTag(OPCS_TagGroup* parent, OPCS_Tag* tag);  // the parent owns it on success
    // A device or group; tags are not deleted here. Shows the refusal when the item cannot be deleted.
    bool DeleteItem(OPCS_TagGroup* item);
    // A tag by its full item ID "Device.Group.Tag", letter case ignored.
    OPCS_Tag* FindTag(const std::string& itemId) const;
    // Empties the list and appends every device in order (they stay owned here).
    void GetDeviceList(Dll<OPCS_Device*>& out) const;
    // The group or device selected in the tree view; null when there is no
    // tree view or its item is no live group.
    OPCS_TagGroup* GetSelectedGroup() const;
    // The device of the selected group, or null.
    OPCS_Device* GetSelectedDevice() const;

    // The devices themselves, for the file code; the caller holds the configuration lock.
    Dll<OPCS_Device*>& DeviceList() { return devices_; }

    // Views.
    void AddObserver(DocObserver* observer);
    void RemoveObserver(DocObserver* observer);
    // Null clears it (the tree view is destroyed).
    void SetSelection(DocSelection* selection);
    bool HasSelection() const;
    // Tells every observer but the sender; made under the configuration lock.
    void UpdateAllViews(int hint, void* object = nullptr, DocObserver* sender = nullptr);

    // Commands.
    CommandState GetCommandState(UINT id) const;
    // Runs the command when it is enabled; false when it is disabled or not the document's.
    bool OnCommand(UINT id);
    // The text of status pane 105, 106, 107 or 110; empty for any other pane.
    std::string GetPaneText(UINT paneId) const;
    // The program's New command: asks first; false when the
    // operator says No or the new document is refused.
    bool NewConfiguration();

    DocHooks& Hooks() { return hooks_; }
    const DocHooks& Hooks() const { return hooks_; }
    bool AreClientsConnected() const;
    std::string ConfigurationPath() const;

    // Document life cycle.
    virtual bool OnNewDocument();
    virtual void OnCloseDocument();
    // Under the configuration lock: hint 1, then every device unlinked and destroyed.
    virtual void DeleteContents();
    void SetModifiedFlag(bool modified = true) { modified_.store(modified); }
    bool IsModified() const { return modified_.load(); }
    const std::string& GetPathName() const { return pathName_; }
    // Also makes the title the file-name part of the path.
    void SetPathName(const std::string& path);
    const std::string& GetTitle() const { return title_; }
    void SetTitle(const std::string& title) { title_ = title; }
    std::uint32_t GetClipboardFormat() const { return clipboardFormat_; }
    void SetClipboardFormat(std::uint32_t format) { clipboardFormat_ = format; }

    // The configuration file, in OPCS_DocFile.cpp.
    void Serialize(CArchive& ar);
    bool OnOpenDocument(const std::string& path);
    bool OnSaveDocument(const std::string& path);
    const std::vector<std::string>& GetLoadErrors() const;
    // True while the document's file did not load whole and has not been kept
    // beside itself yet: the next save over it first makes the copy.
    bool HoldsUnsavedOriginal() const { return !originalPath_.empty(); }

private:
    void AddDeviceCommand();
    // The selected group a new group or tag goes into, with the name proposed
    // for it ("Group1", "Tag1", ...); null when nothing is selected.
    OPCS_TagGroup* SelectedParent(bool forGroup, std::string& name) const;
    void AddTagGroupCommand();
    void AddTagCommand();
    // The selected device when it is polling (requests outstanding and a thread).
    static bool IsPolling(const OPCS_Device* device);
    bool AnyDevicePolling() const;
    void DestroyAllDevices();

    std::uint32_t clipboardFormat_ = 0;
    DocSelection* selection_ = nullptr;
    std::vector<DocObserver*> observers_;
    Dll<OPCS_Device*> devices_;
    std::atomic<bool> modified_{false};
    std::string pathName_;
    std::string title_;
    DocHooks hooks_;
    std::vector<std::string> loadErrors_;
    // The file that did not load whole and its bytes as read, until a copy of
    // them is kept; empty path: nothing to keep.
    std::string originalPath_;
    std::vector<std::uint8_t> original_;

    // Keeps the original before a save over originalPath_; false (reported) when
    // no copy could be made, and then the file must not be written.
    bool KeepOriginalBeforeSave(const std::string& path);
    // After an open: an event-log warning for each device name the file repeats.
    void WarnOfRepeatedDeviceNames(const std::string& path);
};

// The document the program works on; null before it is made and after it is destroyed.
OPCS_Doc* GetCurrentDoc();
// Sets the current document's modified flag, if there is one. Safe on any
// thread and under any model lock: it takes no lock but its own innermost one.
void MarkCurrentDocModified();

// The program-wide recursive configuration lock: it guards the device list and
// is taken before any device's or group's lock.
CRITICAL_SECTION& ConfigLock();

// Holds the configuration lock for a scope.
class ConfigLockHold {
public:
    ConfigLockHold() { EnterCriticalSection(&ConfigLock()); }
    ~ConfigLockHold() { LeaveCriticalSection(&ConfigLock()); }
    ConfigLockHold(const ConfigLockHold&) = delete;
    ConfigLockHold& operator=(const ConfigLockHold&) = delete;
};
