#pragma once
// The setup tool's one view: the tree of the sensors found by port with the
// rescan button, and the selected sensor's size and calibration lists with
// their buttons. The scan runs on threads of its own and reports here through
// queued calls; everything else runs on the window's thread.

#include "setup/CSensor.h"
#include "setup/CSensorScan.h"
#include "setup/CSetupEditor.h"

#include <QTimer>
#include <QWidget>

#include <memory>
#include <vector>

class CSetupStatusBar;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The document: the sensors found by the last scan, in the order they were reported.
struct CVOKDoc {
    std::vector<CSensor> sensors;
};

class CVOKView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kBlinkMs = 500;

    CVOKView(CSetupStatusBar& status, std::vector<int> scanPorts, QWidget* parent = nullptr);
    ~CVOKView() override;

    // The "Rescan for devices" button; a scan also starts once the view is shown.
    void Rescan();
    bool IsScanning() const { return scan_ != nullptr; }
    // Asks a running scan to end after the address each port is on, and waits for it.
    void StopScan();

    const CVOKDoc& Document() const { return doc_; }
    const CSetupEditor& Editor() const { return editor_; }
    QTreeWidget& Tree() { return *tree_; }
    QTreeWidget& SizeList() { return *sizes_; }
    QTreeWidget& CalList() { return *points_; }

    // The commands of the buttons under the lists.
    void AddSize();
    void EditSize();
    void DeleteSize();
    void SaveSizes();
    void AddPoint();
    void EditPoint();
    void DeletePoint();
    void SavePoints();

protected:
    void showEvent(QShowEvent* event) override;

private:
    class Listener;

    void OnPortStarted();
    void OnAddressDone();
    void OnSensorFound(const CSensor& sensor);
    void OnPortOpenFailed(const PortMessage& message);
    void OnScanFinished();
    void RebuildTree();
    void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    // Loads the item's sensor (or none) into the editor, the lists and the status bar.
    void SelectItem(QTreeWidgetItem* item);
    void FillLists();
    void UpdateButtons();
    void ShowRefusal(const std::string& message);
    // Shows what a programming run reports and puts the status bar back.
    void Report(const ProgramResult& result);
    SetupProgress ProgressOnStatusBar();
    void BlinkTick();
    int SelectedRow(QTreeWidget& list) const;

    CSetupStatusBar& status_;
    std::vector<int> scanPorts_;
    CVOKDoc doc_;
    CSetupEditor editor_;
    std::unique_ptr<Listener> listener_;
    std::unique_ptr<CSensorScan> scan_;
    bool shownOnce_ = false;
    bool reverting_ = false;
    QTimer blink_;

    QTreeWidget* tree_ = nullptr;
    QPushButton* rescan_ = nullptr;
    QTreeWidget* sizes_ = nullptr;
    QTreeWidget* points_ = nullptr;
    std::vector<QPushButton*> sizeButtons_;   // Add, Edit, Delete, Save
    std::vector<QPushButton*> pointButtons_;  // Add, Edit, Delete, Save
};
