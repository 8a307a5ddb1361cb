#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kf {

// A set of blocked IPv4 ranges, loaded from a text file of lines such as
//
//     10.0.0.0-10.255.255.255 100 anything after the level is ignored
//
// (first address, '-', last address with no spaces around the dash, one space, a decimal level).
// Lines are at most kMaxLineLength characters; longer lines, blank lines, '#' comments and lines
// of any other shape are skipped silently. Address numbers are taken modulo 256. A line whose level
// is the threshold or higher, or whose last address is below its first, is skipped too.
//
// Stored ranges never overlap: a new range swallows every stored range it touches, so that the
// lookup by last address is exact. Addresses are kept in host order (first octet most significant).
//
// Not thread-safe; the engine keeps one shared filter behind a lock (CIPFilterHolder) and gives
// each task its own copy. The file content is untrusted input; no line is kept beyond its length
// limit and nothing here throws.
class CIPFilter {
  public:
    static constexpr int32_t kDefaultThreshold = 127;
    static constexpr size_t kMaxLineLength = 510;

    CIPFilter() = default;
    CIPFilter(const CIPFilter&) = default;
    CIPFilter& operator=(const CIPFilter&) = default;
    CIPFilter(CIPFilter&&) = default;
    CIPFilter& operator=(CIPFilter&&) = default;
    virtual ~CIPFilter() = default;

    // Back to the default threshold and no ranges.
    void Reset();

    int32_t Threshold() const { return threshold_; }
    void SetThreshold(int32_t threshold) { threshold_ = threshold; }

    bool Empty() const { return ranges_.empty(); }
    size_t RangeCount() const { return ranges_.size(); }
    // last address → first address, host order, ascending and disjoint.
    const std::map<uint32_t, uint32_t>& Ranges() const { return ranges_; }

    // Adds the lines of a filter file: the number of range lines accepted, or -1 when the file
    // cannot be opened (the filter is then unchanged).
    int32_t LoadFromFile(const std::string& path);

    // The same for text already in memory; a last line without a line end counts.
    int32_t LoadFromText(std::string_view text);

    // Adds one line (without its line end): true when it was a range line that was accepted.
    bool AddLine(std::string_view line);

    // Merges [first, last] (host order) into the set; false when last < first.
    bool AddRange(uint32_t first, uint32_t last);

    // `address` as it comes from a socket address: its bytes in network order.
    bool IsBlocked(uint32_t address_network_order) const;
    bool IsBlockedHostOrder(uint32_t address) const;

  private:
    int32_t threshold_ = kDefaultThreshold;
    std::map<uint32_t, uint32_t> ranges_;
};

// Cuts filter text that arrives in pieces of any size into lines and hands them to a filter.
// Keeps at most one line's worth of bytes; a line that grows past the limit is dropped whole
// rather than split, so its tail can never pass for a line of its own.
class CIPFilterLineReader {
  public:
    explicit CIPFilterLineReader(CIPFilter& filter) : filter_(filter) {}

    void Feed(std::string_view chunk);
    // Ends the text (the last line may lack its line end): the number of range lines accepted.
    int32_t Finish();

  private:
    void EndLine();

    CIPFilter& filter_;
    std::string line_;
    bool overlong_ = false;
    int32_t accepted_ = 0;
};

}  // namespace kf
