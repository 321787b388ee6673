#pragma once
// The rule for device names. A device's name is the first part of the item ID
// of each of its tags, and an item ID reaches the first device of that name
// with letter case ignored: a second device of the same name would have a
// client's reads and writes go to the wrong counter. So every device needs a
// name, and one of its own.

#include "foundation/Dll.h"

#include <string>
#include <vector>

class OPCS_Device;

namespace devicenames {

enum class Problem { kNone, kEmpty, kTaken };

// Whether a device may be named so among the other devices' names: not
// empty or blank, and not equal to another's, letter case ignored. The name
// is compared as the device stores it (the item delimiter becomes a space).
Problem Check(const std::string& name, const std::vector<std::string>& others);
// The message that refuses the name, for the operator.
std::string RefusalText(Problem problem, const std::string& name);

// The names of the devices, except one (null: none).
std::vector<std::string> NamesOf(const Dll<OPCS_Device*>& devices, const OPCS_Device* except);
// The names given to more than one device, letter case ignored, each once as
// first spelt, and an empty name when a device has none.
std::vector<std::string> Repeated(const std::vector<std::string>& names);

}  // namespace devicenames
