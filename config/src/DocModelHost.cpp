#include "config/DocModelHost.h"

#include "config/OPCS_Doc.h"
#include "config/OPCS_Registry.h"

void DocModelHost::MarkDocumentModified() { MarkCurrentDocModified(); }

DWORD DocModelHost::GetDefaultPollRate() const {
    const OPCS_Registry& settings = ProgramSettings();
    return settings.IsLoaded() ? settings.GetPollRate() : ModelHost::GetDefaultPollRate();
}
