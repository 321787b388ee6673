#include "ui/VOK_DlgOptions.h"

#include "ui/HelpWindow.h"
#include "ui/HistoryStateText.h"
#include "ui/UaEndpointChoice.h"

#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "model/UiServices.h"
#include "platform/Environment.h"
#include "history/HistoryStore.h"
#include "ua/CertificateStore.h"
#include "ua/UaEndpoint.h"
#include "ua/UserStore.h"

#include <QApplication>
#include <QClipboard>
#include <QTabWidget>

#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QScrollArea>
#include <QScreen>
#include <QTreeWidget>

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

#include <algorithm>
#include <ctime>

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
    pages->addTab(MakeHistoryPage(), "History");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages);
    layout->addWidget(buttons);
    // Large enough for the OPC UA page without scrolling where the screen allows.
    if (const auto* scroll = findChild<QScrollArea*>("uaPageScroll")) {
        QSize wanted = sizeHint() + (scroll->widget()->sizeHint() - scroll->sizeHint()).expandedTo(QSize(0, 0));
        if (const QScreen* shown = screen()) wanted = wanted.boundedTo(shown->availableGeometry().size() * 9 / 10);
        resize(wanted);
    }
}

VOK_DlgOptions::~VOK_DlgOptions() = default;

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
    uaUrl_->setMinimumWidth(260);
    auto* copy = new QPushButton("Copy", page);
    copy->setObjectName("uaCopy");
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(uaUrl_->text()); });
    const ua::UaEndpoint* endpoint = ua::ProgramEndpoint();
    uaState_ = new QLabel(QString::fromStdString(endpoint != nullptr ? endpoint->StateText() : "Not running in this program"),
                          page);
    uaState_->setObjectName("uaState");
    uaState_->setWordWrap(true);
    auto* urlRow = new QHBoxLayout;
    urlRow->addWidget(uaUrl_);
    urlRow->addWidget(copy);
    auto* endpointBox = new QGroupBox("Endpoint", page);
    auto* form = new QFormLayout(endpointBox);
    form->addRow("Port:", uaPort_);
    form->addRow("Listen Address:", uaListen_);
    form->addRow("Endpoint URL:", urlRow);
    form->addRow("State:", uaState_);

    pki_ = std::make_unique<ua::CertificateStore>(ua::CertificateStore::DefaultFolder());
    userStore_ = std::make_unique<ua::UserStore>(ua::UserStore::DefaultFile());

    // The settings on the left, what they offer and who may sign in on the
    // right, and the client certificates, whose thumbprints are long, below.
    auto* left = new QVBoxLayout;
    left->addWidget(endpointBox);
    left->addWidget(MakeSecurityBox(page));
    left->addWidget(MakeOwnCertificateBox(page));
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(MakeEndpointsBox(page), 1);
    right->addWidget(MakeUsersBox(page), 1);
    auto* columns = new QHBoxLayout;
    columns->addLayout(left);
    columns->addLayout(right, 1);
    auto* note = new QLabel("Changes of the endpoint and its security take effect when you press OK; trusting "
                            "certificates and editing users take effect at once, without a restart.",
                            page);
    note->setWordWrap(true);
    auto* layout = new QVBoxLayout(page);
    layout->addLayout(columns);
    layout->addWidget(MakeCertificatesBox(page), 1);
    layout->addWidget(note);

    connect(uaPort_, &QSpinBox::valueChanged, this, [this] { ShowChoice(); });
    connect(uaListen_, &QLineEdit::textChanged, this, [this] { ShowChoice(); });
    for (QCheckBox* box : {uaAllowNone_, uaAnonymous_, uaOfferSign_})
        connect(box, &QCheckBox::toggled, this, [this] { ShowChoice(); });
    RefreshCertificates();
    RefreshUsers();
    ShowChoice();

    // The page is taller than the General page: it scrolls on a small screen.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("uaPageScroll");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(page);
    return scroll;
}

QWidget* VOK_DlgOptions::MakeSecurityBox(QWidget* page) {
    auto* box = new QGroupBox("Security", page);
    uaAllowNone_ = new QCheckBox("Offer the unencrypted endpoint (SecurityPolicy None) to programs on this machine", box);
    uaAllowNone_->setObjectName("uaAllowNone");
    uaAllowNone_->setChecked(settings_.GetUaAllowNone());
    uaAnonymous_ = new QCheckBox("Allow anonymous sessions (read only)", box);
    uaAnonymous_->setObjectName("uaAllowAnonymous");
    uaAnonymous_->setChecked(settings_.GetUaAllowAnonymous());
    uaOfferSign_ = new QCheckBox("Also offer endpoints that sign without encrypting", box);
    uaOfferSign_->setObjectName("uaOfferSign");
    uaOfferSign_->setChecked(settings_.GetUaOfferSign());
    uaHints_ = new QLabel(box);
    uaHints_->setObjectName("uaHints");
    uaHints_->setWordWrap(true);
    uaHints_->setStyleSheet("color: #a03000;");
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(uaAllowNone_);
    layout->addWidget(uaAnonymous_);
    layout->addWidget(uaOfferSign_);
    layout->addWidget(uaHints_);
    return box;
}

QWidget* VOK_DlgOptions::MakeOwnCertificateBox(QWidget* page) {
    auto* box = new QGroupBox("Server Certificate", page);
    ownThumbprint_ = new QLabel(box);
    ownThumbprint_->setObjectName("ownThumbprint");
    ownThumbprint_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ownThumbprint_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    ownSubject_ = new QLabel(box);
    ownSubject_->setObjectName("ownSubject");
    ownSubject_->setWordWrap(true);
    ownSubject_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ownValidity_ = new QLabel(box);
    ownValidity_->setObjectName("ownValidity");
    copyThumbprint_ = new QPushButton("Copy", box);
    copyThumbprint_->setObjectName("copyThumbprint");
    connect(copyThumbprint_, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(ownThumbprint_->text()); });
    auto* thumbRow = new QHBoxLayout;
    thumbRow->addWidget(ownThumbprint_, 1);
    thumbRow->addWidget(copyThumbprint_);
    auto* form = new QFormLayout(box);
    form->addRow("Thumbprint:", thumbRow);
    form->addRow("Subject:", ownSubject_);
    form->addRow("Valid:", ownValidity_);
    return box;
}

namespace {

QTreeWidget* MakeList(QWidget* parent, const char* name, const QStringList& headers, int rows) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setHeaderLabels(headers);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setAllColumnsShowFocus(true);
    // As wide as its columns and as tall as its rows, at least `rows` high.
    list->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    const int rowHeight = list->fontMetrics().height() + 6;
    list->setMinimumHeight(rowHeight * (rows + 1) + 6);
    return list;
}

int SelectedRow(const QTreeWidget* list) {
    const QList<QTreeWidgetItem*> chosen = list->selectedItems();
    return chosen.isEmpty() ? -1 : list->indexOfTopLevelItem(chosen.front());
}

void FitColumns(QTreeWidget* list) {
    for (int column = 0; column < list->columnCount(); ++column) list->resizeColumnToContents(column);
}

// The form of "Add User..." (a new name and its role) and of "Password..."
// (for `fixedName`): the OK button is enabled once what is typed can be
// stored, and the reason shows until then.
struct UserForm {
    std::string name;
    ua::Role role = ua::Role::Viewer;
    std::string password;
};

std::optional<UserForm> AskUser(QWidget* parent, const std::vector<uapage::UserRow>& existing,
                                const std::string& fixedName) {
    const bool adding = fixedName.empty();
    QDialog dialog(parent);
    dialog.setObjectName(adding ? "addUser" : "setPassword");
    dialog.setWindowTitle(adding ? "Add OPC UA User" : "Password of " + QString::fromStdString(fixedName));
    auto* name = new QLineEdit(&dialog);
    name->setObjectName("userName");
    auto* role = new QComboBox(&dialog);
    role->setObjectName("userRole");
    for (const auto& [value, text] : uapage::RoleChoices())
        role->addItem(QString::fromStdString(text), static_cast<int>(value));
    auto* password = new QLineEdit(&dialog);
    password->setObjectName("userPassword");
    password->setEchoMode(QLineEdit::Password);
    auto* repeated = new QLineEdit(&dialog);
    repeated->setObjectName("userPasswordAgain");
    repeated->setEchoMode(QLineEdit::Password);
    auto* problem = new QLabel(&dialog);
    problem->setObjectName("userProblem");
    problem->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* form = new QFormLayout;
    if (adding) {
        form->addRow("Name:", name);
        form->addRow("Role:", role);
    } else {
        form->addRow("Name:", new QLabel(QString::fromStdString(fixedName), &dialog));
    }
    form->addRow("Password:", password);
    form->addRow("Again:", repeated);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(form);
    layout->addWidget(problem);
    layout->addWidget(buttons);
    const auto check = [&] {
        const std::string why =
            adding ? uapage::NewUserProblem({name->text().toStdString(), password->text().toStdString(),
                                             repeated->text().toStdString()},
                                            existing)
                   : uapage::NewPasswordProblem(password->text().toStdString(), repeated->text().toStdString());
        problem->setText(QString::fromStdString(why));
        buttons->button(QDialogButtonBox::Ok)->setEnabled(why.empty());
    };
    for (QLineEdit* field : {name, password, repeated}) QObject::connect(field, &QLineEdit::textChanged, &dialog, check);
    check();
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    UserForm result;
    result.name = adding ? name->text().toStdString() : fixedName;
    result.role = static_cast<ua::Role>(role->currentData().toInt());
    result.password = password->text().toStdString();
    return result;
}

}  // namespace

QWidget* VOK_DlgOptions::MakeEndpointsBox(QWidget* page) {
    auto* box = new QGroupBox("Endpoints Offered", page);
    uaEndpoints_ = MakeList(box, "uaEndpoints", {"Security Policy", "Mode", "Users", "Reach"}, 4);
    uaEndpoints_->setSelectionMode(QAbstractItemView::NoSelection);
    uaEndpoints_->setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(uaEndpoints_);
    return box;
}

QWidget* VOK_DlgOptions::MakeCertificatesBox(QWidget* page) {
    auto* box = new QGroupBox("Client Certificates", page);
    certificates_ = MakeList(box, "clientCertificates", {"State", "Subject", "Application URI", "Thumbprint"}, 4);
    trust_ = new QPushButton("Trust", box);
    trust_->setObjectName("trustCertificate");
    reject_ = new QPushButton("Reject", box);
    reject_->setObjectName("rejectCertificate");
    auto* refresh = new QPushButton("Refresh", box);
    refresh->setObjectName("refreshCertificates");
    connect(trust_, &QPushButton::clicked, this, [this] { TrustOrRejectSelected(true); });
    connect(reject_, &QPushButton::clicked, this, [this] { TrustOrRejectSelected(false); });
    connect(refresh, &QPushButton::clicked, this, [this] {
        RefreshCertificates();
        RefreshUsers();
    });
    connect(certificates_, &QTreeWidget::itemSelectionChanged, this, [this] { ShowCertificateButtons(); });
    auto* note = new QLabel("A client that is not trusted yet is refused; its certificate appears here as "
                            "rejected after its first attempt.",
                            box);
    note->setWordWrap(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(trust_);
    buttons->addWidget(reject_);
    buttons->addStretch();
    buttons->addWidget(refresh);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(certificates_, 1);
    layout->addLayout(buttons);
    layout->addWidget(note);
    return box;
}

QWidget* VOK_DlgOptions::MakeUsersBox(QWidget* page) {
    auto* box = new QGroupBox("Users", page);
    users_ = MakeList(box, "uaUsers", {"Name", "Role"}, 3);
    usersError_ = new QLabel(box);
    usersError_->setObjectName("usersError");
    usersError_->setWordWrap(true);
    usersError_->setStyleSheet("color: #a03000;");
    addUser_ = new QPushButton("Add...", box);
    addUser_->setObjectName("addUser");
    removeUser_ = new QPushButton("Remove", box);
    removeUser_->setObjectName("removeUser");
    password_ = new QPushButton("Password...", box);
    password_->setObjectName("userPassword");
    connect(addUser_, &QPushButton::clicked, this, [this] { AddUser(); });
    connect(removeUser_, &QPushButton::clicked, this, [this] { RemoveUser(); });
    connect(password_, &QPushButton::clicked, this, [this] { ChangePassword(); });
    connect(users_, &QTreeWidget::itemSelectionChanged, this, [this] { ShowUserButtons(); });
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(addUser_);
    buttons->addWidget(removeUser_);
    buttons->addWidget(password_);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(users_, 1);
    layout->addWidget(usersError_);
    layout->addLayout(buttons);
    return box;
}

UaEndpointChoice VOK_DlgOptions::UaChoice() const {
    UaEndpointChoice choice;
    choice.port = static_cast<unsigned>(uaPort_->value());
    choice.listenAddress = uaListen_->text().trimmed().toStdString();
    choice.allowNone = uaAllowNone_->isChecked();
    choice.allowAnonymous = uaAnonymous_->isChecked();
    choice.offerSign = uaOfferSign_->isChecked();
    return choice;
}

void VOK_DlgOptions::ShowChoice() {
    const ua::UaServerSettings chosen = UaChoice().ServerSettings();
    const std::string host = platform::HostName();
    const std::string url = ua::EndpointUrlFor(chosen, host);
    uaUrl_->setText(QString::fromStdString(url.empty() ? "(the endpoint is off)" : url));
    uaEndpoints_->clear();
    const std::vector<uapage::EndpointRow> rows = uapage::EndpointRows(chosen, host);
    for (const uapage::EndpointRow& row : rows)
        new QTreeWidgetItem(uaEndpoints_, {QString::fromStdString(row.policy), QString::fromStdString(row.mode),
                                           QString::fromStdString(row.userTokens), QString::fromStdString(row.reach)});
    if (rows.empty()) new QTreeWidgetItem(uaEndpoints_, {QString::fromStdString(uapage::NoEndpointsText(chosen))});
    FitColumns(uaEndpoints_);
    QStringList hints;
    for (const std::string& hint : uapage::LockoutHints(chosen, userCount_)) hints << QString::fromStdString(hint);
    uaHints_->setText(hints.join("\n"));
    uaHints_->setVisible(!hints.isEmpty());
}

void VOK_DlgOptions::RefreshCertificates() {
    const uapage::OwnCertificateText own = uapage::DescribeOwn(pki_->OwnInfo(), std::time(nullptr));
    ownThumbprint_->setText(QString::fromStdString(own.thumbprint));
    ownSubject_->setText(QString::fromStdString(own.subject));
    ownValidity_->setText(QString::fromStdString(own.validity));
    copyThumbprint_->setEnabled(own.present);
    certificateRows_ = uapage::CertificateRows(pki_->Certificates(ua::CertificateStore::List::Rejected),
                                               pki_->Certificates(ua::CertificateStore::List::Trusted));
    certificates_->clear();
    for (const uapage::CertificateRow& row : certificateRows_)
        new QTreeWidgetItem(certificates_,
                            {QString::fromStdString(row.state), QString::fromStdString(row.subject),
                             QString::fromStdString(row.applicationUri), QString::fromStdString(row.thumbprint)});
    FitColumns(certificates_);
    ShowCertificateButtons();
}

void VOK_DlgOptions::RefreshUsers() {
    std::vector<ua::UserEntry> entries;
    std::string error;
    users_->clear();
    if (userStore_->List(entries, error)) {
        userRows_ = uapage::UserRows(entries);
        userCount_ = userRows_.size();
        usersError_->clear();
    } else {
        // A list that cannot be read is not offered for changes: adding
        // would write it anew without the users it could not read.
        userRows_.clear();
        userCount_.reset();
        usersError_->setText(QString::fromStdString("The user list cannot be read: " + error));
    }
    usersError_->setVisible(!userCount_);
    addUser_->setEnabled(userCount_.has_value());
    for (const uapage::UserRow& row : userRows_)
        new QTreeWidgetItem(users_, {QString::fromStdString(row.name), QString::fromStdString(row.role)});
    FitColumns(users_);
    ShowUserButtons();
    ShowChoice();
}

void VOK_DlgOptions::ShowCertificateButtons() {
    const uapage::CertificateButtons enabled = uapage::ButtonsFor(certificateRows_, SelectedRow(certificates_));
    trust_->setEnabled(enabled.trust);
    reject_->setEnabled(enabled.reject);
}

void VOK_DlgOptions::ShowUserButtons() {
    const uapage::UserButtons enabled = uapage::ButtonsFor(userRows_, SelectedRow(users_));
    removeUser_->setEnabled(enabled.remove);
    password_->setEnabled(enabled.password);
}

void VOK_DlgOptions::TrustOrRejectSelected(bool trust) {
    const int row = SelectedRow(certificates_);
    const uapage::CertificateButtons enabled = uapage::ButtonsFor(certificateRows_, row);
    if (trust ? !enabled.trust : !enabled.reject) return;
    const std::string thumbprint = certificateRows_[static_cast<std::size_t>(row)].thumbprint;
    std::string error;
    if (!(trust ? pki_->Trust(thumbprint, error) : pki_->Reject(thumbprint, error)))
        GetUiServices().ShowMessage(std::string(trust ? "The certificate could not be trusted: "
                                                      : "The certificate could not be rejected: ") +
                                        error,
                                    MessageIcon::Warning, MessageButtons::Ok);
    RefreshCertificates();
}

void VOK_DlgOptions::AddUser() {
    if (!userCount_) return;
    const std::optional<UserForm> form = AskUser(this, userRows_, {});
    if (!form) return;
    std::string error;
    if (!userStore_->Add(form->name, form->role, form->password, error))
        GetUiServices().ShowMessage("The user could not be added: " + error, MessageIcon::Warning, MessageButtons::Ok);
    RefreshUsers();
}

void VOK_DlgOptions::RemoveUser() {
    const int row = SelectedRow(users_);
    if (!uapage::ButtonsFor(userRows_, row).remove) return;
    const std::string name = userRows_[static_cast<std::size_t>(row)].name;
    if (GetUiServices().ShowMessage(uapage::RemoveQuestion(name), MessageIcon::Question, MessageButtons::YesNo) !=
        MessageAnswer::Yes)
        return;
    std::string error;
    if (!userStore_->Remove(name, error))
        GetUiServices().ShowMessage("The user could not be removed: " + error, MessageIcon::Warning,
                                    MessageButtons::Ok);
    RefreshUsers();
}

void VOK_DlgOptions::ChangePassword() {
    const int row = SelectedRow(users_);
    if (!uapage::ButtonsFor(userRows_, row).password) return;
    const std::string name = userRows_[static_cast<std::size_t>(row)].name;
    const std::optional<UserForm> form = AskUser(this, userRows_, name);
    if (!form) return;
    std::string error;
    if (!userStore_->SetPassword(name, form->password, error))
        GetUiServices().ShowMessage("The password could not be changed: " + error, MessageIcon::Warning,
                                    MessageButtons::Ok);
    RefreshUsers();
}

bool VOK_DlgOptions::AcceptUaPage() {
    const UaEndpointChoice chosen = UaChoice();
    if (const std::string problem = chosen.Problem(); !problem.empty()) {
        GetUiServices().ShowMessage(problem, MessageIcon::Warning, MessageButtons::Ok);
        return false;
    }
    UaEndpointChoice before;
    before.port = settings_.GetUaPort();
    before.listenAddress = settings_.GetUaListenAddress();
    before.allowNone = settings_.GetUaAllowNone();
    before.allowAnonymous = settings_.GetUaAllowAnonymous();
    before.offerSign = settings_.GetUaOfferSign();
    settings_.SetUaPort(chosen.port);
    settings_.SetUaListenAddress(chosen.listenAddress);
    settings_.SetUaAllowNone(chosen.allowNone);
    settings_.SetUaAllowAnonymous(chosen.allowAnonymous);
    settings_.SetUaOfferSign(chosen.offerSign);
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

QWidget* VOK_DlgOptions::MakeHistoryPage() {
    auto* page = new QWidget(this);
    historyEnabled_ = new QCheckBox("Keep every counter sample", page);
    historyEnabled_->setObjectName("historyEnabled");
    historyEnabled_->setChecked(settings_.GetHistoryEnabled());
    historyFile_ = new QLineEdit(QString::fromStdString(settings_.GetHistoryFile()), page);
    historyFile_->setObjectName("historyFile");
    historyFile_->setMinimumWidth(320);
    auto* browse = new QPushButton("Browse", page);
    browse->setObjectName("historyBrowse");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getSaveFileName(this, "History Database", historyFile_->text(),
                                                            "History databases (*.db);;All files (*)", nullptr,
                                                            QFileDialog::DontConfirmOverwrite);
        if (!chosen.isEmpty()) historyFile_->setText(chosen);
    });
    historyDays_ = new QSpinBox(page);
    historyDays_->setObjectName("historyDays");
    historyDays_->setRange(0, 36500);
    historyDays_->setSpecialValueText("0 (no limit)");
    historyDays_->setSuffix(" days");
    historyDays_->setValue(static_cast<int>(std::min<DWORD>(settings_.GetHistoryRetentionDays(), 36500)));
    historyDays_->setMaximumWidth(140);
    historyMaxMb_ = new QSpinBox(page);
    historyMaxMb_->setObjectName("historyMaxMb");
    historyMaxMb_->setRange(0, 1000000);
    historyMaxMb_->setSpecialValueText("0 (no limit)");
    historyMaxMb_->setSuffix(" MB");
    historyMaxMb_->setValue(static_cast<int>(std::min<DWORD>(settings_.GetHistoryMaxSizeMB(), 1000000)));
    historyMaxMb_->setMaximumWidth(140);

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(historyFile_);
    fileRow->addWidget(browse);
    auto* box = new QGroupBox("Sample History", page);
    auto* form = new QFormLayout(box);
    form->addRow(historyEnabled_);
    form->addRow("Database:", fileRow);
    form->addRow("Keep samples for:", historyDays_);
    form->addRow("Largest size:", historyMaxMb_);

    const history::HistoryStore* store = history::ProgramHistory();
    auto* state = new QLabel(QString::fromStdString(HistoryStateText(store)), page);
    state->setObjectName("historyState");
    state->setWordWrap(true);
    form->addRow("Now:", state);
    auto* note = new QLabel("GMP practice keeps records at least a year after a batch expires. A change of the "
                            "database or of keeping takes effect at the next start. Copy the database while the "
                            "program runs with \"vok history backup FILE\".",
                            page);
    note->setWordWrap(true);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(box);
    layout->addWidget(note);
    layout->addStretch();
    return page;
}

bool VOK_DlgOptions::AcceptHistoryPage() {
    const std::string file = historyFile_->text().trimmed().toStdString();
    const std::string problem = HistoryFileProblem(file);
    if (historyEnabled_->isChecked() && !problem.empty()) {
        GetUiServices().ShowMessage(problem, MessageIcon::Error, MessageButtons::Ok, "Program Options");
        historyFile_->setFocus();
        return false;
    }
    if (!file.empty()) settings_.SetHistoryFile(file);
    settings_.SetHistoryEnabled(historyEnabled_->isChecked());
    settings_.SetHistoryRetentionDays(static_cast<DWORD>(historyDays_->value()));
    settings_.SetHistoryMaxSizeMB(static_cast<DWORD>(historyMaxMb_->value()));
    return true;
}

void VOK_DlgOptions::accept() {
    if (!AcceptUaPage() || !AcceptHistoryPage()) return;
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
