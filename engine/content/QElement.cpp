#include "engine/content/QElement.h"

#include <cstring>
#include <optional>

#include "engine/content/QMultiElement.h"
#include "engine/os/CodePage.h"

namespace kf {

QElement::~QElement() {
    // Normally a container unlinks its children before destroying them; this covers a child
    // destroyed by somebody else while still linked.
    if (parent_ != nullptr) {
        parent_->ReleaseChild(this);
    }
}

int32_t QElement::Parse(std::span<const uint8_t> input) {
    ParseState state;
    return ParseNested(input, state);
}

const QElement* QElement::NextSibling(const QElement*) const {
    return nullptr;
}
const QElement* QElement::PrevSibling(const QElement*) const {
    return nullptr;
}
const QElement* QElement::FindValue(std::string_view) const {
    return nullptr;
}
const QElement* QElement::FindText(std::string_view) const {
    return nullptr;
}
const QElement* QElement::ChildAt(int32_t) const {
    return nullptr;
}
QElement* QElement::Append(std::unique_ptr<QElement>) {
    return nullptr;
}
QElement* QElement::InsertAt(int32_t, std::unique_ptr<QElement>) {
    return nullptr;
}
QElement* QElement::AppendText(std::string_view, int64_t, bool) {
    return nullptr;
}
QElement* QElement::InsertTextAt(int32_t, std::string_view, int64_t, bool) {
    return nullptr;
}
bool QElement::RemoveAt(int32_t) {
    return false;
}
bool QElement::Remove(const QElement*) {
    return false;
}
std::unique_ptr<QElement> QElement::DetachAt(int32_t) {
    return nullptr;
}
std::unique_ptr<QElement> QElement::Detach(const QElement*) {
    return nullptr;
}
bool QElement::RemoveAll() {
    return false;
}
int32_t QElement::Count() const {
    return 0;
}

std::string QElement::Text(std::string_view) const {
    return std::string(Bytes());
}

int32_t QElement::SetCodePage(int32_t code_page) {
    code_page_ = code_page;
    return 0;
}

void QElement::Clear() {
    ClearFields();
    if (parent_ != nullptr) {
        parent_->DropSourceUpwards();
    }
}

void QElement::ClearFields() {
    has_integer_ = false;
    code_page_ = 0;
    source_ = nullptr;
    bytes_.reset();
    length_ = 0;
    parsed_kind_ = ElementKind::kNone;
    integer_ = 0;
    encoded_size_ = 0;
}

bool QElement::IsValid() const {
    return parsed_kind_ != ElementKind::kNone && bytes_ != nullptr && length_ >= 0;
}

bool QElement::HasInteger() const {
    return has_integer_ || integer_ != 0;
}

int64_t QElement::Integer() const {
    return IsValid() ? integer_ : 0;
}

std::string_view QElement::Bytes() const {
    if (!IsValid()) {
        return {};
    }
    return {bytes_.get(), static_cast<size_t>(length_)};
}

int32_t QElement::Length() const {
    return IsValid() ? length_ : -1;
}

std::string QElement::ConvertedText() const {
    if (!IsValid() || length_ == 0 || kind_ != ElementKind::kString) {
        return {};
    }
    const std::string_view bytes = Bytes();
    bool printable = true;
    for (const char c : bytes) {
        if (c < 0x20 || c > 0x7e) {
            printable = false;
            break;
        }
    }
    if (printable || code_page_ == 0) {
        return std::string(bytes);
    }
    std::optional<std::string> converted = ToSystemCodePage(bytes, code_page_);
    return converted ? std::move(*converted) : std::string();
}

std::span<const uint8_t> QElement::InputBytes() const {
    if (source_ == nullptr || encoded_size_ <= 0) {
        return {};
    }
    return {source_, static_cast<size_t>(encoded_size_)};
}

void QElement::SetBytes(std::string_view bytes) {
    bytes_ = std::make_unique<char[]>(bytes.size() + 1);
    if (!bytes.empty()) {
        std::memcpy(bytes_.get(), bytes.data(), bytes.size());
    }
    length_ = static_cast<int32_t>(bytes.size());
}

int32_t QElement::FinishParse(std::span<const uint8_t> input, int32_t consumed) {
    source_ = input.data();
    encoded_size_ = consumed;
    parsed_kind_ = kind_;
    return consumed;
}

int32_t QElement::FailParse(int32_t code) {
    Clear();
    return code;
}

void QElement::DropSourceUpwards() {
    for (QElement* e = this; e != nullptr; e = e->parent_) {
        e->source_ = nullptr;
    }
}

}  // namespace kf
