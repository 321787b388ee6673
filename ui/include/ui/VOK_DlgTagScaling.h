#pragma once
// The "Tag Scaling" page of the tag sheet: the limits of the device value
// ("analog counts"), the linear scaling, the latest device and scaled values
// (refreshed every 500 ms while the device polls), and the button that runs
// the scaling wizard. The wizard changes the tag at once; the page then shows
// what it set, so that the sheet's OK keeps it.

#include <QWidget>

class OPCS_Tag;
class QCheckBox;
class QLineEdit;
class QShowEvent;
class QTimer;
class QToolButton;
class VOK_DlgTagProperties;
class VOK_ScaleWizard;

class VOK_DlgTagScaling : public QWidget {
public:
    // properties: the sheet's first page, which shows the EU limits the wizard sets (may be null).
    VOK_DlgTagScaling(OPCS_Tag& tag, VOK_DlgTagProperties* properties, QWidget* parent = nullptr);

    bool IsInitialised() const { return initialised_; }
    // False, after telling the operator why, when a checked field holds no number.
    bool Validate();
    void Apply();
    // Set once the wizard has changed the tag.
    bool IsModified() const { return modified_; }

    // Runs the scaling wizard window-modally; returns at once. Does nothing
    // unless both boxes are checked and the tag is a numeric counter-device tag.
    void RunWizard();
    // The wizard while it runs, else null.
    VOK_ScaleWizard* Wizard() const { return wizard_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Initialise();
    void UpdateEnabled();
    void RefreshLiveValues();
    void WizardFinished(int result);

    OPCS_Tag& tag_;
    VOK_DlgTagProperties* properties_;
    bool initialised_ = false;
    bool modified_ = false;
    bool numeric_ = false;
    QCheckBox* limit_;
    QLineEdit* rawMin_;
    QLineEdit* rawMax_;
    QCheckBox* scale_;
    QLineEdit* gain_;
    QLineEdit* offset_;
    QLineEdit* lastCount_;
    QLineEdit* lastScaled_;
    QToolButton* wizardButton_;
    QTimer* timer_;
    VOK_ScaleWizard* wizard_ = nullptr;
};
