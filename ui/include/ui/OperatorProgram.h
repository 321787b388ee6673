#pragma once
// vok-explorer with its window: the same start as the server without one,
// then the main window on the configuration, until the operator closes it or
// the process is asked to terminate (which closes the window the same way).

#include <string>
#include <vector>

// Returns the exit status.
int RunOperatorProgram(int argc, char** argv, const std::vector<std::string>& args);
