#include "engine/peers/ChunkedDecoder.h"

#include <gtest/gtest.h>

#include <string>

namespace kf {
namespace {

using State = ChunkedDecoder::State;

constexpr const char* kBody =
    "1a;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n"
    "3\nABC\n"
    "0\r\nTrailer: ignored\r\n\r\n";

TEST(ChunkedDecoderTest, AnySplitOfTheInputGivesTheSameBody) {
    const std::string input = std::string(kBody) + "next answer";
    const size_t body_end =
        input.find("next answer") - std::string("Trailer: ignored\r\n\r\n").size();
    for (size_t step = 1; step <= input.size(); ++step) {
        ChunkedDecoder decoder(1000);
        std::string out;
        size_t used = 0;
        for (size_t at = 0; at < input.size() && decoder.state() == State::kNeedMore; at += step) {
            const std::string_view part = std::string_view(input).substr(at, step);
            const size_t taken = decoder.Feed(part, out);
            used += taken;
            if (decoder.state() == State::kNeedMore) {
                EXPECT_EQ(taken, part.size()) << step;
            }
        }
        EXPECT_EQ(decoder.state(), State::kComplete) << step;
        EXPECT_EQ(out, "abcdefghijklmnopqrstuvwxyzABC") << step;
        // Nothing after the zero-size line is taken: not the trailers, not the next answer.
        EXPECT_EQ(used, body_end) << step;
    }
}

TEST(ChunkedDecoderTest, MalformedInputBreaksTheBody) {
    for (const std::string& bad : {
             std::string("\r\n"),                                  // no size
             std::string("zz\r\n"),                                // not hex
             std::string("5\r\nabcdeX\r\n"),                       // data longer than its size
             std::string("5\r\nabcde\r\r\n"),                      // two CRs
             std::string("1") + std::string(15, '0') + "\r\n",     // absurdly many digits
             std::string("5;") + std::string(2000, 'x') + "\r\n",  // endless size line
         }) {
        ChunkedDecoder decoder(1 << 20);
        std::string out;
        decoder.Feed(bad, out);
        EXPECT_EQ(decoder.state(), State::kBroken) << bad.substr(0, 20);
    }
}

TEST(ChunkedDecoderTest, TheLimitHoldsBeforeAnyByteOfAnOversizedChunkIsKept) {
    ChunkedDecoder decoder(10);
    std::string out;
    decoder.Feed("6\r\n012345\r\n", out);
    EXPECT_EQ(decoder.state(), State::kNeedMore);
    decoder.Feed("5\r\n01234\r\n", out);
    EXPECT_EQ(decoder.state(), State::kBroken);
    EXPECT_EQ(out, "012345");

    ChunkedDecoder exact(10);
    std::string full;
    exact.Feed("a\r\n0123456789\r\n0\r\n", full);
    EXPECT_EQ(exact.state(), State::kComplete);
    EXPECT_EQ(full, "0123456789");
}

}  // namespace
}  // namespace kf
