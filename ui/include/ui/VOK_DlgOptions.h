#pragma once
// The "Program Options" dialog: the event log (on or off, size, file), the
// poll rate new devices start with, and the configuration file shown.

#include <QDialog>

#include <string>

class OPCS_Registry;
class QCheckBox;
class QLineEdit;
class QSpinBox;

class VOK_DlgOptions : public QDialog {
public:
    VOK_DlgOptions(OPCS_Registry& settings, const std::string& configurationFile, QWidget* parent = nullptr);
    void accept() override;

private:
    void Browse();

    OPCS_Registry& settings_;
    QCheckBox* enabled_;
    QSpinBox* sizeMb_;
    QLineEdit* file_;
    QSpinBox* minutes_;
    QSpinBox* seconds_;
};
