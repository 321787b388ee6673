#include "ui/CAboutDlg.h"

#include "foundation/VersionInfo.h"
#include "ui/ProgramBitmaps.h"
#include "ui/QtUiServices.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel* Line(const std::string& text, const char* name, QWidget* parent) {
    auto* label = new QLabel(QString::fromStdString(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(QStringLiteral("About %1").arg(kApplicationTitle));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("programIcon"));
    icon->setPixmap(bitmaps::ProgramIcon().pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    QLabel* product = Line(versioninfo::ProductName(), "productName", this);
    QFont bold = product->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    product->setFont(bold);

    auto* text = new QVBoxLayout;
    text->setSpacing(4);
    text->addWidget(product);
    text->addWidget(Line(versioninfo::CompanyName(), "companyName", this));
    text->addWidget(Line("Version: " + versioninfo::ProductVersion(), "version", this));
    text->addSpacing(8);
    text->addWidget(Line(versioninfo::LegalCopyright(), "copyright", this));
    text->addStretch();

    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(icon);
    top->addLayout(text, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("ok"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void ShowAboutBox(QWidget* parent) {
    CAboutDlg box(parent);
    box.exec();
}
