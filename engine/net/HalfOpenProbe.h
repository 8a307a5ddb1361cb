#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kf {

// Probe of the operating system's limit on half-open (still connecting) outgoing TCP connections,
// read out of one family of network driver files, and the engine's pending-connection cap derived
// from it. Where there is no such driver (every Linux system) the probe fails and the cap is 32.
//
// Driver files are untrusted input: sizes are checked before anything is allocated and every read
// from the file image is bounds-checked.

// The four 16-bit parts of a file's fixed version information.
struct FileVersion {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint16_t revision = 0;

    bool operator==(const FileVersion&) const = default;
};

// What a probe found out; filled as far as the probe got.
struct HalfOpenProbeRecord {
    std::string path;
    FileVersion version;
    // Offset of the limit value in the file, 0 when none was found.
    int64_t limit_offset = 0;
};

// Negative results of ProbeHalfOpenLimit.
enum HalfOpenProbeCode : int32_t {
    kProbeVersionNotEligible = -1,
    kProbeCannotOpen = -2,
    kProbeSizeOutOfRange = -3,
    kProbeReadFailed = -4,
    kProbeMarkerNotFound = -5,
    kProbeValueCheckFailed = -6,
};

inline constexpr int64_t kProbeMinFileSize = 32768;
inline constexpr int64_t kProbeMaxFileSize = 2097152;
// The marker must lie this far before the end of the file.
inline constexpr size_t kProbeTailBytes = 1024;
// The version scan of a file stops after this many bytes.
inline constexpr int64_t kVersionScanLimit = 64 * 1024 * 1024;
inline constexpr int32_t kMaxHalfOpenCap = 32;

// The fixed version information in a file image: the first VS_FIXEDFILEINFO signature
// (0xFEEF04BD, little-endian) that has the two file-version words after it.
std::optional<FileVersion> FindFixedFileVersion(std::span<const uint8_t> image);

// The same, read from a file in pieces (at most kVersionScanLimit bytes); all zero when the file
// cannot be read or holds no version information.
FileVersion ReadFixedFileVersion(const std::string& path);

// Whether a driver of this version carries the limit where the probe looks for it.
bool IsProbeEligibleVersion(const FileVersion& version);

// Steps after the version and size checks, on a whole file image: the limit, or
// kProbeMarkerNotFound / kProbeValueCheckFailed. `limit_offset` receives the value's offset.
int32_t FindHalfOpenLimit(std::span<const uint8_t> image, int64_t* limit_offset = nullptr);

// The whole probe on one driver file: the limit (clamped to INT32_MAX, so it can never be taken
// for a failure code) or a negative HalfOpenProbeCode.
int32_t ProbeHalfOpenLimit(const std::string& path, HalfOpenProbeRecord* record = nullptr);

// The probe on the system's own driver file. There is none on Linux, so this answers
// kProbeVersionNotEligible, as for a driver file that does not exist.
int32_t ProbeHalfOpenLimit(HalfOpenProbeRecord* record = nullptr);

// The engine's cap on pending outgoing connections: min(32, limit - 2), and 32 when limit - 2 is
// not positive (every failure code included).
int32_t HalfOpenCapFromProbe(int32_t probe_result);

}  // namespace kf
