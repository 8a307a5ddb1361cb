#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kf {

// Conversion between texts in a declared Windows code page (metainfo "codepage"/"encoding", DHT
// texts) and the system code page, which is UTF-8 on this platform. Thread-safe: every call uses
// a converter of its own.

inline constexpr int32_t kCodePageUtf8 = 65001;

// The converter's name for a Windows code page (936, 950, 949, 932, 65001, 54936, and "CP<n>"
// for the single-byte Windows and DOS pages); empty for 0 and negative numbers.
std::string CodePageCharset(int32_t code_page);

// `bytes` written in `code_page`, converted to UTF-8. As with the Windows converter, a sequence
// that is not valid in the code page becomes U+FFFD instead of failing the whole text. nullopt
// when the code page is unknown to the converter.
std::optional<std::string> ToSystemCodePage(std::string_view bytes, int32_t code_page);

// UTF-8 `text` converted to `code_page`; characters the code page cannot hold, and bytes that are
// not UTF-8, become '?'. nullopt when the code page is unknown to the converter.
std::optional<std::string> FromSystemCodePage(std::string_view text, int32_t code_page);

}  // namespace kf
