#include "engine/peers/FtpReplyParser.h"

#include <limits>

namespace kf {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The three-digit code at the start of a line, or -1.
int32_t LineCode(std::string_view line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]) ||
        line[0] < '1' || line[0] > '5') {
        return -1;
    }
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

std::string FtpReplyParser::PassiveAddress::HostText() const {
    return std::to_string(host[0]) + "." + std::to_string(host[1]) + "." + std::to_string(host[2]) +
           "." + std::to_string(host[3]);
}

FtpReplyParser::Outcome FtpReplyParser::Parse(std::string_view bytes, Reply& reply,
                                              size_t& length) {
    int32_t code = -1;
    int32_t lines = 0;
    std::string_view first_text;
    size_t start = 0;
    for (;;) {
        const size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) {
            // A line (or the reply) that cannot end within its limit never will.
            if (bytes.size() - start > kMaxLineBytes + 1 || bytes.size() >= kMaxReplyBytes) {
                return Outcome::kTooLarge;
            }
            return Outcome::kIncomplete;
        }
        std::string_view line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() > kMaxLineBytes || end + 1 > kMaxReplyBytes) {
            return Outcome::kTooLarge;
        }
        ++lines;
        start = end + 1;
        if (code < 0) {
            code = LineCode(line);
            if (code < 0 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
                return Outcome::kMalformed;
            }
            first_text = line.size() > 4 ? line.substr(4) : std::string_view();
            if (line.size() == 3 || line[3] == ' ') {
                break;
            }
        } else if (LineCode(line) == code && (line.size() == 3 || line[3] == ' ')) {
            // Inside a multi-line reply only the closing line matters; others are free text.
            break;
        }
    }
    reply.code = code;
    reply.text.assign(first_text);
    reply.lines = lines;
    length = start;
    return Outcome::kComplete;
}

std::optional<FtpReplyParser::PassiveAddress> FtpReplyParser::ParsePassive(std::string_view text) {
    const size_t open = text.find('(');
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t close = text.find(')', open + 1);
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view inner = text.substr(open + 1, close - open - 1);
    int32_t numbers[6] = {};
    int32_t count = 0;
    size_t i = 0;
    while (i < inner.size()) {
        if (inner[i] == ',' || inner[i] == ' ') {
            ++i;
            continue;
        }
        if (!IsDigit(inner[i]) || count == 6) {
            return std::nullopt;
        }
        int32_t value = 0;
        size_t digits = 0;
        while (i < inner.size() && IsDigit(inner[i])) {
            value = value * 10 + (inner[i] - '0');
            if (++digits > 3 || value > 255) {
                return std::nullopt;
            }
            ++i;
        }
        numbers[count++] = value;
    }
    if (count != 6) {
        return std::nullopt;
    }
    PassiveAddress address;
    for (int k = 0; k < 4; ++k) {
        address.host[k] = static_cast<uint8_t>(numbers[k]);
    }
    address.port = numbers[4] * 256 + numbers[5];
    if (address.port == 0) {
        return std::nullopt;
    }
    return address;
}

int64_t FtpReplyParser::ParseSize(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    int64_t value = 0;
    size_t digits = 0;
    while (i < text.size() && IsDigit(text[i])) {
        const int digit = text[i] - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            return -1;
        }
        value = value * 10 + digit;
        ++digits;
        ++i;
    }
    if (digits == 0 || (i < text.size() && text[i] != ' ')) {
        return -1;
    }
    return value;
}

}  // namespace kf
