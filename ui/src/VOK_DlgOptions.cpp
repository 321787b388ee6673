#include "ui/VOK_DlgOptions.h"

#include "ui/HelpWindow.h"
#include "ui/UaEndpointChoice.h"

#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "model/UiServices.h"
#include "platform/Environment.h"
#include "ua/UaEndpoint.h"

#include <QApplication>
#include <QClipboard>
#include <QTabWidget>

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
    auto* general = new QWidget(this);
    auto* generalLayout = new QVBoxLayout(general);
    generalLayout->addWidget(log);
    generalLayout->addLayout(form);
    generalLayout->addStretch();
    auto* pages = new QTabWidget(this);
    pages->setObjectName("optionPages");
    pages->addTab(general, "General");
    pages->addTab(MakeUaPage(), "OPC UA");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages);
    layout->addWidget(buttons);
}

QWidget* VOK_DlgOptions::MakeUaPage() {
    auto* page = new QWidget(this);
    uaPort_ = new QSpinBox(page);
    uaPort_->setObjectName("uaPort");
    uaPort_->setRange(0, 65535);
    uaPort_->setValue(static_cast<int>(settings_.GetUaPort()));
    uaPort_->setSpecialValueText("0 (off)");
    uaPort_->setMaximumWidth(110);
    uaListen_ = new QLineEdit(QString::fromStdString(settings_.GetUaListenAddress()), page);
    uaListen_->setObjectName("uaListen");
    uaUrl_ = new QLineEdit(page);
    uaUrl_->setObjectName("uaUrl");
    uaUrl_->setReadOnly(true);
    uaUrl_->setMinimumWidth(320);
    auto* copy = new QPushButton("Copy", page);
    copy->setObjectName("uaCopy");
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(uaUrl_->text()); });
    const auto showUrl = [this] {
        ua::UaServerSettings chosen;
        chosen.port = static_cast<std::uint16_t>(uaPort_->value());
        chosen.listenAddress = uaListen_->text().trimmed().toStdString();
        const std::string url = ua::EndpointUrlFor(chosen, platform::HostName());
        uaUrl_->setText(QString::fromStdString(url.empty() ? "(the endpoint is off)" : url));
    };
    connect(uaPort_, &QSpinBox::valueChanged, this, showUrl);
    connect(uaListen_, &QLineEdit::textChanged, this, showUrl);
    showUrl();
    const ua::UaEndpoint* endpoint = ua::ProgramEndpoint();
    uaState_ = new QLabel(QString::fromStdString(endpoint != nullptr ? endpoint->StateText() : "Not running in this program"),
                          page);
    uaState_->setObjectName("uaState");
    uaState_->setWordWrap(true);
    auto* urlRow = new QHBoxLayout;
    urlRow->addWidget(uaUrl_);
    urlRow->addWidget(copy);
    auto* note = new QLabel("Clients connect with security policy None and without a user. Such an endpoint "
                            "belongs on this machine only (127.0.0.1); changes take effect when you press OK.",
                            page);
    note->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow("Port:", uaPort_);
    form->addRow("Listen Address:", uaListen_);
    form->addRow("Endpoint URL:", urlRow);
    form->addRow("State:", uaState_);
    auto* layout = new QVBoxLayout(page);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addStretch();
    return page;
}

bool VOK_DlgOptions::AcceptUaPage() {
    const UaEndpointChoice chosen{static_cast<unsigned>(uaPort_->value()), uaListen_->text().trimmed().toStdString()};
    if (const std::string problem = chosen.Problem(); !problem.empty()) {
        GetUiServices().ShowMessage(problem, MessageIcon::Warning, MessageButtons::Ok);
        return false;
    }
    const UaEndpointChoice before{settings_.GetUaPort(), settings_.GetUaListenAddress()};
    settings_.SetUaPort(chosen.port);
    settings_.SetUaListenAddress(chosen.listenAddress);
    if (chosen == before) return true;
    if (ua::UaEndpoint* endpoint = ua::ProgramEndpoint()) {
        std::string error;
        if (!endpoint->Restart(error))
            GetUiServices().ShowMessage("The OPC UA endpoint could not open: " + error +
                                            ". The setting is kept; OPC DA clients are served as before.",
                                        MessageIcon::Warning, MessageButtons::Ok);
    }
    return true;
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
    if (!AcceptUaPage()) return;
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
