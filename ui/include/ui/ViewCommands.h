#pragma once
// What the main window asks of the view that has the focus: the state of a
// command, running it, and the text of the clients pane. A view answers only
// the commands it handles; the window then asks the document and itself.

#include "config/DocCommands.h"

#include <optional>
#include <string>

class ViewCommands {
public:
    virtual ~ViewCommands() = default;
    // nullopt: not this view's command.
    virtual std::optional<CommandState> CommandStateOf(UINT id) = 0;
    // Runs an enabled command of this view; false when it is not one.
    virtual bool RunCommand(UINT id) = 0;
    // Status pane 109.
    virtual std::string ClientsPaneText() = 0;
};

// "Number of Clients: " and the count, as the clients pane shows it.
std::string ClientsPaneText(unsigned count);
