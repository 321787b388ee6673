#include "ui/VOK_DlgGroup.h"

#include "ui/HelpWindow.h"

#include "model/OPCS_TagGroup.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QShortcut>

VOK_DlgGroup::VOK_DlgGroup(OPCS_TagGroup& group, QWidget* parent) : QDialog(parent), group_(group) {
    setObjectName("tagGroup");
    setWindowTitle("Tag Group");
    name_ = new QLineEdit(QString::fromStdString(group.GetName()), this);
    name_->setObjectName("name");
    name_->setMinimumWidth(260);
    name_->selectAll();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [this] { help::ShowHelp(help::kTagGroup, this); });
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    connect(f1, &QShortcut::activated, this, [this] { help::ShowHelp(help::kTagGroup, this); });
    auto* form = new QFormLayout(this);
    form->addRow("Name:", name_);
    form->addRow(buttons);
}

void VOK_DlgGroup::accept() {
    group_.SetName(name_->text().toStdString());
    QDialog::accept();
}
