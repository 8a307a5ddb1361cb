#include "engine/net/HalfOpenProbe.h"

#include <algorithm>
#include <array>
#include <vector>

#include "engine/os/ByteOrder.h"
#include "engine/os/ReadOnlyFile.h"

namespace kf {

namespace {

constexpr std::array<uint8_t, 4> kFixedInfoSignature = {0xBD, 0x04, 0xEF, 0xFE};
// Signature, structure version, file version MS, file version LS.
constexpr size_t kFixedInfoPrefix = 16;

// "\Device\RasAcd" in UTF-16LE, its terminating zero, then the padding and no-op bytes that
// follow it in the driver's code.
constexpr std::array<uint8_t, 40> kLimitMarker = {
    '\\', 0, 'D',  0,    'e',  0,    'v',  0,    'i',  0,    'c',  0,   'e', 0,
    '\\', 0, 'R',  0,    'a',  0,    's',  0,    'A',  0,    'c',  0,   'd', 0,
    0,    0, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0x90, 0x90, 0x90, 0x90};
// The limit sits this far after the marker, inside a "mov" whose opcode (0xB8) follows it.
constexpr size_t kLimitDistance = 128;
constexpr uint8_t kMovOpcode = 0xB8;

// Offset of the first signature that has the whole prefix after it, or npos.
size_t FindFixedInfo(std::span<const uint8_t> image) {
    auto from = image.begin();
    for (;;) {
        const auto hit =
            std::search(from, image.end(), kFixedInfoSignature.begin(), kFixedInfoSignature.end());
        if (hit == image.end()) {
            return std::string::npos;
        }
        const size_t offset = static_cast<size_t>(hit - image.begin());
        if (image.size() - offset >= kFixedInfoPrefix) {
            return offset;
        }
        from = hit + 1;
    }
}

FileVersion VersionAt(std::span<const uint8_t> image, size_t offset) {
    const uint32_t ms = LoadLe32(image.data() + offset + 8);
    const uint32_t ls = LoadLe32(image.data() + offset + 12);
    return FileVersion{static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms & 0xFFFF),
                       static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls & 0xFFFF)};
}

}  // namespace

std::optional<FileVersion> FindFixedFileVersion(std::span<const uint8_t> image) {
    const size_t offset = FindFixedInfo(image);
    if (offset == std::string::npos) {
        return std::nullopt;
    }
    return VersionAt(image, offset);
}

FileVersion ReadFixedFileVersion(const std::string& path) {
    ReadOnlyFile file;
    if (!file.Open(path)) {
        return {};
    }
    // Scanned in pieces; the last prefix-minus-one bytes of each window are carried into the
    // next, so a signature cut by a piece boundary is still seen, and seen only once.
    constexpr size_t kPiece = 64 * 1024;
    std::vector<uint8_t> window(kFixedInfoPrefix - 1 + kPiece);
    size_t carried = 0;
    int64_t scanned = 0;
    while (scanned < kVersionScanLimit) {
        const int64_t n = file.Read(std::span(window).subspan(carried, kPiece));
        if (n <= 0) {
            break;
        }
        scanned += n;
        const auto filled =
            std::span<const uint8_t>(window).first(carried + static_cast<size_t>(n));
        const size_t offset = FindFixedInfo(filled);
        if (offset != std::string::npos) {
            return VersionAt(filled, offset);
        }
        carried = std::min(filled.size(), kFixedInfoPrefix - 1);
        std::copy(filled.end() - static_cast<std::ptrdiff_t>(carried), filled.end(),
                  window.begin());
    }
    return {};
}

bool IsProbeEligibleVersion(const FileVersion& v) {
    if (v.major > 5) {
        return true;
    }
    if (v.major != 5) {
        return false;
    }
    if (v.minor == 1) {
        return v.build >= 2600 && v.revision >= 2180;
    }
    if (v.minor == 2) {
        return v.build >= 3790 && v.revision != 0;
    }
    return v.minor >= 3;
}

int32_t FindHalfOpenLimit(std::span<const uint8_t> image, int64_t* limit_offset) {
    if (limit_offset != nullptr) {
        *limit_offset = 0;
    }
    if (image.size() <= kProbeTailBytes) {
        return kProbeMarkerNotFound;
    }
    const auto region = image.first(image.size() - kProbeTailBytes);
    const auto hit =
        std::search(region.begin(), region.end(), kLimitMarker.begin(), kLimitMarker.end());
    // Offset 0 counts as not found: no real driver file starts with the marker.
    if (hit == region.end() || hit == region.begin()) {
        return kProbeMarkerNotFound;
    }
    const size_t p = static_cast<size_t>(hit - region.begin()) + kLimitDistance;
    // Always true for a marker inside the region, as the tail is longer than the distance; kept
    // so that changing either constant cannot turn this into an out-of-bounds read.
    if (p + 5 > image.size()) {
        return kProbeValueCheckFailed;
    }
    if (image[p - 1] != 0 || image[p + 4] != kMovOpcode) {
        return kProbeValueCheckFailed;
    }
    if (limit_offset != nullptr) {
        *limit_offset = static_cast<int64_t>(p);
    }
    return static_cast<int32_t>(std::min<uint32_t>(LoadLe32(image.data() + p), INT32_MAX));
}

int32_t ProbeHalfOpenLimit(const std::string& path, HalfOpenProbeRecord* record) {
    HalfOpenProbeRecord local;
    HalfOpenProbeRecord& rec = record != nullptr ? *record : local;
    rec = HalfOpenProbeRecord{};
    rec.path = path.substr(0, ReadOnlyFile::kMaxPathBytes);

    rec.version = ReadFixedFileVersion(path);
    if (!IsProbeEligibleVersion(rec.version)) {
        return kProbeVersionNotEligible;
    }
    ReadOnlyFile file;
    if (!file.Open(path)) {
        return kProbeCannotOpen;
    }
    const int64_t size = file.Size();
    if (size < kProbeMinFileSize || size > kProbeMaxFileSize) {
        return kProbeSizeOutOfRange;
    }
    std::vector<uint8_t> image(static_cast<size_t>(size));
    if (file.ReadFull(image) != size) {
        return kProbeReadFailed;
    }
    return FindHalfOpenLimit(image, &rec.limit_offset);
}

int32_t ProbeHalfOpenLimit(HalfOpenProbeRecord* record) {
    // The driver this probe knows about exists only on another system; an empty path stands for
    // the missing file and fails at the version check.
    return ProbeHalfOpenLimit(std::string(), record);
}

int32_t HalfOpenCapFromProbe(int32_t probe_result) {
    const int64_t cap = int64_t{probe_result} - 2;
    if (cap <= 0) {
        return kMaxHalfOpenCap;
    }
    return static_cast<int32_t>(std::min<int64_t>(cap, kMaxHalfOpenCap));
}

}  // namespace kf
