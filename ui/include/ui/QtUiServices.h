#pragma once
// The operator's answers through real dialogs: message boxes with their icons
// and buttons, file choosers with the program's filters. A question asked off
// the GUI thread cannot open a dialog there; it is written to the event log
// and gets the box's default answer, as without a window.

#include "opc/HeadlessServer.h"

#include <string>

class QtUiServices : public HeadlessUiServices {
public:
    MessageAnswer ShowMessage(const std::string& text, MessageIcon icon, MessageButtons buttons,
                              const std::string& caption = {}) override;
    bool ShowProperties(OPCS_Tag& tag) override;
    bool ShowProperties(OPCS_TagGroup& group) override;
    bool ShowDeviceProperties(OPCS_Device& device) override;
    std::optional<std::string> ChooseFile(const FileChoice& choice) override;
};

// The program's filter "Text Files (*.txt)|*.txt|All Files (*.*)|*.*||" as a
// file dialog takes it: "Text Files (*.txt);;All Files (*.*)". A description
// without its patterns in brackets gets them appended.
std::string QtFileFilter(const std::string& pipes);

// The application's title, the caption of boxes that name none.
inline constexpr const char* kApplicationTitle = "VOK Explorer";
