#pragma once
// The About box of Help / About...: the program's icon, and the company name,
// product name, "Version:" with the product version, and the legal notice,
// each read from the program's version resource when the box opens.

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// Shows the About box modally; OK closes it.
void ShowAboutBox(QWidget* parent);
