#pragma once
// The program's own pictures, drawn in code so that the program needs no
// image files: the device and group icons of the device tree, the built-in
// tag icon strip of the tag list, the splash picture and the window icon.
// The tag icons may also come from a bitmap file the settings name.

#include "ui/CDib.h"

#include <QIcon>
#include <QImage>
#include <QList>
#include <QPixmap>

#include <string>

namespace bitmaps {

// Edge of every tree and list icon, in pixels.
constexpr int kIconSize = 16;
// Number of images in the built-in tag strip: one per image index of the tag kinds.
constexpr int kTagIconCount = 13;
// The colour of a tag strip that stands for "transparent".
constexpr QRgb kTransparentColour = 0xFF00FF;

// The device tree's images by a device's or group's image index: 0 and 1 a
// device whose communication is OK (closed, open), 2 and 3 a device whose
// communication failed (closed, open) and also a plain group, 4 and 5 a
// counter's tag group (closed, open).
QList<QPixmap> DeviceGroupIcons();

// The tag images in one row of 16-pixel-wide cells on a magenta background,
// by a tag's image index: 0 software version, 1 number of bins, 2 bin size,
// 3 count bin, 4 total counts, 5 a generic tag, 6 flow, 7 sample interval,
// 8 comm status, 9 analog input, 10 out of service, 11 in service, 12 alarm.
QImage BuiltInTagStrip();

// The strip cut into 16-pixel-wide images with the magenta pixels made
// transparent. A strip narrower than one image or without height gives no
// images; a last partial image is dropped.
QList<QPixmap> CutStrip(const QImage& strip);

// The bitmap's pixels; a null image when it is empty.
QImage ToImage(const CDib& dib);

// The tag images from the bitmap file at path; the built-in strip when the
// path is empty or the file is missing, unreadable or yields no image.
QList<QPixmap> LoadTagIcons(const std::string& path);

// The picture the splash window shows at start-up.
QPixmap SplashPicture();

// The picture of the discovery wizard's first page: a computer and the
// counters on the serial lines it is about to search.
QPixmap DiscoveryPicture();

// The main window's icon: the device picture at several sizes.
QIcon ProgramIcon();

}  // namespace bitmaps
