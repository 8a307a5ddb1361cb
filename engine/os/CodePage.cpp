#include "engine/os/CodePage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace kf {

namespace {

class Converter {
  public:
    Converter(const std::string& to, const std::string& from)
        : handle_(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (ok()) {
            iconv_close(handle_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `input`; `skip_invalid` answers how many input bytes an undecodable
    // sequence at its start covers, and `replacement` is written in its place.
    template <class Skip>
    std::string Run(std::string_view input, std::string_view replacement, Skip skip_invalid) {
        std::string out;
        out.reserve(input.size() * 2 + 16);
        char* in = const_cast<char*>(input.data());
        size_t in_left = input.size();
        char chunk[512];
        while (in_left > 0) {
            char* dst = chunk;
            size_t dst_left = sizeof(chunk);
            const size_t rc = iconv(handle_, &in, &in_left, &dst, &dst_left);
            const int error = errno;
            out.append(chunk, static_cast<size_t>(dst - chunk));
            if (rc != static_cast<size_t>(-1)) {
                continue;
            }
            if (error == E2BIG) {
                continue;
            }
            // EILSEQ or EINVAL (a sequence cut off at the end): replace and go on after it.
            out.append(replacement);
            const size_t skip = std::min(in_left, skip_invalid(std::string_view(in, in_left)));
            in += skip;
            in_left -= skip;
            iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        }
        // Flush any shift state of stateful encodings.
        char* dst = chunk;
        size_t dst_left = sizeof(chunk);
        iconv(handle_, nullptr, nullptr, &dst, &dst_left);
        out.append(chunk, static_cast<size_t>(dst - chunk));
        return out;
    }

  private:
    iconv_t handle_;
};

// Length of the UTF-8 sequence that starts `text` (1 for a stray byte).
size_t Utf8SequenceLength(std::string_view text) {
    size_t n = 1;
    while (n < text.size() && n < 4 && (static_cast<uint8_t>(text[n]) & 0xc0) == 0x80) {
        ++n;
    }
    return n;
}

}  // namespace

std::string CodePageCharset(int32_t code_page) {
    if (code_page == kCodePageUtf8) {
        return "UTF-8";
    }
    if (code_page == 54936) {
        return "GB18030";
    }
    // 936, 950, 949 and 932 are known under their CP names, which carry the Windows extensions
    // that GBK, BIG5 and Shift-JIS proper lack; so are the single-byte Windows and DOS pages.
    return code_page > 0 ? "CP" + std::to_string(code_page) : std::string();
}

std::optional<std::string> ToSystemCodePage(std::string_view bytes, int32_t code_page) {
    const std::string charset = CodePageCharset(code_page);
    if (charset.empty()) {
        return std::nullopt;
    }
    Converter converter("UTF-8", charset);
    if (!converter.ok()) {
        return std::nullopt;
    }
    // A bad lead byte is dropped on its own so that the bytes after it are still read.
    return converter.Run(bytes, "\xEF\xBF\xBD", [](std::string_view) { return size_t{1}; });
}

std::optional<std::string> FromSystemCodePage(std::string_view text, int32_t code_page) {
    const std::string charset = CodePageCharset(code_page);
    if (charset.empty()) {
        return std::nullopt;
    }
    Converter converter(charset, "UTF-8");
    if (!converter.ok()) {
        return std::nullopt;
    }
    return converter.Run(text, "?", Utf8SequenceLength);
}

}  // namespace kf
