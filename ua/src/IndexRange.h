#pragma once
// A NumericRange of a Read or Write ("2", "1:3", "0:1,2:4"): which elements
// of an array, or which bytes of a String or ByteString, the client wants.

#include "ua/Types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ua {

class IndexRange {
public:
    // Null when the text is not a range: empty parts, characters other than
    // digits, ':' and ',', a lower bound not below its upper one, a number
    // beyond UInt32.
    static std::optional<IndexRange> Parse(const std::string& text);
    // The range of no text: the whole value.
    bool IsWhole() const { return dimensions_.empty(); }
    // Cuts the value down to the range; Bad_IndexRangeNoData (value untouched)
    // when the range starts past its end or the value has nothing to index
    // (a scalar number, a null value, more dimensions than it has).
    StatusCode Apply(Variant& value) const;
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& Dimensions() const { return dimensions_; }

private:
    std::vector<std::pair<std::uint32_t, std::uint32_t>> dimensions_;
};

}  // namespace ua
