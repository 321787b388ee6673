#pragma once
// The model host of the server program: model changes mark the current
// configuration document modified, and new devices start with the program's
// "Poll Rate For New Devices" setting. Start-up installs one (SetModelHost).

#include "model/ModelHost.h"

class DocModelHost : public ModelHost {
public:
    void MarkDocumentModified() override;
    // The setting once the program settings are loaded, else the default.
    DWORD GetDefaultPollRate() const override;
};
