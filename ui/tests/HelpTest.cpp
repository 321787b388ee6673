// The help window over the shipped pages, the missing-help path, the About
// box and the text-file chooser.
#include "ui/CAboutDlg.h"
#include "ui/HelpWindow.h"

#include "QtTestApp.h"
#include "foundation/VersionInfo.h"
#include "model/ScriptedUiServices.h"
#include "model/UiServices.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

void CloseHelp() {
    if (auto* window = help::OpenWindow()) window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The help folder pointed elsewhere for one test.
class HelpFolderOverride {
public:
    explicit HelpFolderOverride(const std::string& folder) { qputenv("VOK_HELP_DIR", QByteArray::fromStdString(folder)); }
    ~HelpFolderOverride() { qunsetenv("VOK_HELP_DIR"); }
    HelpFolderOverride(const HelpFolderOverride&) = delete;
    HelpFolderOverride& operator=(const HelpFolderOverride&) = delete;
};

class HelpTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtTestApp();
        CloseHelp();
    }
    void TearDown() override { CloseHelp(); }

    static QToolButton* Button(const char* name) {
        auto* button = help::OpenWindow()->findChild<QToolButton*>(QString::fromLatin1(name));
        EXPECT_NE(button, nullptr) << name;
        return button;
    }
    static std::string Shown() { return help::OpenWindow()->CurrentPage(); }

    EventLogCapture log;
    ScriptedUiServices ui;
};

}  // namespace

TEST_F(HelpTest, EveryContextHasAShippedPageAndEveryLinkArrives) {
    const std::filesystem::path folder = help::HelpFolder();
    ASSERT_TRUE(std::filesystem::is_regular_file(folder / help::kIndexPage)) << folder;
    std::set<int> contexts;
    for (const help::ContextPage& entry : help::ContextPages()) {
        EXPECT_TRUE(contexts.insert(entry.context).second) << "context " << entry.context << " twice";
        EXPECT_TRUE(std::filesystem::is_regular_file(folder / entry.page)) << entry.page;
    }
    // The contexts the windows ask for.
    for (int context : {100, 101, 102, 103, 104, 105, 110, 111, 112, 113}) {
        EXPECT_NE(help::PageName(context), help::kIndexPage) << context;
    }
    const std::regex link(R"(href="([^"#:]+)[^"]*")");
    int pages = 0;
    for (const auto& file : std::filesystem::directory_iterator(folder)) {
        if (file.path().extension() != ".html") continue;
        ++pages;
        const std::string text = ReadFile(file.path());
        EXPECT_NE(text.find("<title>"), std::string::npos) << file.path();
        for (std::sregex_iterator it(text.begin(), text.end(), link), end; it != end; ++it) {
            EXPECT_TRUE(std::filesystem::is_regular_file(folder / (*it)[1].str()))
                << file.path().filename() << " links to " << (*it)[1];
        }
    }
    EXPECT_GT(pages, static_cast<int>(help::ContextPages().size()));
}

TEST_F(HelpTest, OpensAtTheContextAndReusesOneWindow) {
    help::ShowHelp(102);
    help::HelpWindow* window = help::OpenWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_EQ(Shown(), help::HelpFolder() + "tag-list.html");
    EXPECT_TRUE(window->Browser().toPlainText().contains("Blank cells"));
    EXPECT_TRUE(window->windowTitle().contains("The tag list"));

    help::ShowHelp(113);
    EXPECT_EQ(help::OpenWindow(), window) << "one help window per process";
    EXPECT_EQ(Shown(), help::HelpFolder() + "column-settings.html");
    EXPECT_TRUE(window->Browser().toPlainText().contains("Move Up"));

    // A context without a page of its own opens the contents.
    help::ShowHelp(4242);
    EXPECT_EQ(Shown(), help::HelpFolder() + help::kIndexPage);
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_EQ(log.CountContaining("Unable to find help file:"), 0);
}

TEST_F(HelpTest, BackForwardAndContentsMoveThroughThePages) {
    help::ShowHelp(help::kMainWindow);
    ASSERT_NE(help::OpenWindow(), nullptr);
    EXPECT_FALSE(Button("back")->isEnabled());
    QTest::mouseClick(Button("home"), Qt::LeftButton);
    EXPECT_EQ(Shown(), help::HelpFolder() + help::kIndexPage);
    ASSERT_TRUE(Button("back")->isEnabled());
    QTest::mouseClick(Button("back"), Qt::LeftButton);
    EXPECT_EQ(Shown(), help::HelpFolder() + "main-window.html");
    ASSERT_TRUE(Button("forward")->isEnabled());
    QTest::mouseClick(Button("forward"), Qt::LeftButton);
    EXPECT_EQ(Shown(), help::HelpFolder() + help::kIndexPage);
    // A click on a link of the contents leads to its page.
    QTextBrowser& browser = help::OpenWindow()->Browser();
    const QTextCursor found = browser.document()->find(QStringLiteral("Writing a value to a tag"));
    ASSERT_FALSE(found.isNull());
    QTextCursor inside(browser.document());
    inside.setPosition(found.selectionStart() + 4);
    browser.setTextCursor(inside);
    browser.ensureCursorVisible();
    QTest::mouseClick(browser.viewport(), Qt::LeftButton, {}, browser.cursorRect(inside).center() + QPoint(1, 0));
    EXPECT_EQ(Shown(), help::HelpFolder() + "write-to-tag.html");
    EXPECT_TRUE(browser.toPlainText().contains("What to type"));
}

TEST_F(HelpTest, MissingHelpIsLoggedWithItsPathAndToldToTheOperator) {
    TempDir empty;
    const std::string folder = empty.Path().string() + "/";
    HelpFolderOverride over(empty.Path().string());
    ASSERT_EQ(help::HelpFolder(), folder);

    help::ShowHelp(help::kMainWindow);
    EXPECT_EQ(help::OpenWindow(), nullptr) << "no window without a page to show";
    EXPECT_EQ(log.CountContaining("Unable to find help file: " + folder + "main-window.html"), 1);
    EXPECT_EQ(log.CountContaining("Unable to find help file: " + folder + "index.html"), 1);
    const auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Unable to find the help file");
    EXPECT_EQ(messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(messages[0].buttons, MessageButtons::Ok);
}

TEST_F(HelpTest, AMissingPageFallsBackToTheContentsAndIsLogged) {
    TempDir partial;
    {
        std::ofstream index(partial.File("index.html"));
        index << "<html><head><title>Contents</title></head><body>Only the contents</body></html>";
    }
    HelpFolderOverride over(partial.Path().string());
    help::ShowHelp(help::kWriteToTag);
    ASSERT_NE(help::OpenWindow(), nullptr);
    EXPECT_EQ(Shown(), help::HelpFolder() + "index.html");
    EXPECT_EQ(log.CountContaining("Unable to find help file: " + help::HelpFolder() + "write-to-tag.html"), 1);
    EXPECT_TRUE(ui.Messages().empty()) << "the contents stand in; nothing to tell";
}

TEST_F(HelpTest, AboutBoxShowsTheVersionStrings) {
    ASSERT_FALSE(versioninfo::ProductVersion().empty());
    CAboutDlg box;
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    auto text = [&box](const char* name) {
        auto* label = box.findChild<QLabel*>(QString::fromLatin1(name));
        return label == nullptr ? std::string("<missing>") : label->text().toStdString();
    };
    EXPECT_EQ(text("companyName"), versioninfo::CompanyName());
    EXPECT_EQ(text("productName"), versioninfo::ProductName());
    EXPECT_EQ(text("version"), "Version: " + versioninfo::ProductVersion());
    EXPECT_EQ(text("copyright"), versioninfo::LegalCopyright());
    EXPECT_EQ(text("productName"), "VOK Explorer");
    auto* icon = box.findChild<QLabel*>("programIcon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    QTest::mouseClick(box.findChild<QPushButton*>("ok"), Qt::LeftButton);
    EXPECT_EQ(box.result(), QDialog::Accepted);
    EXPECT_FALSE(box.isVisible());
}

namespace {

// Records what the chooser was asked for and answers with a path.
class RecordingChooser : public UiServices {
public:
    RecordingChooser() { SetUiServices(this); }
    ~RecordingChooser() override { SetUiServices(nullptr); }
    std::optional<std::string> ChooseFile(const FileChoice& choice) override {
        asked = choice;
        return answer;
    }
    FileChoice asked;
    std::optional<std::string> answer;
};

}  // namespace

TEST(HelpFileChooser, TextFilesWithTheProgramsTitleFilterAndExtension) {
    RecordingChooser chooser;
    chooser.answer = "/data/events.txt";
    EXPECT_EQ(ChooseTextFile("/var/log/vok/EventLog.txt"), "/data/events.txt");
    EXPECT_EQ(chooser.asked.title, "Select File");
    EXPECT_EQ(chooser.asked.filter, "Text Files (*.txt)|*.txt||");
    EXPECT_EQ(chooser.asked.defaultExtension, ".txt");
    EXPECT_EQ(chooser.asked.initialPath, "/var/log/vok/EventLog.txt");
    EXPECT_TRUE(chooser.asked.save);

    chooser.answer.reset();
    EXPECT_EQ(ChooseTextFile("IOLog.txt", "Record IO File"), std::nullopt);
    EXPECT_EQ(chooser.asked.title, "Record IO File");
    EXPECT_EQ(chooser.asked.filter, "Text Files (*.txt)|*.txt||");
}
