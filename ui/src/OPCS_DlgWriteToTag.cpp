#include "ui/OPCS_DlgWriteToTag.h"

#include "model/OPCS_Tag.h"
#include "model/UiServices.h"
#include "ui/HelpWindow.h"
#include "ui/TagValueText.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

constexpr const char* kCannotConvert =
    "Unable to write the input tag value.\nFor bool use T, F or True, False\nDates are not supported";
constexpr const char* kWriteFailed = "Failed to write to tag";

// The value text as the tag list shows it, without taking the tag's changed
// flag: the flag tells the tag list which rows to refresh, and a window that
// merely looks must not make the list miss a new value.
std::string ValueTextOf(OPCS_Tag& tag) {
    tag.Lock();
    const bool changed = tag.IsChanged();
    std::string text = tag.GetValueText();
    tag.SetChanged(changed);
    tag.Unlock();
    return text;
}

class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

void OPCS_DlgWriteToTag::Open(OPCS_Tag& tag, QWidget* parent) {
    if (!OPCS_Tag::IsValidTag(&tag)) return;
    auto* window = new OPCS_DlgWriteToTag(tag, parent);
    window->show();
    window->raise();
    window->activateWindow();
}

OPCS_DlgWriteToTag::OPCS_DlgWriteToTag(OPCS_Tag& tag, QWidget* parent) : QDialog(parent), tag_(&tag) {
    setObjectName(QStringLiteral("writeToTag"));
    setWindowTitle(QStringLiteral("Write to tag"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    tagName_ = new QLabel(QString::fromStdString(tag.GetName()), this);
    tagName_->setObjectName(QStringLiteral("tagName"));
    tagName_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    typeName_ = new QLabel(QString::fromLatin1(TagValueText::TypeName(tag.GetCanonicalType())), this);
    typeName_->setObjectName(QStringLiteral("typeName"));
    currentValue_ = new QLineEdit(QString::fromStdString(ValueTextOf(tag)), this);
    currentValue_->setObjectName(QStringLiteral("currentValue"));
    currentValue_->setReadOnly(true);
    // Drawn as a display, not as a second field to type into.
    QPalette shown = currentValue_->palette();
    shown.setColor(QPalette::Base, shown.color(QPalette::Window));
    currentValue_->setPalette(shown);
    currentValue_->setFocusPolicy(Qt::ClickFocus);
    newValue_ = new QLineEdit(this);
    newValue_->setObjectName(QStringLiteral("newValue"));
    newValue_->setMinimumWidth(220);

    auto* fields = new QFormLayout;
    fields->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    fields->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    fields->addRow(QStringLiteral("Tag:"), tagName_);
    fields->addRow(QStringLiteral("Type:"), typeName_);
    fields->addRow(QStringLiteral("Value:"), currentValue_);
    fields->addRow(QStringLiteral("&New Value:"), newValue_);

    auto* buttons = new QDialogButtonBox(this);
    apply_ = buttons->addButton(QStringLiteral("&Apply"), QDialogButtonBox::AcceptRole);
    apply_->setObjectName(QStringLiteral("apply"));
    apply_->setDefault(true);
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("close"));
    QPushButton* help = buttons->addButton(QDialogButtonBox::Help);
    help->setObjectName(QStringLiteral("help"));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addSpacing(6);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(apply_, &QPushButton::clicked, this, &OPCS_DlgWriteToTag::Apply);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(help, &QPushButton::clicked, this, &OPCS_DlgWriteToTag::Help);
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    connect(f1, &QShortcut::activated, this, &OPCS_DlgWriteToTag::Help);

    newValue_->setFocus();
}

void OPCS_DlgWriteToTag::Apply() {
    VARIANT value;
    VariantInit(&value);
    if (!OPCS_Tag::IsValidTag(tag_)) {
        // Deleted while the window was open: there is nothing left to write to.
        GetUiServices().ShowMessage(kWriteFailed, MessageIcon::Error, MessageButtons::Ok);
    } else if (!TagValueText::ToVariant(newValue_->text().toStdString(), tag_->GetCanonicalType(), value)) {
        GetUiServices().ShowMessage(kCannotConvert, MessageIcon::Warning, MessageButtons::Ok);
    } else {
        bool written = false;
        {
            // A counter confirms a new sample interval only after some seconds.
            WaitCursor wait;
            written = tag_->WriteFromClient(value);
        }
        if (!written) GetUiServices().ShowMessage(kWriteFailed, MessageIcon::Error, MessageButtons::Ok);
    }
    VariantClear(&value);
    // One write per window: Apply always ends it.
    close();
}

void OPCS_DlgWriteToTag::Help() { help::ShowHelp(kHelpContext, this); }
