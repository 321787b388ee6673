#pragma once
// The built-in data types of OPC UA (OPC 10000-6, 5.1) as this server holds
// them in memory: one C++ type per built-in type, a Variant that keeps which
// built-in type it carries, and the status codes and standard node numbers the
// services answer with.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ua {

using StatusCode = std::uint32_t;
// 100-nanosecond intervals since 1601-01-01 UTC, as FILETIME counts.
using DateTime = std::int64_t;
// A ByteString or an XmlElement holds its bytes in a std::string.
using ByteString = std::string;

// The enumerators are scoped, so naming them like the aliases above is safe;
// GCC's -Wshadow reports it all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
enum class BuiltinType : std::uint8_t {
    Null = 0,
    Boolean = 1,
    SByte = 2,
    Byte = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Float = 10,
    Double = 11,
    String = 12,
    DateTime = 13,
    Guid = 14,
    ByteString = 15,
    XmlElement = 16,
    NodeId = 17,
    ExpandedNodeId = 18,
    StatusCode = 19,
    QualifiedName = 20,
    LocalizedText = 21,
    ExtensionObject = 22,
    DataValue = 23,
    Variant = 24,
    DiagnosticInfo = 25,
};
#pragma GCC diagnostic pop

struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};
    bool operator==(const Guid&) const = default;
    auto operator<=>(const Guid&) const = default;
};

struct NodeId {
    enum class Kind : std::uint8_t { Numeric, String, Guid, Opaque };
    std::uint16_t ns = 0;
    Kind kind = Kind::Numeric;
    std::uint32_t numeric = 0;
    std::string text;  // the string, or the opaque bytes
    Guid guid;

    NodeId() = default;
    NodeId(std::uint16_t ns_, std::uint32_t id) : ns(ns_), numeric(id) {}
    NodeId(std::uint16_t ns_, std::string id) : ns(ns_), kind(Kind::String), text(std::move(id)) {}
    static NodeId Numeric(std::uint32_t id, std::uint16_t ns = 0) { return NodeId(ns, id); }
    static NodeId String(std::string id, std::uint16_t ns = 1) { return NodeId(ns, std::move(id)); }

    bool IsNull() const;
    // "i=85", "ns=1;s=Dev.Group.Tag", "ns=2;g=...", "ns=3;b=<base64>".
    std::string ToString() const;
    // The text form above; nullopt when it is not one.
    static std::optional<NodeId> Parse(const std::string& text);

    bool operator==(const NodeId& other) const;
    bool operator<(const NodeId& other) const;
};

struct NodeIdHash {
    std::size_t operator()(const NodeId& id) const;
};

struct ExpandedNodeId {
    NodeId node;
    std::string namespaceUri;  // empty: not given
    std::uint32_t serverIndex = 0;
    bool operator==(const ExpandedNodeId&) const = default;
};

struct QualifiedName {
    std::uint16_t ns = 0;
    std::string name;
    bool operator==(const QualifiedName&) const = default;
};

struct LocalizedText {
    std::string locale;  // empty: not given
    std::string text;    // empty: not given
    bool operator==(const LocalizedText&) const = default;
};

// A structure the receiver may not know: its encoding's node id and its
// encoded body, decoded by the service that expects it.
struct ExtensionObject {
    enum class Encoding : std::uint8_t { None = 0, Binary = 1, Xml = 2 };
    NodeId typeId;  // the binary (or XML) encoding node of the structure
    Encoding encoding = Encoding::None;
    ByteString body;
    bool operator==(const ExtensionObject&) const = default;
};

struct DataValue;
struct Variant;
struct DiagnosticInfo;

// One value of a Variant. Integers are widened and floating point kept as
// double; the Variant's type says what goes on the wire.
using VariantValue =
    std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Guid, NodeId, ExpandedNodeId,
                 QualifiedName, LocalizedText, ExtensionObject, std::shared_ptr<DataValue>, std::shared_ptr<Variant>,
                 std::shared_ptr<DiagnosticInfo>>;

struct Variant {
    BuiltinType type = BuiltinType::Null;
    bool isArray = false;
    // Given only for a matrix (more than one dimension).
    std::vector<std::int32_t> dimensions;
    // One element for a scalar, the elements of an array otherwise.
    std::vector<VariantValue> values;

    bool IsNull() const { return type == BuiltinType::Null; }
    bool IsScalar() const { return !isArray && values.size() == 1; }

    static Variant Scalar(BuiltinType type, VariantValue value);
    static Variant Array(BuiltinType type, std::vector<VariantValue> values);
    static Variant Boolean(bool v) { return Scalar(BuiltinType::Boolean, v); }
    static Variant Int32(std::int32_t v) { return Scalar(BuiltinType::Int32, std::int64_t{v}); }
    static Variant UInt32(std::uint32_t v) { return Scalar(BuiltinType::UInt32, std::uint64_t{v}); }
    static Variant Double(double v) { return Scalar(BuiltinType::Double, v); }
    static Variant String(std::string v) { return Scalar(BuiltinType::String, std::move(v)); }
    static Variant DateTimeOf(DateTime v) { return Scalar(BuiltinType::DateTime, std::int64_t{v}); }
    static Variant NodeIdOf(NodeId v) { return Scalar(BuiltinType::NodeId, std::move(v)); }
    static Variant LocalizedTextOf(LocalizedText v) { return Scalar(BuiltinType::LocalizedText, std::move(v)); }
    static Variant QualifiedNameOf(QualifiedName v) { return Scalar(BuiltinType::QualifiedName, std::move(v)); }
    static Variant StringArray(const std::vector<std::string>& v);
    static Variant ExtensionObjectOf(ExtensionObject v) { return Scalar(BuiltinType::ExtensionObject, std::move(v)); }

    bool operator==(const Variant& other) const;
};

struct DataValue {
    std::optional<Variant> value;
    std::optional<StatusCode> status;  // absent: Good
    std::optional<DateTime> sourceTimestamp;
    std::optional<std::uint16_t> sourcePicoseconds;
    std::optional<DateTime> serverTimestamp;
    std::optional<std::uint16_t> serverPicoseconds;

    StatusCode Status() const { return status.value_or(0); }
    bool operator==(const DataValue& other) const;
};

struct DiagnosticInfo {
    std::optional<std::int32_t> symbolicId;
    std::optional<std::int32_t> namespaceUri;
    std::optional<std::int32_t> localizedText;
    std::optional<std::int32_t> locale;
    std::optional<std::string> additionalInfo;
    std::optional<StatusCode> innerStatusCode;
    std::shared_ptr<DiagnosticInfo> innerDiagnosticInfo;
    bool operator==(const DiagnosticInfo& other) const;
};

// The current time as a DateTime.
DateTime Now();

// Status codes (OPC 10000-4, 7.34, and the standard's StatusCode table).
namespace status {
constexpr StatusCode Good = 0x00000000;
constexpr StatusCode GoodLocalOverride = 0x00960000;
constexpr StatusCode GoodSubscriptionTransferred = 0x002D0000;
constexpr StatusCode GoodOverload = 0x002F0000;
constexpr StatusCode Uncertain = 0x40000000;
constexpr StatusCode UncertainLastUsableValue = 0x40900000;
constexpr StatusCode UncertainSensorNotAccurate = 0x40930000;
constexpr StatusCode UncertainEngineeringUnitsExceeded = 0x40940000;
constexpr StatusCode UncertainSubNormal = 0x40950000;
constexpr StatusCode Bad = 0x80000000;
constexpr StatusCode BadUnexpectedError = 0x80010000;
constexpr StatusCode BadInternalError = 0x80020000;
constexpr StatusCode BadOutOfMemory = 0x80030000;
constexpr StatusCode BadResourceUnavailable = 0x80040000;
constexpr StatusCode BadCommunicationError = 0x80050000;
constexpr StatusCode BadEncodingError = 0x80060000;
constexpr StatusCode BadDecodingError = 0x80070000;
constexpr StatusCode BadEncodingLimitsExceeded = 0x80080000;
constexpr StatusCode BadRequestTooLarge = 0x80B80000;
constexpr StatusCode BadResponseTooLarge = 0x80B90000;
constexpr StatusCode BadUnknownResponse = 0x80090000;
constexpr StatusCode BadTimeout = 0x800A0000;
constexpr StatusCode BadServiceUnsupported = 0x800B0000;
constexpr StatusCode BadShutdown = 0x800C0000;
constexpr StatusCode BadServerNotConnected = 0x800D0000;
constexpr StatusCode BadServerHalted = 0x800E0000;
constexpr StatusCode BadNothingToDo = 0x800F0000;
constexpr StatusCode BadTooManyOperations = 0x80100000;
constexpr StatusCode BadDataTypeIdUnknown = 0x80110000;
constexpr StatusCode BadCertificateInvalid = 0x80120000;
constexpr StatusCode BadSecurityChecksFailed = 0x80130000;
constexpr StatusCode BadCertificateTimeInvalid = 0x80140000;
constexpr StatusCode BadCertificateIssuerTimeInvalid = 0x80150000;
constexpr StatusCode BadCertificateHostNameInvalid = 0x80160000;
constexpr StatusCode BadCertificateUriInvalid = 0x80170000;
constexpr StatusCode BadCertificateUseNotAllowed = 0x80180000;
constexpr StatusCode BadCertificateIssuerUseNotAllowed = 0x80190000;
constexpr StatusCode BadCertificateUntrusted = 0x801A0000;
constexpr StatusCode BadCertificateRevocationUnknown = 0x801B0000;
constexpr StatusCode BadCertificateIssuerRevocationUnknown = 0x801C0000;
constexpr StatusCode BadCertificateRevoked = 0x801D0000;
constexpr StatusCode BadCertificateIssuerRevoked = 0x801E0000;
constexpr StatusCode BadCertificateChainIncomplete = 0x810D0000;
constexpr StatusCode BadUserSignatureInvalid = 0x80570000;
constexpr StatusCode BadApplicationSignatureInvalid = 0x80580000;
constexpr StatusCode BadUserAccessDenied = 0x801F0000;
constexpr StatusCode BadIdentityTokenInvalid = 0x80200000;
constexpr StatusCode BadIdentityTokenRejected = 0x80210000;
constexpr StatusCode BadSecureChannelIdInvalid = 0x80220000;
constexpr StatusCode BadInvalidTimestamp = 0x80230000;
constexpr StatusCode BadNonceInvalid = 0x80240000;
constexpr StatusCode BadSessionIdInvalid = 0x80250000;
constexpr StatusCode BadSessionClosed = 0x80260000;
constexpr StatusCode BadSessionNotActivated = 0x80270000;
constexpr StatusCode BadSubscriptionIdInvalid = 0x80280000;
constexpr StatusCode BadRequestHeaderInvalid = 0x802A0000;
constexpr StatusCode BadTimestampsToReturnInvalid = 0x802B0000;
constexpr StatusCode BadRequestCancelledByClient = 0x802C0000;
constexpr StatusCode BadNoCommunication = 0x80310000;
constexpr StatusCode BadWaitingForInitialData = 0x80320000;
constexpr StatusCode BadNodeIdInvalid = 0x80330000;
constexpr StatusCode BadNodeIdUnknown = 0x80340000;
constexpr StatusCode BadAttributeIdInvalid = 0x80350000;
constexpr StatusCode BadIndexRangeInvalid = 0x80360000;
constexpr StatusCode BadIndexRangeNoData = 0x80370000;
constexpr StatusCode BadDataEncodingInvalid = 0x80380000;
constexpr StatusCode BadDataEncodingUnsupported = 0x80390000;
constexpr StatusCode BadNotReadable = 0x803A0000;
constexpr StatusCode BadNotWritable = 0x803B0000;
constexpr StatusCode BadOutOfRange = 0x803C0000;
constexpr StatusCode BadNotSupported = 0x803D0000;
constexpr StatusCode BadNotFound = 0x803E0000;
constexpr StatusCode BadObjectDeleted = 0x803F0000;
constexpr StatusCode BadNotImplemented = 0x80400000;
constexpr StatusCode BadMonitoringModeInvalid = 0x80410000;
constexpr StatusCode BadMonitoredItemIdInvalid = 0x80420000;
constexpr StatusCode BadMonitoredItemFilterInvalid = 0x80430000;
constexpr StatusCode BadMonitoredItemFilterUnsupported = 0x80440000;
constexpr StatusCode BadFilterNotAllowed = 0x80450000;
constexpr StatusCode BadContinuationPointInvalid = 0x804A0000;
constexpr StatusCode BadNoContinuationPoints = 0x804B0000;
constexpr StatusCode BadReferenceTypeIdInvalid = 0x804C0000;
constexpr StatusCode BadBrowseDirectionInvalid = 0x804D0000;
constexpr StatusCode BadNodeNotInView = 0x804E0000;
constexpr StatusCode BadServerUriInvalid = 0x804F0000;
constexpr StatusCode BadSecurityModeRejected = 0x80540000;
constexpr StatusCode BadSecurityPolicyRejected = 0x80550000;
constexpr StatusCode BadTooManySessions = 0x80560000;
constexpr StatusCode BadNoSubscription = 0x80790000;
constexpr StatusCode BadSequenceNumberUnknown = 0x807A0000;
constexpr StatusCode BadMessageNotAvailable = 0x807B0000;
constexpr StatusCode BadTooManySubscriptions = 0x80770000;
constexpr StatusCode BadTooManyPublishRequests = 0x80780000;
constexpr StatusCode BadTooManyMonitoredItems = 0x80DB0000;
constexpr StatusCode BadTypeMismatch = 0x80740000;
constexpr StatusCode BadTcpMessageTypeInvalid = 0x807E0000;
constexpr StatusCode BadTcpSecureChannelUnknown = 0x807F0000;
constexpr StatusCode BadTcpMessageTooLarge = 0x80800000;
constexpr StatusCode BadTcpNotEnoughResources = 0x80810000;
constexpr StatusCode BadTcpInternalError = 0x80820000;
constexpr StatusCode BadTcpEndpointUrlInvalid = 0x80830000;
constexpr StatusCode BadRequestInterrupted = 0x80840000;
constexpr StatusCode BadRequestTimeout = 0x80850000;
constexpr StatusCode BadSecureChannelClosed = 0x80860000;
constexpr StatusCode BadSecureChannelTokenUnknown = 0x80870000;
constexpr StatusCode BadSequenceNumberInvalid = 0x80880000;
constexpr StatusCode BadProtocolVersionUnsupported = 0x80BE0000;
constexpr StatusCode BadConfigurationError = 0x80890000;
constexpr StatusCode BadNotConnected = 0x808A0000;
constexpr StatusCode BadDeviceFailure = 0x808B0000;
constexpr StatusCode BadSensorFailure = 0x808C0000;
constexpr StatusCode BadOutOfService = 0x808D0000;
constexpr StatusCode BadDeadbandFilterInvalid = 0x808E0000;
constexpr StatusCode BadWriteNotSupported = 0x80730000;
constexpr StatusCode BadMaxAgeInvalid = 0x80700000;
constexpr StatusCode BadTooManyArguments = 0x80E50000;
constexpr StatusCode BadInvalidArgument = 0x80AB0000;
constexpr StatusCode BadBrowseNameInvalid = 0x80600000;
constexpr StatusCode BadNoMatch = 0x806F0000;
constexpr StatusCode BadViewIdUnknown = 0x806B0000;
constexpr StatusCode GoodNoData = 0x00A50000;
constexpr StatusCode BadHistoryOperationInvalid = 0x80710000;
constexpr StatusCode BadHistoryOperationUnsupported = 0x80720000;
constexpr StatusCode BadInvalidTimestampArgument = 0x80BD0000;
}  // namespace status

inline bool IsBad(StatusCode code) { return (code & 0x80000000u) != 0; }
inline bool IsUncertain(StatusCode code) { return (code & 0xC0000000u) == 0x40000000u; }
inline bool IsGood(StatusCode code) { return (code & 0xC0000000u) == 0; }

// Attribute ids (OPC 10000-6, A.1).
enum class AttributeId : std::uint32_t {
    NodeId = 1,
    NodeClass = 2,
    BrowseName = 3,
    DisplayName = 4,
    Description = 5,
    WriteMask = 6,
    UserWriteMask = 7,
    IsAbstract = 8,
    Symmetric = 9,
    InverseName = 10,
    ContainsNoLoops = 11,
    EventNotifier = 12,
    Value = 13,
    DataType = 14,
    ValueRank = 15,
    ArrayDimensions = 16,
    AccessLevel = 17,
    UserAccessLevel = 18,
    MinimumSamplingInterval = 19,
    Historizing = 20,
    Executable = 21,
    UserExecutable = 22,
    DataTypeDefinition = 23,
    RolePermissions = 24,
    UserRolePermissions = 25,
    AccessRestrictions = 26,
    AccessLevelEx = 27,
};

enum class NodeClass : std::int32_t {
    Unspecified = 0,
    Object = 1,
    Variable = 2,
    Method = 4,
    ObjectType = 8,
    VariableType = 16,
    ReferenceType = 32,
    DataType = 64,
    View = 128,
};

}  // namespace ua
