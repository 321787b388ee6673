#include "ui/VOK_DlgTag.h"

#include "model/OPCS_TagGroup.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "ui/HelpWindow.h"
#include "ui/VOK_DlgTagProperties.h"
#include "ui/VOK_DlgTagScaling.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>

VOK_DlgTag::VOK_DlgTag(VOKTag& tag, QWidget* parent) : QDialog(parent) {
    setObjectName("tagConfiguration");
    setWindowTitle("Tag Configuration");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    tabs_ = new QTabWidget(this);
    properties_ = new VOK_DlgTagProperties(tag);
    tabs_->addTab(properties_, "Tag Properties");
    if (HasScalingPage(tag)) {
        scaling_ = new VOK_DlgTagScaling(tag, properties_);
        tabs_->addTab(scaling_, "Tag Scaling");
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto help = [this] { help::ShowHelp(help::kTagProperties, this); };
    connect(buttons, &QDialogButtonBox::helpRequested, this, help);
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    connect(f1, &QShortcut::activated, this, help);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
}

bool VOK_DlgTag::HasScalingPage(const OPCS_Tag& tag) {
    if (!OPCS_Tag::IsValidTag(&tag) || !tag.IsScalingEnabled()) return false;
    OPCS_TagGroup* group = tag.GetGroup();
    if (!OPCS_TagGroup::IsValidGroup(group)) return false;
    OPCS_TagGroup* device = group->GetDevice();
    // A simulated counter delivers made-up values, no analog counts to scale.
    return VOKDevice::IsValidVOKDevice(device) && !static_cast<VOKDevice*>(device)->IsSimulation();
}

void VOK_DlgTag::accept() {
    if (properties_->IsInitialised() && !properties_->Validate()) {
        tabs_->setCurrentWidget(properties_);
        return;
    }
    if (scaling_ != nullptr && scaling_->IsInitialised() && !scaling_->Validate()) {
        tabs_->setCurrentWidget(scaling_);
        return;
    }
    if (properties_->IsInitialised()) properties_->Apply();
    if (scaling_ != nullptr && scaling_->IsInitialised()) scaling_->Apply();
    QDialog::accept();
}
