#include <gtest/gtest.h>

#include <string>

#include "engine/peers/HttpResponseHeader.h"

namespace kf {
namespace {

using Outcome = HttpResponseHeader::Outcome;

// Feeds every prefix of `bytes`: each one shorter than the header must wait for more, and every
// longer one must give the same header and length.
void ExpectSameInEveryChunking(const std::string& bytes, size_t expected_length) {
    HttpResponseHeader reference;
    size_t reference_length = 0;
    ASSERT_EQ(reference.Parse(bytes, reference_length), Outcome::kComplete);
    ASSERT_EQ(reference_length, expected_length);
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        HttpResponseHeader header;
        size_t length = 0;
        const Outcome outcome = header.Parse(std::string_view(bytes).substr(0, cut), length);
        if (cut < expected_length) {
            ASSERT_EQ(outcome, Outcome::kIncomplete) << "cut " << cut;
            continue;
        }
        ASSERT_EQ(outcome, Outcome::kComplete) << "cut " << cut;
        EXPECT_EQ(length, expected_length);
        EXPECT_EQ(header.StatusCode(), reference.StatusCode());
        EXPECT_EQ(header.Lines(), reference.Lines());
    }
}

TEST(HttpResponseHeaderTest, StatusLineAndLookupInEveryChunking) {
    const std::string head =
        "HTTP/1.1 206 Partial Content\r\n"
        "Server: test\r\n"
        "content-length  :   100\r\n"
        "Content-Range: bytes 0-99/5000\r\n"
        "\r\n";
    const std::string bytes = head + "BODY";
    ExpectSameInEveryChunking(bytes, head.size());

    HttpResponseHeader header;
    size_t length = 0;
    ASSERT_EQ(header.Parse(bytes, length), Outcome::kComplete);
    EXPECT_EQ(header.StatusCode(), 206);
    EXPECT_EQ(header.StatusClass(), 2);
    EXPECT_EQ(header.Version(), "1.1");
    EXPECT_EQ(header.Reason(), "Partial Content");
    EXPECT_EQ(header.Lines().size(), 3u);  // the status line is not among the lines
    EXPECT_EQ(header.Header("SERVER"), "test");
    EXPECT_EQ(header.ContentLength(), 100);
    EXPECT_EQ(header.ContentRangeTotal(), 5000);  // the range's total wins over Content-Length
    const auto range = header.GetContentRange();
    ASSERT_TRUE(range.has_value());
    EXPECT_EQ(range->first, 0);
    EXPECT_EQ(range->last, 99);
    EXPECT_EQ(header.Header("Content"), "");  // a prefix of a name is not the name
    EXPECT_EQ(header.Header("Missing"), "");
}

TEST(HttpResponseHeaderTest, LineEndsOfEveryKind) {
    // LF only, and the LF CR LF ending.
    ExpectSameInEveryChunking("HTTP/1.0 200 OK\nA: 1\n\nxyz", 22);
    ExpectSameInEveryChunking("HTTP/1.0 200 OK\nA: 1\n\r\nxyz", 23);
    // A lone CR splits lines too.
    HttpResponseHeader header;
    size_t length = 0;
    ASSERT_EQ(header.Parse("HTTP/1.1 302 Found\rLocation: /x\rB: 2\r\n\r\n", length),
              Outcome::kComplete);
    EXPECT_EQ(header.StatusCode(), 302);
    EXPECT_EQ(header.Header("Location"), "/x");
    EXPECT_EQ(header.Header("b"), "2");
}

TEST(HttpResponseHeaderTest, OddStatusLines) {
    HttpResponseHeader header;
    size_t length = 0;
    ASSERT_EQ(header.Parse("ICY 200 OK\r\nA: 1\r\n\r\n", length), Outcome::kComplete);
    EXPECT_EQ(header.StatusCode(), 0);
    EXPECT_EQ(header.Version(), "1.0");
    EXPECT_EQ(header.Lines().size(), 2u);  // not a status line: every line is kept

    ASSERT_EQ(header.Parse("HTTP/1.1 abc\r\n\r\n", length), Outcome::kComplete);
    EXPECT_EQ(header.StatusCode(), 0);
    ASSERT_EQ(header.Parse("HTTP/1.1 99999999999999 Huge\r\n\r\n", length), Outcome::kComplete);
    EXPECT_EQ(header.StatusClass() == 2, false);
    ASSERT_EQ(header.Parse("HTTP\r\n\r\n", length), Outcome::kComplete);
    EXPECT_EQ(header.StatusCode(), 0);
    ASSERT_EQ(header.Parse("\r\n\r\n", length), Outcome::kComplete);
    EXPECT_EQ(length, 4u);
}

TEST(HttpResponseHeaderTest, SizeCapAndNumbers) {
    HttpResponseHeader header;
    size_t length = 0;
    std::string endless =
        "HTTP/1.1 200 OK\r\nX: " + std::string(HttpResponseHeader::kMaxHeaderBytes, 'a');
    EXPECT_EQ(header.Parse(endless, length), Outcome::kTooLarge);
    EXPECT_EQ(header.Parse(endless.substr(0, 1000), length), Outcome::kIncomplete);
    // A header that ends only beyond the cap is refused as well.
    EXPECT_EQ(header.Parse(endless + "\r\n\r\n", length), Outcome::kTooLarge);

    ASSERT_EQ(header.Parse("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n"
                           "Content-Range: bytes 5-9/*\r\n\r\n",
                           length),
              Outcome::kComplete);
    EXPECT_EQ(header.ContentLength(), -1);
    EXPECT_EQ(header.ContentRangeTotal(), -1);
    ASSERT_EQ(header.Parse("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", length),
              Outcome::kComplete);
    EXPECT_EQ(header.ContentLength(), -1);
    EXPECT_FALSE(header.GetContentRange().has_value());
}

TEST(HttpResponseHeaderTest, DispositionFileNames) {
    const auto name_of = [](const std::string& value) {
        HttpResponseHeader header;
        size_t length = 0;
        const std::string bytes = "HTTP/1.1 200 OK\r\nContent-Disposition: " + value + "\r\n\r\n";
        EXPECT_EQ(header.Parse(bytes, length), Outcome::kComplete);
        return header.DispositionFileName().value_or("<none>");
    };
    EXPECT_EQ(name_of("attachment; filename=\"a b.7z\"; size=3"), "a b.7z");
    EXPECT_EQ(name_of("attachment; filename=plain.bin"), "plain.bin");
    EXPECT_EQ(name_of("attachment; filename=\"quoted.bin\""), "quoted.bin");
    EXPECT_EQ(name_of("attachment; filename=tail\""), "tail\"");  // unopened quote stays
    EXPECT_EQ(name_of("attachment; FILENAME=x"), "");             // the key is case-sensitive
    EXPECT_EQ(name_of("attachment; filename=\""), "");

    HttpResponseHeader none;
    size_t length = 0;
    ASSERT_EQ(none.Parse("HTTP/1.1 200 OK\r\n\r\n", length), Outcome::kComplete);
    EXPECT_FALSE(none.DispositionFileName().has_value());
}

}  // namespace
}  // namespace kf
