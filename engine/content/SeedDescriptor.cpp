#include "engine/content/SeedDescriptor.h"

#include "engine/base/ParseNumber.h"

namespace kf {
namespace {

// The number after a marker: leading blanks and a sign, decimal digits up to the first other
// character, 32-bit signed.
int32_t NumberAfter(std::string_view text, size_t at) {
    std::string_view rest = text.substr(at);
    size_t i = 0;
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) {
        ++i;
    }
    // The shared reader would take "0x" as hexadecimal; the descriptor's numbers are decimal.
    if (i + 1 < rest.size() && rest[i] == '0' && (rest[i + 1] == 'x' || rest[i + 1] == 'X')) {
        return 0;
    }
    return ParseInt32Text(rest.substr(i), 12);
}

}  // namespace

std::optional<SeedDescriptor> SeedDescriptor::Parse(std::string_view text) {
    constexpr std::string_view kHash = "$Hash$";
    constexpr std::string_view kSize = "$Size$";
    constexpr std::string_view kLength = "$Length$";
    constexpr std::string_view kTracker = "$Tracker$";
    constexpr std::string_view kEnd = "$End$";
    const size_t hash = text.find(kHash);
    const size_t size = text.find(kSize);
    const size_t length = text.find(kLength);
    const size_t tracker = text.find(kTracker);
    const size_t end = text.find(kEnd);
    constexpr size_t npos = std::string_view::npos;
    if (hash == npos || size == npos || length == npos || tracker == npos || end == npos ||
        end < tracker + kTracker.size()) {
        return std::nullopt;
    }
    SeedDescriptor d;
    const std::string_view hex = text.substr(hash + kHash.size(), 40);
    if (hex.size() != 40) {
        return std::nullopt;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < 20; ++i) {
        const int high = HexDigitValue(hex[2 * i]);
        const int low = HexDigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        const auto byte = static_cast<uint8_t>(high * 16 + low);
        d.info_hash[i] = byte;
        const bool alphanumeric = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
                                  (byte >= 'A' && byte <= 'Z');
        if (alphanumeric) {
            d.info_hash_escaped += static_cast<char>(byte);
        } else {
            d.info_hash_escaped += '%';
            d.info_hash_escaped += kDigits[byte >> 4];
            d.info_hash_escaped += kDigits[byte & 0x0f];
        }
    }
    d.info_hash_hex.assign(hex);
    d.size = NumberAfter(text, size + kSize.size());
    d.piece_length = NumberAfter(text, length + kLength.size());
    // A piece length of 0 would divide by zero when the pieces are counted.
    if (d.size <= 0 || d.piece_length <= 0) {
        return std::nullopt;
    }
    d.tracker.assign(text.substr(tracker + kTracker.size(), end - tracker - kTracker.size()));
    const size_t dollars = d.tracker.find("$$$", 1);
    if (dollars != std::string::npos) {
        d.tracker.replace(dollars, 3, "://");
    }
    return d;
}

}  // namespace kf
