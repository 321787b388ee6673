#pragma once
// The two entry dialogs of the setup tool: one size, or one calibration point.
// They only gather numbers; whether the list takes them is the editor's call.

#include <QDialog>

#include <optional>

class QLineEdit;

class CSizeDialog : public QDialog {
    Q_OBJECT
public:
    // title: "Add Size" or "Edit Size"; a value fills the field.
    CSizeDialog(const QString& title, std::optional<double> value, QWidget* parent = nullptr);
    double Value() const { return value_; }
    void accept() override;

private:
    QLineEdit* size_ = nullptr;
    double value_ = 0;
};

class CCalDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr double kLowest = 0.01;  // both fields
    static constexpr double kHighest = 999;

    CCalDialog(std::optional<double> size, std::optional<double> voltage, QWidget* parent = nullptr);
    double Size() const { return size_; }
    double Voltage() const { return voltage_; }
    void accept() override;

private:
    QLineEdit* sizeEdit_ = nullptr;
    QLineEdit* voltageEdit_ = nullptr;
    double size_ = 0;
    double voltage_ = 0;
};

// A typed number: the whole text, blanks around it allowed; nullopt otherwise.
std::optional<double> ParseTypedNumber(const QString& text);
