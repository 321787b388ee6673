#pragma once
// The three kinds of list in the configuration file (devices, groups, tags):
// a count, then per entry its class code and the object. Reading creates the
// objects itself; an entry that cannot be read ends its list with an error
// entry in the event log, and what was read before it stays.

#include "foundation/Dll.h"

class CArchive;
class OPCS_Device;
class OPCS_TagGroup;
class OPCS_Tag;

void SerializeDeviceList(CArchive& ar, Dll<OPCS_Device*>& list);
void SerializeGroupList(CArchive& ar, Dll<OPCS_TagGroup*>& list);
void SerializeTagList(CArchive& ar, Dll<OPCS_Tag*>& list);

// The version written in the generic layers (document, group, tag, device).
constexpr double kLayerVersion = 1.6;
