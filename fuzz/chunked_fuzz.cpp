// libFuzzer target: chunked bodies from any bytes. The first byte picks the piece size the input
// is fed in; the pieces must give the same state and body as the whole input at once, and the
// body never passes the decoder's limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/peers/ChunkedDecoder.h"

namespace {

constexpr size_t kLimit = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t piece = static_cast<size_t>(data[0]) + 1;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    kf::ChunkedDecoder whole(kLimit);
    std::string whole_body;
    const size_t whole_used = whole.Feed(input, whole_body);

    kf::ChunkedDecoder split(kLimit);
    std::string split_body;
    size_t split_used = 0;
    for (size_t at = 0; at < input.size() && split.state() == kf::ChunkedDecoder::State::kNeedMore;
         at += piece) {
        split_used += split.Feed(input.substr(at, piece), split_body);
    }
    if (whole.state() != split.state() || whole_body != split_body || whole_used != split_used ||
        whole_used > input.size() || whole_body.size() > kLimit || whole_body.size() > whole_used) {
        __builtin_trap();
    }
    return 0;
}
