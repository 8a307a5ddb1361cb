#include "engine/content/QIntegerElement.h"

#include <limits>

#include "engine/base/ParseNumber.h"

namespace kf {

namespace {

bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// The length and integer fields tolerate any byte in 1..'9' between the digits and their
// terminator (sign, blanks, punctuation), as the writers of the files we read did.
bool IsNumberFieldByte(uint8_t c) {
    return c >= 1 && c <= '9';
}

int32_t DecimalDigits(int64_t value) {
    int32_t digits = value < 0 ? 2 : 1;
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    while (magnitude >= 10) {
        magnitude /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

int32_t QIntegerElement::ParseNested(std::span<const uint8_t> input, ParseState&) {
    Clear();
    if (input.size() > kMaxInputBytes) {
        input = input.first(kMaxInputBytes);
    }
    if (input.empty() || !IsDigit(input[0])) {
        return kParseNothing;
    }
    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    // Read wide so that a length beyond 31 bits is refused instead of wrapping into a small one.
    const int64_t length = ParseInt64Text(text, 12);
    if (length < 0 || length > std::numeric_limits<int32_t>::max()) {
        return FailParse(kParseTruncated);
    }
    size_t colon = 0;
    while (colon < input.size() && IsNumberFieldByte(input[colon])) {
        ++colon;
    }
    if (colon >= input.size() || input[colon] != ':') {
        return FailParse(kParseSyntaxError);
    }
    const size_t start = colon + 1;
    if (static_cast<uint64_t>(length) > input.size() - start) {
        return FailParse(kParseTruncated);
    }
    SetBytes(text.substr(start, static_cast<size_t>(length)));
    size_t end = start + static_cast<size_t>(length);

    if (end < input.size() && (input[end] == 'i' || input[end] == 'I')) {
        size_t close = end + 1;
        while (close < input.size() && IsNumberFieldByte(input[close])) {
            ++close;
        }
        if (close >= input.size() || input[close] != 'e') {
            return FailParse(kParseSyntaxError);
        }
        integer_ = ParseInt64Text(text.substr(end + 1, close - end - 1));
        has_integer_ = true;
        end = close + 1;
    }
    return FinishParse(input, static_cast<int32_t>(end));
}

std::unique_ptr<QIntegerElement> QIntegerElement::Build(std::string_view bytes, int64_t integer,
                                                        bool has_integer) {
    const bool carries_integer = has_integer || integer != 0;
    if (bytes.empty() && carries_integer) {
        return nullptr;
    }
    // The written form must stay within a 32-bit size.
    constexpr size_t kMaxBuiltLength = std::numeric_limits<int32_t>::max() - 64;
    if (bytes.size() > kMaxBuiltLength) {
        return nullptr;
    }
    auto element = std::make_unique<QIntegerElement>();
    element->SetBytes(bytes);
    element->integer_ = integer;
    element->has_integer_ = has_integer;
    element->parsed_kind_ = ElementKind::kString;
    element->encoded_size_ = element->WrittenSize();
    return element;
}

int32_t QIntegerElement::WrittenSize() const {
    if (!IsValid()) {
        return 0;
    }
    int64_t size = DecimalDigits(length_) + 1 + static_cast<int64_t>(length_);
    if (HasInteger()) {
        size += DecimalDigits(integer_) + 2;
    }
    return size > std::numeric_limits<int32_t>::max() ? 0 : static_cast<int32_t>(size);
}

}  // namespace kf
