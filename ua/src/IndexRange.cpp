#include "IndexRange.h"

#include <algorithm>

namespace ua {

namespace {

// Dimensions one range may name; arrays here have one, and a string inside
// one adds a second.
constexpr std::size_t kMaxDimensions = 8;

std::optional<std::uint32_t> Number(const std::string& text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

bool IsText(const Variant& value) {
    return value.type == BuiltinType::String || value.type == BuiltinType::ByteString;
}

// The elements [first, last] of the vector, last clipped to its end.
template <typename T>
bool Cut(std::vector<T>& items, std::pair<std::uint32_t, std::uint32_t> range) {
    if (range.first >= items.size()) return false;
    const std::size_t end = std::min<std::size_t>(items.size(), std::size_t{range.second} + 1);
    items = std::vector<T>(items.begin() + range.first, items.begin() + static_cast<std::ptrdiff_t>(end));
    return true;
}

bool CutText(std::string& text, std::pair<std::uint32_t, std::uint32_t> range) {
    if (range.first >= text.size()) return false;
    const std::size_t end = std::min<std::size_t>(text.size(), std::size_t{range.second} + 1);
    text = text.substr(range.first, end - range.first);
    return true;
}

}  // namespace

std::optional<IndexRange> IndexRange::Parse(const std::string& text) {
    if (text.empty()) return std::nullopt;
    IndexRange out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        const std::string piece = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        const std::size_t colon = piece.find(':');
        std::optional<std::uint32_t> low;
        std::optional<std::uint32_t> high;
        if (colon == std::string::npos) {
            low = Number(piece);
            high = low;
        } else {
            low = Number(piece.substr(0, colon));
            high = Number(piece.substr(colon + 1));
            if (low && high && *low >= *high) return std::nullopt;
        }
        if (!low || !high) return std::nullopt;
        if (out.dimensions_.size() >= kMaxDimensions) return std::nullopt;
        out.dimensions_.emplace_back(*low, *high);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return out;
}

StatusCode IndexRange::Apply(Variant& value) const {
    if (IsWhole()) return status::Good;
    if (value.IsNull() || !value.dimensions.empty()) return status::BadIndexRangeNoData;
    if (!value.isArray) {
        if (dimensions_.size() != 1 || !IsText(value) || value.values.size() != 1) return status::BadIndexRangeNoData;
        std::string text = std::get<std::string>(value.values[0]);
        if (!CutText(text, dimensions_[0])) return status::BadIndexRangeNoData;
        value.values[0] = std::move(text);
        return status::Good;
    }
    if (dimensions_.size() > 2 || (dimensions_.size() == 2 && !IsText(value))) return status::BadIndexRangeNoData;
    std::vector<VariantValue> items = value.values;
    if (!Cut(items, dimensions_[0])) return status::BadIndexRangeNoData;
    if (dimensions_.size() == 2) {
        // The second dimension indexes into each string of the array.
        for (VariantValue& item : items) {
            auto* text = std::get_if<std::string>(&item);
            if (text == nullptr || !CutText(*text, dimensions_[1])) return status::BadIndexRangeNoData;
        }
    }
    value.values = std::move(items);
    return status::Good;
}

}  // namespace ua
