#include "setupui/SetupDialogs.h"

#include "setup/NumberText.h"
#include "setup/SetupTexts.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

#include <cmath>

namespace {

QLineEdit* NumberField(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setAlignment(Qt::AlignRight);
    return edit;
}

QString Shown(std::optional<double> value) { return value ? QString::number(*value, 'g', 6) : QString(); }

QDialogButtonBox* OkCancel(QDialog* dialog) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

// Refuses the entry in place: the box, then the field selected for retyping.
void Refuse(QDialog* dialog, QLineEdit* field, const QString& text) {
    QMessageBox::warning(dialog, dialog->windowTitle(), text);
    field->setFocus();
    field->selectAll();
}

}  // namespace

std::optional<double> ParseTypedNumber(const QString& text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value)) return std::nullopt;
    return value;
}

CSizeDialog::CSizeDialog(const QString& title, std::optional<double> value, QWidget* parent) : QDialog(parent) {
    setObjectName("sizeDialog");
    setWindowTitle(title);
    size_ = NumberField("size", this);
    // The counter keeps three characters of a size.
    size_->setMaxLength(setuptexts::kSizeFieldChars);
    // As the list shows it; the field keeps at most three characters of it.
    if (value) size_->setText(QString::fromStdString(numbertext::SizeListText(*value)));
    size_->selectAll();
    auto* note = new QLabel(QString::fromUtf8(setuptexts::kThreeCharactersNote.data(), setuptexts::kThreeCharactersNote.size()), this);
    auto* form = new QFormLayout(this);
    form->addRow(QString::fromUtf8(setuptexts::kSizeField.data()), size_);
    form->addRow(QString(), note);
    form->addRow(OkCancel(this));
}

void CSizeDialog::accept() {
    const auto value = ParseTypedNumber(size_->text());
    if (!value) {
        Refuse(this, size_, "Please enter a number.");
        return;
    }
    value_ = *value;
    QDialog::accept();
}

CCalDialog::CCalDialog(std::optional<double> size, std::optional<double> voltage, QWidget* parent) : QDialog(parent) {
    setObjectName("calDialog");
    setWindowTitle(QString::fromUtf8(setuptexts::kCalDialogName.data()));
    sizeEdit_ = NumberField("size", this);
    sizeEdit_->setText(Shown(size));
    voltageEdit_ = NumberField("voltage", this);
    voltageEdit_->setText(Shown(voltage));
    auto* form = new QFormLayout(this);
    form->addRow("Size:", sizeEdit_);
    form->addRow("Voltage:", voltageEdit_);
    form->addRow(OkCancel(this));
}

void CCalDialog::accept() {
    const QString range = QString("Please enter a number between %1 and %2.").arg(kLowest).arg(kHighest);
    const auto size = ParseTypedNumber(sizeEdit_->text());
    if (!size || *size < kLowest || *size > kHighest) {
        Refuse(this, sizeEdit_, range);
        return;
    }
    const auto voltage = ParseTypedNumber(voltageEdit_->text());
    if (!voltage || *voltage < kLowest || *voltage > kHighest) {
        Refuse(this, voltageEdit_, range);
        return;
    }
    size_ = *size;
    voltage_ = *voltage;
    QDialog::accept();
}
