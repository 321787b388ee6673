#pragma once
// How tags, groups and devices reach the rest of the program without knowing
// it: the configuration document (to be marked modified) and the operator
// interface (to show an object's properties). The program installs one host
// at start-up; without one, changes mark nothing and no dialog opens.

class OPCS_Tag;
class OPCS_TagGroup;

class ModelHost {
public:
    virtual ~ModelHost() = default;
    // A configuration member changed: the document needs saving.
    virtual void MarkDocumentModified() {}
    // Shows the properties dialog of a tag or group; true when the user pressed OK.
    virtual bool ShowTagProperties(OPCS_Tag&) { return false; }
    virtual bool ShowGroupProperties(OPCS_TagGroup&) { return false; }
};

// Installs the host (not owned; it must outlive every model object). Null removes it.
void SetModelHost(ModelHost* host);
ModelHost& GetModelHost();
void MarkDocumentModified();
