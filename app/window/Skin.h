#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QRegion>
#include <QSize>

namespace kf::app::window {

// The window's look, painted at run time: the backgrounds, the bars, the button faces, the list
// toggle glyph and the program icon, at the sizes of Layout.h, plus the text font and colours.
//
// Threads: the GUI thread only (QPixmap). Every call paints afresh; callers keep what they reuse.
// Results: the backgrounds are opaque except for their outline, which is made of pixels of exactly
// layout::kKeyColour, so that Shape() can cut it out of the window.
class Skin {
  public:
    enum class Face { kNormal, kHover, kPressed, kDisabled };
    enum class ButtonKind { kBody, kCaption };

    // Text colours: the percentage and state line, labels/speed/sizes, the save folder and the
    // game version.
    static constexpr QColor kStateText{0, 65, 173};
    static constexpr QColor kLabelText{108, 42, 17};
    static constexpr QColor kFolderText{255, 255, 255};
    static constexpr QColor kVersionText{26, 92, 0};

    // 411x307 with the file list closed, 411x385 with it open; the caption strip carries the
    // title.
    static QImage Background(bool list_open);
    // The window's shape: every pixel of `background` except those of the key colour.
    static QRegion Shape(const QImage& background);

    // The bars at layout::kProgressBar and layout::kVerifyBar sizes.
    static QPixmap EmptyBar();
    static QPixmap FullBar();
    static QPixmap VerifyBar();

    static QPixmap ButtonFace(QSize size, Face face, ButtonKind kind);
    // A chevron at layout::kListToggle size, pointing the way the list will move.
    static QPixmap ListToggle(bool list_open);
    // The program's icon for the window and the tray.
    static QIcon ProgramIcon();
    static QFont Font(int pixel_size, bool bold = false);
};

}  // namespace kf::app::window
