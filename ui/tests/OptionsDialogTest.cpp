// Program Options as the operator uses it: OK keeps the choices in the
// registry for the next start and moves the event log at once.
#include "ui/VOK_DlgOptions.h"

#include "QtTestApp.h"
#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "model/ScriptedUiServices.h"
#include "platform/Environment.h"
#include "testsupport/TempDir.h"

#include "UaTestCertificates.h"
#include "ua/CertificateStore.h"
#include "ua/UserStore.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

TEST(OptionsDialog, OkSavesTheChoicesAndTheEventLogFollowsThemAtOnce) {
    QtTestApp();
    TempDir registry, files;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.Path().string().c_str());
    EventLog().Close();
    const std::string logFile = files.File("Plant Event Log.txt");
    OPCS_Registry().Load();  // as at start-up: the settings key exists from then on

    {
        VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
        dialog.findChild<QCheckBox*>("logEnabled")->setChecked(true);
        dialog.findChild<QSpinBox*>("logSize")->setValue(3);
        dialog.findChild<QLineEdit*>("logFile")->setText(QString::fromStdString(logFile));
        dialog.findChild<QSpinBox*>("pollMinutes")->setValue(2);
        dialog.findChild<QSpinBox*>("pollSeconds")->setValue(5);
        dialog.accept();
    }
    EXPECT_TRUE(EventLog().IsOpen());
    EXPECT_EQ(EventLog().GetFileName(), logFile);

    // What a new start reads from the registry.
    OPCS_Registry reloaded;
    reloaded.Load();
    EXPECT_TRUE(reloaded.GetEventLogEnabled());
    EXPECT_EQ(reloaded.GetEventLogFile(), logFile);
    EXPECT_EQ(reloaded.GetEventLogFileSize(), 3u * 1048576u);
    EXPECT_EQ(reloaded.GetPollRate(), 125u);

    // Cancel changes nothing; switching the log off closes it.
    {
        VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
        dialog.findChild<QSpinBox*>("pollSeconds")->setValue(40);
        dialog.reject();
    }
    EXPECT_EQ(ProgramSettings().GetPollRate(), 125u);
    {
        VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
        dialog.findChild<QCheckBox*>("logEnabled")->setChecked(false);
        dialog.accept();
    }
    EXPECT_FALSE(EventLog().IsOpen());
    OPCS_Registry again;
    again.Load();
    EXPECT_FALSE(again.GetEventLogEnabled());
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}

TEST(OptionsDialog, TheOpcUaPageKeepsAUsablePortAndAddressAndRefusesOthers) {
    QtTestApp();
    TempDir registry, files;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.Path().string().c_str());
    OPCS_Registry().Load();
    ScriptedUiServices ui;
    {
        VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
        dialog.findChild<QSpinBox*>("uaPort")->setValue(4841);
        dialog.findChild<QLineEdit*>("uaListen")->setText("0.0.0.0");
        // The URL to copy follows what is typed: every interface is reached by the host's name.
        EXPECT_EQ(dialog.findChild<QLineEdit*>("uaUrl")->text().toStdString(),
                  "opc.tcp://" + platform::HostName() + ":4841");
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    OPCS_Registry reloaded;
    reloaded.Load();
    EXPECT_EQ(reloaded.GetUaPort(), 4841u);
    EXPECT_EQ(reloaded.GetUaListenAddress(), "0.0.0.0");

    // An address that is none keeps the dialog open with a warning, and the
    // settings as they were.
    {
        VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
        dialog.findChild<QLineEdit*>("uaListen")->setText("opc.tcp://plant-pc");
        dialog.accept();
        EXPECT_NE(dialog.result(), QDialog::Accepted);
    }
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_NE(ui.Messages()[0].text.find("is not an address"), std::string::npos) << ui.Messages()[0].text;
    EXPECT_EQ(ProgramSettings().GetUaListenAddress(), "0.0.0.0");
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}

namespace {

std::vector<std::string> Column(const QTreeWidget* list, int column) {
    std::vector<std::string> out;
    for (int row = 0; row < list->topLevelItemCount(); ++row)
        out.push_back(list->topLevelItem(row)->text(column).toStdString());
    return out;
}

void Select(QTreeWidget* list, const std::string& firstColumn) {
    for (int row = 0; row < list->topLevelItemCount(); ++row)
        if (list->topLevelItem(row)->text(0).toStdString() == firstColumn) {
            list->setCurrentItem(list->topLevelItem(row));
            return;
        }
    ADD_FAILURE() << "no row " << firstColumn;
}

}  // namespace

TEST(OptionsDialog, TheSecuritySwitchesShowTheirEndpointsAtOnceAndAreKeptOnOk) {
    QtTestApp();
    TempDir registry, files;
    // The certificate folders and the user list lie beside the settings' folder: in the temporary one too.
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", (registry.Path() / "registry").string().c_str());
    OPCS_Registry().Load();
    ScriptedUiServices ui;
    {
        VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
        auto* endpoints = dialog.findChild<QTreeWidget*>("uaEndpoints");
        ASSERT_NE(endpoints, nullptr);
        const auto count = [&](const std::string& mode) {
            const std::vector<std::string> modes = Column(endpoints, 1);
            return std::count(modes.begin(), modes.end(), mode);
        };
        // The defaults: the None endpoint for this machine, no signing-only ones.
        EXPECT_EQ(count("None"), 1);
        EXPECT_EQ(count("Sign"), 0);
        const auto encrypted = count("SignAndEncrypt");
        EXPECT_GT(encrypted, 0);

        dialog.findChild<QCheckBox*>("uaAllowNone")->setChecked(false);
        dialog.findChild<QCheckBox*>("uaOfferSign")->setChecked(true);
        EXPECT_EQ(count("None"), 0);
        EXPECT_EQ(count("Sign"), encrypted);
        // No users and no anonymous sessions: the page warns before OK.
        auto* hints = dialog.findChild<QLabel*>("uaHints");
        EXPECT_TRUE(hints->text().isEmpty());
        dialog.findChild<QCheckBox*>("uaAllowAnonymous")->setChecked(false);
        EXPECT_NE(hints->text().toStdString().find("No client can open a session"), std::string::npos);
        for (const std::string& tokens : Column(endpoints, 2)) EXPECT_EQ(tokens, "user name");
        // Port 0 empties the list down to the line that says so.
        dialog.findChild<QSpinBox*>("uaPort")->setValue(0);
        ASSERT_EQ(endpoints->topLevelItemCount(), 1);
        EXPECT_NE(endpoints->topLevelItem(0)->text(0).toStdString().find("off"), std::string::npos);
        dialog.findChild<QSpinBox*>("uaPort")->setValue(4842);
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    OPCS_Registry reloaded;
    reloaded.Load();
    EXPECT_EQ(reloaded.GetUaPort(), 4842u);
    EXPECT_FALSE(reloaded.GetUaAllowNone());
    EXPECT_FALSE(reloaded.GetUaAllowAnonymous());
    EXPECT_TRUE(reloaded.GetUaOfferSign());
    // Cancel keeps them.
    {
        VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
        EXPECT_FALSE(dialog.findChild<QCheckBox*>("uaAllowNone")->isChecked());
        dialog.findChild<QCheckBox*>("uaAllowNone")->setChecked(true);
        dialog.reject();
    }
    EXPECT_FALSE(ProgramSettings().GetUaAllowNone());
    EXPECT_TRUE(ui.Messages().empty());
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}

TEST(OptionsDialog, UsersAreListedAndRemovedOnlyAfterYes) {
    QtTestApp();
    TempDir registry, files;
    // The certificate folders and the user list lie beside the settings' folder: in the temporary one too.
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", (registry.Path() / "registry").string().c_str());
    OPCS_Registry().Load();
    ScriptedUiServices ui;
    {
        ua::UserStore store(ua::UserStore::DefaultFile());
        std::string error;
        ASSERT_TRUE(store.Add("scada", ua::Role::Operator, "plant password", error)) << error;
        ASSERT_TRUE(store.Add("anna", ua::Role::Engineer, "another password", error)) << error;
    }
    VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
    auto* users = dialog.findChild<QTreeWidget*>("uaUsers");
    auto* remove = dialog.findChild<QPushButton*>("removeUser");
    ASSERT_NE(users, nullptr);
    EXPECT_EQ(Column(users, 0), (std::vector<std::string>{"anna", "scada"}));
    EXPECT_EQ(Column(users, 1), (std::vector<std::string>{"engineer", "operator"}));
    EXPECT_FALSE(remove->isEnabled());
    EXPECT_FALSE(dialog.findChild<QPushButton*>("userPassword")->isEnabled());
    EXPECT_TRUE(dialog.findChild<QPushButton*>("addUser")->isEnabled());

    Select(users, "scada");
    EXPECT_TRUE(remove->isEnabled());
    ui.QueueAnswer(MessageAnswer::No);
    remove->click();
    EXPECT_EQ(Column(users, 0), (std::vector<std::string>{"anna", "scada"}));
    Select(users, "scada");
    ui.QueueAnswer(MessageAnswer::Yes);
    remove->click();
    EXPECT_EQ(Column(users, 0), (std::vector<std::string>{"anna"}));
    ASSERT_EQ(ui.Messages().size(), 2u);
    EXPECT_EQ(ui.Messages()[0].buttons, MessageButtons::YesNo);
    EXPECT_NE(ui.Messages()[0].text.find("\"scada\""), std::string::npos);
    // The file itself lost the user, not only the list.
    std::vector<ua::UserEntry> left;
    std::string error;
    ASSERT_TRUE(ua::UserStore(ua::UserStore::DefaultFile()).List(left, error)) << error;
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].name, "anna");
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}

TEST(OptionsDialog, AUserListThatCannotBeReadIsNotOfferedForAdding) {
    QtTestApp();
    TempDir registry, files;
    // The certificate folders and the user list lie beside the settings' folder: in the temporary one too.
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", (registry.Path() / "registry").string().c_str());
    OPCS_Registry().Load();
    {
        std::ofstream damaged(ua::UserStore::DefaultFile());
        damaged << "scada\tnot-a-role\tno hash\n";
    }
    VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
    EXPECT_FALSE(dialog.findChild<QPushButton*>("addUser")->isEnabled());
    EXPECT_NE(dialog.findChild<QLabel*>("usersError")->text().toStdString().find("cannot be read"), std::string::npos);
    EXPECT_EQ(dialog.findChild<QTreeWidget*>("uaUsers")->topLevelItemCount(), 0);
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}

TEST(OptionsDialog, ClientCertificatesAreTrustedAndRejectedFromThePage) {
    QtTestApp();
    TempDir registry, files;
    // The certificate folders and the user list lie beside the settings' folder: in the temporary one too.
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", (registry.Path() / "registry").string().c_str());
    OPCS_Registry().Load();
    ScriptedUiServices ui;
    ua::CertificateStore store(ua::CertificateStore::DefaultFolder());
    {
        // Before the endpoint's first start there is no own certificate to copy.
        VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
        EXPECT_FALSE(dialog.findChild<QPushButton*>("copyThumbprint")->isEnabled());
        EXPECT_NE(dialog.findChild<QLabel*>("ownSubject")->text().toStdString().find("Not made yet"),
                  std::string::npos);
    }
    std::string error;
    ASSERT_TRUE(store.LoadOrCreateOwn("urn:plant-pc:VOKExplorer", {"plant-pc"}, error)) << error;
    const std::string thumbprint = RefuseClient(store, "HMI Panel 3", "urn:hmi-panel-3:PanelClient");

    VOK_DlgOptions dialog(ProgramSettings(), files.File("VOKConfig.psf"));
    EXPECT_EQ(dialog.findChild<QLabel*>("ownThumbprint")->text().toStdString(), store.OwnInfo()->thumbprint);
    EXPECT_TRUE(dialog.findChild<QPushButton*>("copyThumbprint")->isEnabled());
    auto* list = dialog.findChild<QTreeWidget*>("clientCertificates");
    auto* trust = dialog.findChild<QPushButton*>("trustCertificate");
    auto* reject = dialog.findChild<QPushButton*>("rejectCertificate");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(2).toStdString(), "urn:hmi-panel-3:PanelClient");
    EXPECT_EQ(list->topLevelItem(0)->text(3).toStdString(), thumbprint);
    EXPECT_FALSE(trust->isEnabled());

    Select(list, "Rejected");
    EXPECT_TRUE(trust->isEnabled());
    EXPECT_FALSE(reject->isEnabled());
    trust->click();
    // The store moved it: the list and a store of its own agree.
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), "Trusted");
    ASSERT_EQ(store.Certificates(ua::CertificateStore::List::Trusted).size(), 1u);
    EXPECT_TRUE(store.Certificates(ua::CertificateStore::List::Rejected).empty());

    Select(list, "Trusted");
    reject->click();
    EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), "Rejected");
    EXPECT_TRUE(store.Certificates(ua::CertificateStore::List::Trusted).empty());

    // Another program (`vok ua certs trust`) trusted it meanwhile: Refresh shows it; a
    // stale Reject of a certificate that is gone is reported, not passed over.
    ASSERT_TRUE(store.Trust(thumbprint, error)) << error;
    dialog.findChild<QPushButton*>("refreshCertificates")->click();
    EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), "Trusted");
    Select(list, "Trusted");
    std::filesystem::remove(store.Certificates(ua::CertificateStore::List::Trusted).at(0).file);
    EXPECT_TRUE(ui.Messages().empty());
    reject->click();
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_NE(ui.Messages()[0].text.find("could not be rejected"), std::string::npos) << ui.Messages()[0].text;
    EXPECT_EQ(list->topLevelItemCount(), 0);
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}
