#pragma once

#include "engine/content/QMultiElement.h"

namespace kf {

// Bencoded list ('l' ... 'e'). Its items are string elements (each possibly carrying an integer)
// and containers; a bare integer item does not exist in this dialect.
class QListElement : public QMultiElement {
  public:
    QListElement() : QMultiElement(ElementKind::kList) {}
    ElementKind Kind() const override { return ElementKind::kList; }
    bool AcceptsPrefix(uint8_t c) const override { return c == 'l' || c == 'L'; }
};

}  // namespace kf
