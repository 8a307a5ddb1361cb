#include "engine/base/ParseNumber.h"

namespace kf {

int64_t ParseInt64Text(std::string_view text, int max_digits) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    // Unsigned arithmetic so that an overlong number wraps instead of overflowing.
    uint64_t value = 0;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
        for (int digits = 0; i < text.size() && digits < max_digits; ++i, ++digits) {
            const char c = text[i];
            int digit;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else {
                break;
            }
            value = value * 16 + static_cast<uint64_t>(digit);
        }
        return static_cast<int64_t>(value);
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    for (int digits = 0; i < text.size() && digits < max_digits; ++i, ++digits) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return static_cast<int64_t>(negative ? 0 - value : value);
}

int32_t ParseInt32Text(std::string_view text, int max_digits) {
    return static_cast<int32_t>(static_cast<uint32_t>(ParseInt64Text(text, max_digits)));
}

}  // namespace kf
