#pragma once
// The "Write to tag" window: the operator writes one value to one tag by
// hand, through the tag's client write, the same way an OPC client writes.
// It shows the tag's name, type and value, takes the new value as text and
// writes it once: Apply converts and writes (or tells why not) and ends the
// window; Close ends it without writing. The window is modeless and destroys
// itself when it closes.

#include <QDialog>

class OPCS_Tag;
class QLabel;
class QLineEdit;
class QPushButton;

class OPCS_DlgWriteToTag : public QDialog {
    Q_OBJECT

public:
    static constexpr int kHelpContext = 112;

    // Opens the window for the tag and shows it at once; nothing opens for a
    // tag that is no longer valid.
    static void Open(OPCS_Tag& tag, QWidget* parent);

private:
    OPCS_DlgWriteToTag(OPCS_Tag& tag, QWidget* parent);

    void Apply();
    void Help();

    // Only tested with IsValidTag before use: the tag may be deleted while the window is open.
    OPCS_Tag* tag_;
    QLabel* tagName_ = nullptr;
    QLabel* typeName_ = nullptr;
    QLineEdit* currentValue_ = nullptr;
    QLineEdit* newValue_ = nullptr;
    QPushButton* apply_ = nullptr;
};
