#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// The response header of an HTTP server, parsed from the bytes at the start of a connection's
// receive buffer. Owned by its HTTP peer; task thread only.
//
// Trust: the bytes come from any server on the network. The header is accepted only when it ends
// within kMaxHeaderBytes; anything longer is refused (kTooLarge) and the peer drops the
// connection. Numbers are read with overflow checks; nothing here allocates more than the header.
class HttpResponseHeader {
  public:
    // Real servers send a few hundred bytes; 64 KiB leaves room for long cookies and redirects.
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;

    enum class Outcome { kIncomplete, kComplete, kTooLarge };

    // Byte positions of a Content-Range value "bytes first-last/total"; -1 where not readable
    // (e.g. a total of "*").
    struct ContentRange {
        int64_t first = -1;
        int64_t last = -1;
        int64_t total = -1;
    };

    // Looks for the end of a header at the start of `bytes`: the first LF followed by LF or by
    // CR LF. On kComplete the header is parsed (lines split at CR, LF or CR LF; a first line that
    // begins with "HTTP" is the status line) and `header_length` is the number of bytes it took,
    // the blank line included. kIncomplete: wait for more bytes. Any earlier state is replaced.
    Outcome Parse(std::string_view bytes, size_t& header_length);
    void Clear();

    int32_t StatusCode() const { return status_code_; }  // 0 without a status line
    int32_t StatusClass() const { return status_code_ / 100; }
    const std::string& Reason() const { return reason_; }
    const std::string& Version() const { return version_; }  // "1.0" until a status line sets it
    // Header lines without line ends, the status line removed.
    const std::vector<std::string>& Lines() const { return lines_; }

    // The value of the first line that begins with `name` (ignoring case), followed by optional
    // bytes 1..32 and ":", with the leading bytes 1..32 removed; empty when there is none. The view
    // lives as long as this header is not parsed again or cleared.
    std::string_view Header(std::string_view name) const;
    bool HasHeader(std::string_view name) const;

    // Content-Length as a number; -1 when missing or not a number.
    int64_t ContentLength() const;
    // Content-Range; nullopt when the line is missing.
    std::optional<ContentRange> GetContentRange() const;
    // The number after the last "/" of Content-Range: -1 when the line is missing, has no "/",
    // or the text there is not a number.
    int64_t ContentRangeTotal() const;
    // The file name of Content-Disposition ("filename=", quotes dropped); nullopt without a
    // Content-Disposition line, the unchanged empty text when it names no file.
    std::optional<std::string> DispositionFileName() const;

    // Reads leading decimal digits of `text` (after bytes 1..32) as a non-negative 64-bit number;
    // -1 when there is none or it does not fit.
    static int64_t ParseDecimal(std::string_view text);

  private:
    int32_t status_code_ = 0;
    std::string reason_;
    std::string version_ = "1.0";
    std::vector<std::string> lines_;
};

}  // namespace kf
