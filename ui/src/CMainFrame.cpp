#include "ui/CMainFrame.h"

#include "history/HistoryStore.h"
#include "model/VOKDevice.h"
#include "opc/OPCS_App.h"
#include "ui/CAboutDlg.h"
#include "ui/CDeviceView.h"
#include "ui/CTagView.h"
#include "ui/FramePlacement.h"
#include "ui/HelpWindow.h"
#include "ui/HistoryStateText.h"
#include "ui/OPCS_DlgCommPort.h"
#include "ui/OPCS_DlgWriteToTag.h"
#include "ui/OPCS_DlgColumns.h"
#include "ui/ProgramBitmaps.h"
#include "ui/QtPosting.h"
#include "ui/QtUiServices.h"
#include "ui/TrendLogic.h"
#include "ui/TrendWindow.h"
#include "ui/UiCommands.h"
#include "ui/VOK_DlgAutoDiscover.h"
#include "ui/VOK_DlgOptions.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>

#include <cstdio>
#include <cstdlib>

namespace {

struct PaneTemplate {
    UINT id;
    const char* text;  // sizes the pane
};

constexpr PaneTemplate kPanes[] = {
    {doccmd::kPaneTime, "Time: MM:DD:YYYY  HH:MM:SS "},
    {doccmd::kPaneLastPollTime, "Last Poll Time: MM:DD:YYYY  HH:MM:SS "},
    {doccmd::kPaneNextPollTime, "Next Poll Time: MM:DD:YYYY  HH:MM:SS "},
    {doccmd::kPanePollState, "Poll State: Waiting Poll Interval "},
    {uicmd::kPaneClients, "Number of Clients:  12"},
};

constexpr UINT kCheckable[] = {doccmd::kStartPolling, doccmd::kStopPolling, doccmd::kTogglePolling,
                               doccmd::kGuiPollingIndicator, doccmd::kClientIndicator};

QIcon CommandIcon(UINT id, const QStyle& style) {
    const QList<QPixmap> devices = bitmaps::DeviceGroupIcons();
    auto device = [&](int index) { return index < devices.size() ? QIcon(devices[index]) : QIcon(); };
    switch (id) {
    case uicmd::kFileNew: return style.standardIcon(QStyle::SP_FileIcon);
    case uicmd::kFileSave: return style.standardIcon(QStyle::SP_DialogSaveButton);
    case doccmd::kAddDevice: return device(0);
    case doccmd::kAddTagGroup: return device(4);
    case doccmd::kAddTag: return style.standardIcon(QStyle::SP_FileDialogNewFolder);
    case uicmd::kDelete: return style.standardIcon(QStyle::SP_TrashIcon);
    case uicmd::kProperties: return style.standardIcon(QStyle::SP_FileDialogDetailedView);
    case doccmd::kTogglePolling: return style.standardIcon(QStyle::SP_MediaPlay);
    case doccmd::kForceUpdate: return style.standardIcon(QStyle::SP_BrowserReload);
    case doccmd::kGuiPollingIndicator: return style.standardIcon(QStyle::SP_DesktopIcon);
    case doccmd::kClientIndicator: return style.standardIcon(QStyle::SP_DriveNetIcon);
    case uicmd::kWriteToTag: return style.standardIcon(QStyle::SP_ArrowRight);
    case doccmd::kChooseColumns: return style.standardIcon(QStyle::SP_FileDialogListView);
    case doccmd::kDiscover: return style.standardIcon(QStyle::SP_FileDialogContentsView);
    case uicmd::kHelpFinder: return style.standardIcon(QStyle::SP_DialogHelpButton);
    case uicmd::kAppAbout: return style.standardIcon(QStyle::SP_MessageBoxInformation);
    default: return {};
    }
}

// The prompt's two halves: the status-bar text and the tool tip.
std::pair<QString, QString> PromptParts(UINT id) {
    const QString prompt = QString::fromUtf8(uicmd::CommandPrompt(id));
    const qsizetype at = prompt.indexOf('\n');
    if (at < 0) return {prompt, prompt};
    return {prompt.left(at), prompt.mid(at + 1)};
}

// The name a menu shows for a command without its mnemonic marks.
QString ToolbarOnlyText(UINT id) {
    const auto* info = doccmd::FindDocCommand(id);
    return info != nullptr ? QString::fromUtf8(info->name) : QString();
}

}  // namespace

CMainFrame::CMainFrame(OPCS_Doc& doc, OPCS_Registry& settings, QtPosting& posting, QWidget* parent)
    : QMainWindow(parent), doc_(doc), settings_(settings), posting_(posting) {
    setObjectName("mainFrame");
    setWindowTitle(kApplicationTitle);
    setWindowIcon(bitmaps::ProgramIcon());
    BuildActions();
    BuildMenus();
    BuildToolbar();
    BuildStatusBar();

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setObjectName("splitter");
    splitter_->setChildrenCollapsible(false);
    tree_ = new CDeviceView(doc_, splitter_);
    tags_ = new CTagView(doc_, settings_, splitter_);
    splitter_->addWidget(tree_);
    splitter_->addWidget(tags_);
    setCentralWidget(splitter_);
    active_ = tree_;
    // The user's own placement is kept from then on.
    connect(splitter_, &QSplitter::splitterMoved, this, [this] { treeFitPending_ = false; });

    auto actionOf = [this](UINT id) { return Action(id); };
    auto activate = [this](ViewCommands* view) {
        active_ = view;
        UpdateCommands();
    };
    tree_->SetActions(actionOf, activate);
    tags_->SetActions(actionOf, activate);
    tree_->SetTagList(tags_);
    tags_->SetWriteDialog([this](OPCS_Tag& tag) { OPCS_DlgWriteToTag::Open(tag, this); });
    doc_.Hooks().chooseColumns = [this] { ChooseColumns(); };
    doc_.Hooks().discover = [this] { RunAutoDiscover(doc_, this); };
    doc_.Hooks().options = [this] {
        VOK_DlgOptions dialog(settings_, doc_.GetPathName(), this);
        dialog.exec();
    };
    posting_.SetReceiver(PostTarget::DeviceTree, tree_);
    posting_.SetReceiver(PostTarget::TagList, tags_);
    tree_->InitialUpdate();
    tags_->InitialUpdate();

    RestorePlacement();
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        for (QWidget* w = now; w != nullptr; w = w->parentWidget()) {
            if (w == tree_) active_ = tree_;
            if (w == tags_) active_ = tags_;
        }
    });
    idle_.setInterval(kIdleUpdateMs);
    connect(&idle_, &QTimer::timeout, this, [this] { UpdateCommands(); });
    idle_.start();
    UpdateCommands();
}

CMainFrame::~CMainFrame() {
    // No post may reach a view being destroyed, and no hook a window that is gone.
    posting_.SetReceiver(PostTarget::DeviceTree, nullptr);
    posting_.SetReceiver(PostTarget::TagList, nullptr);
    doc_.Hooks().chooseColumns = nullptr;
    doc_.Hooks().discover = nullptr;
    doc_.Hooks().options = nullptr;
}

void CMainFrame::BuildActions() {
    auto make = [this](UINT id, const QString& text, const char* shortcut) {
        if (actions_.count(id) != 0) return;
        auto* action = new QAction(text, this);
        action->setObjectName(QString("command%1").arg(id));
        const auto [status, tip] = PromptParts(id);
        action->setStatusTip(status);
        action->setToolTip(tip.isEmpty() ? QString(text).remove('&') : tip);
        if (shortcut != nullptr && shortcut[0] != '\0') action->setShortcut(QKeySequence(QString::fromUtf8(shortcut)));
        action->setIcon(CommandIcon(id, *style()));
        for (UINT checkable : kCheckable) {
            if (checkable == id) action->setCheckable(true);
        }
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
        actions_[id] = action;
    };
    for (const uicmd::Menu& menu : uicmd::MainMenu()) {
        for (const uicmd::MenuEntry& entry : menu.entries) {
            if (entry.id != uicmd::kSeparator) make(entry.id, QString::fromUtf8(entry.text), entry.shortcut);
        }
    }
    for (UINT id : uicmd::ToolbarCommands()) {
        if (id != uicmd::kSeparator) make(id, ToolbarOnlyText(id), nullptr);
    }
}

void CMainFrame::BuildMenus() {
    for (const uicmd::Menu& menu : uicmd::MainMenu()) {
        QMenu* popup = menuBar()->addMenu(QString::fromUtf8(menu.title));
        connect(popup, &QMenu::aboutToShow, this, [this] { UpdateCommands(); });
        for (const uicmd::MenuEntry& entry : menu.entries) {
            if (entry.id == uicmd::kSeparator) {
                popup->addSeparator();
            } else {
                popup->addAction(Action(entry.id));
            }
        }
    }
}

void CMainFrame::BuildToolbar() {
    QToolBar* bar = addToolBar("Toolbar");
    bar->setObjectName("toolbar");
    bar->setMovable(true);
    bar->setFloatable(true);
    bar->setAllowedAreas(Qt::AllToolBarAreas);
    bar->setIconSize(QSize(16, 16));
    for (UINT id : uicmd::ToolbarCommands()) {
        if (id == uicmd::kSeparator) {
            bar->addSeparator();
        } else {
            bar->addAction(Action(id));
        }
    }
}

void CMainFrame::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName("statusBar");
    for (std::size_t i = 0; i < std::size(kPanes); ++i) {
        auto* pane = new QLabel(bar);
        pane->setObjectName(QString("pane%1").arg(kPanes[i].id));
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(QString::fromUtf8(kPanes[i].text)) + 8);
        bar->addPermanentWidget(pane);
        panes_[i] = pane;
    }
    historyPane_ = new QLabel(bar);
    historyPane_->setObjectName("paneHistory");
    historyPane_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    historyPane_->hide();
    bar->insertPermanentWidget(0, historyPane_);
}

void CMainFrame::UpdateHistoryPane() {
    const history::HistoryStore* store = history::ProgramHistory();
    if (store == nullptr) {
        historyPane_->hide();
        return;
    }
    const QString text = QString::fromStdString(HistoryPaneText(store->Status()));
    if (historyPane_->text() != text) historyPane_->setText(text);
    historyPane_->show();
}

VOKDevice* CMainFrame::SelectedCounter() const {
    OPCS_TagGroup* group = doc_.GetSelectedGroup();
    OPCS_TagGroup* device = group != nullptr ? group->GetDevice() : nullptr;
    if (!OPCS_Device::IsValidDevice(device)) return nullptr;
    return dynamic_cast<VOKDevice*>(static_cast<OPCS_Device*>(device));
}

QAction* CMainFrame::Action(UINT id) const {
    const auto at = actions_.find(id);
    return at != actions_.end() ? at->second : nullptr;
}

QString CMainFrame::PaneText(UINT pane) const {
    for (std::size_t i = 0; i < std::size(kPanes); ++i) {
        if (kPanes[i].id == pane) return panes_[i]->text();
    }
    return {};
}

void CMainFrame::RestorePlacement() {
    const RECT& r = settings_.GetWindowLocation();
    if (frameplace::IsRestorable(r)) {
        setGeometry(r.left, r.top, r.right - r.left, r.bottom - r.top);
    } else {
        const QRect screen = QApplication::primaryScreen() != nullptr ? QApplication::primaryScreen()->availableGeometry()
                                                                       : QRect(0, 0, 1280, 800);
        resize(std::min(1180, screen.width() * 9 / 10), std::min(720, screen.height() * 9 / 10));
        move(screen.center() - rect().center());
    }
}

void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (splitterPlaced_) return;
    splitterPlaced_ = true;
    const int width = splitter_->width();
    const int left = static_cast<int>(width * settings_.GetSplitterPosition());
    splitter_->setSizes({left, width - left});
    treeFitPending_ = frameplace::IsStartingShare(settings_.GetSplitterPosition());
    FitTree();
}

void CMainFrame::FitTree() {
    if (!treeFitPending_ || tree_->topLevelItemCount() == 0) return;
    const QList<int> sizes = splitter_->sizes();
    if (sizes.size() != 2) return;
    const int total = sizes[0] + sizes[1];
    const int left = frameplace::FittedTreeWidth(tree_->ContentWidth(), total);
    splitter_->setSizes({left, total - left});
    treeFitPending_ = false;
}

ViewCommands* CMainFrame::ActiveView() { return active_; }

bool CMainFrame::ClientsConnected() const { return doc_.AreClientsConnected(); }

CommandState CMainFrame::CommandStateOf(UINT id) {
    if (ViewCommands* view = ActiveView()) {
        if (const auto state = view->CommandStateOf(id)) return *state;
    }
    if (doccmd::FindDocCommand(id) != nullptr) {
        // Commands whose dialogs this window does not offer stay disabled.
        const DocHooks& hooks = doc_.Hooks();
        if ((id == doccmd::kDiscover && !hooks.discover) || (id == doccmd::kOptions && !hooks.options) ||
            (id == doccmd::kFileOpen && !hooks.fileOpen)) {
            return {};
        }
        return doc_.GetCommandState(id);
    }
    switch (id) {
    case uicmd::kFileNew: return {!ClientsConnected(), false};
    case uicmd::kFileSave:
    case uicmd::kPortStatistics:
    case uicmd::kAppExit:
    case uicmd::kAppAbout:
    case uicmd::kHelpFinder: return {true, false};
    case uicmd::kTrend: return {SelectedCounter() != nullptr, false};
    default: return {};
    }
}

void CMainFrame::RunCommand(UINT id) {
    if (!CommandStateOf(id).enabled) {
        UpdateCommands();
        return;
    }
    if (ViewCommands* view = ActiveView(); view != nullptr && view->RunCommand(id)) {
        UpdateCommands();
        return;
    }
    if (!doc_.OnCommand(id)) {
        switch (id) {
        case uicmd::kFileNew: doc_.NewConfiguration(); break;
        case uicmd::kFileSave: doc_.OnSaveDocument(doc_.GetPathName()); break;
        case uicmd::kAppExit: close(); break;
        case uicmd::kHelpFinder:
            // F1 gives the page of the pane that has the focus.
            ShowHelp(tags_->hasFocus()   ? uicmd::kHelpTagList
                     : tree_->hasFocus() ? uicmd::kHelpDeviceTree
                                         : uicmd::kHelpFrame);
            break;
        case uicmd::kPortStatistics:
            OPCS_DlgCommPort::Open(this)->onHelp = [this](int context) { ShowHelp(context); };
            break;
        case uicmd::kAppAbout: ShowAbout(); break;
        case uicmd::kTrend:
            if (VOKDevice* device = SelectedCounter()) TrendWindow::Open(device->GetName(), this);
            break;
        default: break;
        }
    }
    UpdateCommands();
}

void CMainFrame::UpdateCommands() {
    for (const auto& [id, action] : actions_) {
        const CommandState state = CommandStateOf(id);
        action->setEnabled(state.enabled);
        if (action->isCheckable()) action->setChecked(state.checked);
    }
    for (std::size_t i = 0; i < std::size(kPanes); ++i) {
        const UINT id = kPanes[i].id;
        std::string text;
        if (id == uicmd::kPaneClients) {
            if (ViewCommands* view = ActiveView()) text = view->ClientsPaneText();
        } else {
            text = doc_.GetPaneText(id);
        }
        const QString shown = QString::fromStdString(text);
        if (panes_[i]->text() != shown) panes_[i]->setText(shown);
    }
    FitTree();
    // The history's state every couple of seconds (the first pass at once).
    constexpr int kHistoryTicks = 2000 / kIdleUpdateMs;
    if (historyTicks_-- <= 0) {
        historyTicks_ = kHistoryTicks - 1;
        UpdateHistoryPane();
    }
}

void CMainFrame::ChooseColumns() {
    tags_->StoreColumnWidths();
    OPCS_DlgColumns dialog(settings_, this);
    dialog.onHelp = [this](int context) { ShowHelp(context); };
    if (dialog.exec() != QDialog::Accepted) return;
    tags_->BuildColumns();
    doc_.UpdateAllViews(dochint::kTagList);
}

void CMainFrame::ShowHelp(int context) { help::ShowHelp(context, this); }

void CMainFrame::ShowAbout() { ShowAboutBox(this); }

bool CMainFrame::SaveForExit() {
    tags_->StoreColumnWidths();
    const QList<int> sizes = splitter_->sizes();
    // A splitter nobody placed keeps the starting share, so that the tree is
    // still fitted once the configuration has devices.
    if (sizes.size() == 2 && !treeFitPending_) {
        settings_.SetSplitterPosition(frameplace::SplitterShare(sizes[0], sizes[1], settings_.GetSplitterPosition()));
    }
    if (!isMinimized()) {
        const QRect g = geometry();
        settings_.SetWindowLocation(RECT{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()});
    }
    if (OPCS_App* app = GetApp()) return app->SaveForExit();
    // Without the application object (the window on its own): the same saving.
    if (!doc_.GetPathName().empty()) doc_.OnSaveDocument(doc_.GetPathName());
    settings_.Save();
    return ClientsConnected();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    idle_.stop();
    if (SaveForExit()) {
        OPCS_App::LogForcedTermination();
        if (terminate_) {
            terminate_();
        } else {
            std::fprintf(stderr, "vok-explorer: Forcing termination of server while clients connected\n");
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }
    event->accept();
}
