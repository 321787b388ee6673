#pragma once
// What the address-space tests stand on: a session that is an in-process DA
// client of the published server class, a channel that keeps what the
// services send, and a configuration with one counter device and two
// operator tags, loaded as the current document.

#include "AddressSpace.h"
#include "Channel.h"
#include "Messages.h"
#include "ServiceCall.h"
#include "Session.h"

#include "config/OPCS_Doc.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "opc/InProcessServer.h"
#include "opc/OpcDa.h"
#include "platform/Com.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace uatest {

class TestSession : public ua::Session {
public:
    explicit TestSession(IOPCServer* server) : server_(server) {}
    ~TestSession() override {
        // The extensions hold objects of the server: they go first.
        extensions_.clear();
        if (server_ != nullptr) server_->Release();
    }
    ua::NodeId Id() const override { return ua::NodeId(1, 7u); }
    ua::NodeId AuthenticationToken() const override { return ua::NodeId(0, 99u); }
    std::string Name() const override { return "test session"; }
    bool IsActivated() const override { return true; }
    std::uint32_t ChannelId() const override { return 1; }
    IOPCServer* DaServer() const override { return server_; }
    ua::UserIdentity User() const override { return user; }
    Extension& Extend(const void* key, const std::function<std::unique_ptr<Extension>()>& make) override {
        std::lock_guard lock(mutex_);
        auto& slot = extensions_[key];
        if (slot == nullptr) slot = make();
        return *slot;
    }

    // An operator unless a test makes it someone else.
    ua::UserIdentity user{ua::Role::Operator, "test"};

private:
    IOPCServer* server_;
    std::mutex mutex_;
    std::map<const void*, std::unique_ptr<Extension>> extensions_;
};

class RecordingChannel : public ua::ChannelLink {
public:
    std::uint32_t Id() const override { return 1; }
    bool Send(std::uint32_t, std::vector<std::uint8_t> message) override {
        sent.push_back(std::move(message));
        return true;
    }
    bool IsOpen() const override { return true; }
    std::string EndpointUrl() const override { return "opc.tcp://localhost:4840"; }
    std::string PeerAddress() const override { return "127.0.0.1:1"; }
    std::vector<std::vector<std::uint8_t>> sent;
};

// One counter device "Dev1" with its tag tree, an operator tag Level (Double,
// read/write, EU 0..100) and Label (String, read-only) on the device.
class AddressSpaceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(host_.Status(), S_OK);
        doc_ = &host_.UseDocument();
        auto device = VOKDevice::Create(false);
        device->SetName("Dev1");
        device->SetSimulation(true);
        device->SetSampleInterval(1, false);
        device_ = device.get();
        ASSERT_TRUE(doc_->AddDevice(device.release()));
        auto* level = new VOKTag;
        level->SetName("Level");
        level->SetDescription("Tank level");
        level->SetCanonicalType(VT_R8);
        level->SetAccessRights(1);
        level->SetVolatile(false);
        level->SetEULimitsEnabled(true);
        level->SetEULimits(0, 100);
        ASSERT_TRUE(doc_->InsertTag(device_, level));
        level_ = level;
        auto* label = new VOKTag;
        label->SetName("Label");
        label->SetCanonicalType(VT_BSTR);
        label->SetAccessRights(0);
        label->SetVolatile(false);
        ASSERT_TRUE(doc_->InsertTag(device_, label));
        label_ = label;
        info_.applicationUri = "urn:test:VOKExplorer";
        info_.softwareVersion = "1.2.3";
        info_.startTime = ua::Now();
        space_ = std::make_unique<ua::AddressSpace>(info_);
        session_ = std::make_shared<TestSession>(Connect());
        ASSERT_NE(session_->DaServer(), nullptr);
    }

    void TearDown() override { session_.reset(); }

    IOPCServer* Connect() {
        IOPCServer* server = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                   reinterpret_cast<void**>(&server)),
                  S_OK);
        return server;
    }

    ua::DataValue ReadOne(const ua::NodeId& node, ua::AttributeId attribute = ua::AttributeId::Value,
                          const std::string& range = "",
                          ua::TimestampsToReturn stamps = ua::TimestampsToReturn::Both) {
        ua::ReadValueId id;
        id.nodeId = node;
        id.attributeId = static_cast<std::uint32_t>(attribute);
        id.indexRange = range;
        const auto results = space_->Read(*session_, {id}, stamps, 0);
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? ua::DataValue{} : results[0];
    }

    ua::StatusCode WriteOne(const ua::NodeId& node, const ua::Variant& value,
                            ua::AttributeId attribute = ua::AttributeId::Value) {
        ua::WriteValue write;
        write.nodeId = node;
        write.attributeId = static_cast<std::uint32_t>(attribute);
        write.value.value = value;
        const auto results = space_->Write(*session_, {write});
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? ua::status::BadInternalError : results[0];
    }

    // The name of the device's first tag group ("Cumulative Raw Bin Counts" ...).
    OPCS_TagGroup* FirstGroup() {
        Dll<OPCS_TagGroup*> groups;
        device_->CopyGroups(groups);
        for (OPCS_TagGroup* group : groups) return group;
        return nullptr;
    }

    static ua::NodeId Ns1(const std::string& text) { return ua::NodeId(1, text); }

    ScriptedUiServices ui_;
    InProcessServer host_;
    OPCS_Doc* doc_ = nullptr;
    VOKDevice* device_ = nullptr;
    VOKTag* level_ = nullptr;
    VOKTag* label_ = nullptr;
    ua::ServerInfo info_;
    std::unique_ptr<ua::AddressSpace> space_;
    std::shared_ptr<TestSession> session_;
};

}  // namespace uatest
