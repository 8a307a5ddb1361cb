#include "engine/peers/ChunkedDecoder.h"

#include <algorithm>

#include "engine/base/ParseNumber.h"

namespace kf {

size_t ChunkedDecoder::Feed(std::string_view input, std::string& out) {
    size_t pos = 0;
    while (pos < input.size() && state_ == State::kNeedMore) {
        const char c = input[pos];
        switch (phase_) {
            case Phase::kSize: {
                const int digit = HexDigitValue(c);
                if (digit >= 0) {
                    chunk_left_ = chunk_left_ * 16 + static_cast<size_t>(digit);
                    ++digits_;
                    ++line_bytes_;
                    ++pos;
                    if (digits_ > kMaxSizeDigits || chunk_left_ > limit_ - decoded_) {
                        state_ = State::kBroken;
                    }
                    break;
                }
                if (digits_ == 0) {
                    state_ = State::kBroken;
                    break;
                }
                phase_ = Phase::kSizeLineRest;
                break;
            }
            case Phase::kSizeLineRest:
                ++pos;
                if (++line_bytes_ > kMaxLineBytes) {
                    state_ = State::kBroken;
                } else if (c == '\n') {
                    if (chunk_left_ == 0) {
                        state_ = State::kComplete;
                    } else {
                        phase_ = Phase::kData;
                    }
                }
                break;
            case Phase::kData: {
                const size_t take = std::min(chunk_left_, input.size() - pos);
                out.append(input.substr(pos, take));
                pos += take;
                decoded_ += take;
                chunk_left_ -= take;
                if (chunk_left_ == 0) {
                    phase_ = Phase::kDataEnd;
                    data_cr_seen_ = false;
                }
                break;
            }
            case Phase::kDataEnd:
                ++pos;
                if (c == '\r' && !data_cr_seen_) {
                    data_cr_seen_ = true;
                } else if (c == '\n') {
                    phase_ = Phase::kSize;
                    digits_ = line_bytes_ = 0;
                } else {
                    state_ = State::kBroken;
                }
                break;
        }
    }
    return pos;
}

}  // namespace kf
