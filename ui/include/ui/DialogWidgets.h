#pragma once
// Small pieces the program's dialogs share: a push button that leaves the
// Enter key to the dialog's default button, and a right-aligned number field.

#include <QLineEdit>
#include <QPushButton>

inline QPushButton* DialogButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    return button;
}

inline QLineEdit* NumberEdit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setAlignment(Qt::AlignRight);
    return edit;
}
