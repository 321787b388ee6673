#pragma once
// The operator's window: menu, toolbar, five status panes and a splitter with
// the device tree on the left and the tag list on the right, placed from the
// settings. Commands go to the view that has the focus, then to the document,
// then to the window itself. Closing it saves everything; with OPC clients
// still connected the process then ends at once rather than pull their
// objects away.

#include "config/OPCS_Doc.h"
#include "config/OPCS_Registry.h"

#include <QMainWindow>
#include <QTimer>

#include <array>
#include <functional>
#include <map>

class CDeviceView;
class CTagView;
class QAction;
class QLabel;
class QSplitter;
class QtPosting;
class ViewCommands;

class CMainFrame : public QMainWindow {
public:
    // How often the command states and the status panes are brought up to date.
    static constexpr int kIdleUpdateMs = 250;

    CMainFrame(OPCS_Doc& doc, OPCS_Registry& settings, QtPosting& posting, QWidget* parent = nullptr);
    ~CMainFrame() override;

    CDeviceView& DeviceView() { return *tree_; }
    CTagView& TagView() { return *tags_; }
    QSplitter& Splitter() { return *splitter_; }
    QAction* Action(UINT id) const;
    // The text of status pane 105, 106, 107, 110 or 109 as last shown.
    QString PaneText(UINT pane) const;
    // The history's pane; hidden while the program keeps no history.
    QLabel& HistoryPane() const { return *historyPane_; }

    CommandState CommandStateOf(UINT id);
    void RunCommand(UINT id);
    // Enables, checks and labels everything as the current state says.
    void UpdateCommands();

    // What ends the process when the window closes with clients connected;
    // the default ends it at once with status 1. Tests put a recorder here.
    void SetForcedTermination(std::function<void()> terminate) { terminate_ = std::move(terminate); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildActions();
    void BuildMenus();
    void BuildToolbar();
    void BuildStatusBar();
    void RestorePlacement();
    ViewCommands* ActiveView();
    bool ClientsConnected() const;
    // The exit sequence up to the check for clients; true when clients are connected.
    bool SaveForExit();
    void ChooseColumns();
    void ShowHelp(int context);
    void ShowAbout();
    void UpdateHistoryPane();
    // Widens the tree to its names while nobody has placed the splitter.
    void FitTree();
    // The counter device selected in the tree, or null.
    class VOKDevice* SelectedCounter() const;

    OPCS_Doc& doc_;
    OPCS_Registry& settings_;
    QtPosting& posting_;
    QSplitter* splitter_ = nullptr;
    CDeviceView* tree_ = nullptr;
    CTagView* tags_ = nullptr;
    ViewCommands* active_ = nullptr;
    std::map<UINT, QAction*> actions_;
    std::array<QLabel*, 5> panes_{};
    QLabel* historyPane_ = nullptr;
    int historyTicks_ = 0;
    QTimer idle_;
    bool splitterPlaced_ = false;
    bool treeFitPending_ = false;
    std::function<void()> terminate_;
};
