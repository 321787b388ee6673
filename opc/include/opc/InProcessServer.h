#pragma once
// The server class served inside the calling process without the program
// around it, for tools and tests that are OPC clients in-process: for its
// lifetime the calling thread is in the apartment, the class is published in
// the class table (a client's CoCreateInstance on the class then works as
// against the program), and optionally a configuration file is loaded as the
// current document, whose tags the items of the client resolve to.

#include "config/DocModelHost.h"
#include "config/OPCS_Doc.h"
#include "platform/WinTypes.h"

#include <memory>
#include <string>

class IClassFactory;

class InProcessServer {
public:
    InProcessServer();
    // Revokes the class and leaves the apartment; servers that clients still
    // hold are destroyed, as at the program's shutdown.
    ~InProcessServer();
    InProcessServer(const InProcessServer&) = delete;
    InProcessServer& operator=(const InProcessServer&) = delete;

    // S_OK while the class is published, else why not.
    HRESULT Status() const { return status_; }
    // Loads the file as the current document; false (with the reason) when it
    // cannot be read at all. A file that loads with errors is kept loaded.
    bool LoadConfiguration(const std::string& path, std::string& error);
    // The current document, made empty when none is loaded.
    OPCS_Doc& UseDocument();
    OPCS_Doc* Document() { return doc_.get(); }

private:
    HRESULT status_ = E_FAIL;
    bool comInitialised_ = false;
    DWORD cookie_ = 0;
    IClassFactory* factory_ = nullptr;
    DocModelHost modelHost_;
    std::unique_ptr<OPCS_Doc> doc_;
};
