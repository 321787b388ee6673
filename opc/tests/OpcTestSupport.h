#pragma once
// An in-process OPC client's view of the server class: the class published
// in this process, connections made through CoCreateInstance, and the
// creation and destruction notices the server posts counted.

#include "model/Posting.h"
#include "model/ScriptedUiServices.h"
#include "opc/ComObjects.h"
#include "opc/InProcessServer.h"
#include "opc/OpcDa.h"

#include <gtest/gtest.h>

#include <string>

class OpcClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(host_.Status(), S_OK); }

    IOPCServer* Connect() {
        IOPCServer* server = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                   reinterpret_cast<void**>(&server)),
                  S_OK);
        return server;
    }

    static HRESULT AddGroup(IOPCServer* server, const char16_t* name, OPCHANDLE* handle,
                            IOPCGroupStateMgt** group, DWORD rate = 1000) {
        DWORD revised = 0xFFFFFFFF;
        return server->AddGroup(name, TRUE, rate, 7, nullptr, nullptr, 0, handle, &revised, IID_IOPCGroupStateMgt,
                                reinterpret_cast<LPUNKNOWN*>(group));
    }

    static std::u16string NameOf(IOPCGroupStateMgt* group) {
        LPWSTR name = nullptr;
        EXPECT_EQ(group->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
        std::u16string text = name != nullptr ? name : u"";
        CoTaskMemFree(name);
        return text;
    }

    // Created minus destroyed, from the notices posted to the main window.
    long ObjectCount() const {
        long count = 0;
        for (const RecordedPost& post : ui_.Posts()) {
            if (post.target != PostTarget::MainWindow || post.message != WM_COMOBJECT_COUNT) continue;
            count += post.wParam == kComObjectCreated ? 1 : -1;
        }
        return count;
    }

    ScriptedUiServices ui_;
    InProcessServer host_;
};
