// Program Options as the operator uses it: OK keeps the choices in the
// registry for the next start and moves the event log at once.
#include "ui/VOK_DlgOptions.h"

#include "QtTestApp.h"
#include "config/OPCS_Registry.h"
#include "foundation/CLogFile.h"
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
