// The built-in types' text forms, comparisons and the Variant's helpers.

#include "ua/Types.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <type_traits>

namespace ua {

namespace {

// FILETIME's epoch (1601-01-01) lies this many 100 ns ticks before the Unix epoch.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                                (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) | std::uint8_t(bytes[i + 2]);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        if (rest == 2) n |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

int Base64Digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict: whole groups of four, padding only at the end.
std::optional<std::string> Base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int pad = 0;
        std::uint32_t n = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            int d = 0;
            if (c == '=') {
                if (!last || k < 2) return std::nullopt;
                ++pad;
            } else {
                if (pad > 0) return std::nullopt;  // a digit after padding
                d = Base64Digit(c);
                if (d < 0) return std::nullopt;
            }
            n = (n << 6) | std::uint32_t(d);
        }
        out += char((n >> 16) & 0xFF);
        if (pad < 2) out += char((n >> 8) & 0xFF);
        if (pad < 1) out += char(n & 0xFF);
    }
    return out;
}

std::optional<std::uint64_t> ParseDecimal(const std::string& text, std::uint64_t max) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = std::uint64_t(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void AppendHex(std::string& out, std::uint64_t value, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i) out += kHex[(value >> (4 * i)) & 0xF];
}

std::string GuidText(const Guid& g) {
    std::string out;
    out.reserve(36);
    AppendHex(out, g.data1, 8);
    out += '-';
    AppendHex(out, g.data2, 4);
    out += '-';
    AppendHex(out, g.data3, 4);
    out += '-';
    for (int i = 0; i < 2; ++i) AppendHex(out, g.data4[i], 2);
    out += '-';
    for (int i = 2; i < 8; ++i) AppendHex(out, g.data4[i], 2);
    return out;
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", either case.
std::optional<Guid> ParseGuid(const std::string& text) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
        return std::nullopt;
    }
    std::uint8_t bytes[16];
    std::size_t pos = 0;
    for (int b = 0; b < 16; ++b) {
        if (pos == 8 || pos == 13 || pos == 18 || pos == 23) ++pos;
        const int hi = HexDigit(text[pos]);
        const int lo = HexDigit(text[pos + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[b] = std::uint8_t(hi * 16 + lo);
        pos += 2;
    }
    Guid g;
    g.data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) |
              bytes[3];
    g.data2 = std::uint16_t((bytes[4] << 8) | bytes[5]);
    g.data3 = std::uint16_t((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) g.data4[i] = bytes[8 + i];
    return g;
}

void HashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// Equal as values on the wire: doubles compare by their bits, so a NaN
// equals the same NaN and a change from 0.0 to -0.0 counts as a change.
bool SameDouble(double a, double b) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

template <typename T>
bool SamePointee(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
    // A missing nested value encodes as the empty one, so they are equal.
    static const T empty{};
    return (a ? *a : empty) == (b ? *b : empty);
}

bool SameValue(const VariantValue& a, const VariantValue& b) {
    if (a.index() != b.index()) return false;
    return std::visit(
        [&b](const auto& x) -> bool {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b);
            if constexpr (std::is_same_v<T, double>) {
                return SameDouble(x, y);
            } else if constexpr (std::is_same_v<T, std::shared_ptr<DataValue>> ||
                                 std::is_same_v<T, std::shared_ptr<Variant>> ||
                                 std::is_same_v<T, std::shared_ptr<DiagnosticInfo>>) {
                return SamePointee(x, y);
            } else {
                return x == y;
            }
        },
        a);
}

enum class Canonical { Keep, Bool, Signed, Unsigned, Real };

Canonical CanonicalOf(BuiltinType type) {
    switch (type) {
        case BuiltinType::Boolean:
            return Canonical::Bool;
        case BuiltinType::SByte:
        case BuiltinType::Int16:
        case BuiltinType::Int32:
        case BuiltinType::Int64:
        case BuiltinType::DateTime:
            return Canonical::Signed;
        case BuiltinType::Byte:
        case BuiltinType::UInt16:
        case BuiltinType::UInt32:
        case BuiltinType::UInt64:
        case BuiltinType::StatusCode:
            return Canonical::Unsigned;
        case BuiltinType::Float:
        case BuiltinType::Double:
            return Canonical::Real;
        default:
            return Canonical::Keep;
    }
}

// Callers build values from whatever C++ number they hold; one alternative
// per type keeps equality and the encoder simple.
VariantValue Normalized(BuiltinType type, VariantValue value) {
    const Canonical want = CanonicalOf(type);
    if (want == Canonical::Keep) return value;
    return std::visit(
        [want, &value](const auto& x) -> VariantValue {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::int64_t> ||
                          std::is_same_v<T, std::uint64_t> || std::is_same_v<T, double>) {
                // A value the canonical alternative cannot hold exactly stays as
                // it is, for the encoder to refuse rather than to change.
                switch (want) {
                    case Canonical::Bool:
                        if constexpr (std::is_same_v<T, bool>) {
                            return x;
                        } else {
                            if (x == 0 || x == 1) return x == 1;
                            return value;
                        }
                    case Canonical::Signed:
                        if constexpr (std::is_same_v<T, std::uint64_t>) {
                            if (x > static_cast<std::uint64_t>(INT64_MAX)) return value;
                        } else if constexpr (std::is_same_v<T, double>) {
                            if (!(x >= -9.2233720368547758e18 && x < 9.2233720368547758e18) || std::trunc(x) != x) {
                                return value;
                            }
                        }
                        return static_cast<std::int64_t>(x);
                    case Canonical::Unsigned:
                        if constexpr (std::is_same_v<T, std::int64_t>) {
                            if (x < 0) return value;
                        } else if constexpr (std::is_same_v<T, double>) {
                            if (!(x >= 0.0 && x < 1.8446744073709552e19) || std::trunc(x) != x) return value;
                        }
                        return static_cast<std::uint64_t>(x);
                    case Canonical::Real:
                        if constexpr (std::is_same_v<T, bool>) return value;
                        return static_cast<double>(x);
                    case Canonical::Keep:
                        break;
                }
            }
            return value;
        },
        value);
}

}  // namespace

bool NodeId::IsNull() const {
    if (ns != 0) return false;
    switch (kind) {
        case Kind::Numeric:
            return numeric == 0;
        case Kind::String:
        case Kind::Opaque:
            return text.empty();
        case Kind::Guid:
            return guid == Guid{};
    }
    return false;
}

std::string NodeId::ToString() const {
    std::string out;
    if (ns != 0) out = "ns=" + std::to_string(ns) + ";";
    switch (kind) {
        case Kind::Numeric:
            out += "i=" + std::to_string(numeric);
            break;
        case Kind::String:
            out += "s=" + text;
            break;
        case Kind::Guid:
            out += "g=" + GuidText(guid);
            break;
        case Kind::Opaque:
            out += "b=" + Base64Encode(text);
            break;
    }
    return out;
}

std::optional<NodeId> NodeId::Parse(const std::string& text) {
    NodeId id;
    std::size_t pos = 0;
    if (text.rfind("ns=", 0) == 0) {
        const std::size_t semi = text.find(';');
        if (semi == std::string::npos) return std::nullopt;
        const auto ns = ParseDecimal(text.substr(3, semi - 3), 0xFFFF);
        if (!ns) return std::nullopt;
        id.ns = static_cast<std::uint16_t>(*ns);
        pos = semi + 1;
    }
    if (text.size() < pos + 2 || text[pos + 1] != '=') return std::nullopt;
    const char kind = text[pos];
    const std::string body = text.substr(pos + 2);
    switch (kind) {
        case 'i': {
            const auto n = ParseDecimal(body, 0xFFFFFFFFu);
            if (!n) return std::nullopt;
            id.kind = Kind::Numeric;
            id.numeric = static_cast<std::uint32_t>(*n);
            return id;
        }
        case 's':
            id.kind = Kind::String;
            id.text = body;
            return id;
        case 'g': {
            const auto g = ParseGuid(body);
            if (!g) return std::nullopt;
            id.kind = Kind::Guid;
            id.guid = *g;
            return id;
        }
        case 'b': {
            auto bytes = Base64Decode(body);
            if (!bytes) return std::nullopt;
            id.kind = Kind::Opaque;
            id.text = std::move(*bytes);
            return id;
        }
        default:
            return std::nullopt;
    }
}

bool NodeId::operator==(const NodeId& other) const {
    if (ns != other.ns || kind != other.kind) return false;
    switch (kind) {
        case Kind::Numeric:
            return numeric == other.numeric;
        case Kind::String:
        case Kind::Opaque:
            return text == other.text;
        case Kind::Guid:
            return guid == other.guid;
    }
    return false;
}

bool NodeId::operator<(const NodeId& other) const {
    if (ns != other.ns) return ns < other.ns;
    if (kind != other.kind) return kind < other.kind;
    switch (kind) {
        case Kind::Numeric:
            return numeric < other.numeric;
        case Kind::String:
        case Kind::Opaque:
            return text < other.text;
        case Kind::Guid:
            return guid < other.guid;
    }
    return false;
}

std::size_t NodeIdHash::operator()(const NodeId& id) const {
    std::size_t seed = std::hash<std::uint32_t>{}((std::uint32_t(id.ns) << 8) | std::uint32_t(id.kind));
    switch (id.kind) {
        case NodeId::Kind::Numeric:
            HashCombine(seed, std::hash<std::uint32_t>{}(id.numeric));
            break;
        case NodeId::Kind::String:
        case NodeId::Kind::Opaque:
            HashCombine(seed, std::hash<std::string>{}(id.text));
            break;
        case NodeId::Kind::Guid:
            HashCombine(seed, std::hash<std::uint32_t>{}(id.guid.data1));
            HashCombine(seed, std::hash<std::uint32_t>{}((std::uint32_t(id.guid.data2) << 16) | id.guid.data3));
            for (std::uint8_t b : id.guid.data4) HashCombine(seed, b);
            break;
    }
    return seed;
}

Variant Variant::Scalar(BuiltinType type, VariantValue value) {
    Variant v;
    v.type = type;
    v.values.push_back(Normalized(type, std::move(value)));
    return v;
}

Variant Variant::Array(BuiltinType type, std::vector<VariantValue> values) {
    Variant v;
    v.type = type;
    v.isArray = true;
    v.values.reserve(values.size());
    for (auto& value : values) v.values.push_back(Normalized(type, std::move(value)));
    return v;
}

Variant Variant::StringArray(const std::vector<std::string>& strings) {
    Variant v;
    v.type = BuiltinType::String;
    v.isArray = true;
    v.values.assign(strings.begin(), strings.end());
    return v;
}

bool Variant::operator==(const Variant& other) const {
    if (type != other.type) return false;
    // Every null Variant is the same value, whatever it was built from.
    if (type == BuiltinType::Null) return true;
    if (isArray != other.isArray || dimensions != other.dimensions || values.size() != other.values.size()) {
        return false;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!SameValue(values[i], other.values[i])) return false;
    }
    return true;
}

bool DataValue::operator==(const DataValue& other) const {
    // An absent status is Good, and an absent value is a null Variant: both
    // encode the same way.
    const Variant none;
    return value.value_or(none) == other.value.value_or(none) && Status() == other.Status() &&
           sourceTimestamp == other.sourceTimestamp && sourcePicoseconds == other.sourcePicoseconds &&
           serverTimestamp == other.serverTimestamp && serverPicoseconds == other.serverPicoseconds;
}

bool DiagnosticInfo::operator==(const DiagnosticInfo& other) const {
    if (symbolicId != other.symbolicId || namespaceUri != other.namespaceUri ||
        localizedText != other.localizedText || locale != other.locale || additionalInfo != other.additionalInfo ||
        innerStatusCode != other.innerStatusCode) {
        return false;
    }
    if (!innerDiagnosticInfo || !other.innerDiagnosticInfo) return !innerDiagnosticInfo && !other.innerDiagnosticInfo;
    return *innerDiagnosticInfo == *other.innerDiagnosticInfo;
}

DateTime Now() {
    const auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
    const auto ticks = std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(sinceUnix);
    return ticks.count() + kUnixEpochTicks;
}

}  // namespace ua
