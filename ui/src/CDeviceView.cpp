#include "ui/CDeviceView.h"

#include "model/OPCS_Device.h"
#include "model/OPCS_TagGroup.h"
#include "model/Posting.h"
#include "ui/ProgramBitmaps.h"
#include "ui/QtPosting.h"
#include "ui/TreePlacement.h"
#include "ui/UiCommands.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QStyle>

#include <cstdio>
#include <functional>

namespace {

constexpr int kDataRole = Qt::UserRole;

std::vector<OPCS_TagGroup*> ChildGroups(const OPCS_TagGroup& group) {
    Dll<OPCS_TagGroup*> copy;
    group.CopyGroups(copy);
    return std::vector<OPCS_TagGroup*>(copy.begin(), copy.end());
}

std::vector<OPCS_TagGroup*> Devices(const OPCS_Doc& doc) {
    Dll<OPCS_Device*> copy;
    doc.GetDeviceList(copy);
    return std::vector<OPCS_TagGroup*>(copy.begin(), copy.end());
}

}  // namespace

std::string ClientsPaneText(unsigned count) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %u", "Number of Clients: ", count);
    return text;
}

CDeviceView::CDeviceView(OPCS_Doc& doc, QWidget* parent) : QTreeWidget(parent), doc_(doc) {
    setObjectName("deviceTree");
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setUniformRowHeights(true);
    setIconSize(QSize(bitmaps::kIconSize, bitmaps::kIconSize));
    connect(this, &QTreeWidget::itemSelectionChanged, this, [this] { OnSelectionChanged(); });
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { ShowDeviceMenu(at); });
}

CDeviceView::~CDeviceView() {
    if (registered_) {
        doc_.RemoveObserver(this);
        doc_.SetSelection(nullptr);
    }
}

void CDeviceView::InitialUpdate() {
    for (const QPixmap& image : bitmaps::DeviceGroupIcons()) images_.push_back(image);
    OnUpdate(dochint::kRebuild, nullptr);
    if (!registered_) {
        doc_.AddObserver(this);
        doc_.SetSelection(this);
        registered_ = true;
    }
}

OPCS_TagGroup* CDeviceView::GroupOf(const QTreeWidgetItem* item) {
    if (item == nullptr) return nullptr;
    auto* group = reinterpret_cast<OPCS_TagGroup*>(item->data(0, kDataRole).value<quintptr>());
    return OPCS_TagGroup::IsValidGroup(group) ? group : nullptr;
}

QTreeWidgetItem* CDeviceView::ItemOf(const OPCS_TagGroup* group) const {
    if (!OPCS_TagGroup::IsValidGroup(group)) return nullptr;
    // The group keeps the handle of its item; it is trusted only while this
    // tree still holds that item and the item still holds the group.
    auto* item = static_cast<QTreeWidgetItem*>(group->GetTreeItem());
    if (item == nullptr || items_.count(item) == 0 || GroupOf(item) != group) return nullptr;
    return item;
}

OPCS_TagGroup* CDeviceView::GetSelectedItem() const { return GroupOf(currentItem()); }

void CDeviceView::SetImages(QTreeWidgetItem* item, const OPCS_TagGroup* group) {
    auto image = [this](std::int32_t index) {
        return index >= 0 && static_cast<std::size_t>(index) < images_.size() ? images_[index] : QPixmap();
    };
    QIcon icon;
    icon.addPixmap(image(group->GetImageIndex()), QIcon::Normal);
    icon.addPixmap(image(group->GetOpenImageIndex()), QIcon::Selected);
    item->setIcon(0, icon);
}

QTreeWidgetItem* CDeviceView::NewItem(OPCS_TagGroup* group) {
    auto* item = new QTreeWidgetItem;
    item->setText(0, QString::fromStdString(group->GetName()));
    item->setData(0, kDataRole, QVariant::fromValue(reinterpret_cast<quintptr>(group)));
    SetImages(item, group);
    group->SetTreeItem(item);
    items_.insert(item);
    return item;
}

void CDeviceView::InsertChildren(QTreeWidgetItem* parent, std::vector<OPCS_TagGroup*> groups) {
    treeplace::SortByOrdinal(groups);
    for (OPCS_TagGroup* group : groups) {
        if (!OPCS_TagGroup::IsValidGroup(group)) continue;
        QTreeWidgetItem* item = NewItem(group);
        parent->addChild(item);
        InsertChildren(item, ChildGroups(*group));
    }
}

void CDeviceView::InsertPlaced(QTreeWidgetItem* parent, OPCS_TagGroup* object,
                               const std::vector<OPCS_TagGroup*>& siblings) {
    QTreeWidgetItem* item = NewItem(object);
    const treeplace::Placement place = treeplace::Place(siblings, static_cast<const OPCS_TagGroup*>(object));
    auto insertAt = [&](int index) {
        if (parent != nullptr) {
            parent->insertChild(index, item);
        } else {
            insertTopLevelItem(index, item);
        }
    };
    const int count = parent != nullptr ? parent->childCount() : topLevelItemCount();
    QTreeWidgetItem* before = place.where == treeplace::Where::After ? ItemOf(siblings[place.after]) : nullptr;
    if (place.where == treeplace::Where::First) {
        insertAt(0);
    } else if (before != nullptr && before->parent() == parent) {
        insertAt((parent != nullptr ? parent->indexOfChild(before) : indexOfTopLevelItem(before)) + 1);
    } else {
        insertAt(count);
    }
    InsertChildren(item, ChildGroups(*object));
}

void CDeviceView::DeleteAllItems() {
    const bool was = updating_;
    updating_ = true;
    for (const QTreeWidgetItem* item : items_) {
        // Groups that are still alive forget the item they are about to lose.
        auto* group = reinterpret_cast<OPCS_TagGroup*>(item->data(0, kDataRole).value<quintptr>());
        if (OPCS_TagGroup::IsValidGroup(group) && group->GetTreeItem() == item) group->SetTreeItem(nullptr);
    }
    items_.clear();
    clear();
    updating_ = was;
}

void CDeviceView::SelectAndShow(QTreeWidgetItem* item) {
    if (item == nullptr) return;
    setCurrentItem(item);
    scrollToItem(item);
}

void CDeviceView::RefreshDeviceImages() {
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = topLevelItem(i);
        if (const OPCS_TagGroup* device = GroupOf(item)) SetImages(item, device);
    }
}

void CDeviceView::OnUpdate(int hint, void* object) {
    if (hint == dochint::kTagList || hint == dochint::kTagRows || hint == dochint::kTagAdded) return;
    auto* group = static_cast<OPCS_TagGroup*>(object);
    setUpdatesEnabled(false);
    switch (hint) {
    case dochint::kDeleteAll:
        DeleteAllItems();
        break;
    case dochint::kRefreshGroup:
        if (QTreeWidgetItem* item = ItemOf(group)) {
            item->setText(0, QString::fromStdString(group->GetName()));
            SetImages(item, group);
            SelectAndShow(item);
        }
        break;
    case dochint::kDeviceAdded:
        if (OPCS_Device::IsValidDevice(group)) {
            InsertPlaced(nullptr, group, Devices(doc_));
            SelectAndShow(ItemOf(group));
        }
        break;
    case dochint::kDeviceIcons:
        RefreshDeviceImages();
        break;
    case dochint::kGroupAdded:
        if (OPCS_TagGroup::IsValidGroup(group)) {
            if (QTreeWidgetItem* parent = ItemOf(group->GetParent())) {
                std::vector<OPCS_TagGroup*> siblings = ChildGroups(*group->GetParent());
                treeplace::SortByOrdinal(siblings);
                InsertPlaced(parent, group, siblings);
                scrollToItem(ItemOf(group));
            }
        }
        break;
    default:
        Rebuild(object);
        break;
    }
    setUpdatesEnabled(true);
}

void CDeviceView::Rebuild(void* object) {
    // 1. The state of the items on screen.
    savedStates_.clear();
    const int bottom = viewport()->height();
    for (QTreeWidgetItem* item = itemAt(QPoint(1, 1)); item != nullptr; item = itemBelow(item)) {
        if (visualItemRect(item).top() >= bottom) break;
        if (const OPCS_TagGroup* group = GroupOf(item)) savedStates_.push_back({group, item->isExpanded(), item->isSelected()});
    }
    updating_ = true;
    DeleteAllItems();
    for (OPCS_TagGroup* device : Devices(doc_)) {
        if (!OPCS_TagGroup::IsValidGroup(device)) continue;
        QTreeWidgetItem* item = NewItem(device);
        addTopLevelItem(item);
        InsertChildren(item, ChildGroups(*device));
    }
    for (const TreeItemState& state : savedStates_) {
        if (QTreeWidgetItem* item = ItemOf(state.group)) {
            item->setExpanded(state.expanded);
            if (state.selected) setCurrentItem(item);
        }
    }
    if (auto* group = static_cast<OPCS_TagGroup*>(object); OPCS_TagGroup::IsValidGroup(group)) SelectAndShow(ItemOf(group));
    updating_ = false;
}

void CDeviceView::OnSelectionChanged() {
    if (!updating_ && tagList_ != nullptr) tagList_->OnUpdate(dochint::kTagList, nullptr);
}

std::optional<CommandState> CDeviceView::CommandStateOf(UINT id) {
    OPCS_TagGroup* selected = GetSelectedItem();
    switch (id) {
    case uicmd::kProperties:
        return CommandState{selected != nullptr, false};
    case uicmd::kDelete: {
        OPCS_TagGroup* device = selected != nullptr ? selected->GetDevice() : nullptr;
        return CommandState{selected != nullptr && OPCS_TagGroup::IsValidGroup(device) && selected->CanDelete() &&
                                device->CanDelete(),
                            false};
    }
    default:
        return std::nullopt;
    }
}

bool CDeviceView::RunCommand(UINT id) {
    const auto state = CommandStateOf(id);
    if (!state || !state->enabled) return false;
    if (id == uicmd::kDelete) {
        Delete();
        return true;
    }
    OPCS_TagGroup* selected = GetSelectedItem();
    selected->ShowProperties();
    OnUpdate(dochint::kRefreshGroup, selected);
    return true;
}

void CDeviceView::Delete() {
    OPCS_TagGroup* selected = GetSelectedItem();
    if (selected == nullptr || !selected->CanDelete() || !OPCS_TagGroup::IsValidGroup(selected->GetDevice())) return;
    // The item to select afterwards: the next sibling, else the previous one, else the parent.
    QTreeWidgetItem* item = currentItem();
    QTreeWidgetItem* parent = item->parent();
    const int index = parent != nullptr ? parent->indexOfChild(item) : indexOfTopLevelItem(item);
    auto sibling = [&](int i) -> QTreeWidgetItem* {
        const int count = parent != nullptr ? parent->childCount() : topLevelItemCount();
        if (i < 0 || i >= count) return nullptr;
        return parent != nullptr ? parent->child(i) : topLevelItem(i);
    };
    QTreeWidgetItem* next = sibling(index + 1);
    if (next == nullptr) next = sibling(index - 1);
    if (next == nullptr) next = parent;
    const OPCS_TagGroup* nextGroup = GroupOf(next);
    if (!doc_.DeleteItem(selected)) return;
    if (QTreeWidgetItem* after = ItemOf(nextGroup)) {
        setCurrentItem(after);
    } else {
        setCurrentItem(nullptr);
    }
}

int CDeviceView::ContentWidth() const {
    int widest = 0;
    const QFontMetrics metrics = fontMetrics();
    std::function<void(const QTreeWidgetItem*, int)> measure = [&](const QTreeWidgetItem* item, int depth) {
        // The indentation of the level and the root's expander, the icon, the text.
        const int width = indentation() * (depth + 1) + iconSize().width() + 8 + metrics.horizontalAdvance(item->text(0));
        widest = std::max(widest, width);
        for (int i = 0; i < item->childCount(); ++i) measure(item->child(i), depth + 1);
    };
    for (int i = 0; i < topLevelItemCount(); ++i) measure(topLevelItem(i), 0);
    return widest + 2 * frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 8;
}

std::string CDeviceView::ClientsPaneText() {
    OPCS_TagGroup* selected = GetSelectedItem();
    auto* device = selected != nullptr ? selected->GetDevice() : nullptr;
    if (!OPCS_Device::IsValidDevice(device)) return {};
    return ::ClientsPaneText(static_cast<unsigned>(static_cast<OPCS_Device*>(device)->GetTotalPollRequests()));
}

void CDeviceView::ShowDeviceMenu(const QPoint& at) {
    QTreeWidgetItem* item = itemAt(at);
    if (item == nullptr) return;
    setCurrentItem(item);
    scrollToItem(item);
    if (GroupOf(item) == nullptr || !actions_) return;
    if (activate_) activate_(this);
    QMenu menu("Device", this);
    for (UINT id : {uicmd::kProperties, doccmd::kStartPolling, doccmd::kStopPolling, doccmd::kForceUpdate}) {
        if (QAction* action = actions_(id)) menu.addAction(action);
    }
    if (QAction* trend = actions_(uicmd::kTrend)) {
        // The window's command under the shorter name the device's menu needs.
        menu.addSeparator();
        QAction* entry = menu.addAction("&Trend...", trend, &QAction::trigger);
        entry->setObjectName("deviceTrend");
        entry->setEnabled(trend->isEnabled());
    }
    menu.exec(viewport()->mapToGlobal(at));
}

bool CDeviceView::event(QEvent* e) {
    if (e->type() != PostedMessageEvent::Kind()) return QTreeWidget::event(e);
    const auto* posted = static_cast<PostedMessageEvent*>(e);
    if (posted->Message() == kWmTimer) {
        const auto id = posted->WParam();
        if (id == 0 || id == 1 || id == 3 || id == kTimerDeviceIcons) OnUpdate(static_cast<int>(id), nullptr);
    }
    return true;
}
