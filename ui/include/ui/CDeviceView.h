#pragma once
// The left pane of the main window: the devices of the configuration with
// their tag groups below them. Its selection is what the document's commands
// act on and what the tag list shows. It rebuilds or patches itself from the
// document's hints, keeping the expanded and selected state of the items that
// were on screen, and offers Properties, Delete and the device menu.

#include "config/OPCS_Doc.h"
#include "ui/ViewCommands.h"

#include <QTreeWidget>

#include <functional>
#include <unordered_set>
#include <vector>

class QAction;

class CDeviceView : public QTreeWidget, public DocObserver, public DocSelection, public ViewCommands {
public:
    explicit CDeviceView(OPCS_Doc& doc, QWidget* parent = nullptr);
    ~CDeviceView() override;

    // Attaches the icons, builds the tree and registers with the document.
    void InitialUpdate();
    // The tag list, told to rebuild when the selection changes.
    void SetTagList(DocObserver* tagList) { tagList_ = tagList; }
    // The main window's actions for the device menu, and its call that makes
    // this view the one commands act on (before the menu shows).
    void SetActions(std::function<QAction*(UINT)> actions, std::function<void(ViewCommands*)> activate) {
        actions_ = std::move(actions);
        activate_ = std::move(activate);
    }

    void OnUpdate(int hint, void* object) override;
    OPCS_TagGroup* GetSelectedItem() const override;

    std::optional<CommandState> CommandStateOf(UINT id) override;
    bool RunCommand(UINT id) override;
    std::string ClientsPaneText() override;

    // The item of a live group or device, or null.
    QTreeWidgetItem* ItemOf(const OPCS_TagGroup* group) const;
    static OPCS_TagGroup* GroupOf(const QTreeWidgetItem* item);
    bool IsUpdating() const { return updating_; }
    // The width that shows every device and group name whole, collapsed ones
    // included, with the pane's frame and scroll bar.
    int ContentWidth() const;

protected:
    bool event(QEvent* e) override;

private:
    struct TreeItemState {
        const OPCS_TagGroup* group;
        bool expanded;
        bool selected;
    };

    QTreeWidgetItem* NewItem(OPCS_TagGroup* group);
    void SetImages(QTreeWidgetItem* item, const OPCS_TagGroup* group);
    void InsertChildren(QTreeWidgetItem* parent, std::vector<OPCS_TagGroup*> groups);
    void InsertPlaced(QTreeWidgetItem* parent, OPCS_TagGroup* object, const std::vector<OPCS_TagGroup*>& siblings);
    void DeleteAllItems();
    void Rebuild(void* object);
    void SelectAndShow(QTreeWidgetItem* item);
    void RefreshDeviceImages();
    void Delete();
    void ShowDeviceMenu(const QPoint& at);
    void OnSelectionChanged();

    OPCS_Doc& doc_;
    DocObserver* tagList_ = nullptr;
    std::function<QAction*(UINT)> actions_;
    std::function<void(ViewCommands*)> activate_;
    bool updating_ = false;
    bool registered_ = false;
    std::vector<QPixmap> images_;
    std::unordered_set<const QTreeWidgetItem*> items_;
    std::vector<TreeItemState> savedStates_;
};
