#pragma once

#include "engine/content/QMultiElement.h"

namespace kf {

// Bencoded dictionary ('d' ... 'e'). Keys are neither sorted nor de-duplicated.
class QDictionaryElement : public QMultiElement {
  public:
    QDictionaryElement() : QMultiElement(ElementKind::kDictionary) {}
    ElementKind Kind() const override { return ElementKind::kDictionary; }
    bool AcceptsPrefix(uint8_t c) const override { return c == 'd' || c == 'D'; }
};

}  // namespace kf
