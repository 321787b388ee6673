#pragma once
// The "Tag Group" dialog: the name of a tag group.

#include <QDialog>

class OPCS_TagGroup;
class QLineEdit;

class VOK_DlgGroup : public QDialog {
public:
    explicit VOK_DlgGroup(OPCS_TagGroup& group, QWidget* parent = nullptr);
    void accept() override;

private:
    OPCS_TagGroup& group_;
    QLineEdit* name_;
};
