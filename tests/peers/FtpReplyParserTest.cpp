#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "engine/peers/FtpReplyParser.h"

namespace kf {
namespace {

using Outcome = FtpReplyParser::Outcome;
using Reply = FtpReplyParser::Reply;

struct Seen {
    int32_t code;
    std::string text;
    int32_t lines;
    bool operator==(const Seen& other) const {
        return code == other.code && text == other.text && lines == other.lines;
    }
};

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
    return out << seen.code << " '" << seen.text << "' (" << seen.lines << " lines)";
}

// Feeds `stream` in pieces that end at `cuts` (positions, ascending) and then at its end, taking
// every complete reply as soon as it is there, as a peer does with its receive buffer. Stops at
// the first failure and reports it in `failure`.
std::vector<Seen> Feed(const std::string& stream, const std::vector<size_t>& cuts,
                       Outcome& failure) {
    std::vector<Seen> seen;
    std::string buffer;
    size_t from = 0;
    failure = Outcome::kIncomplete;
    std::vector<size_t> ends = cuts;
    ends.push_back(stream.size());
    for (const size_t end : ends) {
        buffer.append(stream, from, end - from);
        from = end;
        for (;;) {
            Reply reply;
            size_t length = 0;
            const Outcome outcome = FtpReplyParser::Parse(buffer, reply, length);
            if (outcome == Outcome::kIncomplete) {
                break;
            }
            if (outcome != Outcome::kComplete) {
                failure = outcome;
                return seen;
            }
            EXPECT_GT(length, 0u);
            EXPECT_LE(length, buffer.size());
            seen.push_back(Seen{reply.code, reply.text, reply.lines});
            buffer.erase(0, length);
        }
    }
    EXPECT_TRUE(buffer.empty()) << "left over: " << buffer;
    return seen;
}

Outcome ParseOnce(const std::string& bytes, Reply& reply, size_t& length) {
    return FtpReplyParser::Parse(bytes, reply, length);
}

TEST(FtpReplyParser, SingleAndMultiLineReplies) {
    Reply reply;
    size_t length = 0;
    ASSERT_EQ(ParseOnce("220 pyftpdlib 1.5.7 ready.\r\n", reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.code, 220);
    EXPECT_EQ(reply.text, "pyftpdlib 1.5.7 ready.");
    EXPECT_EQ(reply.lines, 1);
    EXPECT_EQ(length, 28u);

    // A multi-line welcome is one reply; its text is its first line's.
    const std::string welcome = "220-Welcome\r\n220-second line\r\n220 ready\r\n";
    ASSERT_EQ(ParseOnce(welcome, reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.code, 220);
    EXPECT_EQ(reply.text, "Welcome");
    EXPECT_EQ(reply.lines, 3);
    EXPECT_EQ(length, welcome.size());

    // Inside it, lines that begin with other codes, or with the code and a hyphen, are text.
    const std::string tricky =
        "230-Hi\r\n 123 x\r\n230-more\r\n331 not the end\r\n2301 no\r\n230 done\r\n";
    ASSERT_EQ(ParseOnce(tricky, reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.code, 230);
    EXPECT_EQ(reply.lines, 6);
    EXPECT_EQ(length, tricky.size());

    // A code alone, and bare LF line ends.
    ASSERT_EQ(ParseOnce("200\r\n", reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.code, 200);
    EXPECT_EQ(reply.text, "");
    ASSERT_EQ(ParseOnce("213-a\n213 5\n", reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.code, 213);
    EXPECT_EQ(length, 12u);
    ASSERT_EQ(ParseOnce("250-a\r\n250\r\n", reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.lines, 2);
}

TEST(FtpReplyParser, TakesOneReplyAndKeepsTheNext) {
    // A small file's RETR answer and transfer end often arrive together.
    const std::string both = "150 Opening data connection.\r\n226 Transfer complete.\r\n";
    Reply reply;
    size_t length = 0;
    ASSERT_EQ(ParseOnce(both, reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.code, 150);
    EXPECT_EQ(length, 30u);
    ASSERT_EQ(ParseOnce(both.substr(length), reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.code, 226);
}

TEST(FtpReplyParser, IncompleteUntilTheClosingLine) {
    Reply reply;
    size_t length = 0;
    EXPECT_EQ(ParseOnce("", reply, length), Outcome::kIncomplete);
    EXPECT_EQ(ParseOnce("22", reply, length), Outcome::kIncomplete);
    EXPECT_EQ(ParseOnce("220 ready", reply, length), Outcome::kIncomplete);
    EXPECT_EQ(ParseOnce("220 ready\r", reply, length), Outcome::kIncomplete);
    EXPECT_EQ(ParseOnce("220-one\r\n", reply, length), Outcome::kIncomplete);
    EXPECT_EQ(ParseOnce("220-one\r\n220-two\r\n220 ", reply, length), Outcome::kIncomplete);
    EXPECT_EQ(ParseOnce("220-one\r\n221 other\r\n", reply, length), Outcome::kIncomplete);
}

TEST(FtpReplyParser, RefusesWhatIsNotAReply) {
    Reply reply;
    size_t length = 0;
    for (const char* bad : {"hello\r\n", "2200 x\r\n", "22 x\r\n", "600 x\r\n", "099 x\r\n",
                            "22a x\r\n", "220x\r\n", "\r\n", "HTTP/1.1 200 OK\r\n"}) {
        EXPECT_EQ(ParseOnce(bad, reply, length), Outcome::kMalformed) << bad;
    }
}

TEST(FtpReplyParser, BoundsLinesAndReplies) {
    Reply reply;
    size_t length = 0;
    // A line that goes on past its limit is refused before it ends.
    const std::string endless(FtpReplyParser::kMaxLineBytes + 2, 'x');
    EXPECT_EQ(ParseOnce("220 " + endless, reply, length), Outcome::kTooLarge);
    EXPECT_EQ(ParseOnce("220 " + endless + "\r\n", reply, length), Outcome::kTooLarge);
    // The longest line is fine.
    const std::string longest = "220 " + std::string(FtpReplyParser::kMaxLineBytes - 4, 'y');
    ASSERT_EQ(ParseOnce(longest + "\r\n", reply, length), Outcome::kComplete);
    EXPECT_EQ(reply.text.size(), FtpReplyParser::kMaxLineBytes - 4);

    // A multi-line reply that never closes is refused once it passes the reply limit.
    std::string many = "220-start\r\n";
    while (many.size() < FtpReplyParser::kMaxReplyBytes) {
        EXPECT_EQ(ParseOnce(many, reply, length), Outcome::kIncomplete);
        many += "220-" + std::string(100, 'z') + "\r\n";
    }
    EXPECT_EQ(ParseOnce(many, reply, length), Outcome::kTooLarge);
    EXPECT_EQ(ParseOnce(many + "220 end\r\n", reply, length), Outcome::kTooLarge);

    // One that closes exactly at the limit is complete.
    std::string exact = "220-start\r\n";
    const std::string closing = "220 end\r\n";
    while (exact.size() + 200 + closing.size() < FtpReplyParser::kMaxReplyBytes) {
        exact += "220-" + std::string(94, 'w') + "\r\n";
    }
    const size_t filler = FtpReplyParser::kMaxReplyBytes - exact.size() - closing.size() - 2;
    exact += std::string(filler, 'v') + "\r\n" + closing;
    ASSERT_EQ(exact.size(), FtpReplyParser::kMaxReplyBytes);
    EXPECT_EQ(ParseOnce(exact, reply, length), Outcome::kComplete);
    EXPECT_EQ(length, exact.size());
}

TEST(FtpReplyParser, SameRepliesInEveryChunking) {
    const std::string stream =
        "220-Welcome to the\r\n220-scripted server\r\n220 ready\r\n"
        "331 Password required.\r\n"
        "230 Login successful.\r\n"
        "250 \"/dir\" is the current directory.\r\n"
        "200 Type set to: Binary.\r\n"
        "213 1310720\r\n"
        "227 Entering passive mode (127,0,0,1,117,147).\n"
        "350 Restarting at position 65536.\r\n"
        "150-File status okay.\r\n 150 not yet\r\n150 About to open data connection.\r\n"
        "226 Transfer complete.\r\n"
        "426 Transfer aborted.\r\n";
    const std::vector<Seen> expected = {
        {220, "Welcome to the", 3},
        {331, "Password required.", 1},
        {230, "Login successful.", 1},
        {250, "\"/dir\" is the current directory.", 1},
        {200, "Type set to: Binary.", 1},
        {213, "1310720", 1},
        {227, "Entering passive mode (127,0,0,1,117,147).", 1},
        {350, "Restarting at position 65536.", 1},
        {150, "File status okay.", 3},
        {226, "Transfer complete.", 1},
        {426, "Transfer aborted.", 1},
    };
    Outcome failure = Outcome::kIncomplete;
    EXPECT_EQ(Feed(stream, {}, failure), expected);
    // Every piece size.
    for (size_t piece = 1; piece <= stream.size(); ++piece) {
        std::vector<size_t> cuts;
        for (size_t at = piece; at < stream.size(); at += piece) {
            cuts.push_back(at);
        }
        ASSERT_EQ(Feed(stream, cuts, failure), expected) << "pieces of " << piece;
        ASSERT_EQ(failure, Outcome::kIncomplete);
    }
    // Every two-piece split and every three-piece split around the line ends.
    for (size_t a = 1; a < stream.size(); ++a) {
        ASSERT_EQ(Feed(stream, {a}, failure), expected) << "cut at " << a;
        for (size_t b = a + 1; b < stream.size() && b < a + 4; ++b) {
            ASSERT_EQ(Feed(stream, {a, b}, failure), expected) << "cuts at " << a << ", " << b;
        }
    }
}

TEST(FtpReplyParser, FailureInAStreamIsFoundInEveryChunking) {
    const std::string stream = "220 ready\r\n331 ok\r\nnot a reply\r\n230 late\r\n";
    for (size_t piece = 1; piece <= stream.size(); ++piece) {
        std::vector<size_t> cuts;
        for (size_t at = piece; at < stream.size(); at += piece) {
            cuts.push_back(at);
        }
        Outcome failure = Outcome::kIncomplete;
        const std::vector<Seen> seen = Feed(stream, cuts, failure);
        EXPECT_EQ(failure, Outcome::kMalformed) << "pieces of " << piece;
        EXPECT_EQ(seen.size(), 2u);
    }
}

TEST(FtpReplyParser, PassiveAddress) {
    auto address = FtpReplyParser::ParsePassive("Entering Passive Mode (10,0,0,5,19,137).");
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->HostText(), "10.0.0.5");
    EXPECT_EQ(address->port, 5001);

    address = FtpReplyParser::ParsePassive("=( 127, 0, 0, 1, 255, 255 ) x)");
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->HostText(), "127.0.0.1");
    EXPECT_EQ(address->port, 65535);

    for (const char* bad :
         {"Entering Passive Mode 127,0,0,1,4,1", "(127,0,0,1,4,1", "127,0,0,1,4,1)",
          "(127,0,0,1,4)", "(127,0,0,1,4,1,7)", "(127,0,0,256,4,1)", "(127,0,0,1,0,0)",
          "(127,0,0,1,4,1a)", "(127,0,0,-1,4,1)", "(0127,0,0,1,4,1)", "()", "(,,,,,)",
          "(127.0.0.1,4,1)"}) {
        EXPECT_FALSE(FtpReplyParser::ParsePassive(bad).has_value()) << bad;
    }
}

TEST(FtpReplyParser, SizeNumber) {
    EXPECT_EQ(FtpReplyParser::ParseSize("1000000"), 1000000);
    EXPECT_EQ(FtpReplyParser::ParseSize("  42"), 42);
    EXPECT_EQ(FtpReplyParser::ParseSize("42 bytes"), 42);
    EXPECT_EQ(FtpReplyParser::ParseSize("0"), 0);
    EXPECT_EQ(FtpReplyParser::ParseSize("9223372036854775807"), INT64_MAX);
    for (const char* bad :
         {"", " ", "x", "42x", "-5", "+5", "9223372036854775808", "99999999999999999999999"}) {
        EXPECT_EQ(FtpReplyParser::ParseSize(bad), -1) << bad;
    }
}

}  // namespace
}  // namespace kf
