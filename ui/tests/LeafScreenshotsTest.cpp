// Pictures of the columns dialog, the splash and the icons for a look by eye.
// Taken only when VOK_SCREENSHOT_DIR names the folder to put them in.

#include "ui/OPCS_DlgColumns.h"
#include "ui/ProgramBitmaps.h"

#include "QtTestApp.h"

#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QString ShotFolder() { return qEnvironmentVariable("VOK_SCREENSHOT_DIR"); }

// One row of icons drawn 4 times enlarged, each with its index below it.
void DrawRow(QPainter& p, int top, const QString& title, const QList<QPixmap>& icons) {
    constexpr int kScale = 4;
    constexpr int kCell = bitmaps::kIconSize * kScale + 16;
    p.setPen(Qt::black);
    QFont bold = p.font();
    bold.setBold(true);
    p.setFont(bold);
    p.drawText(QRect(16, top, 600, 20), Qt::AlignLeft | Qt::AlignVCenter, title);
    bold.setBold(false);
    p.setFont(bold);
    for (int i = 0; i < icons.size(); ++i) {
        const int x = 16 + i * kCell;
        const QRect target(x, top + 26, bitmaps::kIconSize * kScale, bitmaps::kIconSize * kScale);
        p.drawPixmap(target, icons[i]);
        // The real size next to the enlargement's corner, as the tree shows it.
        p.drawPixmap(x + target.width() - bitmaps::kIconSize, top + 26 + target.height() + 4, icons[i]);
        p.drawText(QRect(x, top + 26 + target.height() + 4, 30, 16), Qt::AlignLeft | Qt::AlignVCenter,
                   QString::number(i));
    }
}

}  // namespace

TEST(Screenshots, ColumnsDialogSplashAndIcons) {
    const QString folder = ShotFolder();
    if (folder.isEmpty()) GTEST_SKIP() << "VOK_SCREENSHOT_DIR not set";
    QtTestApp();
    ASSERT_TRUE(QDir().mkpath(folder));

    OPCS_Registry settings;
    OPCS_DlgColumns dialog(settings);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_TRUE(dialog.grab().save(folder + "/columns-dialog.png"));
    // The same dialog while the third column is renamed in place.
    auto* list = dialog.findChild<QListWidget*>("columnList");
    ASSERT_NE(list, nullptr);
    list->setCurrentRow(2);
    QTest::mouseClick(dialog.findChild<QPushButton*>("rename"), Qt::LeftButton);
    EXPECT_TRUE(dialog.grab().save(folder + "/columns-dialog-rename.png"));

    EXPECT_TRUE(bitmaps::SplashPicture().save(folder + "/splash.png"));

    const QList<QPixmap> devices = bitmaps::DeviceGroupIcons();
    const QList<QPixmap> tags = bitmaps::LoadTagIcons("");
    QImage sheet(16 + 13 * 80, 2 * 120 + 20, QImage::Format_RGB32);
    sheet.fill(Qt::white);
    {
        QPainter p(&sheet);
        DrawRow(p, 10, "Device tree: 0-1 device OK, 2-3 communication failed / plain group, 4-5 counter group",
                devices);
        DrawRow(p, 130, "Tag list: by the tag kinds' image index", tags);
    }
    EXPECT_TRUE(sheet.save(folder + "/icons.png"));
}
