// The request and response headers every service message starts with, and
// the ServiceFault a request gets when its service cannot answer it.

#include "Messages.h"

namespace ua {

RequestHeader ReadRequestHeader(Reader& reader) {
    RequestHeader header;
    header.authenticationToken = reader.NodeIdValue();
    header.timestamp = reader.DateTimeValue();
    header.requestHandle = reader.UInt32();
    header.returnDiagnostics = reader.UInt32();
    header.auditEntryId = reader.String();
    header.timeoutHint = reader.UInt32();
    header.additionalHeader = reader.ExtensionObjectValue();
    return header;
}

void WriteRequestHeader(Writer& writer, const RequestHeader& header) {
    writer.NodeIdValue(header.authenticationToken);
    writer.DateTimeValue(header.timestamp);
    writer.UInt32(header.requestHandle);
    writer.UInt32(header.returnDiagnostics);
    writer.String(header.auditEntryId);
    writer.UInt32(header.timeoutHint);
    writer.ExtensionObjectValue(header.additionalHeader);
}

ResponseHeader ReadResponseHeader(Reader& reader) {
    ResponseHeader header;
    header.timestamp = reader.DateTimeValue();
    header.requestHandle = reader.UInt32();
    header.serviceResult = reader.StatusCodeValue();
    // This server sends none of these and keeps none it reads; they are
    // read to leave the reader at the body, and checked like any value.
    reader.DiagnosticInfoValue();
    const std::size_t strings = reader.ArrayLength(4);
    for (std::size_t i = 0; i < strings; ++i) reader.String();
    reader.ExtensionObjectValue();
    return header;
}

void WriteResponseHeader(Writer& writer, const ResponseHeader& header) {
    writer.DateTimeValue(header.timestamp);
    writer.UInt32(header.requestHandle);
    writer.StatusCodeValue(header.serviceResult);
    writer.DiagnosticInfoValue(DiagnosticInfo{});  // no service diagnostics: mask 0
    writer.Int32(0);                                // an empty string table
    writer.ExtensionObjectValue(ExtensionObject{}); // no additional header
}

std::vector<std::uint8_t> EncodeServiceFault(std::uint32_t requestHandle, StatusCode result) {
    Writer writer;
    writer.NodeIdValue(NodeId(0, encoding::ServiceFault));
    ResponseHeader header;
    header.timestamp = Now();
    header.requestHandle = requestHandle;
    header.serviceResult = result;
    WriteResponseHeader(writer, header);
    return writer.Take();
}

}  // namespace ua
