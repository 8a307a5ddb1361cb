// Any input must parse without faults; whatever parses must stay inside the input, write out, and
// its written form must read back to the same written form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/content/Bencode.h"

namespace {

void Walk(const kf::QElement& element, const uint8_t* begin, const uint8_t* end) {
    const auto span = element.InputBytes();
    if (span.data() < begin || span.data() + span.size() > end) {
        std::abort();
    }
    element.ConvertedText();
    element.FindValue("info");
    element.FindText("LENGTH");
    for (int32_t i = 0; i < element.Count(); ++i) {
        const kf::QElement* child = element.ChildAt(i);
        if (child->parent() != &element || element.NextSibling(child) != element.ChildAt(i + 1)) {
            std::abort();
        }
        Walk(*child, span.data(), span.data() + span.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<kf::QElement> root = kf::ParseValue(std::span<const uint8_t>(data, size));
    if (root == nullptr) {
        return 0;
    }
    if (root->encoded_size() <= 0 || static_cast<size_t>(root->encoded_size()) > size) {
        std::abort();
    }
    root->SetCodePage(936);
    Walk(*root, data, data + size);

    std::string written;
    if (!kf::EncodeTo(root.get(), written) ||
        written.size() != static_cast<size_t>(kf::EncodedSize(root.get()))) {
        std::abort();
    }
    std::unique_ptr<kf::QElement> again = kf::ParseValue(written);
    std::string rewritten;
    if (again == nullptr || !kf::EncodeTo(again.get(), rewritten) || rewritten != written) {
        std::abort();
    }
    return 0;
}
