#include "ui/HelpWindow.h"

#include "foundation/CLogFile.h"
#include "foundation/VersionInfo.h"
#include "model/UiServices.h"
#include "ui/QtUiServices.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QPointer>
#include <QScrollBar>
#include <QStyle>
#include <QTextBrowser>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace help {

namespace {

constexpr ContextPage kPages[] = {
    {kMainWindow, "main-window.html"},
    {kDeviceTree, "device-tree.html"},
    {kTagList, "tag-list.html"},
    {kDeviceProperties, "device-properties.html"},
    {kTagProperties, "tag-properties.html"},
    {kScalingWizard, "scaling-wizard.html"},
    {kProgramOptions, "program-options.html"},
    {kTagGroup, "tag-group.html"},
    {kDiscovery, "discovery.html"},
    {kPortStatistics, "port-statistics.html"},
    {kWriteToTag, "write-to-tag.html"},
    {kColumnSettings, "column-settings.html"},
};

constexpr const char* kMissingEntry = "Unable to find help file:";
constexpr const char* kMissingMessage = "Unable to find the help file";

QPointer<HelpWindow> gWindow;

bool IsFile(const std::string& path) { return QFileInfo(QString::fromStdString(path)).isFile(); }

void LogMissing(const std::string& path) { EventLog().Append(kMissingEntry).Append(path).Commit(CLogFile::kWrite); }

QString TitleOf(const QTextBrowser& browser) {
    const QString page = browser.documentTitle();
    return page.isEmpty() ? QStringLiteral("%1 Help").arg(kApplicationTitle)
                          : QStringLiteral("%1 Help - %2").arg(kApplicationTitle, page);
}

QToolButton* ToolButton(const QString& text, QStyle::StandardPixmap icon, const char* name, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(text);
    button->setIcon(parent->style()->standardIcon(icon));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setAutoRaise(true);
    return button;
}

}  // namespace

std::span<const ContextPage> ContextPages() { return kPages; }

std::string HelpFolder() {
    std::string folder = qEnvironmentVariable("VOK_HELP_DIR").toStdString();
    if (folder.empty()) {
        // Beside the program in a build folder; under share/vok/ of the prefix
        // it is installed in (/usr/bin/vok-explorer reads /usr/share/vok/help/).
        const std::string beside = versioninfo::ExecutableFolder() + "help/";
        const std::string installed = versioninfo::ExecutableFolder() + "../share/vok/help/";
        return IsFile(beside + kIndexPage) || !IsFile(installed + kIndexPage) ? beside : installed;
    }
    if (folder.back() != '/') folder += '/';
    return folder;
}

std::string PageName(int context) {
    for (const ContextPage& entry : kPages) {
        if (entry.context == context) return entry.page;
    }
    return kIndexPage;
}

HelpWindow* OpenWindow() { return gWindow.data(); }

void ShowHelp(int context, QWidget* parent) {
    const std::string folder = HelpFolder();
    const std::string wanted = folder + PageName(context);
    const std::string index = folder + kIndexPage;
    std::string page = wanted;
    if (!IsFile(wanted)) {
        // A page that did not ship is worth a log entry even when the
        // contents page can stand in for it.
        LogMissing(wanted);
        page = index;
        if (wanted == index || !IsFile(index)) {
            if (wanted != index) LogMissing(index);
            GetUiServices().ShowMessage(kMissingMessage, MessageIcon::Information, MessageButtons::Ok);
            return;
        }
    }
    const bool created = gWindow.isNull();
    if (created) gWindow = new HelpWindow;
    HelpWindow* window = gWindow.data();
    window->ShowPage(page);
    if (created && parent != nullptr) {
        // Beside the window that asked, where the operator looks.
        const QRect owner = parent->window()->frameGeometry();
        window->move(owner.topLeft() + QPoint(40, 40));
    }
    window->show();
    window->raise();
    window->activateWindow();
}

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("helpWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    // The help does not keep the program running once the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QStringLiteral("%1 Help").arg(kApplicationTitle));

    back_ = ToolButton(QStringLiteral("Back"), QStyle::SP_ArrowBack, "back", this);
    forward_ = ToolButton(QStringLiteral("Forward"), QStyle::SP_ArrowForward, "forward", this);
    home_ = ToolButton(QStringLiteral("Contents"), QStyle::SP_DirHomeIcon, "home", this);
    back_->setShortcut(QKeySequence::Back);
    forward_->setShortcut(QKeySequence::Forward);
    back_->setEnabled(false);
    forward_->setEnabled(false);

    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("helpBrowser"));
    browser_->setOpenExternalLinks(true);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(4, 4, 4, 0);
    buttons->addWidget(back_);
    buttons->addWidget(forward_);
    buttons->addWidget(home_);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addLayout(buttons);
    layout->addWidget(browser_);
    resize(760, 560);

    connect(back_, &QToolButton::clicked, browser_, &QTextBrowser::backward);
    connect(forward_, &QToolButton::clicked, browser_, &QTextBrowser::forward);
    connect(home_, &QToolButton::clicked, this, &HelpWindow::Home);
    connect(browser_, &QTextBrowser::backwardAvailable, back_, &QToolButton::setEnabled);
    connect(browser_, &QTextBrowser::forwardAvailable, forward_, &QToolButton::setEnabled);
    connect(browser_, &QTextBrowser::sourceChanged, this, &HelpWindow::PageChanged);
}

bool HelpWindow::ShowPage(const std::string& path) {
    if (!IsFile(path)) return false;
    const QUrl url = QUrl::fromLocalFile(QString::fromStdString(path));
    if (browser_->source() == url) {
        // Asked again for the page on show: start at its top.
        browser_->reload();
        browser_->verticalScrollBar()->setValue(0);
    } else {
        browser_->setSource(url);
    }
    return true;
}

std::string HelpWindow::CurrentPage() const { return browser_->source().toLocalFile().toStdString(); }

void HelpWindow::Home() { ShowPage(HelpFolder() + kIndexPage); }

void HelpWindow::PageChanged(const QUrl&) { setWindowTitle(TitleOf(*browser_)); }

}  // namespace help

std::optional<std::string> ChooseTextFile(const std::string& initialPath, const std::string& title, bool save) {
    FileChoice choice;
    choice.save = save;
    choice.title = title;
    choice.filter = "Text Files (*.txt)|*.txt||";
    choice.defaultExtension = ".txt";
    choice.initialPath = initialPath;
    return GetUiServices().ChooseFile(choice);
}
