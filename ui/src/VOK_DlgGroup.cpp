#include "ui/VOK_DlgGroup.h"

#include "model/OPCS_TagGroup.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>

VOK_DlgGroup::VOK_DlgGroup(OPCS_TagGroup& group, QWidget* parent) : QDialog(parent), group_(group) {
    setObjectName("tagGroup");
    setWindowTitle("Tag Group");
    name_ = new QLineEdit(QString::fromStdString(group.GetName()), this);
    name_->setObjectName("name");
    name_->setMinimumWidth(260);
    name_->selectAll();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* form = new QFormLayout(this);
    form->addRow("Name:", name_);
    form->addRow(buttons);
}

void VOK_DlgGroup::accept() {
    group_.SetName(name_->text().toStdString());
    QDialog::accept();
}
