#pragma once
// The "Program Options" dialog: on its "General" page the event log (on or
// off, size, file), the poll rate new devices start with, and the
// configuration file shown; on its "OPC UA" page the endpoint's port and
// listen address, the endpoint URL to copy into a client, and its security:
// which endpoints are offered, the server certificate, the client
// certificates to trust or reject, and the users who may sign in; on its
// "History" page whether every counter sample is kept, in which database,
// and for how long.

#include "ui/UaEndpointChoice.h"
#include "ui/UaSecurityPageLogic.h"

#include <QDialog>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class OPCS_Registry;
class QCheckBox;
class QLineEdit;
class QLabel;
class QSpinBox;
class QPushButton;
class QTreeWidget;

namespace ua {
class CertificateStore;
class UserStore;
}  // namespace ua

class VOK_DlgOptions : public QDialog {
public:
    VOK_DlgOptions(OPCS_Registry& settings, const std::string& configurationFile, QWidget* parent = nullptr);
    ~VOK_DlgOptions() override;
    void accept() override;

private:
    void Browse();
    QWidget* MakeUaPage();
    QWidget* MakeHistoryPage();
    // Takes the History page into the settings; false (with the dialog kept
    // open) when its file cannot be used.
    bool AcceptHistoryPage();
    // Takes the OPC UA page's port and address into the settings; false (with
    // the dialog kept open) when they cannot be used.
    bool AcceptUaPage();
    QWidget* MakeSecurityBox(QWidget* page);
    QWidget* MakeOwnCertificateBox(QWidget* page);
    QWidget* MakeEndpointsBox(QWidget* page);
    QWidget* MakeCertificatesBox(QWidget* page);
    QWidget* MakeUsersBox(QWidget* page);
    // What the page's controls choose now, before OK.
    UaEndpointChoice UaChoice() const;
    // The URL, the endpoints list and the hints, after any change of the choice.
    void ShowChoice();
    void RefreshCertificates();
    void RefreshUsers();
    void ShowCertificateButtons();
    void ShowUserButtons();
    void TrustOrRejectSelected(bool trust);
    void AddUser();
    void RemoveUser();
    void ChangePassword();

    OPCS_Registry& settings_;
    QCheckBox* enabled_;
    QSpinBox* sizeMb_;
    QLineEdit* file_;
    QSpinBox* minutes_;
    QSpinBox* seconds_;
    QCheckBox* historyEnabled_;
    QLineEdit* historyFile_;
    QSpinBox* historyDays_;
    QSpinBox* historyMaxMb_;
    QSpinBox* uaPort_;
    QLineEdit* uaListen_;
    QLineEdit* uaUrl_;
    QLabel* uaState_;
    QCheckBox* uaAllowNone_;
    QCheckBox* uaAnonymous_;
    QCheckBox* uaOfferSign_;
    QTreeWidget* uaEndpoints_;
    QLabel* uaHints_;
    QLabel* ownThumbprint_;
    QLabel* ownSubject_;
    QLabel* ownValidity_;
    QPushButton* copyThumbprint_;
    QTreeWidget* certificates_;
    QPushButton* trust_;
    QPushButton* reject_;
    QTreeWidget* users_;
    QLabel* usersError_;
    QPushButton* addUser_;
    QPushButton* removeUser_;
    QPushButton* password_;

    std::unique_ptr<ua::CertificateStore> pki_;
    std::unique_ptr<ua::UserStore> userStore_;
    std::vector<uapage::CertificateRow> certificateRows_;
    std::vector<uapage::UserRow> userRows_;
    // Users in the list; nullopt when it could not be read.
    std::optional<std::size_t> userCount_;
};
