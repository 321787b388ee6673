#pragma once
// What the model asks of the operator: message boxes, property dialogs and
// file choosers. The model never includes a GUI toolkit; the program installs
// an implementation at start-up (real dialogs in the GUI, a scripted one in
// tests and headless mode). Without one, every question gets its default
// answer and no dialog opens.

#include <optional>
#include <string>

class OPCS_Tag;
class OPCS_TagGroup;
class OPCS_Device;

enum class MessageIcon { None, Information, Warning, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MessageAnswer { Ok, Cancel, Yes, No, Retry };

struct FileChoice {
    bool save = false;          // a file to write (else one to open)
    std::string title;
    std::string filter;         // "Text Files (*.txt)|*.txt||"
    std::string defaultExtension;
    std::string initialPath;
};

class UiServices {
public:
    virtual ~UiServices() = default;

    // An empty caption is the application's title.
    virtual MessageAnswer ShowMessage(const std::string& text, MessageIcon icon, MessageButtons buttons,
                                      const std::string& caption = {});
    // The properties dialog of an object; true when the operator pressed OK.
    virtual bool ShowProperties(OPCS_Tag& tag);
    virtual bool ShowProperties(OPCS_TagGroup& group);
    virtual bool ShowDeviceProperties(OPCS_Device& device);
    // The chosen path; nullopt when the operator cancelled.
    virtual std::optional<std::string> ChooseFile(const FileChoice& choice);
};

// The answer a box gets when nobody can be asked: OK for a plain box, else the
// choice that changes nothing (Cancel or No).
MessageAnswer DefaultAnswer(MessageButtons buttons);

// Installs the services (not owned; they must outlive every model object). Null removes them.
void SetUiServices(UiServices* services);
UiServices& GetUiServices();
