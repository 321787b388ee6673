#pragma once
// The program's help: HTML pages written for VOK Explorer, shipped in the
// help/ folder beside the program and shown in one help window per process
// at the page of a context identifier. The frame, the views and each dialog
// ask for their own context; a context without a page of its own opens the
// contents page. Missing help is logged with its path and told to the
// operator through the UI services.
//
// Also the program's text-file chooser, used by the settings and the port
// monitor for the files they write.

#include <QWidget>

#include <optional>
#include <span>
#include <string>

class QTextBrowser;
class QToolButton;
class QUrl;

namespace help {

// Context identifiers of the windows that offer help.
constexpr int kMainWindow = 100;
constexpr int kDeviceTree = 101;
constexpr int kTagList = 102;
constexpr int kDeviceProperties = 103;
constexpr int kTagProperties = 104;
constexpr int kScalingWizard = 105;
constexpr int kProgramOptions = 106;
constexpr int kTagGroup = 107;
constexpr int kDiscovery = 110;
constexpr int kPortStatistics = 111;
constexpr int kWriteToTag = 112;
constexpr int kColumnSettings = 113;

// The contents page, opened for a context without a page of its own.
inline constexpr const char* kIndexPage = "index.html";

struct ContextPage {
    int context;
    const char* page;  // a file name in the help folder
};
// Every context with its own page.
std::span<const ContextPage> ContextPages();

// The folder of the help pages, ending in '/': the program's folder followed
// by "help/", or the folder the environment variable VOK_HELP_DIR names.
std::string HelpFolder();

// The file name of the context's page; the contents page for an unknown context.
std::string PageName(int context);

// Opens the help window (or raises the one already open) at the context's
// page. When the page is missing the contents page is shown; when that is
// missing too, the event log gets "Unable to find help file:" with its path
// and the operator the message "Unable to find the help file". The parent
// only places a new window beside it: the help window outlives the dialog
// that asked for it.
void ShowHelp(int context, QWidget* parent = nullptr);

class HelpWindow;
// The help window while it is open; null before the first ShowHelp and after it was closed.
HelpWindow* OpenWindow();

// The help window: a browser over the help pages with Back, Forward and
// Contents (the index). Closing it destroys it; the next ShowHelp opens a new one.
class HelpWindow : public QWidget {
    Q_OBJECT

public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Shows the page (a file path); false when it does not exist.
    bool ShowPage(const std::string& path);
    // The file shown, empty when none.
    std::string CurrentPage() const;
    QTextBrowser& Browser() const { return *browser_; }

private:
    void Home();
    void PageChanged(const QUrl& url);

    QTextBrowser* browser_ = nullptr;
    QToolButton* back_ = nullptr;
    QToolButton* forward_ = nullptr;
    QToolButton* home_ = nullptr;
};

}  // namespace help

// The program's text-file chooser: title (default "Select File"), the filter
// "Text Files (*.txt)|*.txt||" and the extension ".txt", through the UI
// services, starting at initialPath. A file to write unless save is false.
// The chosen path, or nullopt when the operator cancelled.
std::optional<std::string> ChooseTextFile(const std::string& initialPath, const std::string& title = "Select File",
                                          bool save = true);
