#pragma once
// The "Program Options" dialog: on its "General" page the event log (on or
// off, size, file), the poll rate new devices start with, and the
// configuration file shown; on its "OPC UA" page the endpoint's port and
// listen address, and the endpoint URL to copy into a client.

#include <QDialog>

#include <string>

class OPCS_Registry;
class QCheckBox;
class QLineEdit;
class QLabel;
class QSpinBox;

class VOK_DlgOptions : public QDialog {
public:
    VOK_DlgOptions(OPCS_Registry& settings, const std::string& configurationFile, QWidget* parent = nullptr);
    void accept() override;

private:
    void Browse();
    QWidget* MakeUaPage();
    // Takes the OPC UA page's port and address into the settings; false (with
    // the dialog kept open) when they cannot be used.
    bool AcceptUaPage();

    OPCS_Registry& settings_;
    QCheckBox* enabled_;
    QSpinBox* sizeMb_;
    QLineEdit* file_;
    QSpinBox* minutes_;
    QSpinBox* seconds_;
    QSpinBox* uaPort_;
    QLineEdit* uaListen_;
    QLineEdit* uaUrl_;
    QLabel* uaState_;
};
