#include "ui/OPCS_DlgColumns.h"

#include "ui/DialogWidgets.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QVBoxLayout>
#include <QValidator>

#include <algorithm>

namespace {

// The width edit takes nothing but a number from 0 to 5000 (or nothing);
// which of those become widths is the editor's rule.
class WidthValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& /*pos*/) const override {
        if (input.isEmpty()) return Acceptable;
        if (input.size() > 4) return Invalid;
        for (QChar c : input)
            if (!c.isDigit() || c.unicode() > '9') return Invalid;
        return input.toInt() <= static_cast<int>(ColumnsEditor::kMaxWidth) ? Acceptable : Invalid;
    }
};

}  // namespace

OPCS_DlgColumns::OPCS_DlgColumns(OPCS_Registry& settings, QWidget* parent)
    : QDialog(parent), settings_(settings), editor_(settings.GetColumns()) {
    setWindowTitle(QStringLiteral("Column Settings"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* intro = new QLabel(
        QStringLiteral("Checked columns are shown in the tag list, in this order.\n"
                       "Select columns to move them or to set their width."),
        this);
    intro->setWordWrap(true);

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("columnList"));
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setUniformItemSizes(true);

    auto* widthLabel = new QLabel(QStringLiteral("Width:"), this);
    width_ = new QLineEdit(this);
    width_->setObjectName(QStringLiteral("width"));
    width_->setValidator(new WidthValidator(width_));
    width_->setMaxLength(4);
    width_->setFixedWidth(width_->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 16);
    widthLabel->setBuddy(width_);
    auto* pixels = new QLabel(QStringLiteral("pixels"), this);

    auto* ok = DialogButton(QStringLiteral("OK"), "ok", this);
    ok->setAutoDefault(true);
    ok->setDefault(true);
    auto* cancel = DialogButton(QStringLiteral("Cancel"), "cancel", this);
    moveUp_ = DialogButton(QStringLiteral("Move Up"), "moveUp", this);
    moveDown_ = DialogButton(QStringLiteral("Move Down"), "moveDown", this);
    rename_ = DialogButton(QStringLiteral("Rename"), "rename", this);
    reset_ = DialogButton(QStringLiteral("Reset"), "reset", this);
    auto* help = DialogButton(QStringLiteral("Help"), "help", this);

    auto* widthRow = new QHBoxLayout;
    widthRow->addWidget(widthLabel);
    widthRow->addWidget(width_);
    widthRow->addWidget(pixels);
    widthRow->addStretch();

    auto* left = new QVBoxLayout;
    left->addWidget(list_, 1);
    left->addLayout(widthRow);

    // One column of buttons of one width: the dialog's answers on top, the
    // list's commands below, Help at the bottom.
    auto* right = new QVBoxLayout;
    right->addWidget(ok);
    right->addWidget(cancel);
    right->addSpacing(16);
    right->addWidget(moveUp_);
    right->addWidget(moveDown_);
    right->addWidget(rename_);
    right->addWidget(reset_);
    right->addStretch();
    right->addWidget(help);

    auto* body = new QHBoxLayout;
    body->addLayout(left, 1);
    body->addSpacing(4);
    body->addLayout(right);

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(intro);
    outer->addSpacing(4);
    outer->addLayout(body, 1);

    connect(ok, &QPushButton::clicked, this, &OPCS_DlgColumns::accept);
    connect(cancel, &QPushButton::clicked, this, &OPCS_DlgColumns::reject);
    connect(moveUp_, &QPushButton::clicked, this, &OPCS_DlgColumns::MoveUp);
    connect(moveDown_, &QPushButton::clicked, this, &OPCS_DlgColumns::MoveDown);
    connect(rename_, &QPushButton::clicked, this, &OPCS_DlgColumns::StartRename);
    connect(reset_, &QPushButton::clicked, this, &OPCS_DlgColumns::Reset);
    connect(help, &QPushButton::clicked, this, &OPCS_DlgColumns::Help);
    connect(list_, &QListWidget::itemSelectionChanged, this, &OPCS_DlgColumns::SelectionChanged);
    connect(list_, &QListWidget::itemChanged, this, &OPCS_DlgColumns::ItemChanged);
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, &OPCS_DlgColumns::Help);

    ShowEntries();
    width_->setText(QString::fromStdString(editor_.WidthText()));
    resize(440, 290);
}

OPCS_DlgColumns::~OPCS_DlgColumns() {
    // The edit outlives this part of the dialog for a moment; it must not
    // report its focus loss to a dialog half gone.
    if (renameEdit_ != nullptr) renameEdit_->removeEventFilter(this);
}

void OPCS_DlgColumns::ShowEntries() {
    moving_ = true;
    list_->clear();
    const auto& entries = editor_.Entries();
    // A little air between the lines makes the check boxes easier to hit.
    const QSize line(0, list_->fontMetrics().height() + 6);
    for (const auto& e : entries) {
        auto* item = new QListWidgetItem(QString::fromStdString(e.text), list_);
        item->setSizeHint(line);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(e.checked ? Qt::Checked : Qt::Unchecked);
    }
    bool first = true;
    for (int p : editor_.Selection()) {
        QListWidgetItem* item = list_->item(p);
        item->setSelected(true);
        if (first) list_->setCurrentItem(item, QItemSelectionModel::NoUpdate);
        first = false;
    }
    moving_ = false;
    UpdateButtons();
}

void OPCS_DlgColumns::UpdateButtons() {
    const bool any = !editor_.Selection().empty();
    moveUp_->setEnabled(any);
    moveDown_->setEnabled(any);
    rename_->setEnabled(renameEdit_ == nullptr && editor_.CanRename());
}

std::set<int> OPCS_DlgColumns::ListSelection() const {
    std::set<int> positions;
    for (int i = 0; i < list_->count(); ++i)
        if (list_->item(i)->isSelected()) positions.insert(i);
    return positions;
}

void OPCS_DlgColumns::SelectionChanged() {
    if (moving_) return;
    EndRename();
    const std::string shown = editor_.ChangeSelection(ListSelection(), width_->text().toStdString());
    width_->setText(QString::fromStdString(shown));
    UpdateButtons();
}

void OPCS_DlgColumns::ItemChanged(QListWidgetItem* item) {
    if (moving_) return;
    editor_.SetChecked(list_->row(item), item->checkState() == Qt::Checked);
}

void OPCS_DlgColumns::MoveUp() {
    EndRename();
    editor_.MoveUp();
    ShowEntries();
}

void OPCS_DlgColumns::MoveDown() {
    EndRename();
    editor_.MoveDown();
    ShowEntries();
}

void OPCS_DlgColumns::StartRename() {
    if (renameEdit_ != nullptr || !editor_.CanRename()) return;
    renamePosition_ = *editor_.Selection().begin();
    QListWidgetItem* item = list_->item(renamePosition_);
    list_->scrollToItem(item);

    // Over the item's text, to the right of its check box.
    QStyleOptionViewItem option;
    option.initFrom(list_->viewport());
    option.rect = list_->visualItemRect(item);
    option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    option.checkState = item->checkState();
    option.text = item->text();
    option.font = list_->font();
    option.fontMetrics = list_->fontMetrics();
    option.widget = list_;
    const QRect row = option.rect;
    QRect text = list_->style()->subElementRect(QStyle::SE_ItemViewItemText, &option, list_);
    if (!text.isValid() || text.left() <= row.left()) text = row.adjusted(row.height(), 0, 0, 0);

    renameEdit_ = new QLineEdit(item->text(), list_->viewport());
    renameEdit_->setObjectName(QStringLiteral("renameEdit"));
    // The settings keep the columns as comma-separated text; a comma in a
    // name would make the whole layout unreadable at the next start.
    renameEdit_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^,]*")), renameEdit_));
    const int height = std::max(row.height(), renameEdit_->sizeHint().height());
    renameEdit_->setGeometry(text.left() - 2, row.center().y() - height / 2 + 1, row.right() - text.left() + 3,
                             height);
    renameEdit_->selectAll();
    renameEdit_->installEventFilter(this);
    renameEdit_->show();
    renameEdit_->setFocus(Qt::OtherFocusReason);
    UpdateButtons();
}

void OPCS_DlgColumns::EndRename(bool keepText) {
    if (renameEdit_ == nullptr) return;
    QLineEdit* edit = renameEdit_;
    renameEdit_ = nullptr;
    edit->removeEventFilter(this);
    const std::string text = edit->text().toStdString();
    if (edit->hasFocus()) list_->setFocus(Qt::OtherFocusReason);
    edit->hide();
    edit->deleteLater();
    if (keepText) {
        editor_.Rename(renamePosition_, text);
        if (QListWidgetItem* item = list_->item(renamePosition_)) {
            moving_ = true;
            item->setText(QString::fromStdString(editor_.Entries()[static_cast<std::size_t>(renamePosition_)].text));
            moving_ = false;
        }
    }
    renamePosition_ = -1;
    UpdateButtons();
}

bool OPCS_DlgColumns::eventFilter(QObject* watched, QEvent* event) {
    if (watched == renameEdit_ && renameEdit_ != nullptr) {
        if (event->type() == QEvent::FocusOut) {
            // The edit's own context menu takes the focus only for a moment.
            if (static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) EndRename();
        } else if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            // Enter and Escape finish the rename without closing the dialog.
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                EndRename();
                return true;
            }
            if (key == Qt::Key_Escape) {
                EndRename(false);
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void OPCS_DlgColumns::Reset() {
    EndRename();
    editor_.Reset();
    ShowEntries();
    width_->setText(QString::fromStdString(editor_.WidthText()));
}

void OPCS_DlgColumns::Help() {
    EndRename();
    if (onHelp) onHelp(kHelpContext);
}

void OPCS_DlgColumns::accept() {
    EndRename();
    editor_.ApplyWidthText(width_->text().toStdString());
    settings_.SetColumns(editor_.Result());
    QDialog::accept();
}
