#include "model/OPCS_TagGroup.h"

#include "foundation/LiveObjects.h"
#include "foundation/TextCompare.h"
#include "model/ItemId.h"
#include "model/ModelHost.h"
#include "model/OPCS_Tag.h"
#include "model/ScopedLock.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace {

template <typename T>
bool HasName(const Dll<T*>& list, const std::string& name, bool (*valid)(const T*)) {
    return std::any_of(list.begin(), list.end(),
                       [&](T* item) { return valid(item) && item->IsNamed(name); });
}

bool ValidTag(const OPCS_Tag* tag) { return OPCS_Tag::IsValidTag(tag); }
bool ValidGroup(const OPCS_TagGroup* group) { return OPCS_TagGroup::IsValidGroup(group); }

}  // namespace

OPCS_TagGroup::OPCS_TagGroup() {
    InitializeCriticalSection(&lock_);
    LiveObjects<OPCS_TagGroup>::Add(this);
}

OPCS_TagGroup::~OPCS_TagGroup() {
    LiveObjects<OPCS_TagGroup>::Remove(this);
    {
        GroupLock hold(*this);
        name_ = "Deleted";
        description_ = "Deleted";
        imageIndex_ = 0;
        openImageIndex_ = 1;
        parent_ = nullptr;
        configurationChanged_ = false;
        treeItem_ = nullptr;
        while (groups_.GetCount() > 0) {
            OPCS_TagGroup* child = groups_.RemoveNode(groups_.Head());
            if (IsValidGroup(child)) delete child;
        }
        while (tags_.GetCount() > 0) {
            OPCS_Tag* tag = tags_.RemoveNode(tags_.Head());
            if (OPCS_Tag::IsValidTag(tag)) delete tag;
        }
        signature_ = 0;
    }
    DeleteCriticalSection(&lock_);
}

bool OPCS_TagGroup::IsValidGroup(const OPCS_TagGroup* group) {
    return LiveObjects<OPCS_TagGroup>::Contains(group) && group->signature_ == kSignature;
}

bool OPCS_TagGroup::AddTag(OPCS_Tag* tag) {
    if (!OPCS_Tag::IsValidTag(tag)) return false;
    GroupLock hold(*this);
    if (HasName(tags_, tag->GetName(), ValidTag)) return false;
    tags_.AddTail(tag);
    tag->SetGroup(this);
    MarkChanged();
    return true;
}

bool OPCS_TagGroup::AddGroup(OPCS_TagGroup* child) {
    if (!IsValidGroup(child) || child == this) return false;
    GroupLock hold(*this);
    if (HasName(groups_, child->GetName(), ValidGroup)) return false;
    groups_.AddTail(child);
    {
        GroupLock childHold(*child);
        child->ordinal_ = groups_.GetCount();
    }
    child->parent_ = this;
    MarkChanged();
    return true;
}

bool OPCS_TagGroup::RemoveTag(OPCS_Tag* tag) {
    if (!OPCS_Tag::IsValidTag(tag)) return false;
    GroupLock hold(*this);
    auto* node = tags_.FindNode(tag);
    if (node == nullptr || !tag->CanDelete()) return false;
    tags_.RemoveNode(node);
    tag->SetGroup(nullptr);
    MarkChanged();
    return true;
}

bool OPCS_TagGroup::DetachTag(OPCS_Tag* tag) {
    if (!OPCS_Tag::IsValidTag(tag)) return false;
    GroupLock hold(*this);
    auto* node = tags_.FindNode(tag);
    if (node == nullptr) return false;
    tags_.RemoveNode(node);
    tag->SetGroup(nullptr);
    MarkChanged();
    return true;
}

bool OPCS_TagGroup::RemoveGroup(OPCS_TagGroup* child) {
    if (!IsValidGroup(child)) return false;
    GroupLock hold(*this);
    auto* node = groups_.FindNode(child);
    if (node == nullptr) return false;
    groups_.RemoveNode(node);
    child->parent_ = nullptr;
    MarkChanged();
    return true;
}

bool OPCS_TagGroup::WriteTag(OPCS_Tag* tag, const VARIANT& value) {
    OPCS_TagGroup* parent = GetParent();
    return IsValidGroup(parent) && parent->WriteTag(tag, value);
}

OPCS_TagGroup* OPCS_TagGroup::GetDevice() {
    OPCS_TagGroup* parent = GetParent();
    return IsValidGroup(parent) ? parent->GetDevice() : nullptr;
}

std::string OPCS_TagGroup::GetPath() const {
    // Walks up by the parent pointers and reads each name under its own lock
    // alone, so that no two group locks are ever held here.
    std::vector<const OPCS_TagGroup*> chain;
    for (const OPCS_TagGroup* g = this; IsValidGroup(g) && chain.size() < 64; g = g->GetParent()) chain.push_back(g);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += (*it)->GetName();
        path += kItemDelimiter;
    }
    return path;
}

std::int32_t OPCS_TagGroup::GetImageIndex() const {
    GroupLock hold(*this);
    return imageIndex_;
}

std::int32_t OPCS_TagGroup::GetOpenImageIndex() const {
    GroupLock hold(*this);
    return openImageIndex_;
}

bool OPCS_TagGroup::CanDelete() const {
    Dll<OPCS_Tag*> tags;
    Dll<OPCS_TagGroup*> groups;
    CopyTags(tags);
    CopyGroups(groups);
    for (OPCS_Tag* tag : tags)
        if (OPCS_Tag::IsValidTag(tag) && !tag->CanDelete()) return false;
    for (OPCS_TagGroup* child : groups)
        if (IsValidGroup(child) && !child->CanDelete()) return false;
    return true;
}

bool OPCS_TagGroup::HasReferencedTag(const std::vector<OPCS_Tag*>& heldOnce) const {
    Dll<OPCS_Tag*> tags;
    Dll<OPCS_TagGroup*> groups;
    CopyTags(tags);
    CopyGroups(groups);
    for (OPCS_Tag* tag : tags) {
        if (!OPCS_Tag::IsValidTag(tag)) continue;
        const int allowed = std::binary_search(heldOnce.begin(), heldOnce.end(), tag) ? 1 : 0;
        if (tag->GetReferenceCount() > allowed) return true;
    }
    for (OPCS_TagGroup* child : groups)
        if (IsValidGroup(child) && child->HasReferencedTag(heldOnce)) return true;
    return false;
}

OPCS_TagGroup* OPCS_TagGroup::FindGroup(const std::string& name) const {
    GroupLock hold(*this);
    for (OPCS_TagGroup* child : groups_)
        if (IsValidGroup(child) && child->IsNamed(name)) return child;
    return nullptr;
}

OPCS_Tag* OPCS_TagGroup::FindTagByName(const std::string& name) const {
    GroupLock hold(*this);
    for (OPCS_Tag* tag : tags_)
        if (OPCS_Tag::IsValidTag(tag) && tag->IsNamed(name)) return tag;
    return nullptr;
}

OPCS_Tag* OPCS_TagGroup::FindTag(const std::string& relativeId) const {
    const auto at = relativeId.find(kItemDelimiter);
    if (at == std::string::npos) return FindTagByName(relativeId);
    OPCS_TagGroup* child = FindGroup(relativeId.substr(0, at));
    return child != nullptr ? child->FindTag(relativeId.substr(at + 1)) : nullptr;
}

std::string OPCS_TagGroup::GetName() const {
    GroupLock hold(*this);
    return name_;
}

bool OPCS_TagGroup::IsNamed(std::string_view name) const {
    GroupLock hold(*this);
    return EqualNoCase(name_, name);
}

void OPCS_TagGroup::SetName(const std::string& requested) {
    std::string name = requested;
    std::replace(name.begin(), name.end(), kItemDelimiter, ' ');
    if (name == GetName()) return;
    OPCS_TagGroup* parent = GetParent();
    if (IsValidGroup(parent)) {
        // The parent's lock first (parent before child), held across the check and the store.
        GroupLock parentHold(*parent);
        Dll<OPCS_TagGroup*> siblings;
        parent->CopyGroups(siblings);
        for (OPCS_TagGroup* other : siblings)
            if (other != this && IsValidGroup(other) && other->IsNamed(name)) return;
        {
            GroupLock hold(*this);
            name_ = name;
        }
        MarkChanged();
        return;
    }
    {
        GroupLock hold(*this);
        name_ = name;
    }
    MarkChanged();
}

std::string OPCS_TagGroup::GetDescription() const {
    GroupLock hold(*this);
    return description_;
}

void OPCS_TagGroup::SetDescription(const std::string& text) {
    {
        GroupLock hold(*this);
        if (text == description_) return;
        description_ = text;
    }
    MarkDocumentModified();
}

std::string OPCS_TagGroup::MakeUniqueGroupName(const std::string& base) const {
    Dll<OPCS_TagGroup*> groups;
    CopyGroups(groups);
    for (int i = 1;; ++i) {
        const std::string candidate = base + std::to_string(i);
        if (!HasName(groups, candidate, ValidGroup)) return candidate;
    }
}

std::string OPCS_TagGroup::MakeUniqueTagName(const std::string& base) const {
    Dll<OPCS_Tag*> tags;
    CopyTags(tags);
    for (int i = 1;; ++i) {
        const std::string candidate = base + std::to_string(i);
        if (!HasName(tags, candidate, ValidTag)) return candidate;
    }
}

void OPCS_TagGroup::CopyTags(Dll<OPCS_Tag*>& out) const {
    GroupLock hold(*this);
    out.Assign(tags_);
}

void OPCS_TagGroup::CopyGroups(Dll<OPCS_TagGroup*>& out) const {
    GroupLock hold(*this);
    out.Assign(groups_);
}

int OPCS_TagGroup::GetTagCount() const {
    GroupLock hold(*this);
    return tags_.GetCount();
}

int OPCS_TagGroup::GetGroupCount() const {
    GroupLock hold(*this);
    return groups_.GetCount();
}

std::int32_t OPCS_TagGroup::GetOrdinal() const {
    GroupLock hold(*this);
    return ordinal_;
}

std::int32_t OPCS_TagGroup::GetClassCode() const {
    GroupLock hold(*this);
    return classCode_;
}

void* OPCS_TagGroup::GetTreeItem() const {
    GroupLock hold(*this);
    return treeItem_;
}

void OPCS_TagGroup::SetTreeItem(void* item) {
    GroupLock hold(*this);
    treeItem_ = item;
}

void OPCS_TagGroup::MarkChanged() {
    if (OPCS_TagGroup* device = GetDevice()) device->SetConfigurationChanged(true);
    MarkDocumentModified();
}

void OPCS_TagGroup::SetClassCode(std::int32_t code) {
    GroupLock hold(*this);
    classCode_ = code;
}

void OPCS_TagGroup::SetImageIndices(std::int32_t closed, std::int32_t open) {
    GroupLock hold(*this);
    imageIndex_ = closed;
    openImageIndex_ = open;
}
