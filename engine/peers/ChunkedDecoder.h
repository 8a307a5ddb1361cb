#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kf {

// Decodes an HTTP/1.1 chunked body as its bytes arrive, in pieces of any size. The body ends at
// the zero-size chunk; trailers after it carry nothing this engine uses and are not read.
// Chunk extensions are skipped. A line end may be CR LF or a bare LF.
//
// Trust: the sender is untrusted. The decoded body is capped at the limit given at construction
// (a chunk size that would pass it breaks the body before any of its bytes are kept), and a
// chunk-size line at kMaxLineBytes.
class ChunkedDecoder {
  public:
    enum class State { kNeedMore, kComplete, kBroken };
    static constexpr size_t kMaxLineBytes = 1024;
    static constexpr size_t kMaxSizeDigits = 15;  // keeps the size far from overflowing

    explicit ChunkedDecoder(size_t limit) : limit_(limit) {}

    // Appends the body bytes that `input` holds to `out` and answers how many input bytes were
    // used: all of them, unless the body completed or broke within them.
    size_t Feed(std::string_view input, std::string& out);
    State state() const { return state_; }

  private:
    enum class Phase { kSize, kSizeLineRest, kData, kDataEnd };

    State state_ = State::kNeedMore;
    Phase phase_ = Phase::kSize;
    size_t limit_;
    size_t decoded_ = 0;
    size_t chunk_left_ = 0;
    size_t digits_ = 0;
    size_t line_bytes_ = 0;
    bool data_cr_seen_ = false;
};

}  // namespace kf
