#pragma once
// The "Tag Properties" page of the tag sheet: name, description, the
// engineering-unit limits with the noise dead band, and the simulation
// settings. It copies from the tag when it is first shown; OK hands what the
// operator typed to the tag's setters.

#include <QWidget>

class OPCS_Tag;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QShowEvent;
class QSpinBox;

class VOK_DlgTagProperties : public QWidget {
public:
    explicit VOK_DlgTagProperties(OPCS_Tag& tag, QWidget* parent = nullptr);

    bool IsInitialised() const { return initialised_; }
    // False, after telling the operator why, when the limits typed are no pair of numbers.
    bool Validate();
    void Apply();

    // The limits the scaling wizard gave the tag, shown so that OK keeps them.
    void ShowEULimits(double min, double max);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Initialise();
    void UpdateEnabled();

    OPCS_Tag& tag_;
    bool initialised_ = false;
    QLineEdit* name_;
    QLineEdit* description_;
    QCheckBox* limit_;
    QLineEdit* euMin_;
    QLineEdit* euMax_;
    QDoubleSpinBox* deadBand_;
    QComboBox* simulationType_;
    QSpinBox* steps_;
};
