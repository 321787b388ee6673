#pragma once
// A named node of the server's address space: tags and child groups, the
// parent, and the item-ID path of its members. A device is a group without a
// parent. Each group guards its two lists with its own lock; a group's lock
// comes before the lock of any of its tags, and a parent's before a child's.

#include "foundation/Dll.h"
#include "platform/OleAuto.h"
#include "platform/Sync.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>
#include <string_view>

class CArchive;
class OPCS_Tag;

class OPCS_TagGroup {
public:
    static constexpr DWORD kSignature = 0x4F504347;

    OPCS_TagGroup();
    virtual ~OPCS_TagGroup();
    OPCS_TagGroup(const OPCS_TagGroup&) = delete;
    OPCS_TagGroup& operator=(const OPCS_TagGroup&) = delete;

    static bool IsValidGroup(const OPCS_TagGroup* group);

    virtual bool AddTag(OPCS_Tag* tag);
    virtual bool AddGroup(OPCS_TagGroup* child);
    // Detach without destroying; the caller destroys.
    virtual bool RemoveTag(OPCS_Tag* tag);
    virtual bool RemoveGroup(OPCS_TagGroup* child);
    // Detaches a member tag even while it is referenced; the caller takes the
    // tag over and must keep it alive until its references are gone. For a
    // device that retires tags its configuration no longer has room for.
    bool DetachTag(OPCS_Tag* tag);
    // Passes a client write up to the device.
    virtual bool WriteTag(OPCS_Tag* tag, const VARIANT& value);
    virtual bool ShowProperties() = 0;
    // Writes or reads the group layer with the child groups and tags, under the group's lock.
    virtual void Serialize(CArchive& ar);
    virtual OPCS_TagGroup* GetDevice();
    // The names from the device down to this group, each followed by the delimiter.
    virtual std::string GetPath() const;
    virtual bool IsDevice() const { return false; }
    virtual std::int32_t GetImageIndex() const;
    virtual std::int32_t GetOpenImageIndex() const;
    virtual bool CanDelete() const;
    // Whether any tag of this group or below is held, leaving out one
    // reference of each tag in `heldOnce` (sorted): a device's poll loop
    // holds one on each of its tags, and that one does not count.
    bool HasReferencedTag(const std::vector<OPCS_Tag*>& heldOnce = {}) const;

    // A tag by its item ID relative to this group ("Group.Tag"), letter case ignored.
    OPCS_Tag* FindTag(const std::string& relativeId) const;
    OPCS_TagGroup* FindGroup(const std::string& name) const;
    OPCS_Tag* FindTagByName(const std::string& name) const;

    std::string GetName() const;
    // Whether the name is this one, letter case ignored, without a copy.
    bool IsNamed(std::string_view name) const;
    void SetName(const std::string& name);
    std::string GetDescription() const;
    void SetDescription(const std::string& text);
    std::string MakeUniqueGroupName(const std::string& base) const;
    std::string MakeUniqueTagName(const std::string& base) const;

    // Consistent copies of the lists, taken under the lock.
    void CopyTags(Dll<OPCS_Tag*>& out) const;
    void CopyGroups(Dll<OPCS_TagGroup*>& out) const;
    int GetTagCount() const;
    int GetGroupCount() const;

    OPCS_TagGroup* GetParent() const { return parent_.load(); }
    std::int32_t GetOrdinal() const;
    std::int32_t GetClassCode() const;
    void* GetTreeItem() const;
    void SetTreeItem(void* item);

    // Set on a device when its tree gained or lost a member or a name changed.
    bool IsConfigurationChanged() const { return configurationChanged_.load(); }
    void SetConfigurationChanged(bool on) { configurationChanged_.store(on); }
    void MarkChanged();

    void Lock() const { EnterCriticalSection(&lock_); }
    void Unlock() const { LeaveCriticalSection(&lock_); }

protected:
    void SetClassCode(std::int32_t code);
    void SetImageIndices(std::int32_t closed, std::int32_t open);

private:
    void* treeItem_ = nullptr;
    std::string name_ = "Group";
    std::string description_;
    Dll<OPCS_Tag*> tags_;
    Dll<OPCS_TagGroup*> groups_;
    std::int32_t imageIndex_ = 2;
    std::int32_t openImageIndex_ = 3;
    std::int32_t classCode_ = 0;
    std::int32_t ordinal_ = 0;
    // Read without the lock by path and device look-ups, so that they never take
    // a parent's lock while a child's is held.
    std::atomic<OPCS_TagGroup*> parent_{nullptr};
    mutable CRITICAL_SECTION lock_;
    std::atomic<bool> configurationChanged_{false};
    DWORD signature_ = kSignature;
};
