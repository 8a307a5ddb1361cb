#pragma once

#include <cstdint>
#include <string_view>

namespace kf {

// Text-to-number readers shared by the engine calls and the bencode reader. Leading blanks and
// tabs are skipped; "0x"/"0X" introduces hexadecimal digits, otherwise an optional sign and decimal
// digits follow; reading stops at the first other character or after `max_digits` digits. Overflow
// wraps in two's complement, as the fixed-width arithmetic of the original readers did.
int64_t ParseInt64Text(std::string_view text, int max_digits = 32);
int32_t ParseInt32Text(std::string_view text, int max_digits = 12);

// The value of one hexadecimal digit (either case), or -1.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace kf
