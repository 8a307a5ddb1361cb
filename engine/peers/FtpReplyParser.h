#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kf {

// Reads the replies of an FTP server's control connection from bytes, and the two reply texts a
// download needs (the PASV address and the SIZE number). Pure functions on bytes; any thread.
//
// A reply is one line "ddd text" (or just "ddd") or several lines: the first "ddd-text", then
// any lines, ended by the first line that begins with the same three digits followed by a space
// (or by nothing). Lines end in LF, with an optional CR before it. The first digit is 1..5.
//
// Trust: the bytes come from any server on the network. A line longer than kMaxLineBytes or a
// reply longer than kMaxReplyBytes is refused (kTooLarge) even before it ends, so a peer never
// buffers more than that while waiting; anything that is not a reply is kMalformed. Numbers are
// read with overflow checks.
class FtpReplyParser {
  public:
    // Real replies are a few dozen bytes; long multi-line welcomes stay far below these.
    static constexpr size_t kMaxLineBytes = 2048;
    static constexpr size_t kMaxReplyBytes = 16 * 1024;

    enum class Outcome { kIncomplete, kComplete, kMalformed, kTooLarge };

    struct Reply {
        int32_t code = 0;  // 100..599
        std::string text;  // the first line after its fourth byte, without the line end
        int32_t lines = 0;
    };

    // The address a PASV answer names: four address numbers and the port.
    struct PassiveAddress {
        uint8_t host[4] = {};
        int32_t port = 0;              // 1..65535
        std::string HostText() const;  // "h1.h2.h3.h4"
    };

    // Looks for one complete reply at the start of `bytes`. On kComplete fills `reply` and sets
    // `length` to the bytes it took (its last line end included); later bytes belong to the next
    // reply. kIncomplete: wait for more bytes.
    static Outcome Parse(std::string_view bytes, Reply& reply, size_t& length);

    // The address in a 227 text: the part between the first "(" and the ")" after it, split at
    // commas and spaces into exactly six decimal numbers 0..255; the port is the fifth × 256 + the
    // sixth and must not be 0. nullopt for anything else.
    static std::optional<PassiveAddress> ParsePassive(std::string_view text);

    // The file size in a 213 text: decimal digits after optional spaces, up to a space or the end;
    // -1 when there are none, anything else follows them, or the number does not fit 63 bits.
    static int64_t ParseSize(std::string_view text);
};

}  // namespace kf
