#pragma once
// How the vok subcommands print. Text from outside the program (counter
// replies, configuration files, registry entries, file names) need not be
// UTF-8; it is shown with replacement characters instead of being refused, and
// no failure ends the program any other way than with a message and a status.

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <string_view>

// The bytes as valid UTF-8: every sequence that is not UTF-8 (stray or
// truncated bytes, overlong forms, surrogates, code points past U+10FFFF)
// becomes U+FFFD, one for each maximal invalid part; valid text is unchanged.
std::string ValidUtf8(std::string_view bytes);

// The JSON text of a value; strings that are not UTF-8 get U+FFFD in place of
// the invalid sequences. indent -1: on one line.
std::string JsonText(const nlohmann::json& value, int indent = -1);

// Runs a subcommand. An exception that escapes it is shown on standard error
// as "vok: " and its text, and gives exit status 1.
int RunGuarded(const std::function<int()>& command);
