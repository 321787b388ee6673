// Program Options as the operator uses it: OK keeps the choices in the
// registry for the next start and moves the event log at once.
#include "ui/VOK_DlgOptions.h"

#include "QtTestApp.h"
#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
#include "model/ScriptedUiServices.h"
#include "platform/Environment.h"
#include "testsupport/TempDir.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>

#include <gtest/gtest.h>

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
