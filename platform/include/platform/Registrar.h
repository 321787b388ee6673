#pragma once
// The registry-script registrar: runs a registration script in register or
// unregister mode against the registry (RegCreateKeyExA and friends).
//
// The script language:
//
//   script   := root*
//   root     := ROOTNAME '{' key* '}'     HKCR HKCU HKLM HKU HKCC, or the long names
//   key      := [NoRemove | ForceRemove | Delete] name ['=' value] ['{' item* '}']
//   item     := key | 'val' name '=' value
//   value    := 's' string | 'd' number | 'b' hexdigits    (REG_SZ, REG_DWORD, REG_BINARY)
//   name     := a bare word (letters, digits, '.', '_', '{', '}', '-') or a quoted string
//   string   := text in single quotes; '' stands for one quote
//
// '%NAME%' anywhere in the script is replaced before parsing by the value of
// NAME in the replacement list ('%%' is one '%'); an unknown name is an error.
//
// Register: every key is created (ForceRemove: its old subtree is deleted
// first), its default value and 'val' values are set; Delete keys are deleted
// with everything under them. The first failure stops the run.
// Unregister: in reverse, each key's listed values and listed sub keys are
// removed, then the key itself when it has no sub keys left (ForceRemove
// keys are deleted whole; NoRemove keys are never deleted, only entered). A
// key that does not exist is skipped.

#include "platform/WinTypes.h"

#include <string>
#include <utility>
#include <vector>

namespace platform {

using ScriptReplacements = std::vector<std::pair<std::string, std::string>>;

// S_OK; DISP_E_EXCEPTION for a script that does not parse (nothing is
// changed then; *error says where); HRESULT_FROM_WIN32 of the registry's
// error for a registry call that failed (*error names the key).
HRESULT RunRegistryScript(const std::string& script, bool doRegister, const ScriptReplacements& replacements,
                          std::string* error = nullptr);

}  // namespace platform
