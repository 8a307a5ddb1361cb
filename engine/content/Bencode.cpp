#include "engine/content/Bencode.h"

#include <charconv>
#include <limits>

namespace kf {

namespace {

int64_t SizeOf(const QElement& element, int32_t depth) {
    if (!element.IsValid() || element.encoded_size() <= 0 || depth > kMaxNesting) {
        return 0;
    }
    if (element.Kind() == ElementKind::kString) {
        return static_cast<const QIntegerElement&>(element).WrittenSize();
    }
    int64_t total = element.Kind() == ElementKind::kContainer ? 0 : 2;
    const int32_t count = element.Count();
    for (int32_t i = 0; i < count; ++i) {
        const int64_t child = SizeOf(*element.ChildAt(i), depth + 1);
        if (child <= 0) {
            return 0;
        }
        total += child;
        if (total > std::numeric_limits<int32_t>::max()) {
            return 0;
        }
    }
    return total;
}

void AppendNumber(std::string& out, int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(digits, result.ptr);
}

// Only called on a tree that SizeOf accepted, so every element is valid.
void Write(const QElement& element, std::string& out) {
    switch (element.Kind()) {
        case ElementKind::kString: {
            const std::string_view bytes = element.Bytes();
            AppendNumber(out, static_cast<int64_t>(bytes.size()));
            out.push_back(':');
            out.append(bytes);
            if (element.HasInteger()) {
                out.push_back('i');
                AppendNumber(out, element.Integer());
                out.push_back('e');
            }
            return;
        }
        case ElementKind::kDictionary:
            out.push_back('d');
            break;
        case ElementKind::kList:
            out.push_back('l');
            break;
        default:
            break;
    }
    const int32_t count = element.Count();
    for (int32_t i = 0; i < count; ++i) {
        Write(*element.ChildAt(i), out);
    }
    if (element.Kind() != ElementKind::kContainer) {
        out.push_back('e');
    }
}

}  // namespace

std::unique_ptr<QElement> NewElementFor(uint8_t first) {
    if (first == 'd' || first == 'D') {
        return std::make_unique<QDictionaryElement>();
    }
    if (first == 'l' || first == 'L') {
        return std::make_unique<QListElement>();
    }
    if (first >= '0' && first <= '9') {
        return std::make_unique<QIntegerElement>();
    }
    return nullptr;
}

std::unique_ptr<QElement> ParseValue(std::span<const uint8_t> input) {
    if (input.empty()) {
        return nullptr;
    }
    std::unique_ptr<QElement> root = NewElementFor(input[0]);
    if (root == nullptr) {
        return nullptr;
    }
    root->Parse(input);
    if (!root->IsValid()) {
        return nullptr;
    }
    return root;
}

std::unique_ptr<QElement> ParseValue(std::string_view input) {
    return ParseValue(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
}

int32_t EncodedSize(const QElement* element) {
    return element == nullptr ? 0 : static_cast<int32_t>(SizeOf(*element, 0));
}

bool EncodeTo(const QElement* element, std::string& buffer) {
    const int32_t size = EncodedSize(element);
    if (size <= 0) {
        return false;
    }
    // Keep some slack so that a caller appending several records reallocates rarely.
    const size_t need = static_cast<size_t>(size);
    if (buffer.capacity() - buffer.size() < need + 1024) {
        buffer.reserve(buffer.size() + need + 1024);
    }
    Write(*element, buffer);
    return true;
}

}  // namespace kf
