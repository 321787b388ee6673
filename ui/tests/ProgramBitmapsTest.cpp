#include "ui/ProgramBitmaps.h"

#include "QtTestApp.h"
#include "model/ScriptedUiServices.h"
#include "testsupport/TempDir.h"

#include <QImage>

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace {

bool SameImage(const QPixmap& a, const QPixmap& b) {
    return a.toImage().convertToFormat(QImage::Format_ARGB32) == b.toImage().convertToFormat(QImage::Format_ARGB32);
}

int OpaquePixels(const QPixmap& pixmap) {
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) count += qAlpha(image.pixel(x, y)) == 255;
    return count;
}

int PixelsLike(const QPixmap& pixmap, bool (*like)(QRgb)) {
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) count += qAlpha(image.pixel(x, y)) > 0 && like(image.pixel(x, y));
    return count;
}

bool Greenish(QRgb c) { return qGreen(c) > 140 && qRed(c) < 110 && qBlue(c) < 120; }
bool Reddish(QRgb c) { return qRed(c) > 180 && qGreen(c) < 80 && qBlue(c) < 80; }

// A 24-bit .bmp, bottom row first, each pixel from the colour function.
std::vector<std::uint8_t> Bmp24(int width, int height, QRgb (*colour)(int x, int y)) {
    const int rowBytes = (width * 3 + 3) / 4 * 4;
    std::vector<std::uint8_t> out(54 + static_cast<std::size_t>(rowBytes * height), 0);
    auto put32 = [&out](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, static_cast<std::uint32_t>(out.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(width));
    put32(22, static_cast<std::uint32_t>(height));
    out[26] = 1;
    out[28] = 24;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = out.data() + 54 + static_cast<std::size_t>((height - 1 - y) * rowBytes);
        for (int x = 0; x < width; ++x) {
            const QRgb c = colour(x, y);
            row[3 * x] = static_cast<std::uint8_t>(qBlue(c));
            row[3 * x + 1] = static_cast<std::uint8_t>(qGreen(c));
            row[3 * x + 2] = static_cast<std::uint8_t>(qRed(c));
        }
    }
    return out;
}

void Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Cell i of a strip: magenta except a square of grey level 10 * (i + 1) at
// its top-left and one pixel at (15, 15).
QRgb TestStrip(int x, int y) {
    const int cell = x / 16;
    const int cx = x % 16;
    if ((cx < 4 && y < 4) || (cx == 15 && y == 15)) {
        const int v = 10 * (cell + 1);
        return qRgb(v, v, v);
    }
    return qRgb(255, 0, 255);
}

bool IsBuiltIn(const QList<QPixmap>& icons) {
    const QList<QPixmap> builtIn = bitmaps::CutStrip(bitmaps::BuiltInTagStrip());
    if (icons.size() != builtIn.size()) return false;
    for (int i = 0; i < icons.size(); ++i)
        if (!SameImage(icons[i], builtIn[i])) return false;
    return true;
}

}  // namespace

TEST(ProgramBitmaps, CutStripMakesMagentaTransparentAndDropsAPartialCell) {
    QtTestApp();
    QImage strip(40, 16, QImage::Format_RGB32);
    strip.fill(QColor(255, 0, 255));
    strip.setPixel(3, 5, qRgb(10, 20, 30));
    strip.setPixel(16 + 15, 15, qRgb(254, 0, 255));  // close to magenta, but not it
    const QList<QPixmap> icons = bitmaps::CutStrip(strip);
    ASSERT_EQ(icons.size(), 2) << "the last 8 columns are no whole image";
    const QImage first = icons[0].toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(first.size(), QSize(16, 16));
    EXPECT_EQ(first.pixel(3, 5), qRgba(10, 20, 30, 255));
    EXPECT_EQ(qAlpha(first.pixel(0, 0)), 0);
    EXPECT_EQ(OpaquePixels(icons[0]), 1);
    EXPECT_EQ(icons[1].toImage().convertToFormat(QImage::Format_ARGB32).pixel(15, 15), qRgba(254, 0, 255, 255));

    EXPECT_TRUE(bitmaps::CutStrip(QImage(15, 16, QImage::Format_RGB32)).isEmpty());
    EXPECT_TRUE(bitmaps::CutStrip(QImage()).isEmpty());

    // Images are always 16 by 16: a low strip stands at the top.
    QImage low(32, 4, QImage::Format_RGB32);
    low.fill(Qt::black);
    const QList<QPixmap> lowIcons = bitmaps::CutStrip(low);
    ASSERT_EQ(lowIcons.size(), 2);
    EXPECT_EQ(lowIcons[0].size(), QSize(16, 16));
    EXPECT_EQ(OpaquePixels(lowIcons[0]), 16 * 4);
}

TEST(ProgramBitmaps, BuiltInStripHasThirteenDistinctIconsOnMagenta) {
    QtTestApp();
    const QImage strip = bitmaps::BuiltInTagStrip();
    EXPECT_EQ(strip.size(), QSize(208, 16));
    EXPECT_EQ(strip.pixel(0, 0) & 0xFFFFFFu, 0xFF00FFu) << "the corners are background";
    const QList<QPixmap> icons = bitmaps::CutStrip(strip);
    ASSERT_EQ(icons.size(), bitmaps::kTagIconCount);
    for (int i = 0; i < icons.size(); ++i) {
        EXPECT_GT(OpaquePixels(icons[i]), 20) << "icon " << i << " draws something";
        EXPECT_LT(OpaquePixels(icons[i]), 256) << "icon " << i << " has a transparent background";
        for (int j = 0; j < i; ++j) EXPECT_FALSE(SameImage(icons[i], icons[j])) << i << " and " << j;
    }
    // In service on and off must be told apart by colour, not only by shape.
    EXPECT_GT(PixelsLike(icons[11], Greenish), 20);
    EXPECT_EQ(PixelsLike(icons[10], Greenish), 0);
}

TEST(ProgramBitmaps, DeviceIconsShowTheCommunicationState) {
    QtTestApp();
    const QList<QPixmap> icons = bitmaps::DeviceGroupIcons();
    ASSERT_EQ(icons.size(), 6);
    for (const QPixmap& icon : icons) EXPECT_EQ(icon.size(), QSize(16, 16));
    for (int i = 0; i < icons.size(); ++i)
        for (int j = 0; j < i; ++j) EXPECT_FALSE(SameImage(icons[i], icons[j])) << i << " and " << j;
    // OK: a green lamp and nothing red; failed: a red mark and no green lamp.
    for (int i : {0, 1}) {
        EXPECT_GT(PixelsLike(icons[i], Greenish), 3) << i;
        EXPECT_EQ(PixelsLike(icons[i], Reddish), 0) << i;
    }
    for (int i : {2, 3}) {
        EXPECT_GT(PixelsLike(icons[i], Reddish), 12) << i;
        EXPECT_EQ(PixelsLike(icons[i], Greenish), 0) << i;
    }
    const QIcon program = bitmaps::ProgramIcon();
    EXPECT_FALSE(program.isNull());
    EXPECT_TRUE(program.availableSizes().contains(QSize(32, 32)));
}

TEST(ProgramBitmaps, TagIconsComeFromTheBitmapFile) {
    QtTestApp();
    ScriptedUiServices ui;
    TempDir dir;
    const std::string path = dir.File("tags.bmp");
    Write(path, Bmp24(16 * 3 + 5, 16, TestStrip));
    const QList<QPixmap> icons = bitmaps::LoadTagIcons(path);
    ASSERT_EQ(icons.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QImage image = icons[i].toImage().convertToFormat(QImage::Format_ARGB32);
        const int v = 10 * (i + 1);
        EXPECT_EQ(image.pixel(0, 0), qRgba(v, v, v, 255)) << i;
        EXPECT_EQ(image.pixel(15, 15), qRgba(v, v, v, 255)) << i << ": the bottom row, stored first in the file";
        EXPECT_EQ(qAlpha(image.pixel(8, 8)), 0) << i;
        EXPECT_EQ(OpaquePixels(icons[i]), 17) << i;
    }
    EXPECT_TRUE(ui.Messages().empty());

    CDib dib;
    ASSERT_TRUE(dib.LoadFile(path));
    const QImage whole = bitmaps::ToImage(dib);
    EXPECT_EQ(whole.size(), QSize(53, 16));
    EXPECT_EQ(whole.pixel(16, 0), qRgb(20, 20, 20));
    EXPECT_EQ(whole.pixel(52, 0), qRgb(255, 0, 255));
    EXPECT_TRUE(bitmaps::ToImage(CDib()).isNull());
}

TEST(ProgramBitmaps, UnusableBitmapFilesFallBackToTheBuiltInIcons) {
    QtTestApp();
    ScriptedUiServices ui;
    TempDir dir;
    EXPECT_TRUE(IsBuiltIn(bitmaps::LoadTagIcons("")));
    EXPECT_TRUE(IsBuiltIn(bitmaps::LoadTagIcons(dir.File("missing.bmp"))));
    EXPECT_TRUE(IsBuiltIn(bitmaps::LoadTagIcons(dir.Path().string()))) << "a folder is no bitmap";
    EXPECT_TRUE(ui.Messages().empty()) << "nothing to read is no read error";

    const std::vector<std::uint8_t> good = Bmp24(32, 16, TestStrip);
    const std::string truncated = dir.File("truncated.bmp");
    Write(truncated, std::vector<std::uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2)));
    EXPECT_TRUE(IsBuiltIn(bitmaps::LoadTagIcons(truncated)));

    // A header that promises far more pixels than the file holds.
    std::vector<std::uint8_t> lying = good;
    lying[18] = 0xFF;
    lying[19] = 0xFF;
    lying[22] = 0xFF;
    lying[23] = 0xFF;
    const std::string damaged = dir.File("damaged.bmp");
    Write(damaged, lying);
    EXPECT_TRUE(IsBuiltIn(bitmaps::LoadTagIcons(damaged)));

    const std::string text = dir.File("text.bmp");
    Write(text, std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'});
    EXPECT_TRUE(IsBuiltIn(bitmaps::LoadTagIcons(text)));
    EXPECT_EQ(ui.Messages().size(), 3u) << "each unreadable file says so once";

    // A readable bitmap too narrow for one icon.
    const std::string narrow = dir.File("narrow.bmp");
    Write(narrow, Bmp24(10, 16, TestStrip));
    EXPECT_TRUE(IsBuiltIn(bitmaps::LoadTagIcons(narrow)));
}

TEST(ProgramBitmaps, SplashPictureCarriesTheTitleArea) {
    QtTestApp();
    const QPixmap splash = bitmaps::SplashPicture();
    EXPECT_EQ(splash.size(), QSize(420, 260));
    // Not one flat colour: text and particles are drawn on the field.
    const QImage image = splash.toImage();
    int light = 0;
    for (int y = 36; y < 80; ++y)
        for (int x = 28; x < 250; ++x) light += qGray(image.pixel(x, y)) > 200;
    EXPECT_GT(light, 300) << "the white title";
}
