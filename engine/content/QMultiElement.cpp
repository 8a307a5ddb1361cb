#include "engine/content/QMultiElement.h"

#include <limits>

#include "engine/content/Bencode.h"

namespace kf {

namespace {

bool IsEndByte(uint8_t c) {
    return c == 'e' || c == 'E';
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The key/value walk shared by FindValue and FindKeyIgnoreCase: answers the index of the first
// key at a key position that `matches`, or -1.
template <class Match>
int32_t FindKeyIndex(const std::vector<std::unique_ptr<QElement>>& children, Match matches) {
    const size_t count = children.size();
    for (size_t i = 0; i < count; ++i) {
        const QElement& child = *children[i];
        if (child.IsValid() && matches(child.Bytes())) {
            return static_cast<int32_t>(i);
        }
        // A key without an integer has its value in the next child, which is never a key.
        if (!child.HasInteger()) {
            ++i;
        }
    }
    return -1;
}

}  // namespace

QMultiElement::QMultiElement(ElementKind kind) : QElement(kind) {
    MakeValidIfEmpty();
}

QMultiElement::~QMultiElement() {
    DestroyChildren();
}

void QMultiElement::MakeValidIfEmpty() {
    if (IsValid()) {
        return;
    }
    // A container has no string of its own; two placeholder bytes make it count as valid.
    SetBytes(std::string_view("\0\0", 2));
    parsed_kind_ = kind_;
    encoded_size_ = 2;
}

void QMultiElement::DestroyChildren() {
    // Unlink first so that the children's destructors do not call back into this container.
    for (auto& child : children_) {
        child->parent_ = nullptr;
    }
    children_.clear();
    cursor_ = 0;
}

int32_t QMultiElement::ParseNested(std::span<const uint8_t> input, ParseState& state) {
    Clear();
    if (input.size() > kMaxInputBytes) {
        input = input.first(kMaxInputBytes);
    }
    if (input.size() < 2 || input[0] == 0) {
        return kParseNothing;
    }
    if (!AcceptsPrefix(input[0]) || state.depth >= kMaxNesting) {
        return FailParse(kParseSyntaxError);
    }
    // Children live between the prefix and the last byte, which is kept for the closing 'e'.
    const size_t window_end = input.size() - 1;
    size_t pos = 1;
    while (pos < window_end && input[pos] != 0 && !IsEndByte(input[pos])) {
        std::unique_ptr<QElement> child = NewElementFor(input[pos]);
        if (child == nullptr || ++state.elements > kMaxElements) {
            return FailParse(kParseSyntaxError);
        }
        ++state.depth;
        const int32_t used = child->ParseNested(input.subspan(pos, window_end - pos), state);
        --state.depth;
        if (used < 1 || !child->IsValid()) {
            return FailParse(kParseSyntaxError);
        }
        child->parent_ = this;
        children_.push_back(std::move(child));
        pos += static_cast<size_t>(used);
    }
    if (!IsEndByte(input[pos])) {
        return FailParse(kParseSyntaxError);
    }
    MakeValidIfEmpty();
    return FinishParse(input, static_cast<int32_t>(pos + 1));
}

int32_t QMultiElement::IndexOf(const QElement* child) const {
    if (child == nullptr || child->parent_ != this) {
        return -1;
    }
    if (cursor_ < children_.size() && children_[cursor_].get() == child) {
        return static_cast<int32_t>(cursor_);
    }
    for (size_t i = 0; i < children_.size(); ++i) {
        if (children_[i].get() == child) {
            cursor_ = i;
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

const QElement* QMultiElement::NextSibling(const QElement* child) const {
    const int32_t index = IndexOf(child);
    if (index < 0 || static_cast<size_t>(index) + 1 >= children_.size()) {
        return nullptr;
    }
    cursor_ = static_cast<size_t>(index) + 1;
    return children_[cursor_].get();
}

const QElement* QMultiElement::PrevSibling(const QElement* child) const {
    const int32_t index = IndexOf(child);
    if (index <= 0) {
        return nullptr;
    }
    cursor_ = static_cast<size_t>(index) - 1;
    return children_[cursor_].get();
}

const QElement* QMultiElement::FindValue(std::string_view key) const {
    if (!IsValid()) {
        return nullptr;
    }
    const int32_t index =
        FindKeyIndex(children_, [key](std::string_view bytes) { return bytes == key; });
    if (index < 0) {
        return nullptr;
    }
    const QElement* found = children_[static_cast<size_t>(index)].get();
    if (found->HasInteger()) {
        return found;
    }
    const size_t next = static_cast<size_t>(index) + 1;
    if (next >= children_.size() || children_[next]->HasInteger()) {
        // A following element with an integer is a further key, not this key's value.
        return nullptr;
    }
    return children_[next].get();
}

const QElement* QMultiElement::FindKeyIgnoreCase(std::string_view key) const {
    if (!IsValid()) {
        return nullptr;
    }
    const int32_t index = FindKeyIndex(
        children_, [key](std::string_view bytes) { return EqualIgnoringCase(bytes, key); });
    return index < 0 ? nullptr : children_[static_cast<size_t>(index)].get();
}

const QElement* QMultiElement::FindText(std::string_view text) const {
    if (!IsValid()) {
        return nullptr;
    }
    for (const auto& child : children_) {
        if (child->IsValid() && EqualIgnoringCase(child->Bytes(), text)) {
            return child.get();
        }
    }
    return nullptr;
}

const QElement* QMultiElement::ChildAt(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= children_.size()) {
        return nullptr;
    }
    return children_[static_cast<size_t>(index)].get();
}

QElement* QMultiElement::Append(std::unique_ptr<QElement> element) {
    const bool moving_within = element != nullptr && element->parent_ == this;
    return InsertAt(static_cast<int32_t>(children_.size()) - (moving_within ? 1 : 0),
                    std::move(element));
}

QElement* QMultiElement::InsertAt(int32_t index, std::unique_ptr<QElement> element) {
    if (element == nullptr || element->encoded_size_ <= 0) {
        return nullptr;
    }
    for (const QElement* e = this; e != nullptr; e = e->parent_) {
        if (e == element.get()) {
            // Linking a container into itself or a descendant would make a cycle.
            return nullptr;
        }
    }
    // A child of this container that moves is counted without its old slot.
    const size_t limit = children_.size() - (element->parent_ == this ? 1 : 0);
    if (index < 0 || static_cast<size_t>(index) > limit) {
        return nullptr;
    }
    if (element->parent_ != nullptr) {
        // It was owned by its old container; that ownership is now ours through `element`.
        (void)element->parent_->ReleaseChild(element.get());
    }
    MakeValidIfEmpty();
    const int64_t size = static_cast<int64_t>(encoded_size_) + element->encoded_size_;
    if (size > std::numeric_limits<int32_t>::max()) {
        return nullptr;
    }
    element->parent_ = this;
    encoded_size_ = static_cast<int32_t>(size);
    QElement* linked = element.get();
    children_.insert(children_.begin() + index, std::move(element));
    DropSourceUpwards();
    return linked;
}

QElement* QMultiElement::AppendText(std::string_view bytes, int64_t integer, bool has_integer) {
    return InsertTextAt(static_cast<int32_t>(children_.size()), bytes, integer, has_integer);
}

QElement* QMultiElement::InsertTextAt(int32_t index, std::string_view bytes, int64_t integer,
                                      bool has_integer) {
    std::unique_ptr<QIntegerElement> element = QIntegerElement::Build(bytes, integer, has_integer);
    if (element == nullptr) {
        return nullptr;
    }
    return InsertAt(index, std::move(element));
}

QElement* QMultiElement::ReleaseChild(const QElement* child) {
    const int32_t index = IndexOf(child);
    if (index < 0) {
        return nullptr;
    }
    QElement* released = children_[static_cast<size_t>(index)].release();
    children_.erase(children_.begin() + index);
    cursor_ = 0;
    released->parent_ = nullptr;
    // Never let the container's own size reach zero this way.
    if (released->encoded_size_ < encoded_size_) {
        encoded_size_ -= released->encoded_size_;
    }
    DropSourceUpwards();
    return released;
}

bool QMultiElement::RemoveAt(int32_t index) {
    return Remove(ChildAt(index));
}

bool QMultiElement::Remove(const QElement* child) {
    return Detach(child) != nullptr;
}

std::unique_ptr<QElement> QMultiElement::DetachAt(int32_t index) {
    return Detach(ChildAt(index));
}

std::unique_ptr<QElement> QMultiElement::Detach(const QElement* child) {
    return std::unique_ptr<QElement>(ReleaseChild(child));
}

bool QMultiElement::RemoveAll() {
    for (const auto& child : children_) {
        if (child->encoded_size_ < encoded_size_) {
            encoded_size_ -= child->encoded_size_;
        }
    }
    DestroyChildren();
    DropSourceUpwards();
    return true;
}

int32_t QMultiElement::Count() const {
    return IsValid() ? static_cast<int32_t>(children_.size()) : 0;
}

std::string QMultiElement::Text(std::string_view separator) const {
    std::string text;
    if (!IsValid()) {
        return text;
    }
    for (size_t i = 0; i < children_.size(); ++i) {
        if (i > 0) {
            text.append(separator);
        }
        text.append(children_[i]->ConvertedText());
    }
    return text;
}

int32_t QMultiElement::SetCodePage(int32_t code_page) {
    code_page_ = code_page;
    for (const auto& child : children_) {
        child->SetCodePage(code_page);
    }
    return static_cast<int32_t>(children_.size());
}

void QMultiElement::Clear() {
    DestroyChildren();
    ClearFields();
    if (parent_ != nullptr) {
        parent_->DropSourceUpwards();
    }
}

}  // namespace kf
