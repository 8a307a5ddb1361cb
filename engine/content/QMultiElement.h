#pragma once

#include <vector>

#include "engine/content/QElement.h"

namespace kf {

// Abstract container: an ordered sequence of owned children. A dictionary is stored flat, key and
// value as consecutive children, except that a key whose value is an integer is one child (the
// key carrying the integer). Keys keep their input or insertion order.
//
// A container is valid and empty from construction, so that a builder can encode an empty one;
// a failed Parse or Clear leaves it not valid until something is linked into it again.
class QMultiElement : public QElement {
  public:
    ~QMultiElement() override;

    // Reads the prefix letter (either case), the children and the closing 'e' (either case).
    // Fails when the prefix is not this container's, a child fails, or the limits of QElement.h
    // are exceeded.
    int32_t ParseNested(std::span<const uint8_t> input, ParseState& state) override;
    ElementKind Kind() const override { return ElementKind::kContainer; }

    const QElement* NextSibling(const QElement* child) const override;
    const QElement* PrevSibling(const QElement* child) const override;
    const QElement* FindValue(std::string_view key) const override;
    const QElement* FindText(std::string_view text) const override;
    const QElement* ChildAt(int32_t index) const override;
    QElement* Append(std::unique_ptr<QElement> element) override;
    QElement* InsertAt(int32_t index, std::unique_ptr<QElement> element) override;
    QElement* AppendText(std::string_view bytes, int64_t integer, bool has_integer) override;
    QElement* InsertTextAt(int32_t index, std::string_view bytes, int64_t integer,
                           bool has_integer) override;
    bool RemoveAt(int32_t index) override;
    bool Remove(const QElement* child) override;
    std::unique_ptr<QElement> DetachAt(int32_t index) override;
    std::unique_ptr<QElement> Detach(const QElement* child) override;
    bool RemoveAll() override;
    int32_t Count() const override;
    std::string Text(std::string_view separator) const override;
    int32_t SetCodePage(int32_t code_page) override;
    void Clear() override;

    // Like FindValue (key/value positions honoured) but ignoring ASCII case, and answering the key
    // element itself: its Integer() for an integer entry, NextSibling() for any other value.
    const QElement* FindKeyIgnoreCase(std::string_view key) const;

    // Whether `c` opens this kind of container.
    virtual bool AcceptsPrefix(uint8_t c) const = 0;

  protected:
    explicit QMultiElement(ElementKind kind);

  private:
    int32_t IndexOf(const QElement* child) const;
    // Takes the element out of the sequence without destroying it (ownership passes to the
    // caller of Detach, or to a destructor already running).
    QElement* ReleaseChild(const QElement* child);
    void MakeValidIfEmpty();
    void DestroyChildren();

    std::vector<std::unique_ptr<QElement>> children_;
    // Index of the last child found; makes walks by NextSibling linear instead of quadratic.
    mutable size_t cursor_ = 0;

    friend class QElement;
};

}  // namespace kf
