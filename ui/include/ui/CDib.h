#pragma once
// One device-independent bitmap in memory, read from a .bmp file: the
// 40-byte information header, its colour table (and the palette made from
// it) and the pixel rows. The tag icons of the tag list come from the file
// the settings name. A bitmap file is outside input: one that is damaged,
// truncated, of a kind not served or too big is refused whole, and nothing
// is ever read past what the file holds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CDib {
public:
    struct Size {
        std::int32_t width = 0;
        std::int32_t height = 0;
    };
    struct Colour {
        std::uint8_t red = 0;
        std::uint8_t green = 0;
        std::uint8_t blue = 0;
        std::uint8_t flags = 0;
    };

    // Files larger than this are refused: a tag icon strip is a few kB.
    static constexpr std::size_t kMaxFileBytes = 16u << 20;

    CDib() = default;

    // Read of the whole file; false when it cannot be opened or Read fails.
    bool LoadFile(const std::string& path);
    // Clears, then takes the bitmap from the bytes of a .bmp file. A failure
    // shows "Read error" and leaves the object empty.
    bool Read(const std::uint8_t* data, std::size_t size);
    void Clear();

    bool IsEmpty() const { return bits_.empty(); }
    // Width and height (a top-down bitmap's height as a positive number); 0, 0 when empty.
    Size GetSize() const;
    std::uint16_t BitsPerPixel() const { return bitCount_; }
    bool IsTopDown() const { return topDown_; }
    // Bytes of pixel data: the header's image size, or whole 32-bit words per row.
    std::size_t ImageSize() const { return imageSize_; }
    std::size_t ColourCount() const { return palette_.size(); }
    // The palette made from the colour table (red, green, blue from its
    // blue-green-red-reserved quadruples, flags 0).
    const std::vector<Colour>& Palette() const { return palette_; }
    const std::vector<std::uint8_t>& Bits() const { return bits_; }
    // Bytes of one pixel row, padded to whole 32-bit words.
    std::size_t RowBytes() const;
    // The pixel at x, y (y counted from the top), as red, green, blue; black
    // outside the bitmap.
    Colour PixelAt(std::int32_t x, std::int32_t y) const;

private:
    bool Fail();

    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    bool topDown_ = false;
    std::uint16_t bitCount_ = 0;
    std::size_t imageSize_ = 0;
    std::vector<Colour> palette_;
    std::vector<std::uint8_t> bits_;
};

// The message a bitmap that cannot be read shows.
inline constexpr const char* kTextDibReadError = "Read error";
