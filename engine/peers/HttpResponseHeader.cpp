#include "engine/peers/HttpResponseHeader.h"

#include <limits>

#include "engine/peers/AddressText.h"

namespace kf {

namespace {

bool IsBlank(char c) {
    const auto byte = static_cast<uint8_t>(c);
    return byte >= 1 && byte <= 32;
}

std::string_view TrimLeadingBlanks(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
    return text.substr(pos);
}

// Offset just past the blank line that ends the header, or npos.
size_t FindHeaderEnd(std::string_view bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] != '\n') {
            continue;
        }
        if (bytes[i + 1] == '\n') {
            return i + 2;
        }
        if (bytes[i + 1] == '\r' && i + 2 < bytes.size() && bytes[i + 2] == '\n') {
            return i + 3;
        }
    }
    return std::string_view::npos;
}

}  // namespace

void HttpResponseHeader::Clear() {
    status_code_ = 0;
    reason_.clear();
    version_ = "1.0";
    lines_.clear();
}

HttpResponseHeader::Outcome HttpResponseHeader::Parse(std::string_view bytes,
                                                      size_t& header_length) {
    const size_t end = FindHeaderEnd(bytes.substr(0, std::min(bytes.size(), kMaxHeaderBytes)));
    if (end == std::string_view::npos) {
        return bytes.size() >= kMaxHeaderBytes ? Outcome::kTooLarge : Outcome::kIncomplete;
    }
    Clear();
    header_length = end;

    const std::string_view text = bytes.substr(0, end);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t stop = pos;
        while (stop < text.size() && text[stop] != '\r' && text[stop] != '\n') {
            ++stop;
        }
        if (stop > pos) {
            lines_.emplace_back(text.substr(pos, stop - pos));
        }
        if (stop < text.size() && text[stop] == '\r' && stop + 1 < text.size() &&
            text[stop + 1] == '\n') {
            ++stop;
        }
        pos = stop + 1;
    }

    if (!lines_.empty() && lines_.front().compare(0, 4, "HTTP") == 0) {
        std::string_view status = lines_.front();
        status.remove_prefix(4);
        if (!status.empty() && status.front() == '/') {
            const size_t space = status.find(' ');
            version_.assign(status.substr(
                1, space == std::string_view::npos ? std::string_view::npos : space - 1));
            status = space == std::string_view::npos ? std::string_view() : status.substr(space);
        }
        status = TrimLeadingBlanks(status);
        int32_t code = 0;
        size_t digits = 0;
        // Nine digits fit a 32-bit code; longer numbers are no status a server sends.
        while (digits < status.size() && status[digits] >= '0' && status[digits] <= '9' &&
               digits < 9) {
            code = code * 10 + (status[digits] - '0');
            ++digits;
        }
        status_code_ = code;
        size_t token_end = digits;
        while (token_end < status.size() && status[token_end] != ' ') {
            ++token_end;
        }
        reason_.assign(TrimLeadingBlanks(status.substr(token_end)));
        lines_.erase(lines_.begin());
    }
    return Outcome::kComplete;
}

std::string_view HttpResponseHeader::Header(std::string_view name) const {
    for (const std::string& line : lines_) {
        if (!StartsWithIgnoreCase(line, name)) {
            continue;
        }
        std::string_view rest = std::string_view(line).substr(name.size());
        rest = TrimLeadingBlanks(rest);
        if (rest.empty() || rest.front() != ':') {
            continue;
        }
        return TrimLeadingBlanks(rest.substr(1));
    }
    return {};
}

bool HttpResponseHeader::HasHeader(std::string_view name) const {
    for (const std::string& line : lines_) {
        if (!StartsWithIgnoreCase(line, name)) {
            continue;
        }
        const std::string_view rest = TrimLeadingBlanks(std::string_view(line).substr(name.size()));
        if (!rest.empty() && rest.front() == ':') {
            return true;
        }
    }
    return false;
}

int64_t HttpResponseHeader::ParseDecimal(std::string_view text) {
    text = TrimLeadingBlanks(text);
    int64_t value = 0;
    size_t digits = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) {
            return -1;
        }
        value = value * 10 + (c - '0');
        ++digits;
    }
    return digits == 0 ? -1 : value;
}

int64_t HttpResponseHeader::ContentLength() const {
    if (!HasHeader("Content-Length")) {
        return -1;
    }
    return ParseDecimal(Header("Content-Length"));
}

std::optional<HttpResponseHeader::ContentRange> HttpResponseHeader::GetContentRange() const {
    if (!HasHeader("Content-Range")) {
        return std::nullopt;
    }
    std::string_view value = Header("Content-Range");
    ContentRange range;
    const size_t slash = value.rfind('/');
    if (slash != std::string_view::npos) {
        range.total = ParseDecimal(value.substr(slash + 1));
        value = value.substr(0, slash);
    }
    if (StartsWithIgnoreCase(value, "bytes")) {
        value.remove_prefix(5);
    }
    value = TrimLeadingBlanks(value);
    const size_t dash = value.find('-');
    if (dash != std::string_view::npos && dash > 0) {
        range.first = ParseDecimal(value.substr(0, dash));
        range.last = ParseDecimal(value.substr(dash + 1));
    }
    return range;
}

int64_t HttpResponseHeader::ContentRangeTotal() const {
    const std::optional<ContentRange> range = GetContentRange();
    return range ? range->total : -1;
}

std::optional<std::string> HttpResponseHeader::DispositionFileName() const {
    if (!HasHeader("Content-Disposition")) {
        return std::nullopt;
    }
    const std::string_view value = Header("Content-Disposition");
    const size_t key = value.find("filename=");
    if (key == std::string_view::npos) {
        return std::string();
    }
    std::string_view name = value.substr(key + 9);
    const bool quoted = !name.empty() && name.front() == '"';
    if (quoted) {
        name.remove_prefix(1);
    }
    const size_t semicolon = name.find(';');
    if (semicolon != std::string_view::npos) {
        name = name.substr(0, semicolon);
        if (!name.empty() && name.back() == '"') {
            name.remove_suffix(1);
        }
    } else if (quoted && !name.empty() && name.back() == '"') {
        name.remove_suffix(1);
    }
    return std::string(name);
}

}  // namespace kf
