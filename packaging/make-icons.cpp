// Writes the programs' icons, as they draw them, into the folder the install
// takes them from: <folder>/<size>/vok-explorer.png and vok-setup.png.
#include "setupui/CSetupFrame.h"
#include "ui/ProgramBitmaps.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: vok-make-icons FOLDER\n", stderr);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const struct {
        const char* name;
        QIcon icon;
    } icons[] = {{"vok-explorer", bitmaps::ProgramIcon()}, {"vok-setup", SetupIcon()}};
    for (int size : {16, 32, 48, 128}) {
        const QString dir = folder + "/" + QString::number(size);
        if (!QDir().mkpath(dir)) return 1;
        for (const auto& entry : icons) {
            QPixmap picture = entry.icon.pixmap(size, size);
            // A pixel drawing without this size grows from its smallest one by
            // whole multiples, which keeps it sharp.
            if (picture.width() < size) picture = entry.icon.pixmap(16, 16).scaled(size, size);
            if (picture.isNull() || !picture.save(dir + "/" + entry.name + ".png")) {
                std::fprintf(stderr, "vok-make-icons: cannot write %s at %d\n", entry.name, size);
                return 1;
            }
        }
    }
    return 0;
}
