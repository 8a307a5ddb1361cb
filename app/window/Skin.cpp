#include "app/window/Skin.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <utility>

#include "app/UserMessages.h"
#include "app/window/Layout.h"

namespace kf::app::window {
namespace {

constexpr int kCornerRadius = 6;
constexpr QColor kBodyTop{245, 248, 252};
constexpr QColor kBodyBottom{221, 230, 240};
constexpr QColor kCaptionTop{42, 111, 208};
constexpr QColor kCaptionBottom{27, 79, 156};
constexpr QColor kOutline{96, 118, 148};
constexpr QColor kFolderBand{74, 106, 146};
constexpr QColor kRule{197, 208, 220};

// Replaces every pixel outside the rounded outline by the key colour. Done per pixel after all
// painting, so that no antialiased edge blends the key colour into a pixel that stays.
void CutCorners(QImage& image) {
    const QRgb key = layout::kKeyColour.rgb();
    const int w = image.width();
    const int h = image.height();
    const double r = kCornerRadius;
    for (int y = 0; y < kCornerRadius; ++y) {
        for (int x = 0; x < kCornerRadius; ++x) {
            const double dx = r - (x + 0.5);
            const double dy = r - (y + 0.5);
            if (dx * dx + dy * dy <= r * r) {
                continue;
            }
            image.setPixel(x, y, key);
            image.setPixel(w - 1 - x, y, key);
            image.setPixel(x, h - 1 - y, key);
            image.setPixel(w - 1 - x, h - 1 - y, key);
        }
    }
}

QPixmap RoundedBar(int width, int height, const QColor& top, const QColor& bottom,
                   const QColor& edge) {
    QPixmap bar(width, height);
    bar.fill(Qt::transparent);
    QPainter painter(&bar);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, height);
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    painter.setBrush(fill);
    painter.setPen(edge);
    const double radius = height / 2.0 - 0.5;
    painter.drawRoundedRect(QRectF(0.5, 0.5, width - 1, height - 1), radius, radius);
    return bar;
}

}  // namespace

QImage Skin::Background(bool list_open) {
    const int height = layout::kHeight + (list_open ? layout::kListGrowth : 0);
    QImage image(layout::kWidth, height, QImage::Format_RGB32);
    QPainter painter(&image);

    QLinearGradient body(0, 0, 0, layout::kHeight);
    body.setColorAt(0, kBodyTop);
    body.setColorAt(1, kBodyBottom);
    painter.fillRect(image.rect(), body);

    QLinearGradient caption(0, 0, 0, layout::kCaption.height());
    caption.setColorAt(0, kCaptionTop);
    caption.setColorAt(1, kCaptionBottom);
    painter.fillRect(layout::kCaption, caption);
    painter.setPen(Qt::white);
    painter.setFont(Font(15, true));
    painter.drawText(layout::kTitle, Qt::AlignLeft | Qt::AlignVCenter,
                     QString::fromUtf8(UserMessages::kTitle));

    painter.setRenderHint(QPainter::Antialiasing);
    // The save folder is written in white, so it sits on a dark band with the two folder buttons.
    painter.setPen(Qt::NoPen);
    painter.setBrush(kFolderBand);
    painter.drawRoundedRect(QRectF(12, 244, layout::kWidth - 24, 32), 4, 4);

    painter.setPen(kRule);
    painter.drawLine(12, layout::kToggleTop, layout::kWidth - 13, layout::kToggleTop);
    if (list_open) {
        painter.fillRect(QRect(0, layout::kHeight, layout::kWidth, layout::kListGrowth), kRule);
        painter.fillRect(layout::kFileList.adjusted(-1, -1, 1, 1), Qt::white);
    }

    painter.setBrush(Qt::NoBrush);
    painter.setPen(kOutline);
    painter.drawRoundedRect(QRectF(0.5, 0.5, image.width() - 1, image.height() - 1),
                            kCornerRadius - 0.5, kCornerRadius - 0.5);
    painter.end();
    CutCorners(image);
    return image;
}

QRegion Skin::Shape(const QImage& background) {
    const QImage image = background.convertToFormat(QImage::Format_RGB32);
    const QRgb key = layout::kKeyColour.rgb() & RGB_MASK;
    QRegion shape;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        const auto is_key = [&](int x) { return (row[x] & RGB_MASK) == key; };
        int x = 0;
        while (x < image.width()) {
            while (x < image.width() && is_key(x)) {
                ++x;
            }
            const int start = x;
            while (x < image.width() && !is_key(x)) {
                ++x;
            }
            if (x > start) {
                shape += QRect(start, y, x - start, 1);
            }
        }
    }
    return shape;
}

QPixmap Skin::EmptyBar() {
    return RoundedBar(layout::kProgressBar.width(), layout::kProgressBar.height(),
                      QColor(203, 213, 224), QColor(222, 229, 236), QColor(166, 180, 197));
}

QPixmap Skin::FullBar() {
    return RoundedBar(layout::kProgressBar.width(), layout::kProgressBar.height(),
                      QColor(104, 204, 96), QColor(46, 158, 58), QColor(38, 128, 48));
}

QPixmap Skin::VerifyBar() {
    return RoundedBar(layout::kVerifyBar.width(), layout::kVerifyBar.height(), QColor(244, 168, 48),
                      QColor(217, 122, 0), QColor(190, 104, 0));
}

QPixmap Skin::ButtonFace(QSize size, Face face, ButtonKind kind) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame(0.5, 0.5, size.width() - 1, size.height() - 1);
    if (kind == ButtonKind::kCaption) {
        // Caption buttons melt into the strip until the mouse finds them.
        static constexpr int kAlpha[] = {0, 60, 110, 0};
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, kAlpha[static_cast<int>(face)]));
        painter.drawRoundedRect(frame, 3, 3);
        return pixmap;
    }
    QColor top(76, 155, 239), bottom(43, 116, 214), edge(31, 93, 176);
    switch (face) {
        case Face::kNormal:
            break;
        case Face::kHover:
            top = top.lighter(112);
            bottom = bottom.lighter(112);
            break;
        case Face::kPressed:
            std::swap(top, bottom);
            top = top.darker(115);
            break;
        case Face::kDisabled:
            top = QColor(200, 207, 214);
            bottom = QColor(176, 185, 195);
            edge = QColor(150, 160, 172);
            break;
    }
    QLinearGradient fill(0, 0, 0, size.height());
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    painter.setBrush(fill);
    painter.setPen(edge);
    painter.drawRoundedRect(frame, 4, 4);
    return pixmap;
}

QPixmap Skin::ListToggle(bool list_open) {
    QPixmap glyph(layout::kListToggle.size());
    glyph.fill(Qt::transparent);
    QPainter painter(&glyph);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kOutline, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const double cx = glyph.width() / 2.0;
    const double cy = glyph.height() / 2.0;
    const double dy = list_open ? -3 : 3;
    painter.drawPolyline(QPolygonF({{cx - 6, cy - dy}, {cx, cy + dy}, {cx + 6, cy - dy}}));
    return glyph;
}

QIcon Skin::ProgramIcon() {
    QIcon icon;
    for (const int side : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient fill(0, 0, 0, side);
        fill.setColorAt(0, kCaptionTop);
        fill.setColorAt(1, kCaptionBottom);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(0, 0, side, side), side / 6.0, side / 6.0);
        // A white arrow onto a tray: downloading.
        const double u = side / 16.0;
        painter.setBrush(Qt::white);
        painter.drawPolygon(QPolygonF({{6 * u, 3 * u},
                                       {10 * u, 3 * u},
                                       {10 * u, 7 * u},
                                       {12.5 * u, 7 * u},
                                       {8 * u, 11.5 * u},
                                       {3.5 * u, 7 * u},
                                       {6 * u, 7 * u}}));
        painter.drawRect(QRectF(3.5 * u, 12.5 * u, 9 * u, 1.5 * u));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QFont Skin::Font(int pixel_size, bool bold) {
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setPixelSize(pixel_size);
    font.setBold(bold);
    return font;
}

}  // namespace kf::app::window
