#pragma once
// The "Tag Configuration" sheet of a counter tag: "Tag Properties", and
// "Tag Scaling" for a scaled tag of a counter device that talks to a real
// counter (a simulated one delivers no analog counts to scale). OK checks
// every page that was shown before any of them applies.

#include <QDialog>

class OPCS_Tag;
class QTabWidget;
class VOKTag;
class VOK_DlgTagProperties;
class VOK_DlgTagScaling;

class VOK_DlgTag : public QDialog {
public:
    explicit VOK_DlgTag(VOKTag& tag, QWidget* parent = nullptr);

    // Whether the sheet has a "Tag Scaling" page for the tag.
    static bool HasScalingPage(const OPCS_Tag& tag);

    QTabWidget& Tabs() { return *tabs_; }
    VOK_DlgTagProperties& PropertiesPage() { return *properties_; }
    // Null when the tag gets no scaling page.
    VOK_DlgTagScaling* ScalingPage() { return scaling_; }

    void accept() override;

private:
    QTabWidget* tabs_;
    VOK_DlgTagProperties* properties_;
    VOK_DlgTagScaling* scaling_ = nullptr;
};
