#pragma once

// Reading and writing bencoded values.
//
// The dialect is the BitTorrent encoding with one difference in the data model: an integer is
// never a value of its own but belongs to the byte string before it, so "d3:fooi42ee" is a
// dictionary with one child (foo carrying 42) and "li1ee" does not parse. Container letters are
// accepted in either case on input and always written in lower case; the writer keeps the stored
// order, so a tree parsed from lower-case input is written back byte for byte.
//
// Trust: input is untrusted. Reads are bounded by the given span, nesting by kMaxNesting (256)
// container levels and the tree by kMaxElements elements (see QElement.h).

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "engine/content/QDictionaryElement.h"
#include "engine/content/QElement.h"
#include "engine/content/QIntegerElement.h"
#include "engine/content/QListElement.h"

namespace kf {

// An empty element of the kind that `first` opens: 'd'/'D' a dictionary, 'l'/'L' a list, a
// decimal digit a string; null for any other byte.
std::unique_ptr<QElement> NewElementFor(uint8_t first);

// Parses the value at the start of `input`; null when there is none or it is malformed. Trailing
// bytes are ignored: the root's encoded_size() tells how many were used. The tree points into
// `input` (source()), which must outlive any use of those pointers.
std::unique_ptr<QElement> ParseValue(std::span<const uint8_t> input);
std::unique_ptr<QElement> ParseValue(std::string_view input);

// Bytes that EncodeTo will write for `element`, or 0 when it or any descendant is not valid,
// the tree is nested deeper than kMaxNesting, or the result would not fit 31 bits.
int32_t EncodedSize(const QElement* element);

// Appends the encoding of `element` to `buffer`, reserving the whole size first. Answers false
// and leaves `buffer` as it was when EncodedSize would answer 0.
bool EncodeTo(const QElement* element, std::string& buffer);

}  // namespace kf
