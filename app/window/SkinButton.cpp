#include "app/window/SkinButton.h"

#include <QPainter>
#include <QResizeEvent>

namespace kf::app::window {

SkinButton::SkinButton(const QString& text, Skin::ButtonKind kind, QWidget* parent)
    : QAbstractButton(parent), kind_(kind) {
    setText(text);
    setFont(Skin::Font(kind == Skin::ButtonKind::kCaption ? 15 : 13, true));
    setCursor(Qt::PointingHandCursor);
    // Hover repaints the face.
    setAttribute(Qt::WA_Hover);
    // The main window is driven by the mouse; a focus frame would only clutter the skin.
    setFocusPolicy(Qt::NoFocus);
}

Skin::Face SkinButton::CurrentFace() const {
    if (!isEnabled()) {
        return Skin::Face::kDisabled;
    }
    if (isDown()) {
        return Skin::Face::kPressed;
    }
    return underMouse() ? Skin::Face::kHover : Skin::Face::kNormal;
}

void SkinButton::resizeEvent(QResizeEvent* event) {
    for (int face = 0; face < static_cast<int>(faces_.size()); ++face) {
        faces_[face] = Skin::ButtonFace(event->size(), static_cast<Skin::Face>(face), kind_);
    }
    QAbstractButton::resizeEvent(event);
}

void SkinButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const Skin::Face face = CurrentFace();
    const QPixmap& pixmap = faces_[static_cast<int>(face)];
    if (!pixmap.isNull()) {
        painter.drawPixmap(0, 0, pixmap);
    }
    QRect text_rect = rect();
    if (face == Skin::Face::kPressed) {
        text_rect.translate(1, 1);
    }
    painter.setPen(face == Skin::Face::kDisabled ? QColor(238, 241, 244) : QColor(Qt::white));
    painter.drawText(text_rect, Qt::AlignCenter, text());
}

}  // namespace kf::app::window
