#pragma once
// UA Binary encoding (OPC 10000-6, 5.2): a Reader that decodes from a buffer
// it does not own and refuses what is malformed or larger than its limits,
// and a Writer that appends to a byte vector. Every count read from the wire
// is checked against the bytes that remain and against the limits before
// anything is allocated for it.

#include "ua/Types.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ua {

// A message that cannot be decoded; the status says why (Bad_DecodingError,
// Bad_EncodingLimitsExceeded).
class DecodeError : public std::runtime_error {
public:
    DecodeError(StatusCode code, const std::string& what) : std::runtime_error(what), code_(code) {}
    StatusCode Code() const { return code_; }

private:
    StatusCode code_;
};

struct DecodeLimits {
    std::size_t maxStringLength = 1 << 20;  // bytes of one String, ByteString or XmlElement
    std::size_t maxArrayLength = 100000;    // elements of one array
    int maxDepth = 32;                      // Variants, DataValues, DiagnosticInfos inside each other
    // Memory the decoded Variants take beyond the bytes they came from: an
    // element of one byte on the wire is a hundred in memory, so one message
    // is held to this much however its arrays are arranged.
    std::size_t maxDecodedBytes = std::size_t{64} << 20;
};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size, DecodeLimits limits = {});
    explicit Reader(const std::vector<std::uint8_t>& bytes, DecodeLimits limits = {})
        : Reader(bytes.data(), bytes.size(), limits) {}
    // The reader keeps a pointer into the bytes: a temporary would be gone
    // before the first read.
    Reader(std::vector<std::uint8_t>&& bytes, DecodeLimits limits = {}) = delete;

    bool Boolean();
    std::int8_t SByte();
    std::uint8_t Byte();
    std::int16_t Int16();
    std::uint16_t UInt16();
    std::int32_t Int32();
    std::uint32_t UInt32();
    std::int64_t Int64();
    std::uint64_t UInt64();
    float Float();
    double Double();
    // A null string reads as empty.
    std::string String();
    DateTime DateTimeValue();
    ua::Guid GuidValue();
    ByteString ByteStringValue();
    std::string XmlElement() { return String(); }
    ua::NodeId NodeIdValue();
    ua::ExpandedNodeId ExpandedNodeIdValue();
    StatusCode StatusCodeValue() { return UInt32(); }
    ua::QualifiedName QualifiedNameValue();
    ua::LocalizedText LocalizedTextValue();
    ua::ExtensionObject ExtensionObjectValue();
    ua::DataValue DataValueValue();
    ua::Variant VariantValue();
    ua::DiagnosticInfo DiagnosticInfoValue();

    // The length of an array: -1 (null) reads as 0; refused beyond the limit
    // or beyond what the remaining bytes could hold at minBytesPerElement.
    std::size_t ArrayLength(std::size_t minBytesPerElement = 1);
    // An array whose elements read one by one with readOne(*this).
    template <typename T, typename F>
    std::vector<T> Array(F&& readOne, std::size_t minBytesPerElement = 1) {
        const std::size_t count = ArrayLength(minBytesPerElement);
        Charge(count * sizeof(T));
        std::vector<T> out;
        out.reserve(count);
        for (std::size_t i = 0; i < count; ++i) out.push_back(readOne(*this));
        return out;
    }

    std::size_t Remaining() const { return size_ - pos_; }
    std::size_t Position() const { return pos_; }
    const std::uint8_t* Current() const { return data_ + pos_; }
    void Skip(std::size_t count);
    // Refuses bytes left over after a whole message.
    void ExpectEnd() const;
    const DecodeLimits& Limits() const { return limits_; }

private:
    void Need(std::size_t count) const;
    // Counts nesting of the recursive types; throws beyond maxDepth.
    struct Depth {
        explicit Depth(Reader& reader);
        ~Depth() { --reader_.depth_; }
        Reader& reader_;
    };
    ua::NodeId NodeIdBody(std::uint8_t encoding);
    ua::VariantValue ScalarOf(BuiltinType type);

    // Counts memory against maxDecodedBytes; throws beyond it.
    void Charge(std::size_t bytes);

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    DecodeLimits limits_;
    int depth_ = 0;
    std::size_t decoded_ = 0;
};

class Writer {
public:
    Writer() = default;
    explicit Writer(std::vector<std::uint8_t>& out) : external_(&out) {}

    void Boolean(bool v);
    void SByte(std::int8_t v);
    void Byte(std::uint8_t v);
    void Int16(std::int16_t v);
    void UInt16(std::uint16_t v);
    void Int32(std::int32_t v);
    void UInt32(std::uint32_t v);
    void Int64(std::int64_t v);
    void UInt64(std::uint64_t v);
    void Float(float v);
    void Double(double v);
    void String(const std::string& v);
    // Length -1: a null String or ByteString.
    void NullString() { Int32(-1); }
    void DateTimeValue(DateTime v) { Int64(v); }
    void GuidValue(const ua::Guid& v);
    // An empty ByteString goes as null.
    void ByteStringValue(const ByteString& v);
    void NodeIdValue(const ua::NodeId& v);
    void ExpandedNodeIdValue(const ua::ExpandedNodeId& v);
    void StatusCodeValue(StatusCode v) { UInt32(v); }
    void QualifiedNameValue(const ua::QualifiedName& v);
    void LocalizedTextValue(const ua::LocalizedText& v);
    void ExtensionObjectValue(const ua::ExtensionObject& v);
    void DataValueValue(const ua::DataValue& v);
    void VariantValue(const ua::Variant& v);
    void DiagnosticInfoValue(const ua::DiagnosticInfo& v);

    template <typename T, typename F>
    void Array(const std::vector<T>& items, F&& writeOne) {
        Int32(static_cast<std::int32_t>(items.size()));
        for (const T& item : items) writeOne(*this, item);
    }
    // Length -1: a null array.
    void NullArray() { Int32(-1); }

    void Raw(const void* data, std::size_t size);
    std::size_t Size() const { return Out().size(); }
    // Overwrites 4 bytes at a position already written (lengths filled in later).
    void PatchUInt32(std::size_t position, std::uint32_t v);
    std::vector<std::uint8_t>& Out() { return external_ != nullptr ? *external_ : own_; }
    const std::vector<std::uint8_t>& Out() const { return external_ != nullptr ? *external_ : own_; }
    std::vector<std::uint8_t> Take() { return std::move(Out()); }

private:
    void ScalarOf(BuiltinType type, const ua::VariantValue& value);
    std::vector<std::uint8_t> own_;
    std::vector<std::uint8_t>* external_ = nullptr;
};

// An ExtensionObject holding a structure encoded by write (its binary
// encoding node is encodingId, namespace 0).
template <typename F>
ExtensionObject EncodeExtensionObject(std::uint32_t encodingId, F&& write) {
    Writer writer;
    write(writer);
    ExtensionObject object;
    object.typeId = NodeId(0, encodingId);
    object.encoding = ExtensionObject::Encoding::Binary;
    const auto& bytes = writer.Out();
    object.body.assign(bytes.begin(), bytes.end());
    return object;
}

}  // namespace ua
