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

}  // namespace kf
