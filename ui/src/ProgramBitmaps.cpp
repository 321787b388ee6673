#include "ui/ProgramBitmaps.h"

#include "foundation/VersionInfo.h"

#include <QFileInfo>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>

namespace bitmaps {

namespace {

// A user's bitmap may hold more images than the tag kinds use, but no list
// needs thousands of them; a long strip is cut off here rather than turned
// into a pixmap per cell.
constexpr int kMaxTagIcons = 256;

constexpr QSize kSplashSize(420, 260);

QImage Blank() {
    QImage image(kIconSize, kIconSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// Icons are drawn on whole pixels; round shapes use antialiasing only where
// a 16-pixel circle would otherwise look jagged.
void Smooth(QPainter& p, bool on) { p.setRenderHint(QPainter::Antialiasing, on); }

void Line(QPainter& p, QColor colour, qreal width, QPointF from, QPointF to) {
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.drawLine(from, to);
}

// ---- Device tree --------------------------------------------------------

// A small particle counter: a grey instrument box with a sample inlet on
// top, a display and a status lamp. Its lamp tells the communication state:
// a small green lamp while the counter answers, a big red disk with a white
// cross when it does not. The open form lights the display.
QImage DeviceImage(bool commOk, bool open) {
    QImage image = Blank();
    QPainter p(&image);
    Smooth(p, false);
    // Sample inlet: a tube with a wider rim.
    p.fillRect(10, 1, 3, 3, QColor(0x7b, 0x87, 0x94));
    p.fillRect(9, 0, 5, 1, QColor(0x3d, 0x4a, 0x59));
    // The case.
    QLinearGradient shade(0, 4, 0, 15);
    shade.setColorAt(0, QColor(0xf2, 0xf5, 0xf8));
    shade.setColorAt(1, QColor(0xb4, 0xbe, 0xca));
    p.fillRect(1, 4, 14, 11, shade);
    p.setPen(QColor(0x3d, 0x4a, 0x59));
    p.setBrush(Qt::NoBrush);
    p.drawRect(1, 4, 13, 10);
    // Display.
    p.fillRect(3, 6, 6, 4, open ? QColor(0x10, 0x3a, 0x2a) : QColor(0x2a, 0x36, 0x44));
    if (open) {
        p.fillRect(4, 7, 4, 1, QColor(0x7c, 0xfc, 0x9a));
        p.fillRect(4, 8, 2, 1, QColor(0x7c, 0xfc, 0x9a));
    } else {
        p.fillRect(4, 7, 3, 1, QColor(0x6c, 0x86, 0x99));
    }
    // Keys below the display.
    p.fillRect(3, 12, 2, 1, QColor(0x5b, 0x67, 0x75));
    p.fillRect(6, 12, 2, 1, QColor(0x5b, 0x67, 0x75));

    Smooth(p, true);
    if (commOk) {
        QRadialGradient lamp(QPointF(11.6, 8.4), 3.0);
        lamp.setColorAt(0, QColor(0xb8, 0xff, 0xb0));
        lamp.setColorAt(0.5, QColor(0x2f, 0xc0, 0x48));
        lamp.setColorAt(1, QColor(0x1b, 0x7a, 0x2c));
        p.setPen(QPen(QColor(0x14, 0x5a, 0x20), 1));
        p.setBrush(lamp);
        p.drawEllipse(QRectF(10.0, 7.0, 4.0, 4.0));
    } else {
        p.setPen(QPen(QColor(0x7a, 0x10, 0x10), 1));
        p.setBrush(QColor(0xdc, 0x26, 0x26));
        p.drawEllipse(QRectF(8.5, 8.5, 7.0, 7.0));
        Line(p, Qt::white, 1.5, QPointF(10.3, 10.3), QPointF(13.7, 13.7));
        Line(p, Qt::white, 1.5, QPointF(13.7, 10.3), QPointF(10.3, 13.7));
    }
    return image;
}

// A counter's tag group: an amber folder, closed or open.
QImage FolderImage(bool open) {
    QImage image = Blank();
    QPainter p(&image);
    Smooth(p, false);
    const QColor edge(0x8f, 0x62, 0x0c);
    // Tab and back.
    p.fillRect(1, 3, 6, 2, QColor(0xe0, 0xa8, 0x2e));
    p.setPen(edge);
    p.drawLine(1, 3, 6, 3);
    p.drawLine(1, 3, 1, 4);
    p.drawLine(6, 3, 7, 4);
    QLinearGradient back(0, 4, 0, 14);
    back.setColorAt(0, QColor(0xf5, 0xc4, 0x4a));
    back.setColorAt(1, QColor(0xe2, 0xa1, 0x22));
    p.fillRect(1, 5, 14, 9, back);
    p.setPen(edge);
    p.setBrush(Qt::NoBrush);
    p.drawRect(1, 5, 13, 8);
    if (open) {
        // The front flap tilted forward, with the inside showing above it.
        p.fillRect(2, 6, 12, 2, QColor(0xfb, 0xf1, 0xd6));
        Smooth(p, true);
        QPainterPath flap;
        flap.moveTo(3.5, 8.5);
        flap.lineTo(15.5, 8.5);
        flap.lineTo(13.5, 13.5);
        flap.lineTo(1.5, 13.5);
        flap.closeSubpath();
        QLinearGradient front(0, 8, 0, 14);
        front.setColorAt(0, QColor(0xff, 0xe3, 0x8c));
        front.setColorAt(1, QColor(0xf3, 0xbb, 0x3c));
        p.setPen(QPen(edge, 1));
        p.setBrush(front);
        p.drawPath(flap);
    } else {
        p.fillRect(2, 6, 12, 1, QColor(0xff, 0xe3, 0x8c));
    }
    return image;
}

// ---- Tag icons ----------------------------------------------------------

const QColor kInk(0x23, 0x33, 0x48);
const QColor kBlue(0x2f, 0x6d, 0xb5);
const QColor kGreen(0x2f, 0xa8, 0x48);

void SoftwareVersion(QPainter& p) {
    // A firmware chip.
    Smooth(p, false);
    for (int y : {4, 7, 10}) {
        p.fillRect(1, y, 3, 2, QColor(0x9a, 0xa3, 0xad));
        p.fillRect(12, y, 3, 2, QColor(0x9a, 0xa3, 0xad));
    }
    p.fillRect(4, 2, 8, 12, QColor(0x2e, 0x34, 0x40));
    p.fillRect(5, 3, 2, 2, QColor(0x8c, 0x96, 0xa3));
    p.fillRect(6, 8, 4, 1, QColor(0x7c, 0xd0, 0xff));
    p.fillRect(6, 10, 3, 1, QColor(0x7c, 0xd0, 0xff));
}

void NumberOfBins(QPainter& p) {
    // A number sign on a blue plate.
    Smooth(p, true);
    p.setPen(QPen(kInk, 1));
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 2.5, 2.5);
    Smooth(p, false);
    p.fillRect(6, 4, 1, 9, Qt::white);
    p.fillRect(9, 4, 1, 9, Qt::white);
    p.fillRect(4, 6, 8, 1, Qt::white);
    p.fillRect(4, 10, 8, 1, Qt::white);
}

void BinSize(QPainter& p) {
    // A particle with a dimension line over it.
    Smooth(p, false);
    p.fillRect(1, 3, 14, 1, kInk);
    p.fillRect(1, 1, 1, 5, kInk);
    p.fillRect(14, 1, 1, 5, kInk);
    Smooth(p, true);
    QRadialGradient grain(QPointF(6.5, 8.5), 7);
    grain.setColorAt(0, QColor(0xe9, 0xc8, 0x96));
    grain.setColorAt(1, QColor(0x9b, 0x6b, 0x32));
    p.setPen(QPen(QColor(0x5e, 0x3c, 0x14), 1));
    p.setBrush(grain);
    p.drawEllipse(QRectF(2.5, 6.0, 11, 9));
}

void CountBin(QPainter& p) {
    // One bin of a histogram, highlighted among its neighbours.
    Smooth(p, false);
    const QColor grey(0xa9, 0xb3, 0xbe);
    p.fillRect(2, 9, 3, 5, grey);
    p.fillRect(6, 3, 4, 11, kBlue);
    p.fillRect(6, 3, 4, 1, QColor(0x1d, 0x4b, 0x80));
    p.fillRect(11, 7, 3, 7, grey);
    p.fillRect(1, 14, 14, 1, kInk);
}

void TotalCounts(QPainter& p) {
    // A sum sign.
    Smooth(p, true);
    QPainterPath sigma;
    sigma.moveTo(12.5, 4.5);
    sigma.lineTo(12.5, 2.5);
    sigma.lineTo(3.5, 2.5);
    sigma.lineTo(8.5, 8.0);
    sigma.lineTo(3.5, 13.5);
    sigma.lineTo(12.5, 13.5);
    sigma.lineTo(12.5, 11.5);
    p.setPen(QPen(kBlue, 2, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(sigma);
}

void GenericTag(QPainter& p) {
    // A label tag with its eyelet.
    Smooth(p, true);
    QPainterPath tag;
    tag.moveTo(1.5, 8.0);
    tag.lineTo(5.5, 3.5);
    tag.lineTo(14.5, 3.5);
    tag.lineTo(14.5, 12.5);
    tag.lineTo(5.5, 12.5);
    tag.closeSubpath();
    p.setPen(QPen(QColor(0x2f, 0x5f, 0x8f), 1));
    p.setBrush(QColor(0x9c, 0xc0, 0xe6));
    p.drawPath(tag);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(5.5, 8.0), 1.5, 1.5);
}

void FlowLevel(QPainter& p) {
    // Air flowing through the sample pipe.
    Smooth(p, false);
    p.fillRect(1, 4, 14, 8, QColor(0xdc, 0xec, 0xfb));
    p.fillRect(1, 3, 14, 1, QColor(0x5b, 0x67, 0x75));
    p.fillRect(1, 12, 14, 1, QColor(0x5b, 0x67, 0x75));
    p.fillRect(2, 7, 7, 2, kBlue);
    Smooth(p, true);
    QPainterPath head;
    head.moveTo(8.5, 4.5);
    head.lineTo(14.0, 8.0);
    head.lineTo(8.5, 11.5);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawPath(head);
}

void SampleInterval(QPainter& p) {
    // A clock.
    Smooth(p, true);
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(1.25, 1.25, 13.5, 13.5));
    Smooth(p, false);
    p.fillRect(7, 2, 2, 1, kInk);
    p.fillRect(7, 13, 2, 1, kInk);
    p.fillRect(2, 7, 1, 2, kInk);
    p.fillRect(13, 7, 1, 2, kInk);
    p.fillRect(7, 4, 2, 5, kInk);  // hour hand to twelve
    p.fillRect(7, 7, 5, 2, QColor(0xc0, 0x2b, 0x2b));  // minute hand to three
}

void CommStatus(QPainter& p) {
    // Messages going out and answers coming back.
    Smooth(p, true);
    auto arrow = [&p](QColor colour, qreal y, bool right) {
        const qreal tip = right ? 14.5 : 1.5;
        const qreal back = right ? 10.0 : 6.0;
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRect(QRectF(right ? 1.5 : back, y - 1.0, right ? back - 1.5 : 14.5 - back, 2.0));
        QPainterPath head;
        head.moveTo(back, y - 3.5);
        head.lineTo(tip, y);
        head.lineTo(back, y + 3.5);
        head.closeSubpath();
        p.drawPath(head);
    };
    arrow(kGreen, 4.5, true);
    arrow(kBlue, 11.5, false);
}

void AnalogInput(QPainter& p) {
    // A moving-coil meter.
    Smooth(p, true);
    p.setPen(QPen(kInk, 1));
    p.setBrush(QColor(0xfb, 0xfa, 0xf3));
    p.drawRoundedRect(QRectF(0.5, 2.5, 15, 11), 2, 2);
    p.setPen(QPen(QColor(0x5b, 0x67, 0x75), 1));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(2.5, 5.0, 11, 11), 30 * 16, 120 * 16);
    Line(p, QColor(0xc0, 0x2b, 0x2b), 1.5, QPointF(8.0, 12.0), QPointF(11.5, 5.5));
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawEllipse(QPointF(8.0, 12.0), 1.5, 1.5);
}

// A switch: grey with the knob left when out of service, green with the
// knob right when in service.
void InService(QPainter& p, bool on) {
    Smooth(p, true);
    p.setPen(QPen(on ? QColor(0x1b, 0x6e, 0x2c) : QColor(0x5b, 0x67, 0x75), 1));
    p.setBrush(on ? kGreen : QColor(0xa9, 0xb3, 0xbe));
    p.drawRoundedRect(QRectF(0.5, 3.5, 15, 9), 4.5, 4.5);
    p.setPen(QPen(QColor(0x5b, 0x67, 0x75), 1));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(on ? 8.5 : 1.5, 4.5, 7, 7));
}

void Alarm(QPainter& p) {
    // A bell.
    Smooth(p, true);
    QPainterPath bell;
    bell.moveTo(2.0, 12.5);
    bell.cubicTo(4.0, 11.0, 3.5, 9.0, 3.8, 7.0);
    bell.cubicTo(4.2, 3.2, 11.8, 3.2, 12.2, 7.0);
    bell.cubicTo(12.5, 9.0, 12.0, 11.0, 14.0, 12.5);
    bell.closeSubpath();
    QLinearGradient shine(3, 0, 13, 0);
    shine.setColorAt(0, QColor(0xff, 0x8a, 0x6a));
    shine.setColorAt(1, QColor(0xc6, 0x1f, 0x1f));
    p.setPen(QPen(QColor(0x6e, 0x0f, 0x0f), 1));
    p.setBrush(shine);
    p.drawPath(bell);
    p.setBrush(QColor(0x6e, 0x0f, 0x0f));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(8.0, 14.0), 1.8, 1.5);
    p.drawRect(QRectF(7.0, 1.0, 2.0, 2.0));
}

// Puts a drawn icon onto the strip: pixels more than half covered become
// opaque (blended over white, the list's background), the others take the
// transparent colour. The strip then has no pink fringes once the
// transparent colour is cut out.
void PutOnStrip(QImage& strip, int index, const QImage& icon) {
    const QImage argb = icon.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            const QRgb c = argb.pixel(x, y);
            const int a = qAlpha(c);
            QRgb out = kTransparentColour | 0xFF000000u;
            if (a >= 128) {
                auto blend = [a](int v) { return (v * a + 255 * (255 - a)) / 255; };
                out = qRgb(blend(qRed(c)), blend(qGreen(c)), blend(qBlue(c)));
                // A blend that happens to land on the transparent colour stays visible.
                if ((out & 0xFFFFFFu) == kTransparentColour) out = qRgb(0xFE, 0x00, 0xFF);
            }
            strip.setPixel(index * kIconSize + x, y, out);
        }
    }
}

// Converts at most the given size of the bitmap's top-left corner; the
// rest of a big bitmap is never turned into an image.
QImage ToImagePart(const CDib& dib, int width, int height) {
    if (dib.IsEmpty() || width <= 0 || height <= 0) return {};
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) return {};
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const CDib::Colour c = dib.PixelAt(x, y);
            line[x] = qRgb(c.red, c.green, c.blue);
        }
    }
    return image;
}

}  // namespace

QList<QPixmap> DeviceGroupIcons() {
    return {QPixmap::fromImage(DeviceImage(true, false)),  QPixmap::fromImage(DeviceImage(true, true)),
            QPixmap::fromImage(DeviceImage(false, false)), QPixmap::fromImage(DeviceImage(false, true)),
            QPixmap::fromImage(FolderImage(false)),        QPixmap::fromImage(FolderImage(true))};
}

QImage BuiltInTagStrip() {
    using Draw = std::function<void(QPainter&)>;
    const std::array<Draw, kTagIconCount> draw = {
        SoftwareVersion, NumberOfBins, BinSize,    CountBin,
        TotalCounts,     GenericTag,   FlowLevel,  SampleInterval,
        CommStatus,      AnalogInput,  [](QPainter& p) { InService(p, false); },
        [](QPainter& p) { InService(p, true); }, Alarm};
    QImage strip(kIconSize * kTagIconCount, kIconSize, QImage::Format_RGB32);
    strip.fill(QColor::fromRgb(kTransparentColour));
    for (int i = 0; i < kTagIconCount; ++i) {
        QImage icon = Blank();
        {
            QPainter p(&icon);
            draw[static_cast<std::size_t>(i)](p);
        }
        PutOnStrip(strip, i, icon);
    }
    return strip;
}

QList<QPixmap> CutStrip(const QImage& strip) {
    QList<QPixmap> icons;
    if (strip.isNull() || strip.width() < kIconSize || strip.height() <= 0) return icons;
    const int count = std::min(strip.width() / kIconSize, kMaxTagIcons);
    // The list's images are 16 by 16: a taller strip gives its top rows, a
    // lower one stands at the top of a transparent image.
    const int rows = std::min(strip.height(), kIconSize);
    for (int i = 0; i < count; ++i) {
        QImage cell = strip.copy(i * kIconSize, 0, kIconSize, rows).convertToFormat(QImage::Format_ARGB32);
        QImage icon(kIconSize, kIconSize, QImage::Format_ARGB32);
        icon.fill(Qt::transparent);
        for (int y = 0; y < rows; ++y) {
            const auto* from = reinterpret_cast<const QRgb*>(cell.constScanLine(y));
            auto* to = reinterpret_cast<QRgb*>(icon.scanLine(y));
            for (int x = 0; x < kIconSize; ++x)
                to[x] = (from[x] & 0xFFFFFFu) == kTransparentColour ? 0u : (from[x] | 0xFF000000u);
        }
        icons.append(QPixmap::fromImage(icon));
    }
    return icons;
}

QImage ToImage(const CDib& dib) {
    const CDib::Size size = dib.GetSize();
    return ToImagePart(dib, size.width, size.height);
}

QList<QPixmap> LoadTagIcons(const std::string& path) {
    if (!path.empty() && QFileInfo(QString::fromStdString(path)).isFile()) {
        CDib dib;
        if (dib.LoadFile(path)) {
            const CDib::Size size = dib.GetSize();
            const int width = std::min(size.width / kIconSize, kMaxTagIcons) * kIconSize;
            const QList<QPixmap> icons = CutStrip(ToImagePart(dib, width, std::min(size.height, kIconSize)));
            if (!icons.isEmpty()) return icons;
        }
    }
    return CutStrip(BuiltInTagStrip());
}

QPixmap SplashPicture() {
    QPixmap picture(kSplashSize);
    picture.fill(Qt::black);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    const QRectF area(QPointF(0, 0), QSizeF(kSplashSize));

    // Clean-room air: a deep blue field.
    QLinearGradient sky(0, 0, 0, area.height());
    sky.setColorAt(0, QColor(0x0b, 0x25, 0x45));
    sky.setColorAt(1, QColor(0x16, 0x4f, 0x82));
    p.fillRect(area, sky);

    // The counter's sensing beam across the lower part, with a few particles
    // drifting through it; fixed positions, so the picture is the same every time.
    const qreal beamY = 176;
    QLinearGradient beam(0, beamY - 6, 0, beamY + 6);
    beam.setColorAt(0, QColor(0x7f, 0xd8, 0xff, 0));
    beam.setColorAt(0.5, QColor(0x7f, 0xd8, 0xff, 90));
    beam.setColorAt(1, QColor(0x7f, 0xd8, 0xff, 0));
    p.fillRect(QRectF(0, beamY - 6, area.width(), 12), beam);
    std::uint32_t seed = 0x2A11u;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<qreal>((seed >> 8) & 0xFFFF) / 65535.0;
    };
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 70; ++i) {
        const qreal x = next() * area.width();
        const qreal y = next() * area.height();
        const qreal r = 0.8 + next() * 2.4;
        const bool lit = std::abs(y - beamY) < 8;
        p.setBrush(lit ? QColor(0xd8, 0xf4, 0xff, 230) : QColor(0xff, 0xff, 0xff, 40 + static_cast<int>(next() * 70)));
        p.drawEllipse(QPointF(x, y), lit ? r + 1 : r, lit ? r + 1 : r);
        if (lit) {
            // Scattered light around a particle in the beam.
            p.setBrush(QColor(0xbf, 0xec, 0xff, 50));
            p.drawEllipse(QPointF(x, y), r + 5, r + 5);
        }
    }

    // The counter itself, enlarged from its tree icon, at the top right.
    const QPixmap device = QPixmap::fromImage(DeviceImage(true, true)).scaled(64, 64, Qt::KeepAspectRatio,
                                                                                  Qt::FastTransformation);
    p.drawPixmap(QPointF(area.width() - 64 - 24, 22), device);

    // Texts.
    const QString family = QStringLiteral("DejaVu Sans");
    QFont title(family);
    title.setPixelSize(34);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(28, 42, 300, 44), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("VOK Explorer"));

    QFont subtitle(family);
    subtitle.setPixelSize(13);
    p.setFont(subtitle);
    p.setPen(QColor(0xcf, 0xe4, 0xf7));
    p.drawText(QRectF(28, 100, 364, 40), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               QStringLiteral("OPC Data Access server for 4400 VOK particle counters"));

    std::string version = versioninfo::ProductVersion();
    if (version.empty()) version = "2.11";
    QFont small(family);
    small.setPixelSize(12);
    p.setFont(small);
    p.setPen(QColor(0x9f, 0xc4, 0xe6));
    p.drawText(QRectF(28, 124, 364, 18), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Version %1").arg(QString::fromStdString(version)));

    const std::string copyright = versioninfo::LegalCopyright();
    if (!copyright.empty()) {
        QFont fine(family);
        fine.setPixelSize(11);
        p.setFont(fine);
        p.setPen(QColor(0x9f, 0xc4, 0xe6));
        p.drawText(QRectF(28, area.height() - 34, 364, 18), Qt::AlignLeft | Qt::AlignVCenter,
                   QString::fromStdString(copyright));
    }

    // A thin frame: the window has no border of its own.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QColor(0x5f, 0x8f, 0xbf));
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, kSplashSize.width() - 1, kSplashSize.height() - 1);
    return picture;
}

QIcon ProgramIcon() {
    QIcon icon;
    const QPixmap device = QPixmap::fromImage(DeviceImage(true, false));
    icon.addPixmap(device);
    // Whole multiples keep the pixel drawing sharp.
    for (int size : {32, 48})
        icon.addPixmap(device.scaled(size, size, Qt::KeepAspectRatio, Qt::FastTransformation));
    return icon;
}

QPixmap DiscoveryPicture() {
    QPixmap picture(120, 150);
    picture.fill(QColor(0x16, 0x4f, 0x82));
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing, true);
    // The computer at the top, its screen lit.
    p.setPen(QPen(QColor(0x0b, 0x25, 0x45), 2));
    p.setBrush(QColor(0xd9, 0xdd, 0xe2));
    p.drawRoundedRect(QRectF(34, 10, 52, 36), 3, 3);
    p.setBrush(QColor(0x7f, 0xd8, 0xff));
    p.drawRect(QRectF(39, 15, 42, 24));
    p.setBrush(QColor(0xd9, 0xdd, 0xe2));
    p.drawRect(QRectF(52, 46, 16, 6));
    // The serial line down the middle, with three counters hanging on it.
    p.setPen(QPen(QColor(0xff, 0xd8, 0x4f), 3));
    p.drawLine(QPointF(60, 52), QPointF(60, 140));
    for (int i = 0; i < 3; ++i) {
        const qreal y = 66 + i * 26;
        const qreal x = i % 2 == 0 ? 18 : 72;
        p.setPen(QPen(QColor(0xff, 0xd8, 0x4f), 3));
        p.drawLine(QPointF(60, y + 8), QPointF(i % 2 == 0 ? x + 30 : x, y + 8));
        p.setPen(QPen(QColor(0x0b, 0x25, 0x45), 2));
        p.setBrush(QColor(0xf2, 0xf2, 0xf2));
        p.drawRoundedRect(QRectF(x, y, 30, 16), 2, 2);
        p.setBrush(QColor(0x2e, 0xc2, 0x5a));
        p.drawEllipse(QPointF(x + 7, y + 8), 3, 3);
    }
    return picture;
}

}  // namespace bitmaps
