#include "ui/CDib.h"

#include "model/UiServices.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;
constexpr std::uint32_t kUncompressed = 0;

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

void CDib::Clear() {
    width_ = height_ = 0;
    topDown_ = false;
    bitCount_ = 0;
    imageSize_ = 0;
    palette_.clear();
    bits_.clear();
}

bool CDib::Fail() {
    Clear();
    GetUiServices().ShowMessage(kTextDibReadError, MessageIcon::Error, MessageButtons::Ok);
    return false;
}

bool CDib::LoadFile(const std::string& path) {
    Clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<std::uint8_t> bytes;
    // One byte more than the limit tells a file that is too big.
    bytes.resize(kMaxFileBytes + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return Read(bytes.data(), bytes.size());
}

bool CDib::Read(const std::uint8_t* data, std::size_t size) {
    Clear();
    // The file header: "BM", the file size, two reserved words, the offset of the bits.
    if (data == nullptr || size < kFileHeaderBytes || size > kMaxFileBytes || U16(data) != 0x4D42) return Fail();
    const std::uint32_t bitsOffset = U32(data + 10);
    // The information header and colour table lie between the two headers
    // and the bits, all inside the file.
    if (bitsOffset < kFileHeaderBytes + kInfoHeaderBytes || bitsOffset > size) return Fail();
    const std::uint8_t* info = data + kFileHeaderBytes;
    if (U32(info) != kInfoHeaderBytes) return Fail();
    const auto width = static_cast<std::int32_t>(U32(info + 4));
    const auto height = static_cast<std::int32_t>(U32(info + 8));
    const std::uint16_t planes = U16(info + 12);
    const std::uint16_t bitCount = U16(info + 14);
    const std::uint32_t compression = U32(info + 16);
    const std::uint32_t imageSizeField = U32(info + 20);
    const std::uint32_t coloursUsed = U32(info + 32);
    // Only what the pixel rows can be read as: uncompressed rows of a known
    // depth, of a size that is not zero, nor the one negative height that
    // has no positive twin.
    if (planes != 1 || compression != kUncompressed) return Fail();
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        return Fail();
    if (width <= 0 || height == 0 || height == INT32_MIN) return Fail();
    width_ = width;
    height_ = height < 0 ? -height : height;
    topDown_ = height < 0;
    bitCount_ = bitCount;

    // Rows padded to whole 32-bit words; 64-bit arithmetic, so no header can
    // make the sum wrap round to something small.
    const std::uint64_t needed = RowBytes() * static_cast<std::uint64_t>(height_);
    if (needed > kMaxFileBytes) return Fail();
    // A stated size smaller than the rows need would leave the last rows
    // unread; a larger one is read as stated.
    const std::uint64_t imageSize = imageSizeField == 0 ? needed : imageSizeField;
    if (imageSize < needed || imageSize > size - bitsOffset) return Fail();

    std::size_t colours = coloursUsed;
    if (colours == 0 && bitCount <= 8) colours = std::size_t{1} << bitCount;
    if (bitCount <= 8 && colours > (std::size_t{1} << bitCount)) return Fail();
    if (colours > 256 || kFileHeaderBytes + kInfoHeaderBytes + 4 * colours > bitsOffset) return Fail();
    const std::uint8_t* table = info + kInfoHeaderBytes;
    palette_.resize(colours);
    for (std::size_t i = 0; i < colours; ++i)
        palette_[i] = Colour{table[4 * i + 2], table[4 * i + 1], table[4 * i], 0};

    imageSize_ = static_cast<std::size_t>(imageSize);
    bits_.assign(data + bitsOffset, data + bitsOffset + imageSize_);
    return true;
}

CDib::Size CDib::GetSize() const { return IsEmpty() ? Size{} : Size{width_, height_}; }

std::size_t CDib::RowBytes() const {
    return ((static_cast<std::uint64_t>(bitCount_) * static_cast<std::uint64_t>(width_) + 31) / 32) * 4;
}

CDib::Colour CDib::PixelAt(std::int32_t x, std::int32_t y) const {
    if (IsEmpty() || x < 0 || y < 0 || x >= width_ || y >= height_) return {};
    const std::size_t row = static_cast<std::size_t>(topDown_ ? y : height_ - 1 - y);
    const std::uint8_t* line = bits_.data() + row * RowBytes();
    const auto at = static_cast<std::size_t>(x);
    std::size_t index = 0;
    switch (bitCount_) {
    case 1: index = (line[at / 8] >> (7 - at % 8)) & 1; break;
    case 4: index = (line[at / 2] >> (at % 2 == 0 ? 4 : 0)) & 15; break;
    case 8: index = line[at]; break;
    case 16: {
        // 5 bits each of red, green and blue, widened to 8.
        const std::uint16_t v = U16(line + 2 * at);
        const auto widen = [](unsigned five) { return static_cast<std::uint8_t>((five << 3) | (five >> 2)); };
        return Colour{widen((v >> 10) & 31), widen((v >> 5) & 31), widen(v & 31), 0};
    }
    case 24: return Colour{line[3 * at + 2], line[3 * at + 1], line[3 * at], 0};
    case 32: return Colour{line[4 * at + 2], line[4 * at + 1], line[4 * at], 0};
    default: return {};
    }
    return index < palette_.size() ? palette_[index] : Colour{};
}
