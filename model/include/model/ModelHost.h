#pragma once
// How tags, groups and devices reach the rest of the program without knowing
// it: the configuration document (to be marked modified) and the operator
// interface (to show an object's properties). The program installs one host
// at start-up; without one, changes mark nothing, property requests go to the
// UI services, and the program settings have their defaults.

#include "platform/WinTypes.h"

class OPCS_Tag;
class OPCS_TagGroup;

class ModelHost {
public:
    virtual ~ModelHost() = default;
    // A configuration member changed: the document needs saving.
    virtual void MarkDocumentModified() {}
    // Shows the properties dialog of a tag or group; true when the user pressed OK.
    virtual bool ShowTagProperties(OPCS_Tag& tag);
    virtual bool ShowGroupProperties(OPCS_TagGroup& group);
    // The program setting "Poll Rate For New Devices", seconds: the update and
    // sample interval a new device starts with.
    virtual DWORD GetDefaultPollRate() const { return kDefaultPollRate; }
    // Whether a new device starts its poll thread. Code that only reads and
    // writes configurations, and never polls, may make its devices without.
    virtual bool StartsPollThreads() const { return true; }

    static constexpr DWORD kDefaultPollRate = 30;
};

// Installs the host (not owned; it must outlive every model object). Null removes it.
void SetModelHost(ModelHost* host);
ModelHost& GetModelHost();
void MarkDocumentModified();
