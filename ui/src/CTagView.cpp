#include "ui/CTagView.h"

#include "model/OPCS_Device.h"
#include "model/OPCS_Tag.h"
#include "model/OPCS_TagGroup.h"
#include "model/Posting.h"
#include "ui/ProgramBitmaps.h"
#include "ui/QtPosting.h"
#include "ui/TagRows.h"
#include "ui/UiCommands.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>

#include <algorithm>

namespace {

constexpr int kDataRole = Qt::UserRole;
// The tag list's own refresh timer, as its posted twin names it.
constexpr UINT kRefreshTimerId = 45000;

}  // namespace

CTagView::CTagView(OPCS_Doc& doc, OPCS_Registry& settings, QWidget* parent)
    : QTreeWidget(parent), doc_(doc), settings_(settings) {
    setObjectName("tagList");
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    // Tag names differ at their ends ("... Bin 01", "... Bin 02"): a narrow
    // column keeps the ends in view.
    setTextElideMode(Qt::ElideMiddle);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setIconSize(QSize(bitmaps::kIconSize, bitmaps::kIconSize));
    header()->setSectionsMovable(false);
    header()->setSectionsClickable(true);
    header()->setStretchLastSection(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(header(), &QHeaderView::sectionClicked, this, [this](int column) { SortBy(column); });
    // A width set by hand is the user's: the list no longer sizes itself.
    connect(header(), &QHeaderView::sectionResized, this, [this] {
        if (!sizing_) fitPending_ = false;
    });
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this] { RunCommand(uicmd::kProperties); });
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { ShowTagMenu(at); });
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, [this] { OnUpdate(dochint::kTagRows, nullptr); });
}

CTagView::~CTagView() {
    if (registered_) doc_.RemoveObserver(this);
}

void CTagView::InitialUpdate() {
    if (!registered_) {
        doc_.AddObserver(this);
        registered_ = true;
    }
    if (initialised_) return;
    initialised_ = true;
    for (const QPixmap& icon : bitmaps::LoadTagIcons(settings_.GetTagIconBitmap())) icons_.push_back(icon);
    BuildColumns();
    refresh_.start();
}

void CTagView::BuildColumns() {
    clear();
    columns_ = settings_.GetColumns();
    shown_.clear();
    sortPosition_ = 0;
    QStringList labels;
    for (ColumnInfo& column : columns_) {
        if (!column.visible) continue;
        if (column.sortColumn) sortPosition_ = static_cast<int>(shown_.size());
        shown_.push_back(&column);
        labels << QString::fromStdString(column.name);
    }
    sizing_ = true;
    setColumnCount(static_cast<int>(shown_.size()));
    setHeaderLabels(labels);
    for (std::size_t k = 0; k < shown_.size(); ++k) setColumnWidth(static_cast<int>(k), static_cast<int>(shown_[k]->width));
    sizing_ = false;
    fitPending_ = tagrows::HasStartingWidths(shown_);
    if (!shown_.empty()) {
        header()->setSortIndicatorShown(true);
        header()->setSortIndicator(sortPosition_, shown_[sortPosition_]->ascending ? Qt::AscendingOrder
                                                                                   : Qt::DescendingOrder);
    }
    OnUpdate(dochint::kTagList, nullptr);
}

void CTagView::FitColumns() {
    sizing_ = true;
    for (std::size_t k = 0; k < shown_.size(); ++k) {
        const int column = static_cast<int>(k);
        int content = std::max(sizeHintForColumn(column), header()->sectionSizeHint(column));
        const std::string later = tagrows::LaterText(shown_[k]->columnId);
        if (!later.empty()) content = std::max(content, fontMetrics().horizontalAdvance(QString::fromStdString(later)) + 8);
        setColumnWidth(column, static_cast<int>(tagrows::FittedWidth(static_cast<unsigned>(std::max(content, 0)),
                                                                     shown_[k]->width)));
    }
    sizing_ = false;
    fitPending_ = false;
}

void CTagView::StoreColumnWidths() {
    for (std::size_t k = 0; k < shown_.size(); ++k) shown_[k]->width = static_cast<UINT>(columnWidth(static_cast<int>(k)));
    settings_.SetColumns(columns_);
}

OPCS_Tag* CTagView::TagOf(const QTreeWidgetItem* item) {
    if (item == nullptr) return nullptr;
    auto* tag = reinterpret_cast<OPCS_Tag*>(item->data(0, kDataRole).value<quintptr>());
    return OPCS_Tag::IsValidTag(tag) ? tag : nullptr;
}

void CTagView::OnUpdate(int hint, void* object) {
    if (hint == dochint::kDeleteAll) {
        clear();
        return;
    }
    if (hint >= dochint::kRefreshGroup && hint <= dochint::kGroupAdded) return;
    if (doc_.GetSelectedGroup() == nullptr) {
        clear();
        return;
    }
    auto* tag = static_cast<OPCS_Tag*>(object);
    if (hint == dochint::kTagList && tag != nullptr) {
        for (int i = 0; i < topLevelItemCount(); ++i) {
            if (TagOf(topLevelItem(i)) == tag) RefreshRow(topLevelItem(i));
        }
        return;
    }
    if (hint == dochint::kTagRows) {
        RefreshChangedRows();
        return;
    }
    Rebuild();
}

void CTagView::Rebuild() {
    ++rebuilds_;
    setUpdatesEnabled(false);
    clear();
    OPCS_TagGroup* group = doc_.GetSelectedGroup();
    if (group != nullptr) {
        Dll<OPCS_Tag*> copy;
        group->CopyTags(copy);
        std::vector<OPCS_Tag*> tags(copy.begin(), copy.end());
        if (!shown_.empty()) tagrows::Sort(tags, shown_[sortPosition_]->columnId, shown_[sortPosition_]->ascending);
        QList<QTreeWidgetItem*> rows;
        for (OPCS_Tag* tag : tags) {
            if (!OPCS_Tag::IsValidTag(tag)) continue;
            auto* item = new QTreeWidgetItem;
            item->setData(0, kDataRole, QVariant::fromValue(reinterpret_cast<quintptr>(tag)));
            RefreshRow(item);
            rows << item;
        }
        addTopLevelItems(rows);
    }
    if (fitPending_ && topLevelItemCount() > 0) FitColumns();
    setUpdatesEnabled(true);
}

void CTagView::RefreshRow(QTreeWidgetItem* item) {
    OPCS_Tag* tag = TagOf(item);
    OPCS_TagGroup* group = doc_.GetSelectedGroup();
    OPCS_TagGroup* device = group != nullptr ? group->GetDevice() : nullptr;
    if (tag == nullptr || !OPCS_Device::IsValidDevice(device)) return;
    const bool polling = tagrows::IsPolling(static_cast<OPCS_Device*>(device));
    for (std::size_t k = 0; k < shown_.size(); ++k) {
        const QString text = QString::fromStdString(tagrows::CellText(*tag, *shown_[k], polling));
        if (item->text(static_cast<int>(k)) != text) item->setText(static_cast<int>(k), text);
    }
    const std::int32_t image = tag->GetImageIndex();
    if (image >= 0 && static_cast<std::size_t>(image) < icons_.size()) item->setIcon(0, icons_[image]);
}

void CTagView::RefreshChangedRows() {
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = topLevelItem(i);
        OPCS_Tag* tag = TagOf(item);
        if (tag == nullptr || !tag->IsChanged()) continue;
        RefreshRow(item);
        tag->SetChanged(false);
    }
}

void CTagView::SortBy(int column) {
    tagrows::HeaderClick(shown_, sortPosition_, column);
    if (shown_.empty()) return;
    const ColumnInfo& sortColumn = *shown_[sortPosition_];
    header()->setSortIndicator(sortPosition_, sortColumn.ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    settings_.SetColumns(columns_);
    // The rows are put in the new order as they are, their selection kept.
    setUpdatesEnabled(false);
    const std::vector<OPCS_Tag*> selected = SelectedTags();
    QList<QTreeWidgetItem*> rows;
    while (topLevelItemCount() > 0) rows << takeTopLevelItem(0);
    std::stable_sort(rows.begin(), rows.end(), [&](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        const OPCS_Tag* ta = TagOf(a);
        const OPCS_Tag* tb = TagOf(b);
        if (ta == nullptr || tb == nullptr) return false;
        return tagrows::Compare(*ta, *tb, sortColumn.columnId, sortColumn.ascending) < 0;
    });
    addTopLevelItems(rows);
    for (QTreeWidgetItem* row : rows) {
        if (std::find(selected.begin(), selected.end(), TagOf(row)) != selected.end()) row->setSelected(true);
    }
    setUpdatesEnabled(true);
}

std::vector<OPCS_Tag*> CTagView::SelectedTags() const {
    std::vector<OPCS_Tag*> tags;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = topLevelItem(i);
        if (item->isSelected()) tags.push_back(TagOf(item));
    }
    return tags;
}

std::optional<CommandState> CTagView::CommandStateOf(UINT id) {
    const std::vector<OPCS_Tag*> selected = SelectedTags();
    const bool one = selected.size() == 1 && selected.front() != nullptr;
    switch (id) {
    case uicmd::kProperties:
        return CommandState{one, false};
    case uicmd::kWriteToTag:
        return CommandState{one && selected.front()->GetAccessRights() == 1, false};
    case uicmd::kDelete:
        return CommandState{!selected.empty() && std::all_of(selected.begin(), selected.end(),
                                                             [](const OPCS_Tag* t) { return t != nullptr && t->CanDelete(); }),
                            false};
    default:
        return std::nullopt;
    }
}

bool CTagView::RunCommand(UINT id) {
    const auto state = CommandStateOf(id);
    if (!state || !state->enabled) return false;
    if (id == uicmd::kDelete) {
        Delete();
        return true;
    }
    OPCS_Tag* tag = SelectedTags().front();
    if (id == uicmd::kWriteToTag) {
        if (writeDialog_) writeDialog_(*tag);
        return true;
    }
    tag->ShowProperties();
    OnUpdate(dochint::kTagList, tag);
    return true;
}

void CTagView::Delete() {
    int first = -1;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = topLevelItem(i);
        OPCS_Tag* tag = item->isSelected() ? TagOf(item) : nullptr;
        if (tag == nullptr || !tag->CanDelete()) continue;
        OPCS_TagGroup* group = tag->GetGroup();
        if (!OPCS_TagGroup::IsValidGroup(group) || !group->RemoveTag(tag)) continue;
        // The row keeps no pointer to a destroyed tag.
        item->setData(0, kDataRole, QVariant::fromValue(quintptr{0}));
        delete tag;
        if (first < 0) first = i;
    }
    doc_.UpdateAllViews(dochint::kTagList);
    doc_.SetModifiedFlag();
    if (first < 0 || topLevelItemCount() == 0) return;
    QTreeWidgetItem* select = topLevelItem(std::min(first, topLevelItemCount() - 1));
    clearSelection();
    select->setSelected(true);
    setCurrentItem(select);
}

std::string CTagView::ClientsPaneText() {
    const std::vector<OPCS_Tag*> selected = SelectedTags();
    if (selected.size() != 1 || selected.front() == nullptr) return {};
    return ::ClientsPaneText(static_cast<unsigned>(selected.front()->GetReferenceCount()));
}

void CTagView::ShowTagMenu(const QPoint& at) {
    QTreeWidgetItem* item = itemAt(at);
    if (TagOf(item) == nullptr || !actions_) return;
    if (activate_) activate_(this);
    QMenu menu("Tag", this);
    for (UINT id : {uicmd::kProperties, uicmd::kWriteToTag}) {
        if (QAction* action = actions_(id)) menu.addAction(action);
    }
    menu.exec(viewport()->mapToGlobal(at));
}

bool CTagView::event(QEvent* e) {
    if (e->type() != PostedMessageEvent::Kind()) return QTreeWidget::event(e);
    const auto* posted = static_cast<PostedMessageEvent*>(e);
    if (posted->Message() == kWmTimer) {
        const auto id = posted->WParam();
        if (id == kRefreshTimerId) {
            OnUpdate(dochint::kTagRows, nullptr);
        } else if (id == 0 || id == 1 || id == 7 || id == kTimerTagRows) OnUpdate(static_cast<int>(id), nullptr);
    }
    return true;
}
