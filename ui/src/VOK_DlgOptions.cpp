#include "ui/VOK_DlgOptions.h"

#include "ui/HelpWindow.h"

#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "model/UiServices.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
constexpr DWORD kMegabyte = 1048576;
}  // namespace

VOK_DlgOptions::VOK_DlgOptions(OPCS_Registry& settings, const std::string& configurationFile, QWidget* parent)
    : QDialog(parent), settings_(settings) {
    setObjectName("programOptions");
    setWindowTitle("Program Options");
    enabled_ = new QCheckBox("Enabled", this);
    enabled_->setObjectName("logEnabled");
    enabled_->setChecked(settings.GetEventLogEnabled());
    sizeMb_ = new QSpinBox(this);
    sizeMb_->setObjectName("logSize");
    sizeMb_->setRange(1, 1000);
    sizeMb_->setValue(static_cast<int>(settings.GetEventLogFileSize() / kMegabyte));
    sizeMb_->setMaximumWidth(90);
    file_ = new QLineEdit(QString::fromStdString(settings.GetEventLogFile()), this);
    file_->setObjectName("logFile");
    file_->setMinimumWidth(320);
    auto* browse = new QPushButton("Browse", this);
    browse->setObjectName("browse");
    connect(browse, &QPushButton::clicked, this, [this] { Browse(); });
    auto* clear = new QPushButton("Clear", this);
    clear->setObjectName("clearLog");
    connect(clear, &QPushButton::clicked, this, [] { EventLog().Reset(); });

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(file_);
    fileRow->addWidget(browse);
    auto* log = new QGroupBox("Event Log", this);
    auto* logForm = new QFormLayout(log);
    logForm->addRow(enabled_);
    logForm->addRow("Size (MB):", sizeMb_);
    logForm->addRow("File Name:", fileRow);
    auto* clearRow = new QHBoxLayout;
    clearRow->addWidget(clear);
    clearRow->addStretch();
    logForm->addRow("", clearRow);

    minutes_ = new QSpinBox(this);
    minutes_->setObjectName("pollMinutes");
    minutes_->setRange(0, 59);
    seconds_ = new QSpinBox(this);
    seconds_->setObjectName("pollSeconds");
    seconds_->setRange(0, 59);
    minutes_->setValue(static_cast<int>((settings.GetPollRate() / 60) % 60));
    seconds_->setValue(static_cast<int>(settings.GetPollRate() % 60));
    auto* rate = new QHBoxLayout;
    rate->addWidget(minutes_);
    rate->addWidget(new QLabel("MM", this));
    rate->addWidget(seconds_);
    rate->addWidget(new QLabel("SS", this));
    rate->addStretch();

    auto* config = new QLineEdit(QString::fromStdString(configurationFile), this);
    config->setObjectName("configurationFile");
    config->setReadOnly(true);

    auto* form = new QFormLayout;
    form->addRow("Poll Rate For New Devices:", rate);
    form->addRow("Configuration File Name:", config);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [this] { help::ShowHelp(help::kProgramOptions, this); });
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    connect(f1, &QShortcut::activated, this, [this] { help::ShowHelp(help::kProgramOptions, this); });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(log);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

void VOK_DlgOptions::Browse() {
    FileChoice choice;
    choice.save = true;
    choice.title = "Select File";
    choice.filter = "Text Files (*.txt)|*.txt||";
    choice.defaultExtension = ".txt";
    choice.initialPath = file_->text().toStdString();
    if (const auto path = GetUiServices().ChooseFile(choice)) file_->setText(QString::fromStdString(*path));
}

void VOK_DlgOptions::accept() {
    const std::string file = file_->text().toStdString();
    const bool enabled = enabled_->isChecked();
    const DWORD limit = static_cast<DWORD>(sizeMb_->value()) * kMegabyte;
    settings_.SetEventLogFile(file);
    settings_.SetEventLogFileSize(limit);
    settings_.SetEventLogEnabled(enabled);
    settings_.SetPollRate(static_cast<DWORD>(minutes_->value() * 60 + seconds_->value()));
    settings_.Save();
    CLogFile& log = EventLog();
    if (limit >= 1024) log.SetSizeLimit(limit);
    if (enabled && log.IsOpen() && log.GetFileName() != file) {
        log.Close();
        log.Open(file);
    } else if (enabled && !log.IsOpen()) {
        log.Open(file);
    } else if (!enabled && log.IsOpen()) {
        log.Close();
    }
    QDialog::accept();
}
