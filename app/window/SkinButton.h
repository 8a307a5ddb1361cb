#pragma once

#include <QAbstractButton>
#include <QPixmap>
#include <QString>
#include <array>

#include "app/window/Skin.h"

namespace kf::app::window {

// A push button painted from the skin: one face per state (normal, hover, pressed, disabled) and
// its text centred on it. The faces are painted again only when the size changes.
//
// Threads: the GUI thread. Owner: its parent widget.
class SkinButton : public QAbstractButton {
    Q_OBJECT

  public:
    SkinButton(const QString& text, Skin::ButtonKind kind, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    Skin::Face CurrentFace() const;

    Skin::ButtonKind kind_;
    std::array<QPixmap, 4> faces_;  // by Skin::Face
};

}  // namespace kf::app::window
