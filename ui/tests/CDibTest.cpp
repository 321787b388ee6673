#include "ui/CDib.h"

#include "model/ScriptedUiServices.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace {

void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A .bmp file as a paint program writes it: file header, 40-byte header,
// the colour table and the rows (bottom row first unless height < 0).
struct Bmp {
    std::int32_t width = 3;
    std::int32_t height = 2;
    std::uint16_t bits = 24;
    std::uint32_t imageSizeField = 0;
    std::uint32_t coloursUsed = 0;
    std::size_t tableEntries = 0;
    std::vector<std::uint8_t> pixels;  // the rows as stored

    std::vector<std::uint8_t> Bytes() const {
        const std::size_t offset = 14 + 40 + 4 * tableEntries;
        std::vector<std::uint8_t> out(offset + pixels.size(), 0);
        out[0] = 'B';
        out[1] = 'M';
        Put32(out, 2, static_cast<std::uint32_t>(out.size()));
        Put32(out, 10, static_cast<std::uint32_t>(offset));
        Put32(out, 14, 40);
        Put32(out, 18, static_cast<std::uint32_t>(width));
        Put32(out, 22, static_cast<std::uint32_t>(height));
        Put16(out, 26, 1);
        Put16(out, 28, bits);
        Put32(out, 34, imageSizeField);
        Put32(out, 46, coloursUsed);
        for (std::size_t i = 0; i < tableEntries; ++i) {
            // blue, green, red, reserved: entry i is (i, 2i, 3i).
            out[54 + 4 * i] = static_cast<std::uint8_t>(3 * i);
            out[54 + 4 * i + 1] = static_cast<std::uint8_t>(2 * i);
            out[54 + 4 * i + 2] = static_cast<std::uint8_t>(i);
            out[54 + 4 * i + 3] = 0x77;
        }
        std::copy(pixels.begin(), pixels.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
        return out;
    }
};

int ReadErrors(const ScriptedUiServices& ui) {
    int count = 0;
    for (const auto& m : ui.Messages()) count += m.text == kTextDibReadError;
    return count;
}

}  // namespace

TEST(CDib, TrueColourRowsArePaddedToWholeWords) {
    ScriptedUiServices ui;
    Bmp bmp;
    // Two rows of three pixels: 9 bytes each, padded to 12. Bottom row first.
    bmp.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 0, 0, 0};
    const auto bytes = bmp.Bytes();
    CDib dib;
    ASSERT_TRUE(dib.Read(bytes.data(), bytes.size()));
    EXPECT_EQ(dib.GetSize().width, 3);
    EXPECT_EQ(dib.GetSize().height, 2);
    EXPECT_EQ(dib.RowBytes(), 12u);
    EXPECT_EQ(dib.ImageSize(), 24u);
    EXPECT_EQ(dib.ColourCount(), 0u);
    // The top row is the second stored one; blue-green-red in the file.
    EXPECT_EQ(dib.PixelAt(0, 0).red, 30);
    EXPECT_EQ(dib.PixelAt(0, 0).blue, 10);
    EXPECT_EQ(dib.PixelAt(2, 1).red, 9);
    EXPECT_EQ(dib.PixelAt(3, 0).red, 0) << "outside the bitmap";

    // The same rows stored top-down.
    bmp.height = -2;
    const auto topDown = bmp.Bytes();
    ASSERT_TRUE(dib.Read(topDown.data(), topDown.size()));
    EXPECT_TRUE(dib.IsTopDown());
    EXPECT_EQ(dib.PixelAt(0, 0).red, 3);
    EXPECT_EQ(ReadErrors(ui), 0);
}

TEST(CDib, PaletteBitmapsGetTheirColourTable) {
    ScriptedUiServices ui;
    Bmp bmp;
    bmp.bits = 8;
    bmp.width = 4;
    bmp.height = 1;
    bmp.tableEntries = 256;  // colours used 0: all 256
    bmp.pixels = {0, 1, 255, 7};
    const auto bytes = bmp.Bytes();
    CDib dib;
    ASSERT_TRUE(dib.Read(bytes.data(), bytes.size()));
    ASSERT_EQ(dib.ColourCount(), 256u);
    EXPECT_EQ(dib.Palette()[7].red, 7);
    EXPECT_EQ(dib.Palette()[7].green, 14);
    EXPECT_EQ(dib.Palette()[7].blue, 21);
    EXPECT_EQ(dib.Palette()[7].flags, 0) << "the reserved byte is not carried";
    EXPECT_EQ(dib.PixelAt(3, 0).blue, 21);

    // 4 bits, two colours used: the high nibble is the left pixel.
    bmp.bits = 4;
    bmp.coloursUsed = 2;
    bmp.tableEntries = 2;
    bmp.pixels = {0x10, 0x00, 0x00, 0x00};
    const auto nibbles = bmp.Bytes();
    ASSERT_TRUE(dib.Read(nibbles.data(), nibbles.size()));
    EXPECT_EQ(dib.ColourCount(), 2u);
    EXPECT_EQ(dib.PixelAt(0, 0).red, 1);
    EXPECT_EQ(dib.PixelAt(1, 0).red, 0);
}

TEST(CDib, DamagedTruncatedAndHugeFilesAreRefusedWhole) {
    ScriptedUiServices ui;
    Bmp good;
    good.pixels.assign(24, 0xAB);
    const auto base = good.Bytes();
    CDib dib;
    ASSERT_TRUE(dib.Read(base.data(), base.size()));
    int expected = 0;
    const auto refused = [&](std::vector<std::uint8_t> bytes, const char* why) {
        EXPECT_FALSE(dib.Read(bytes.data(), bytes.size())) << why;
        EXPECT_TRUE(dib.IsEmpty()) << why;
        EXPECT_EQ(dib.GetSize().width, 0) << why;
        EXPECT_EQ(ReadErrors(ui), ++expected) << why;
    };
    auto bytes = base;
    bytes[0] = 'P';
    refused(bytes, "not BM");
    refused(std::vector<std::uint8_t>(base.begin(), base.begin() + 13), "shorter than the file header");
    refused(std::vector<std::uint8_t>(base.begin(), base.end() - 1), "the last row cut short");
    bytes = base;
    Put32(bytes, 14, 12);
    refused(bytes, "an old 12-byte header");
    bytes = base;
    Put32(bytes, 10, 4);
    refused(bytes, "bits said to start inside the headers");
    bytes = base;
    Put32(bytes, 10, 0xFFFFFFF0u);
    refused(bytes, "bits said to start past the end");
    bytes = base;
    Put32(bytes, 18, 0x7FFFFFFF);
    Put32(bytes, 22, 0x7FFFFFFF);
    refused(bytes, "a header that claims 2^31 by 2^31 pixels");
    bytes = base;
    Put32(bytes, 34, 4);
    refused(bytes, "an image size smaller than the rows");
    bytes = base;
    Put32(bytes, 30, 1);
    refused(bytes, "run-length compressed");
    bytes = base;
    Put16(bytes, 28, 7);
    refused(bytes, "7 bits per pixel");
    bytes = base;
    Put32(bytes, 22, 0x80000000u);
    refused(bytes, "the height without a positive twin");
    Bmp palette;
    palette.bits = 8;
    palette.width = 4;
    palette.height = 1;
    palette.coloursUsed = 300;
    palette.pixels = {0, 0, 0, 0};
    refused(palette.Bytes(), "more colours than 8 bits can index");
    palette.coloursUsed = 0;
    palette.tableEntries = 16;  // the table 256 colours need is not there
    refused(palette.Bytes(), "a colour table running into the bits");
    std::vector<std::uint8_t> huge(CDib::kMaxFileBytes + 1, 0);
    std::copy(base.begin(), base.end(), huge.begin());
    refused(huge, "a file beyond the size limit");
}

TEST(CDib, LoadFileReadsFromDisk) {
    ScriptedUiServices ui;
    TempDir dir;
    Bmp bmp;
    bmp.pixels.assign(24, 9);
    const auto bytes = bmp.Bytes();
    std::ofstream(dir.File("icons.bmp"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    CDib dib;
    EXPECT_TRUE(dib.LoadFile(dir.File("icons.bmp")));
    EXPECT_EQ(dib.GetSize().width, 3);
    EXPECT_FALSE(dib.LoadFile(dir.File("none.bmp")));
    EXPECT_TRUE(dib.IsEmpty());
    EXPECT_EQ(ReadErrors(ui), 0) << "a missing file is no read error";
}
