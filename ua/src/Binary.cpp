// UA Binary: the reader refuses anything malformed before it allocates for
// it, so a hostile client can cost this server at most the bytes it sent
// times a small factor, and never a crash.

#include "ua/Binary.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace ua {

namespace {

constexpr std::uint8_t kNodeIdTwoByte = 0x00;
constexpr std::uint8_t kNodeIdFourByte = 0x01;
constexpr std::uint8_t kNodeIdNumeric = 0x02;
constexpr std::uint8_t kNodeIdString = 0x03;
constexpr std::uint8_t kNodeIdGuid = 0x04;
constexpr std::uint8_t kNodeIdByteString = 0x05;
constexpr std::uint8_t kExpandedNamespaceUri = 0x80;
constexpr std::uint8_t kExpandedServerIndex = 0x40;

constexpr std::uint8_t kVariantArray = 0x80;
constexpr std::uint8_t kVariantDimensions = 0x40;
constexpr std::uint8_t kVariantTypeMask = 0x3F;

constexpr std::size_t kSharedOverhead = 16;

constexpr std::uint8_t kLastBuiltinType = static_cast<std::uint8_t>(BuiltinType::DiagnosticInfo);

[[noreturn]] void Malformed(const std::string& what) { throw DecodeError(status::BadDecodingError, what); }
[[noreturn]] void TooLarge(const std::string& what) { throw DecodeError(status::BadEncodingLimitsExceeded, what); }
// The encoder's own misuse (a value the type cannot carry) is reported with
// the same exception type the services already catch, with its own code.
[[noreturn]] void Unencodable(const std::string& what) { throw DecodeError(status::BadEncodingError, what); }

// The fewest bytes one element of each built-in type takes on the wire: an
// array count is refused when even elements this small could not fit.
std::size_t MinEncodedSize(BuiltinType type) {
    switch (type) {
        case BuiltinType::Int16:
        case BuiltinType::UInt16:
        case BuiltinType::NodeId:
        case BuiltinType::ExpandedNodeId:
            return 2;
        case BuiltinType::Int32:
        case BuiltinType::UInt32:
        case BuiltinType::Float:
        case BuiltinType::String:
        case BuiltinType::ByteString:
        case BuiltinType::XmlElement:
        case BuiltinType::StatusCode:
            return 4;
        case BuiltinType::Int64:
        case BuiltinType::UInt64:
        case BuiltinType::Double:
        case BuiltinType::DateTime:
            return 8;
        case BuiltinType::Guid:
            return 16;
        case BuiltinType::QualifiedName:
            return 6;
        case BuiltinType::ExtensionObject:
            return 3;
        default:
            return 1;
    }
}

// Reads the widened value of a Variant element whatever numeric alternative
// the caller stored it as.
template <typename T>
T NumberOf(const VariantValue& value, BuiltinType type) {
    if (const auto* b = std::get_if<bool>(&value)) return static_cast<T>(*b);
    if (const auto* i = std::get_if<std::int64_t>(&value)) {
        if constexpr (std::is_floating_point_v<T>) {
            return static_cast<T>(*i);
        } else if constexpr (std::is_signed_v<T>) {
            if (*i < std::numeric_limits<T>::min() || *i > std::numeric_limits<T>::max()) {
                Unencodable("a Variant value out of its type's range");
            }
            return static_cast<T>(*i);
        } else {
            if (*i < 0 || static_cast<std::uint64_t>(*i) > std::numeric_limits<T>::max()) {
                Unencodable("a Variant value out of its type's range");
            }
            return static_cast<T>(*i);
        }
    }
    if (const auto* u = std::get_if<std::uint64_t>(&value)) {
        if constexpr (!std::is_floating_point_v<T>) {
            if (*u > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                Unencodable("a Variant value out of its type's range");
            }
        }
        return static_cast<T>(*u);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        if constexpr (std::is_same_v<T, float>) {
            // Beyond float's range the value is infinite, stated here rather
            // than left to an out-of-range conversion.
            if (*d > static_cast<double>(std::numeric_limits<float>::max())) return std::numeric_limits<float>::infinity();
            if (*d < -static_cast<double>(std::numeric_limits<float>::max())) return -std::numeric_limits<float>::infinity();
            return static_cast<float>(*d);
        } else if constexpr (std::is_floating_point_v<T>) {
            return static_cast<T>(*d);
        } else {
            // Only whole numbers within range convert; anything else would be
            // a silent change of the value. The bounds are powers of two, so
            // they are exact as doubles.
            const double limit = std::ldexp(1.0, std::numeric_limits<T>::digits);
            const double low = std::is_signed_v<T> ? -limit : 0.0;
            if (!(*d >= low && *d < limit) || std::trunc(*d) != *d) {
                Unencodable("a Variant value out of its type's range");
            }
            return static_cast<T>(*d);
        }
    }
    Unencodable("a Variant of type " + std::to_string(static_cast<int>(type)) + " holds a value of another type");
}

bool BoolOf(const VariantValue& value, BuiltinType type) {
    if (const auto* b = std::get_if<bool>(&value)) return *b;
    if (const auto* i = std::get_if<std::int64_t>(&value)) return *i != 0;
    if (const auto* u = std::get_if<std::uint64_t>(&value)) return *u != 0;
    if (const auto* d = std::get_if<double>(&value)) return *d != 0.0;
    Unencodable("a Variant of type " + std::to_string(static_cast<int>(type)) + " holds a value of another type");
}

template <typename T>
const T& AlternativeOf(const VariantValue& value, BuiltinType type) {
    if (const auto* v = std::get_if<T>(&value)) return *v;
    Unencodable("a Variant of type " + std::to_string(static_cast<int>(type)) + " holds a value of another type");
}

void WriteNodeIdWithFlags(Writer& w, const NodeId& v, std::uint8_t flags) {
    switch (v.kind) {
        case NodeId::Kind::Numeric:
            if (v.ns == 0 && v.numeric <= 0xFF) {
                w.Byte(kNodeIdTwoByte | flags);
                w.Byte(static_cast<std::uint8_t>(v.numeric));
            } else if (v.ns <= 0xFF && v.numeric <= 0xFFFF) {
                w.Byte(kNodeIdFourByte | flags);
                w.Byte(static_cast<std::uint8_t>(v.ns));
                w.UInt16(static_cast<std::uint16_t>(v.numeric));
            } else {
                w.Byte(kNodeIdNumeric | flags);
                w.UInt16(v.ns);
                w.UInt32(v.numeric);
            }
            return;
        case NodeId::Kind::String:
            w.Byte(kNodeIdString | flags);
            w.UInt16(v.ns);
            w.String(v.text);
            return;
        case NodeId::Kind::Guid:
            w.Byte(kNodeIdGuid | flags);
            w.UInt16(v.ns);
            w.GuidValue(v.guid);
            return;
        case NodeId::Kind::Opaque:
            w.Byte(kNodeIdByteString | flags);
            w.UInt16(v.ns);
            w.ByteStringValue(v.text);
            return;
    }
}

// The running product of a matrix's dimensions, held at count + 1 once it
// exceeds the count: it never overflows, a later zero still makes it zero,
// and it equals the count only when the true product does.
std::uint64_t DimensionProduct(std::uint64_t product, std::int32_t dim, std::uint64_t count) {
    const std::uint64_t over = count + 1;
    const auto d = static_cast<std::uint64_t>(dim);
    if (d != 0 && product > over / d) return over;
    product *= d;
    return product > count ? over : product;
}

std::uint32_t LoadLE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

std::uint64_t LoadLE64(const std::uint8_t* p) {
    return std::uint64_t(LoadLE32(p)) | (std::uint64_t(LoadLE32(p + 4)) << 32);
}

}  // namespace

// ---------------------------------------------------------------- Reader

Reader::Reader(const std::uint8_t* data, std::size_t size, DecodeLimits limits)
    : data_(data), size_(data == nullptr ? 0 : size), limits_(limits) {}

Reader::Depth::Depth(Reader& reader) : reader_(reader) {
    // Checked before counting: a constructor that throws runs no destructor.
    if (reader_.depth_ >= reader_.limits_.maxDepth) TooLarge("values nested deeper than the limit");
    ++reader_.depth_;
}

void Reader::Need(std::size_t count) const {
    if (count > Remaining()) Malformed("message ends inside a value");
}

void Reader::Charge(std::size_t bytes) {
    if (bytes > limits_.maxDecodedBytes - decoded_) TooLarge("message decodes to more memory than the limit");
    decoded_ += bytes;
}

void Reader::Skip(std::size_t count) {
    Need(count);
    pos_ += count;
}

void Reader::ExpectEnd() const {
    if (Remaining() != 0) Malformed(std::to_string(Remaining()) + " bytes left over after the message");
}

bool Reader::Boolean() { return Byte() != 0; }

std::int8_t Reader::SByte() { return static_cast<std::int8_t>(Byte()); }

std::uint8_t Reader::Byte() {
    Need(1);
    return data_[pos_++];
}

std::int16_t Reader::Int16() { return static_cast<std::int16_t>(UInt16()); }

std::uint16_t Reader::UInt16() {
    Need(2);
    const auto v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
}

std::int32_t Reader::Int32() { return static_cast<std::int32_t>(UInt32()); }

std::uint32_t Reader::UInt32() {
    Need(4);
    const std::uint32_t v = LoadLE32(data_ + pos_);
    pos_ += 4;
    return v;
}

std::int64_t Reader::Int64() { return static_cast<std::int64_t>(UInt64()); }

std::uint64_t Reader::UInt64() {
    Need(8);
    const std::uint64_t v = LoadLE64(data_ + pos_);
    pos_ += 8;
    return v;
}

float Reader::Float() {
    const std::uint32_t bits = UInt32();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

double Reader::Double() {
    const std::uint64_t bits = UInt64();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::string Reader::String() {
    const std::int32_t length = Int32();
    if (length == -1) return {};
    if (length < 0) Malformed("negative string length " + std::to_string(length));
    const auto size = static_cast<std::size_t>(length);
    if (size > limits_.maxStringLength) TooLarge("string of " + std::to_string(size) + " bytes is beyond the limit");
    Need(size);
    std::string out(reinterpret_cast<const char*>(data_ + pos_), size);
    pos_ += size;
    return out;
}

DateTime Reader::DateTimeValue() { return Int64(); }

Guid Reader::GuidValue() {
    Guid g;
    g.data1 = UInt32();
    g.data2 = UInt16();
    g.data3 = UInt16();
    Need(8);
    std::memcpy(g.data4.data(), data_ + pos_, 8);
    pos_ += 8;
    return g;
}

ByteString Reader::ByteStringValue() { return String(); }

NodeId Reader::NodeIdBody(std::uint8_t encoding) {
    NodeId id;
    switch (encoding) {
        case kNodeIdTwoByte:
            id.numeric = Byte();
            return id;
        case kNodeIdFourByte:
            id.ns = Byte();
            id.numeric = UInt16();
            return id;
        case kNodeIdNumeric:
            id.ns = UInt16();
            id.numeric = UInt32();
            return id;
        case kNodeIdString:
            id.ns = UInt16();
            id.kind = NodeId::Kind::String;
            id.text = String();
            return id;
        case kNodeIdGuid:
            id.ns = UInt16();
            id.kind = NodeId::Kind::Guid;
            id.guid = GuidValue();
            return id;
        case kNodeIdByteString:
            id.ns = UInt16();
            id.kind = NodeId::Kind::Opaque;
            id.text = ByteStringValue();
            return id;
        default:
            Malformed("unknown NodeId encoding " + std::to_string(encoding));
    }
}

NodeId Reader::NodeIdValue() {
    // The ExpandedNodeId's flags have no meaning in a plain NodeId.
    return NodeIdBody(Byte());
}

ExpandedNodeId Reader::ExpandedNodeIdValue() {
    const std::uint8_t encoding = Byte();
    ExpandedNodeId id;
    id.node = NodeIdBody(encoding & ~(kExpandedNamespaceUri | kExpandedServerIndex));
    if (encoding & kExpandedNamespaceUri) id.namespaceUri = String();
    if (encoding & kExpandedServerIndex) id.serverIndex = UInt32();
    return id;
}

QualifiedName Reader::QualifiedNameValue() {
    QualifiedName q;
    q.ns = UInt16();
    q.name = String();
    return q;
}

LocalizedText Reader::LocalizedTextValue() {
    const std::uint8_t mask = Byte();
    if (mask & ~0x03) Malformed("unknown LocalizedText encoding bits");
    LocalizedText t;
    if (mask & 0x01) t.locale = String();
    if (mask & 0x02) t.text = String();
    return t;
}

ExtensionObject Reader::ExtensionObjectValue() {
    ExtensionObject object;
    object.typeId = NodeIdValue();
    const std::uint8_t encoding = Byte();
    switch (encoding) {
        case 0:
            object.encoding = ExtensionObject::Encoding::None;
            return object;
        case 1:
            object.encoding = ExtensionObject::Encoding::Binary;
            break;
        case 2:
            object.encoding = ExtensionObject::Encoding::Xml;
            break;
        default:
            Malformed("unknown ExtensionObject encoding " + std::to_string(encoding));
    }
    object.body = ByteStringValue();
    return object;
}

DataValue Reader::DataValueValue() {
    Depth depth(*this);
    const std::uint8_t mask = Byte();
    if (mask & 0xC0) Malformed("unknown DataValue encoding bits");
    DataValue v;
    if (mask & 0x01) v.value = VariantValue();
    if (mask & 0x02) v.status = StatusCodeValue();
    if (mask & 0x04) v.sourceTimestamp = DateTimeValue();
    if (mask & 0x10) v.sourcePicoseconds = UInt16();
    if (mask & 0x08) v.serverTimestamp = DateTimeValue();
    if (mask & 0x20) v.serverPicoseconds = UInt16();
    return v;
}

VariantValue Reader::ScalarOf(BuiltinType type) {
    switch (type) {
        case BuiltinType::Boolean:
            return Boolean();
        case BuiltinType::SByte:
            return std::int64_t{SByte()};
        case BuiltinType::Byte:
            return std::uint64_t{Byte()};
        case BuiltinType::Int16:
            return std::int64_t{Int16()};
        case BuiltinType::UInt16:
            return std::uint64_t{UInt16()};
        case BuiltinType::Int32:
            return std::int64_t{Int32()};
        case BuiltinType::UInt32:
            return std::uint64_t{UInt32()};
        case BuiltinType::Int64:
            return std::int64_t{Int64()};
        case BuiltinType::UInt64:
            return std::uint64_t{UInt64()};
        case BuiltinType::Float:
            return static_cast<double>(Float());
        case BuiltinType::Double:
            return Double();
        case BuiltinType::String:
            return String();
        case BuiltinType::DateTime:
            return std::int64_t{DateTimeValue()};
        case BuiltinType::Guid:
            return GuidValue();
        case BuiltinType::ByteString:
            return ByteStringValue();
        case BuiltinType::XmlElement:
            return XmlElement();
        case BuiltinType::NodeId:
            return NodeIdValue();
        case BuiltinType::ExpandedNodeId:
            return ExpandedNodeIdValue();
        case BuiltinType::StatusCode:
            return std::uint64_t{StatusCodeValue()};
        case BuiltinType::QualifiedName:
            return QualifiedNameValue();
        case BuiltinType::LocalizedText:
            return LocalizedTextValue();
        case BuiltinType::ExtensionObject:
            return ExtensionObjectValue();
        // Each nested value is a heap block of its own, with the shared
        // pointer's control block beside it.
        case BuiltinType::DataValue:
            Charge(sizeof(DataValue) + kSharedOverhead);
            return std::make_shared<DataValue>(DataValueValue());
        case BuiltinType::Variant:
            Charge(sizeof(ua::Variant) + kSharedOverhead);
            return std::make_shared<ua::Variant>(VariantValue());
        case BuiltinType::DiagnosticInfo:
            Charge(sizeof(DiagnosticInfo) + kSharedOverhead);
            return std::make_shared<DiagnosticInfo>(DiagnosticInfoValue());
        case BuiltinType::Null:
            break;
    }
    Malformed("a Variant element of type Null");
}

Variant Reader::VariantValue() {
    Depth depth(*this);
    const std::uint8_t mask = Byte();
    const std::uint8_t typeId = mask & kVariantTypeMask;
    if (typeId > kLastBuiltinType) Malformed("unknown Variant type " + std::to_string(typeId));
    ua::Variant v;
    v.type = static_cast<BuiltinType>(typeId);
    if (v.type == BuiltinType::Null) {
        // Null carries nothing; flags on it describe elements that cannot exist.
        if (mask != 0) Malformed("a null Variant with array flags");
        return v;
    }
    if ((mask & kVariantDimensions) && !(mask & kVariantArray)) Malformed("Variant dimensions without an array");
    if (!(mask & kVariantArray)) {
        v.values.push_back(ScalarOf(v.type));
        return v;
    }
    v.isArray = true;
    const std::size_t count = ArrayLength(MinEncodedSize(v.type));
    Charge(count * sizeof(ua::VariantValue));
    v.values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) v.values.push_back(ScalarOf(v.type));
    if (mask & kVariantDimensions) {
        const std::size_t rank = ArrayLength(4);
        if (rank == 0) Malformed("Variant dimensions with no dimension");
        std::vector<std::int32_t> dims;
        dims.reserve(rank);
        std::uint64_t product = 1;
        for (std::size_t i = 0; i < rank; ++i) {
            const std::int32_t dim = Int32();
            if (dim < 0) Malformed("negative Variant dimension");
            dims.push_back(dim);
            product = DimensionProduct(product, dim, count);
        }
        if (product != count) Malformed("Variant dimensions do not match its element count");
        // One dimension says no more than the count; only a matrix keeps them.
        if (rank > 1) v.dimensions = std::move(dims);
    }
    return v;
}

DiagnosticInfo Reader::DiagnosticInfoValue() {
    Depth depth(*this);
    const std::uint8_t mask = Byte();
    if (mask & 0x80) Malformed("unknown DiagnosticInfo encoding bits");
    DiagnosticInfo d;
    if (mask & 0x01) d.symbolicId = Int32();
    if (mask & 0x02) d.namespaceUri = Int32();
    if (mask & 0x08) d.locale = Int32();
    if (mask & 0x04) d.localizedText = Int32();
    if (mask & 0x10) d.additionalInfo = String();
    if (mask & 0x20) d.innerStatusCode = StatusCodeValue();
    if (mask & 0x40) {
        Charge(sizeof(DiagnosticInfo) + kSharedOverhead);
        d.innerDiagnosticInfo = std::make_shared<DiagnosticInfo>(DiagnosticInfoValue());
    }
    return d;
}

std::size_t Reader::ArrayLength(std::size_t minBytesPerElement) {
    const std::int32_t length = Int32();
    if (length == -1) return 0;
    if (length < 0) Malformed("negative array length " + std::to_string(length));
    const auto count = static_cast<std::size_t>(length);
    if (count > limits_.maxArrayLength) TooLarge("array of " + std::to_string(count) + " elements is beyond the limit");
    const std::size_t perElement = minBytesPerElement == 0 ? 1 : minBytesPerElement;
    // count <= INT32_MAX and perElement is small, so the division avoids overflow.
    if (count > Remaining() / perElement) Malformed("array of " + std::to_string(count) + " elements cannot fit the message");
    return count;
}

// ---------------------------------------------------------------- Writer

void Writer::Raw(const void* data, std::size_t size) {
    if (size == 0) return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    Out().insert(Out().end(), bytes, bytes + size);
}

void Writer::PatchUInt32(std::size_t position, std::uint32_t v) {
    auto& out = Out();
    if (position > out.size() || out.size() - position < 4) {
        throw std::out_of_range("PatchUInt32 beyond the bytes written");
    }
    for (int i = 0; i < 4; ++i) out[position + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Writer::Boolean(bool v) { Byte(v ? 1 : 0); }
void Writer::SByte(std::int8_t v) { Byte(static_cast<std::uint8_t>(v)); }
void Writer::Byte(std::uint8_t v) { Out().push_back(v); }
void Writer::Int16(std::int16_t v) { UInt16(static_cast<std::uint16_t>(v)); }

void Writer::UInt16(std::uint16_t v) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    Raw(bytes, 2);
}

void Writer::Int32(std::int32_t v) { UInt32(static_cast<std::uint32_t>(v)); }

void Writer::UInt32(std::uint32_t v) {
    std::uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    Raw(bytes, 4);
}

void Writer::Int64(std::int64_t v) { UInt64(static_cast<std::uint64_t>(v)); }

void Writer::UInt64(std::uint64_t v) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    Raw(bytes, 8);
}

void Writer::Float(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    UInt32(bits);
}

void Writer::Double(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    UInt64(bits);
}

void Writer::String(const std::string& v) {
    if (v.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        Unencodable("string too long to encode");
    }
    Int32(static_cast<std::int32_t>(v.size()));
    Raw(v.data(), v.size());
}

void Writer::GuidValue(const Guid& v) {
    UInt32(v.data1);
    UInt16(v.data2);
    UInt16(v.data3);
    Raw(v.data4.data(), v.data4.size());
}

void Writer::ByteStringValue(const ByteString& v) {
    if (v.empty()) {
        NullString();
        return;
    }
    String(v);
}

void Writer::NodeIdValue(const NodeId& v) { WriteNodeIdWithFlags(*this, v, 0); }

void Writer::ExpandedNodeIdValue(const ExpandedNodeId& v) {
    std::uint8_t flags = 0;
    if (!v.namespaceUri.empty()) flags |= kExpandedNamespaceUri;
    if (v.serverIndex != 0) flags |= kExpandedServerIndex;
    WriteNodeIdWithFlags(*this, v.node, flags);
    if (flags & kExpandedNamespaceUri) String(v.namespaceUri);
    if (flags & kExpandedServerIndex) UInt32(v.serverIndex);
}

void Writer::QualifiedNameValue(const QualifiedName& v) {
    UInt16(v.ns);
    String(v.name);
}

void Writer::LocalizedTextValue(const LocalizedText& v) {
    std::uint8_t mask = 0;
    if (!v.locale.empty()) mask |= 0x01;
    if (!v.text.empty()) mask |= 0x02;
    Byte(mask);
    if (mask & 0x01) String(v.locale);
    if (mask & 0x02) String(v.text);
}

void Writer::ExtensionObjectValue(const ExtensionObject& v) {
    NodeIdValue(v.typeId);
    Byte(static_cast<std::uint8_t>(v.encoding));
    if (v.encoding != ExtensionObject::Encoding::None) String(v.body);
}

void Writer::DataValueValue(const DataValue& v) {
    std::uint8_t mask = 0;
    // Good and a null value are what an absent field means, so they go absent.
    if (v.value && !v.value->IsNull()) mask |= 0x01;
    if (v.Status() != status::Good) mask |= 0x02;
    if (v.sourceTimestamp) mask |= 0x04;
    if (v.serverTimestamp) mask |= 0x08;
    if (v.sourcePicoseconds) mask |= 0x10;
    if (v.serverPicoseconds) mask |= 0x20;
    Byte(mask);
    if (mask & 0x01) VariantValue(*v.value);
    if (mask & 0x02) StatusCodeValue(v.Status());
    if (mask & 0x04) DateTimeValue(*v.sourceTimestamp);
    if (mask & 0x10) UInt16(*v.sourcePicoseconds);
    if (mask & 0x08) DateTimeValue(*v.serverTimestamp);
    if (mask & 0x20) UInt16(*v.serverPicoseconds);
}

void Writer::ScalarOf(BuiltinType type, const ua::VariantValue& value) {
    switch (type) {
        case BuiltinType::Boolean:
            Boolean(BoolOf(value, type));
            return;
        case BuiltinType::SByte:
            SByte(NumberOf<std::int8_t>(value, type));
            return;
        case BuiltinType::Byte:
            Byte(NumberOf<std::uint8_t>(value, type));
            return;
        case BuiltinType::Int16:
            Int16(NumberOf<std::int16_t>(value, type));
            return;
        case BuiltinType::UInt16:
            UInt16(NumberOf<std::uint16_t>(value, type));
            return;
        case BuiltinType::Int32:
            Int32(NumberOf<std::int32_t>(value, type));
            return;
        case BuiltinType::UInt32:
            UInt32(NumberOf<std::uint32_t>(value, type));
            return;
        case BuiltinType::Int64:
        case BuiltinType::DateTime:
            Int64(NumberOf<std::int64_t>(value, type));
            return;
        case BuiltinType::UInt64:
            UInt64(NumberOf<std::uint64_t>(value, type));
            return;
        case BuiltinType::StatusCode:
            UInt32(NumberOf<std::uint32_t>(value, type));
            return;
        case BuiltinType::Float:
            Float(NumberOf<float>(value, type));
            return;
        case BuiltinType::Double:
            Double(NumberOf<double>(value, type));
            return;
        case BuiltinType::String:
        case BuiltinType::XmlElement:
            String(AlternativeOf<std::string>(value, type));
            return;
        case BuiltinType::ByteString:
            ByteStringValue(AlternativeOf<std::string>(value, type));
            return;
        case BuiltinType::Guid:
            GuidValue(AlternativeOf<Guid>(value, type));
            return;
        case BuiltinType::NodeId:
            NodeIdValue(AlternativeOf<NodeId>(value, type));
            return;
        case BuiltinType::ExpandedNodeId:
            ExpandedNodeIdValue(AlternativeOf<ExpandedNodeId>(value, type));
            return;
        case BuiltinType::QualifiedName:
            QualifiedNameValue(AlternativeOf<QualifiedName>(value, type));
            return;
        case BuiltinType::LocalizedText:
            LocalizedTextValue(AlternativeOf<LocalizedText>(value, type));
            return;
        case BuiltinType::ExtensionObject:
            ExtensionObjectValue(AlternativeOf<ExtensionObject>(value, type));
            return;
        case BuiltinType::DataValue: {
            const auto& p = AlternativeOf<std::shared_ptr<ua::DataValue>>(value, type);
            DataValueValue(p ? *p : ua::DataValue{});
            return;
        }
        case BuiltinType::Variant: {
            const auto& p = AlternativeOf<std::shared_ptr<ua::Variant>>(value, type);
            VariantValue(p ? *p : ua::Variant{});
            return;
        }
        case BuiltinType::DiagnosticInfo: {
            const auto& p = AlternativeOf<std::shared_ptr<ua::DiagnosticInfo>>(value, type);
            DiagnosticInfoValue(p ? *p : ua::DiagnosticInfo{});
            return;
        }
        case BuiltinType::Null:
            break;
    }
    Unencodable("a Variant element of type Null");
}

void Writer::VariantValue(const ua::Variant& v) {
    if (v.type == BuiltinType::Null) {
        Byte(0);
        return;
    }
    if (static_cast<std::uint8_t>(v.type) > kLastBuiltinType) Unencodable("unknown Variant type");
    auto mask = static_cast<std::uint8_t>(v.type);
    if (!v.isArray) {
        if (v.values.size() != 1) Unencodable("a scalar Variant without exactly one value");
        Byte(mask);
        ScalarOf(v.type, v.values.front());
        return;
    }
    if (v.values.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        Unencodable("Variant array too long to encode");
    }
    if (!v.dimensions.empty()) {
        // Refused here so this server never sends what its own reader refuses.
        std::uint64_t product = 1;
        for (std::int32_t dim : v.dimensions) {
            if (dim < 0) Unencodable("negative Variant dimension");
            product = DimensionProduct(product, dim, v.values.size());
        }
        if (product != v.values.size()) Unencodable("Variant dimensions do not match its element count");
        mask |= kVariantDimensions;
    }
    Byte(mask | kVariantArray);
    Int32(static_cast<std::int32_t>(v.values.size()));
    for (const auto& element : v.values) ScalarOf(v.type, element);
    if (!v.dimensions.empty()) Array(v.dimensions, [](Writer& w, std::int32_t dim) { w.Int32(dim); });
}

void Writer::DiagnosticInfoValue(const DiagnosticInfo& v) {
    std::uint8_t mask = 0;
    if (v.symbolicId) mask |= 0x01;
    if (v.namespaceUri) mask |= 0x02;
    if (v.localizedText) mask |= 0x04;
    if (v.locale) mask |= 0x08;
    if (v.additionalInfo) mask |= 0x10;
    if (v.innerStatusCode) mask |= 0x20;
    if (v.innerDiagnosticInfo) mask |= 0x40;
    Byte(mask);
    if (v.symbolicId) Int32(*v.symbolicId);
    if (v.namespaceUri) Int32(*v.namespaceUri);
    if (v.locale) Int32(*v.locale);
    if (v.localizedText) Int32(*v.localizedText);
    if (v.additionalInfo) String(*v.additionalInfo);
    if (v.innerStatusCode) StatusCodeValue(*v.innerStatusCode);
    if (v.innerDiagnosticInfo) DiagnosticInfoValue(*v.innerDiagnosticInfo);
}

}  // namespace ua
