#pragma once
// Reading a secret (a password) from the person at the terminal.

#include <optional>
#include <string>

namespace platform {

// Whether standard input is a terminal (a person types) rather than a pipe or a file.
bool StandardInputIsTerminal();

// One line from standard input without its line end. From a terminal, the
// prompt is written to standard error and what is typed is not shown; the
// terminal's settings are restored afterwards. From a pipe or a file, no
// prompt. Nullopt at the end of the input, on a read error, or for a line
// longer than 64 KiB.
std::optional<std::string> ReadSecretLine(const std::string& prompt);

}  // namespace platform
