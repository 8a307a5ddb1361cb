#pragma once

#include "engine/content/QElement.h"

namespace kf {

// A byte string with an optional 64-bit integer written right after it ("3:fooi42e" is one
// element: foo carrying 42). This is the only leaf of the element tree: an integer is never a
// value of its own.
class QIntegerElement : public QElement {
  public:
    QIntegerElement() : QElement(ElementKind::kString) {}

    // Reads "<length>:<bytes>" and an optional "i<integer>e" (the 'i' in either case, the 'e'
    // lower case). The length is at most 12 digits and must fit 31 bits; reading never goes past
    // `input`, so an integer that is not closed inside it is a syntax error.
    int32_t ParseNested(std::span<const uint8_t> input, ParseState& state) override;
    ElementKind Kind() const override { return ElementKind::kString; }

    // Bytes the writer produces for this element: the canonical form, which is shorter than the
    // parsed input when that used padding in its number fields. 0 when not valid.
    int32_t WrittenSize() const;

    // Makes a valid string element for a builder; null when refused (see AppendText).
    static std::unique_ptr<QIntegerElement> Build(std::string_view bytes, int64_t integer,
                                                  bool has_integer);
};

}  // namespace kf
