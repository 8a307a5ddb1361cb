#include "engine/net/CIPFilter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "engine/os/ReadOnlyFile.h"

namespace kf {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Four dot-separated decimal numbers starting at `pos`; each number modulo 256 (kept modulo 256
// while reading, so a long run of digits cannot overflow). Leaves `pos` after the last digit.
std::optional<uint32_t> ReadAddress(std::string_view line, size_t& pos) {
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= line.size() || line[pos] != '.') {
                return std::nullopt;
            }
            ++pos;
        }
        if (pos >= line.size() || !IsDigit(line[pos])) {
            return std::nullopt;
        }
        uint32_t number = 0;
        while (pos < line.size() && IsDigit(line[pos])) {
            number = (number * 10 + static_cast<uint32_t>(line[pos] - '0')) % 256;
            ++pos;
        }
        address = (address << 8) | number;
    }
    return address;
}

// Decimal digits at `pos`, saturating; nullopt when there is no digit.
std::optional<int64_t> ReadLevel(std::string_view line, size_t pos) {
    if (pos >= line.size() || !IsDigit(line[pos])) {
        return std::nullopt;
    }
    int64_t level = 0;
    for (; pos < line.size() && IsDigit(line[pos]); ++pos) {
        level = std::min<int64_t>(level * 10 + (line[pos] - '0'), INT32_MAX);
    }
    return level;
}

}  // namespace

void CIPFilter::Reset() {
    threshold_ = kDefaultThreshold;
    ranges_.clear();
}

int32_t CIPFilter::LoadFromFile(const std::string& path) {
    ReadOnlyFile file;
    if (!file.Open(path)) {
        return -1;
    }
    CIPFilterLineReader reader(*this);
    std::array<uint8_t, 64 * 1024> chunk;
    for (;;) {
        const int64_t n = file.Read(chunk);
        if (n <= 0) {
            // A read error mid-file keeps what was read so far, like the end of the file.
            break;
        }
        reader.Feed(
            std::string_view(reinterpret_cast<const char*>(chunk.data()), static_cast<size_t>(n)));
    }
    return reader.Finish();
}

int32_t CIPFilter::LoadFromText(std::string_view text) {
    CIPFilterLineReader reader(*this);
    reader.Feed(text);
    return reader.Finish();
}

bool CIPFilter::AddLine(std::string_view line) {
    if (line.size() > kMaxLineLength) {
        return false;
    }
    size_t pos = 0;
    while (pos < line.size() && static_cast<unsigned char>(line[pos]) >= 1 &&
           static_cast<unsigned char>(line[pos]) <= 32) {
        ++pos;
    }
    // Blank lines, comments and anything not starting like an address.
    if (pos >= line.size() || !IsDigit(line[pos])) {
        return false;
    }
    const std::optional<uint32_t> first = ReadAddress(line, pos);
    // No space is allowed before the dash, nor after it (the last address must follow at once).
    if (!first || pos >= line.size() || line[pos] != '-') {
        return false;
    }
    ++pos;
    const std::optional<uint32_t> last = ReadAddress(line, pos);
    if (!last || pos >= line.size() || line[pos] != ' ') {
        return false;
    }
    const std::optional<int64_t> level = ReadLevel(line, pos + 1);
    if (!level || *level >= threshold_) {
        return false;
    }
    return AddRange(*first, *last);
}

bool CIPFilter::AddRange(uint32_t first, uint32_t last) {
    if (last < first) {
        return false;
    }
    // Every stored range that overlaps [first, last] is folded into it, not just the first one
    // met: stopping early would leave overlapping ranges, and a wide range hidden behind a
    // narrower one with a larger last address would then stop blocking.
    auto it = ranges_.lower_bound(first);
    while (it != ranges_.end() && it->second <= last) {
        if (it->second <= first && it->first >= last) {
            return true;  // already covered
        }
        first = std::min(first, it->second);
        last = std::max(last, it->first);
        it = ranges_.erase(it);
    }
    ranges_.emplace_hint(it, last, first);
    return true;
}

bool CIPFilter::IsBlocked(uint32_t address_network_order) const {
    std::array<uint8_t, 4> bytes;
    std::memcpy(bytes.data(), &address_network_order, bytes.size());
    const uint32_t host = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                          (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
    return IsBlockedHostOrder(host);
}

bool CIPFilter::IsBlockedHostOrder(uint32_t address) const {
    const auto it = ranges_.lower_bound(address);
    return it != ranges_.end() && address >= it->second;
}

void CIPFilterLineReader::Feed(std::string_view chunk) {
    while (!chunk.empty()) {
        const size_t end = chunk.find('\n');
        const std::string_view piece = chunk.substr(0, end);
        // One byte beyond the limit is kept for a '\r' before the '\n'.
        if (!overlong_ && line_.size() + piece.size() <= CIPFilter::kMaxLineLength + 1) {
            line_.append(piece);
        } else {
            overlong_ = true;
            line_.clear();
        }
        if (end == std::string_view::npos) {
            return;
        }
        EndLine();
        chunk.remove_prefix(end + 1);
    }
}

int32_t CIPFilterLineReader::Finish() {
    if (overlong_ || !line_.empty()) {
        EndLine();
    }
    return accepted_;
}

void CIPFilterLineReader::EndLine() {
    if (!overlong_) {
        std::string_view line = line_;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (filter_.AddLine(line)) {
            ++accepted_;
        }
    }
    line_.clear();
    overlong_ = false;
}

}  // namespace kf
