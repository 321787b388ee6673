#pragma once
// The "Column Settings" dialog: the operator chooses which of the tag list's
// columns are shown, their order, their header texts and widths. The editing
// itself lives in ColumnsEditor; OK hands the result to the settings, and the
// caller rebuilds the tag list's columns.

#include "config/OPCS_Registry.h"
#include "ui/ColumnsEditor.h"

#include <QDialog>

#include <functional>
#include <set>

class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

class OPCS_DlgColumns : public QDialog {
    Q_OBJECT

public:
    static constexpr int kHelpContext = 113;

    explicit OPCS_DlgColumns(OPCS_Registry& settings, QWidget* parent = nullptr);
    ~OPCS_DlgColumns() override;

    // Called with kHelpContext by the Help button and F1; nothing happens while unset.
    std::function<void(int)> onHelp;

    const ColumnsEditor& Editor() const { return editor_; }

public slots:
    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void MoveUp();
    void MoveDown();
    void StartRename();
    // Ends an open rename; a non-empty text replaces the line's text unless discarded.
    void EndRename(bool keepText = true);
    void Reset();
    void Help();
    void SelectionChanged();
    void ItemChanged(QListWidgetItem* item);
    // Rebuilds the check list from the editor, with its selection, and shows
    // the selection's width.
    void ShowEntries();
    void UpdateButtons();
    std::set<int> ListSelection() const;

    OPCS_Registry& settings_;
    ColumnsEditor editor_;
    QListWidget* list_ = nullptr;
    QLineEdit* width_ = nullptr;
    QPushButton* moveUp_ = nullptr;
    QPushButton* moveDown_ = nullptr;
    QPushButton* rename_ = nullptr;
    QPushButton* reset_ = nullptr;
    QLineEdit* renameEdit_ = nullptr;
    int renamePosition_ = -1;
    // Set while the list is refilled from the editor, so that the list's own
    // selection and check signals are not taken for the operator's.
    bool moving_ = false;
};
