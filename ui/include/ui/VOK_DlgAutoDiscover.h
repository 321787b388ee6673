#pragma once
// The Discover command's two pages: the information page, then the status
// page that runs the search over every usable port and shows its progress.
// On Finish the counters found that are not configured yet are added.

#include "model/VOKDiscovery.h"

#include <QDialog>
#include <QTimer>

class OPCS_Doc;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

class VOK_DlgAutoDiscoverStep1 : public QDialog {
    Q_OBJECT
public:
    explicit VOK_DlgAutoDiscoverStep1(QWidget* parent = nullptr);
};

class VOK_DlgAutoDiscoverStep2 : public QDialog {
    Q_OBJECT
public:
    // Refresh of the fields while searching, and the pause between the end of
    // the search and the page closing by itself.
    static constexpr int kRefreshMs = 500;
    static constexpr int kAutoCloseMs = 2000;

    // onlyPorts: the port numbers to search; empty searches every listed port.
    explicit VOK_DlgAutoDiscoverStep2(QWidget* parent = nullptr, std::vector<int> onlyPorts = {});
    ~VOK_DlgAutoDiscoverStep2() override;

    // After the page closed with OK: the devices found, in the order found.
    std::vector<std::unique_ptr<VOKDevice>> TakeFound() { return search_.TakeFound(); }
    const VOKDiscovery& Search() const { return search_; }
    // How long stopping waits for the search threads before giving up on them.
    void SetStopWait(DWORD milliseconds) { stopWaitMs_ = milliseconds; }

    void accept() override;  // Finish
    void reject() override;  // Cancel, Escape or the close box

protected:
    void showEvent(QShowEvent* event) override;

private:
    void StartSearch();
    void Refresh();
    // Stops the search keeping the window painting; false when a thread did
    // not end in time (the page then ends as cancelled).
    bool StopSearch();

    VOKDiscovery search_;
    std::vector<int> onlyPorts_;
    DWORD stopWaitMs_ = VOKDiscovery::kStopWaitMs;
    bool started_ = false;
    bool stopping_ = false;
    QTimer refresh_;
    QTimer autoClose_;
    QLabel* ports_ = nullptr;
    QLabel* total_ = nullptr;
    QLabel* checked_ = nullptr;
    QLabel* found_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QListWidget* list_ = nullptr;
    QPushButton* finish_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// The Discover command: both pages and, on Finish, the adding step into doc.
// True when the search was finished (whether or not anything was added).
bool RunAutoDiscover(OPCS_Doc& doc, QWidget* parent);
