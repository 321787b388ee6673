#include "AttributeServices.h"

#include "AddressSpace.h"
#include "Namespace0.h"
#include "ServiceCall.h"
#include "Session.h"

namespace ua {

namespace {

void Read(AddressSpace& space, ServiceCall& call, Reader& r) {
    const double maxAge = r.Double();
    const std::uint32_t timestamps = r.UInt32();
    const auto nodes = r.Array<ReadValueId>(
        [](Reader& in) {
            ReadValueId id;
            id.nodeId = in.NodeIdValue();
            id.attributeId = in.UInt32();
            id.indexRange = in.String();
            id.dataEncoding = in.QualifiedNameValue();
            return id;
        },
        12);
    if (const StatusCode count = OperationCountStatus(nodes.size(), limits::kMaxNodesPerRead); IsBad(count)) {
        call.Fault(count);
        return;
    }
    if (!(maxAge >= 0)) {
        call.Fault(status::BadMaxAgeInvalid);
        return;
    }
    if (timestamps >= static_cast<std::uint32_t>(TimestampsToReturn::Invalid)) {
        call.Fault(status::BadTimestampsToReturnInvalid);
        return;
    }
    const std::vector<DataValue> results =
        space.Read(*call.session, nodes, static_cast<TimestampsToReturn>(timestamps), maxAge);
    call.Reply([&](Writer& w) {
        w.Array(results, [](Writer& out, const DataValue& value) { out.DataValueValue(value); });
        WriteNoDiagnostics(w);
    });
}

void Write(AddressSpace& space, ServiceCall& call, Reader& r) {
    const auto nodes = r.Array<WriteValue>(
        [](Reader& in) {
            WriteValue value;
            value.nodeId = in.NodeIdValue();
            value.attributeId = in.UInt32();
            value.indexRange = in.String();
            value.value = in.DataValueValue();
            return value;
        },
        12);
    if (const StatusCode count = OperationCountStatus(nodes.size(), limits::kMaxNodesPerWrite); IsBad(count)) {
        call.Fault(count);
        return;
    }
    const std::vector<StatusCode> results = space.Write(*call.session, nodes);
    call.Reply([&](Writer& w) {
        w.Array(results, [](Writer& out, StatusCode code) { out.StatusCodeValue(code); });
        WriteNoDiagnostics(w);
    });
}

}  // namespace

void RegisterAttributeServices(ServiceTable& table, AddressSpace& space) {
    using Needs = ServiceTable::Needs;
    table.Register(encoding::ReadRequest, Needs::ActivatedSession, [&space](ServiceCall& call, Reader& body) {
        ServeInSession(call, [&] { Read(space, call, body); });
    });
    table.Register(encoding::WriteRequest, Needs::ActivatedSession, [&space](ServiceCall& call, Reader& body) {
        ServeInSession(call, [&] { Write(space, call, body); });
    });
}

}  // namespace ua
