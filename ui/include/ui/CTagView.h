#pragma once
// The right pane of the main window: one row per tag of the group selected in
// the device tree, in the columns of the settings. Changed rows are refreshed
// every 500 ms and after each poll pass; a click on a column header sorts by
// it. Volatile tags of a device that is not polling show blank live cells.

#include "config/OPCS_Doc.h"
#include "config/OPCS_Registry.h"
#include "ui/ViewCommands.h"

#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <vector>

class OPCS_Tag;
class QAction;

class CTagView : public QTreeWidget, public DocObserver, public ViewCommands {
public:
    static constexpr int kRefreshMs = 500;

    CTagView(OPCS_Doc& doc, OPCS_Registry& settings, QWidget* parent = nullptr);
    ~CTagView() override;

    // Registers with the document; the first call builds the columns, loads
    // the tag icons and starts the refresh timer.
    void InitialUpdate();
    // The columns of the settings, then the rows.
    void BuildColumns();
    // Each shown column's width into its record in the settings.
    void StoreColumnWidths();
    // Sizes the shown columns to the rows' texts (see tagrows::FittedWidth).
    void FitColumns();
    // Whether the columns are sized to the contents when rows next show:
    // nobody has sized them yet.
    bool WillFitColumns() const { return fitPending_; }
    // The main window's actions for the tag menu, and its call that makes
    // this view the one commands act on (before the menu shows, so that the
    // menu's states are this view's and its command reaches this view).
    void SetActions(std::function<QAction*(UINT)> actions, std::function<void(ViewCommands*)> activate) {
        actions_ = std::move(actions);
        activate_ = std::move(activate);
    }
    // The write dialog of a read/write tag.
    void SetWriteDialog(std::function<void(OPCS_Tag&)> dialog) { writeDialog_ = std::move(dialog); }

    void OnUpdate(int hint, void* object) override;

    std::optional<CommandState> CommandStateOf(UINT id) override;
    bool RunCommand(UINT id) override;
    std::string ClientsPaneText() override;

    static OPCS_Tag* TagOf(const QTreeWidgetItem* item);
    // How many times the rows were rebuilt, for the tests of the hint protocol.
    int RebuildCount() const { return rebuilds_; }

protected:
    bool event(QEvent* e) override;

private:
    void Rebuild();
    void RefreshRow(QTreeWidgetItem* item);
    void RefreshChangedRows();
    void SortBy(int column);
    std::vector<OPCS_Tag*> SelectedTags() const;
    void Delete();
    void ShowTagMenu(const QPoint& at);

    OPCS_Doc& doc_;
    OPCS_Registry& settings_;
    OPCS_Registry::Columns columns_;
    std::vector<ColumnInfo*> shown_;
    int sortPosition_ = 0;
    bool initialised_ = false;
    bool registered_ = false;
    int rebuilds_ = 0;
    bool fitPending_ = false;
    bool sizing_ = false;
    std::vector<QPixmap> icons_;
    QTimer refresh_;
    std::function<QAction*(UINT)> actions_;
    std::function<void(ViewCommands*)> activate_;
    std::function<void(OPCS_Tag&)> writeDialog_;
};
