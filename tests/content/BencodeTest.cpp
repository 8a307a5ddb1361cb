#include "engine/content/Bencode.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/os/CodePage.h"

namespace kf {
namespace {

std::span<const uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string Encode(const QElement* element) {
    std::string out;
    EXPECT_TRUE(EncodeTo(element, out));
    return out;
}

// Parses from a heap copy of exactly the input's size, so that any read past the end is caught
// by the address sanitizer.
struct ExactInput {
    explicit ExactInput(std::string_view s) : bytes(s.begin(), s.end()) {}
    std::span<const uint8_t> span() const { return {bytes.data(), bytes.size()}; }
    std::vector<uint8_t> bytes;
};

TEST(Bencode, LowerCaseInputIsWrittenBackByteForByte) {
    const char* inputs[] = {
        "de",           "le",           "d3:fooi42ee",
        "d3:foo3:bare", "l4:spami42ee", "d4:infod6:lengthi-12e4:name3:abce5:listsll1:ael0:eee",
        "d1:xi0ee",     "0:",           "4:spami-9223372036854775808e",
    };
    for (const char* text : inputs) {
        SCOPED_TRACE(text);
        const std::string input = text;
        auto root = ParseValue(input);
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(root->encoded_size(), static_cast<int32_t>(input.size()));
        EXPECT_EQ(EncodedSize(root.get()), static_cast<int32_t>(input.size()));
        EXPECT_EQ(Encode(root.get()), input);
    }
}

TEST(Bencode, IntegerBelongsToTheStringBeforeIt) {
    auto root = ParseValue("d3:fooi42e3:bar4:spame");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Kind(), ElementKind::kDictionary);
    ASSERT_EQ(root->Count(), 3);
    const QElement* foo = root->ChildAt(0);
    EXPECT_EQ(foo->Bytes(), "foo");
    EXPECT_TRUE(foo->HasInteger());
    EXPECT_EQ(foo->Integer(), 42);
    EXPECT_EQ(root->FindValue("foo"), foo);
    EXPECT_EQ(root->FindValue("bar")->Bytes(), "spam");

    // "4:spami42e" in a list is one element; bare integers do not exist.
    auto list = ParseValue("l4:spami42ee");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Count(), 1);
    EXPECT_EQ(ParseValue("li1ee"), nullptr);
    EXPECT_EQ(ParseValue("i1e"), nullptr);
}

TEST(Bencode, EverySubValueKeepsItsInputSpan) {
    const std::string input = "d3:abcd1:xi1ee2:zzl1:aee5:trail";
    auto root = ParseValue(input);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->source(), Bytes(input).data());
    EXPECT_EQ(root->encoded_size(), static_cast<int32_t>(input.size()) - 7);  // trailing ignored
    const QElement* inner = root->FindValue("abc");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->Kind(), ElementKind::kDictionary);
    const auto span = inner->InputBytes();
    EXPECT_EQ(std::string(span.begin(), span.end()), "d1:xi1ee");
    const QElement* list = root->FindValue("zz");
    EXPECT_EQ(list->source() - Bytes(input).data(), 18);
    EXPECT_EQ(list->encoded_size(), 5);
    EXPECT_EQ(list->ChildAt(0)->parent(), list);
}

TEST(Bencode, UpperCaseContainerLettersAreAccepted) {
    auto root = ParseValue("D3:fooI7eL1:aEE");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Kind(), ElementKind::kDictionary);
    EXPECT_EQ(root->FindValue("foo")->Integer(), 7);
    // Written in lower case, so the bytes differ but the size does not.
    EXPECT_EQ(Encode(root.get()), "d3:fooi7el1:aee");

    QIntegerElement upper_close;
    EXPECT_EQ(upper_close.Parse(Bytes("3:fooi7E")), kParseSyntaxError);
    EXPECT_FALSE(upper_close.IsValid());
}

TEST(Bencode, StringParseResults) {
    struct Case {
        const char* input;
        int32_t result;
    } cases[] = {
        {"", kParseNothing},
        {"-1:", kParseNothing},
        {"x", kParseNothing},
        {"5:abc", kParseTruncated},
        {"99999999999:a", kParseTruncated},  // length beyond 31 bits must not wrap
        {"3x:abc", kParseSyntaxError},
        {"3", kParseSyntaxError},
        {"0x3:abc", kParseSyntaxError},
        {"3:abci12", kParseSyntaxError},  // integer not closed inside the input
        {"3:abci", kParseSyntaxError},
        {"3:abc", 5},
        {"3:abcx", 5},
        {"3:abcI-4e", 9},
        {"3 :abc", 6},  // padding between the digits and the colon is tolerated
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        ExactInput input(c.input);
        QIntegerElement element;
        EXPECT_EQ(element.Parse(input.span()), c.result);
        EXPECT_EQ(element.IsValid(), c.result > 0);
        EXPECT_EQ(element.encoded_size(), c.result > 0 ? c.result : 0);
    }
}

TEST(Bencode, NoPrefixOfAValueParsesAndNothingIsReadPastIt) {
    const std::string full = "d8:announce3:url4:infod6:lengthi10e4:name1:aee";
    ASSERT_NE(ParseValue(full), nullptr);
    for (size_t n = 0; n < full.size(); ++n) {
        SCOPED_TRACE(n);
        ExactInput prefix(std::string_view(full).substr(0, n));
        EXPECT_EQ(ParseValue(prefix.span()), nullptr);
    }
    // The integer's closing 'e' sits just past the span: it must not be seen.
    const std::string buffer = "3:fooi42e";
    QIntegerElement element;
    EXPECT_EQ(element.Parse(Bytes(buffer).first(buffer.size() - 1)), kParseSyntaxError);
}

TEST(Bencode, ContainerFailures) {
    EXPECT_EQ(ParseValue("d"), nullptr);
    EXPECT_EQ(ParseValue("dx"), nullptr);
    EXPECT_EQ(ParseValue("d3:foo"), nullptr);
    EXPECT_EQ(ParseValue(std::string_view("d3:foo\0e", 8)), nullptr);
    EXPECT_EQ(ParseValue("l5:abce"), nullptr);
    EXPECT_EQ(ParseValue("ld"), nullptr);
    EXPECT_EQ(ParseValue(std::string_view()), nullptr);

    QDictionaryElement dict;
    EXPECT_EQ(dict.Parse(Bytes("le")), kParseSyntaxError);  // a list is not a dictionary
    EXPECT_EQ(dict.Parse(Bytes("d1:a!e")), kParseSyntaxError);
    EXPECT_FALSE(dict.IsValid());
    EXPECT_EQ(dict.Count(), 0);
    EXPECT_EQ(dict.Parse(Bytes("de")), 2);
    EXPECT_TRUE(dict.IsValid());
}

TEST(Bencode, NestingAndElementCountAreBounded) {
    auto nested = [](int levels) {
        return std::string(static_cast<size_t>(levels), 'l') + std::string(levels, 'e');
    };
    EXPECT_NE(ParseValue(nested(kMaxNesting)), nullptr);
    EXPECT_EQ(ParseValue(nested(kMaxNesting + 1)), nullptr);
    EXPECT_EQ(ParseValue(std::string(1'000'000, 'l')), nullptr);

    auto deep = ParseValue(nested(kMaxNesting));
    EXPECT_EQ(Encode(deep.get()), nested(kMaxNesting));

    std::string too_many = "l";
    for (int i = 0; i <= kMaxElements; ++i) {
        too_many += "0:";
    }
    EXPECT_EQ(ParseValue(too_many + "e"), nullptr);
}

TEST(Bencode, FindValuePairsKeysWithValues) {
    auto root = ParseValue("d3:foo3:bare");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->FindValue("foo")->Bytes(), "bar");
    EXPECT_EQ(root->FindValue("bar"), nullptr);  // sits at a value position
    EXPECT_EQ(root->FindValue("FOO"), nullptr);  // exact case

    // A key followed by a key carrying an integer has no value of its own.
    auto keys = ParseValue("d1:a1:bi1e1:ce");
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(keys->FindValue("a"), nullptr);
    EXPECT_EQ(keys->FindValue("b"), nullptr);  // taken as a's value position and skipped
    EXPECT_EQ(keys->FindValue("c"), nullptr);  // last child, no value
    auto ints = ParseValue("d1:bi1e1:a2:xy1:ci0ee");
    ASSERT_NE(ints, nullptr);
    EXPECT_EQ(ints->FindValue("b")->Integer(), 1);
    EXPECT_EQ(ints->FindValue("a")->Bytes(), "xy");
    EXPECT_EQ(ints->FindValue("c")->Bytes(), "c");

    // A value equal to a key name must not be taken for that key.
    auto tricky = ParseValue("d7:comment4:info4:infod1:xi1eee");
    ASSERT_NE(tricky, nullptr);
    const QElement* found = tricky->FindText("INFO");
    EXPECT_EQ(tricky->NextSibling(found)->Bytes(), "info");  // position-blind
    const auto* dict = static_cast<const QMultiElement*>(tricky.get());
    const QElement* key = dict->FindKeyIgnoreCase("INFO");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(dict->NextSibling(key)->Kind(), ElementKind::kDictionary);
    EXPECT_EQ(dict->PrevSibling(key)->Bytes(), "info");
    EXPECT_EQ(dict->NextSibling(dict->NextSibling(key)), nullptr);
}

TEST(Bencode, BuiltTreesKeepInsertionOrder) {
    QDictionaryElement dict;
    EXPECT_EQ(Encode(&dict), "de");
    ASSERT_NE(dict.AppendText("b", 5, false), nullptr);
    ASSERT_NE(dict.AppendText("a", 0, false), nullptr);
    ASSERT_NE(dict.AppendText("x", 0, true), nullptr);
    ASSERT_NE(dict.AppendText("neg", -17, false), nullptr);
    EXPECT_EQ(dict.AppendText("", 3, false), nullptr);
    EXPECT_EQ(dict.AppendText("", 0, true), nullptr);
    QElement* list = dict.Append(std::make_unique<QListElement>());
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->AppendText("", 0, false), nullptr);
    ASSERT_NE(dict.InsertTextAt(0, "first", 0, false), nullptr);
    EXPECT_EQ(dict.InsertTextAt(99, "nowhere", 0, false), nullptr);

    const std::string expected = "d5:first1:bi5e1:a1:xi0e3:negi-17el0:ee";
    EXPECT_EQ(EncodedSize(&dict), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(Encode(&dict), expected);
    auto reparsed = ParseValue(expected);
    ASSERT_NE(reparsed, nullptr);
    EXPECT_EQ(reparsed->FindValue("neg")->Integer(), -17);
}

TEST(Bencode, MovingAndRemovingChildren) {
    const std::string input = "d1:al1:x1:ye1:bi2ee";
    auto root = ParseValue(input);
    ASSERT_NE(root, nullptr);
    const QElement* list = root->FindValue("a");

    // Detached subtrees keep their own input span; the changed container loses its span.
    std::unique_ptr<QElement> taken = root->Detach(list);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->parent(), nullptr);
    EXPECT_EQ(root->source(), nullptr);
    EXPECT_EQ(taken->InputBytes().size(), 8u);
    EXPECT_EQ(Encode(root.get()), "d1:a1:bi2ee");
    EXPECT_EQ(root->Detach(list), nullptr);  // no longer ours

    QListElement other;
    QElement* moved = other.Append(std::move(taken));
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(Encode(&other), "ll1:x1:yee");

    // Appending a child of another container moves it.
    std::unique_ptr<QElement> y = moved->DetachAt(1);
    QElement* y_in_root = root->Append(std::move(y));
    EXPECT_EQ(Encode(&other), "ll1:xee");
    EXPECT_EQ(Encode(root.get()), "d1:a1:bi2e1:ye");
    EXPECT_EQ(root->InsertAt(0, root->Detach(y_in_root)), y_in_root);
    EXPECT_EQ(Encode(root.get()), "d1:y1:a1:bi2ee");

    EXPECT_TRUE(root->RemoveAt(0));
    EXPECT_FALSE(root->RemoveAt(5));
    EXPECT_EQ(Encode(root.get()), "d1:a1:bi2ee");
    EXPECT_TRUE(root->RemoveAll());
    EXPECT_EQ(root->Count(), 0);
    EXPECT_EQ(Encode(root.get()), "de");
}

TEST(Bencode, InvalidDescendantFailsTheWholeWrite) {
    auto root = ParseValue("l1:al1:bee");
    ASSERT_NE(root, nullptr);
    auto* inner = const_cast<QElement*>(root->ChildAt(1));
    inner->Clear();
    std::string buffer = "kept";
    EXPECT_EQ(EncodedSize(root.get()), 0);
    EXPECT_FALSE(EncodeTo(root.get(), buffer));
    EXPECT_EQ(buffer, "kept");
    EXPECT_FALSE(EncodeTo(nullptr, buffer));
}

TEST(Bencode, NonCanonicalNumbersAreWrittenCanonically) {
    auto root = ParseValue("l03:abc3:defi+7e1 :xe");
    ASSERT_NE(root, nullptr);
    const std::string written = "l3:abc3:defi7e1:xe";
    EXPECT_EQ(EncodedSize(root.get()), static_cast<int32_t>(written.size()));
    EXPECT_EQ(Encode(root.get()), written);
}

TEST(Bencode, TextIsConvertedFromTheDeclaredCodePage) {
    // "测试" in GBK, "測試" in Big5, and plain ASCII which is never converted.
    auto root = ParseValue(
        "l4:\xb2\xe2\xca\xd4"
        "4:\xb4\xfa\xb8\xd5"
        "5:plaine");
    ASSERT_NE(root, nullptr);
    auto* gbk = const_cast<QElement*>(root->ChildAt(0));
    auto* big5 = const_cast<QElement*>(root->ChildAt(1));
    EXPECT_EQ(gbk->ConvertedText(), "\xb2\xe2\xca\xd4");  // no code page: bytes as they are
    EXPECT_EQ(root->SetCodePage(936), 3);
    EXPECT_EQ(gbk->ConvertedText(), "测试");
    big5->SetCodePage(950);
    EXPECT_EQ(big5->ConvertedText(), "測試");
    EXPECT_EQ(root->Text("/"), "测试/測試/plain");
    EXPECT_EQ(gbk->Text(""), "\xb2\xe2\xca\xd4");  // raw bytes
    gbk->SetCodePage(-5);
    EXPECT_EQ(gbk->ConvertedText(), "");
}

TEST(CodePage, ConvertsBothWaysAndReplacesBadSequences) {
    EXPECT_EQ(ToSystemCodePage("\xb2\xe2\xca\xd4", 936), "测试");
    EXPECT_EQ(ToSystemCodePage("\xb4\xfa\xb8\xd5", 950), "測試");
    EXPECT_EQ(ToSystemCodePage("\xc5\xd7\xbd\xba\xc6\xae", 949), "테스트");
    EXPECT_EQ(ToSystemCodePage("\x83\x65\x83\x58\x83\x67", 932), "テスト");
    EXPECT_EQ(ToSystemCodePage("\xa3\xa8\xa3\xa9", 936), "（）");
    EXPECT_EQ(FromSystemCodePage("测试", 936), "\xb2\xe2\xca\xd4");
    EXPECT_EQ(FromSystemCodePage("a測b", 936),
              "a\x9c\x79"
              "b");
    EXPECT_EQ(FromSystemCodePage("a\xe2\x82", kCodePageUtf8), "a?");
    EXPECT_EQ(FromSystemCodePage("\xf0\x9f\x98\x80x", 936), "?x");

    // A broken lead byte costs one replacement, the rest still reads; a cut-off tail too.
    EXPECT_EQ(ToSystemCodePage("a\xff\xb2\xe2", 936), "a\xEF\xBF\xBD测");
    EXPECT_EQ(ToSystemCodePage("\xb2\xe2\xca", 936), "测\xEF\xBF\xBD");
    EXPECT_EQ(ToSystemCodePage("ok", 0), std::nullopt);
    EXPECT_EQ(ToSystemCodePage("ok", 99999), std::nullopt);
}

}  // namespace
}  // namespace kf
