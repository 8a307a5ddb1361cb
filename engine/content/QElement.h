#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace kf {

class QMultiElement;

// What an element is. The numbers are part of the element model: 0 is only ever a parsed kind
// ("not parsed / failed"), 1 is the container base that no finished element reports.
enum class ElementKind : int32_t {
    kNone = 0,
    kContainer = 1,
    kString = 2,
    kDictionary = 3,
    kList = 4,
};

// Results of Parse besides a positive consumed size.
inline constexpr int32_t kParseNothing = 0;       // no input, or it does not start a value
inline constexpr int32_t kParseSyntaxError = -1;  // missing ':' or 'e', unknown byte, limits
inline constexpr int32_t kParseTruncated = -3;    // negative length, or a string past the input

// Limits that keep hostile input from exhausting the stack or memory. Containers nested deeper
// than kMaxNesting levels, or more than kMaxElements elements below one root, fail the parse with
// kParseSyntaxError. A single input is read over at most kMaxInputBytes bytes.
inline constexpr int32_t kMaxNesting = 256;
inline constexpr int32_t kMaxElements = 1'000'000;
inline constexpr size_t kMaxInputBytes = 0x7fffffff;

// Bookkeeping of one parse from its root down; callers of Parse never see it.
struct ParseState {
    int32_t depth = 0;
    int32_t elements = 0;
};

// Base of every bencoded value (see Bencode.h for the dialect). An element never owns the input
// it was parsed from: `source()` points into the caller's buffer and is only usable while that
// buffer lives. Children are owned by their container; a child's `parent()` is that container.
// Elements are not thread-safe; one tree is used by one thread at a time.
//
// The container operations are virtual here so that a caller holding a plain QElement can walk a
// tree; on a string element they do nothing and answer null, 0 or false.
class QElement {
  public:
    QElement(const QElement&) = delete;
    QElement& operator=(const QElement&) = delete;
    // A child destroyed while still linked first unlinks itself from its container.
    virtual ~QElement();

    // Parses one value from the start of `input` and answers the bytes it took (also kept as
    // encoded_size), or kParseNothing / kParseSyntaxError / kParseTruncated with the element left
    // empty and not valid. Never reads outside `input`.
    int32_t Parse(std::span<const uint8_t> input);
    // Parse with the state of an enclosing parse; the container reader calls it for its children.
    virtual int32_t ParseNested(std::span<const uint8_t> input, ParseState& state) = 0;
    virtual ElementKind Kind() const = 0;

    // Container operations. Lookups answer children that stay owned by this container.
    virtual const QElement* NextSibling(const QElement* child) const;
    virtual const QElement* PrevSibling(const QElement* child) const;
    // Dictionary lookup that honours key/value positions, exact case. For a key carrying an
    // integer the key element itself is answered (read its Integer()); otherwise the element
    // after the key, or null when the key has no value.
    virtual const QElement* FindValue(std::string_view key) const;
    // First child whose bytes equal `text` ignoring ASCII case, at any position.
    virtual const QElement* FindText(std::string_view text) const;
    virtual const QElement* ChildAt(int32_t index) const;
    // Takes ownership and links the element at the end / at `index` (0..Count()). An element
    // still linked to another container is unlinked from it first. Answers the linked element,
    // or null when refused (the element is then destroyed).
    virtual QElement* Append(std::unique_ptr<QElement> element);
    virtual QElement* InsertAt(int32_t index, std::unique_ptr<QElement> element);
    // Builds a string element from a copy of `bytes`, carrying `integer` when it is non-zero or
    // `has_integer` is set, and links it. An empty string with an integer is refused.
    virtual QElement* AppendText(std::string_view bytes, int64_t integer, bool has_integer);
    virtual QElement* InsertTextAt(int32_t index, std::string_view bytes, int64_t integer,
                                   bool has_integer);
    // Unlink and destroy / unlink and hand back. Only children of this container are accepted.
    virtual bool RemoveAt(int32_t index);
    virtual bool Remove(const QElement* child);
    virtual std::unique_ptr<QElement> DetachAt(int32_t index);
    virtual std::unique_ptr<QElement> Detach(const QElement* child);
    virtual bool RemoveAll();
    virtual int32_t Count() const;

    // A string element answers its raw bytes; a container its children's converted texts joined
    // by `separator`. Empty when not valid.
    virtual std::string Text(std::string_view separator) const;
    // Sets the code page the string bytes are written in (0: none); containers pass it to every
    // child and answer the child count.
    virtual int32_t SetCodePage(int32_t code_page);
    // Back to empty and not valid; a container also destroys its children. The link to the
    // owning container is kept, since that container still owns this element.
    virtual void Clear();

    // Valid: parsed or built successfully.
    bool IsValid() const;
    // True when an integer followed the string, or a non-zero integer is held.
    bool HasInteger() const;
    int64_t Integer() const;         // 0 when not valid
    std::string_view Bytes() const;  // empty when not valid
    int32_t Length() const;          // -1 when not valid
    // The string converted from its code page into the system code page (UTF-8). Printable ASCII
    // is taken as it is; a failed conversion gives an empty text; containers have no text.
    std::string ConvertedText() const;

    int32_t code_page() const { return code_page_; }
    ElementKind parsed_kind() const { return parsed_kind_; }
    // Bytes consumed by the parse, or the size given to a built element.
    int32_t encoded_size() const { return encoded_size_; }
    // Where the parse of this element began, in the caller's input; null for built elements and
    // for containers changed after their parse.
    const uint8_t* source() const { return source_; }
    // The exact input bytes of this element (source, encoded_size); empty when there is no source.
    std::span<const uint8_t> InputBytes() const;
    QMultiElement* parent() const { return parent_; }

  protected:
    explicit QElement(ElementKind kind) : kind_(kind) {}

    // Stores a copy of `bytes` followed by a NUL.
    void SetBytes(std::string_view bytes);
    // Records a successful parse of `consumed` bytes from `input`.
    int32_t FinishParse(std::span<const uint8_t> input, int32_t consumed);
    // Leaves the element empty and answers `code`.
    int32_t FailParse(int32_t code);
    // A change below this element makes its input span (and its ancestors') stale.
    void DropSourceUpwards();
    void ClearFields();

    bool has_integer_ = false;
    int32_t code_page_ = 0;
    const uint8_t* source_ = nullptr;
    std::unique_ptr<char[]> bytes_;
    int32_t length_ = 0;
    ElementKind kind_;
    ElementKind parsed_kind_ = ElementKind::kNone;
    int64_t integer_ = 0;
    int32_t encoded_size_ = 0;
    QMultiElement* parent_ = nullptr;

    friend class QMultiElement;
};

}  // namespace kf
