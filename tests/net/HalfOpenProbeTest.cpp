#include "engine/net/HalfOpenProbe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kf {
namespace {

const uint8_t kMarker[40] = {'\\', 0,    'D',  0,    'e',  0,    'v',  0,    'i',  0,
                             'c',  0,    'e',  0,    '\\', 0,    'R',  0,    'a',  0,
                             's',  0,    'A',  0,    'c',  0,    'd',  0,    0,    0,
                             0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0x90, 0x90, 0x90, 0x90};

void PutLe32(std::vector<uint8_t>& image, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A version block: signature, structure version, file version MS and LS.
void PutVersion(std::vector<uint8_t>& image, size_t at, FileVersion v) {
    PutLe32(image, at, 0xFEEF04BD);
    PutLe32(image, at + 4, 0x00010000);
    PutLe32(image, at + 8, (uint32_t{v.major} << 16) | v.minor);
    PutLe32(image, at + 12, (uint32_t{v.build} << 16) | v.revision);
}

void PutMarker(std::vector<uint8_t>& image, size_t at, uint32_t limit) {
    std::memcpy(image.data() + at, kMarker, sizeof kMarker);
    image[at + 127] = 0;
    PutLe32(image, at + 128, limit);
    image[at + 132] = 0xB8;
}

struct Driver {
    size_t size = 200000;
    FileVersion version{5, 1, 2600, 2180};
    size_t version_at = 150000;
    size_t marker_at = 4096;
    uint32_t limit = 10;
};

// Filler that never forms a marker or a signature by accident.
std::vector<uint8_t> BuildDriver(const Driver& d) {
    std::vector<uint8_t> image(d.size);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7 % 61);
    }
    PutVersion(image, d.version_at, d.version);
    PutMarker(image, d.marker_at, d.limit);
    return image;
}

class HalfOpenProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("kf_probe_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Write(const std::vector<uint8_t>& image) {
        const auto path = dir_ / ("tcpip" + std::to_string(++files_) + ".sys");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        return path.string();
    }

    int32_t Probe(const Driver& d) { return ProbeHalfOpenLimit(Write(BuildDriver(d))); }

    std::filesystem::path dir_;
    int files_ = 0;
};

TEST(DriverVersion, ReadsFixedInfoAndKnowsEligibleReleases) {
    std::vector<uint8_t> image(64, 0);
    PutVersion(image, 20, FileVersion{5, 2, 3790, 3959});
    EXPECT_EQ(FindFixedFileVersion(image), (FileVersion{5, 2, 3790, 3959}));
    // A signature too close to the end to carry the version words is not taken.
    EXPECT_EQ(FindFixedFileVersion(std::span(image).first(35)), std::nullopt);

    const std::pair<FileVersion, bool> cases[] = {
        {{0, 0, 0, 0}, false},      {{5, 0, 9999, 9999}, false}, {{5, 1, 2600, 2179}, false},
        {{5, 1, 2600, 2180}, true}, {{5, 1, 2599, 9999}, false}, {{5, 2, 3790, 0}, false},
        {{5, 2, 3790, 1}, true},    {{5, 2, 3789, 500}, false},  {{5, 3, 0, 0}, true},
        {{6, 0, 0, 0}, true},
    };
    for (const auto& [v, eligible] : cases) {
        EXPECT_EQ(IsProbeEligibleVersion(v), eligible)
            << v.major << '.' << v.minor << '.' << v.build << '.' << v.revision;
    }
}

TEST_F(HalfOpenProbeTest, VersionIsFoundAcrossReadBoundaries) {
    // The file is scanned in 64 KiB pieces; put the block across every nearby boundary.
    for (size_t at = 65536 - 16; at <= 65536 + 1; ++at) {
        std::vector<uint8_t> image(70000, 0x11);
        PutVersion(image, at, FileVersion{6, 1, 7601, static_cast<uint16_t>(at)});
        EXPECT_EQ(ReadFixedFileVersion(Write(image)),
                  (FileVersion{6, 1, 7601, static_cast<uint16_t>(at)}))
            << "at " << at;
    }
    EXPECT_EQ(ReadFixedFileVersion((dir_ / "missing.sys").string()), FileVersion{});
}

TEST_F(HalfOpenProbeTest, ReadsTheLimitFromAnEligibleDriver) {
    HalfOpenProbeRecord record;
    const std::string path = Write(BuildDriver({}));
    EXPECT_EQ(ProbeHalfOpenLimit(path, &record), 10);
    EXPECT_EQ(record.path, path);
    EXPECT_EQ(record.version, (FileVersion{5, 1, 2600, 2180}));
    EXPECT_EQ(record.limit_offset, 4096 + 128);
    EXPECT_EQ(HalfOpenCapFromProbe(10), 8);
}

TEST_F(HalfOpenProbeTest, IneligibleOrMissingDriverIsNotProbed) {
    Driver old;
    old.version = {5, 1, 2600, 2179};
    EXPECT_EQ(Probe(old), kProbeVersionNotEligible);

    HalfOpenProbeRecord record;
    EXPECT_EQ(ProbeHalfOpenLimit((dir_ / "missing.sys").string(), &record),
              kProbeVersionNotEligible);
    EXPECT_EQ(record.version, FileVersion{});
    // No driver file of this kind on this system: the engine runs with the fallback cap.
    EXPECT_EQ(HalfOpenCapFromProbe(ProbeHalfOpenLimit()), 32);
}

TEST_F(HalfOpenProbeTest, FileSizeMustBeWithinBounds) {
    for (const auto& [size, expected] :
         std::vector<std::pair<size_t, int32_t>>{{32767, kProbeSizeOutOfRange},
                                                 {32768, 10},
                                                 {2097152, 10},
                                                 {2097153, kProbeSizeOutOfRange}}) {
        Driver d;
        d.size = size;
        d.version_at = size - 100;
        EXPECT_EQ(Probe(d), expected) << "size " << size;
    }
}

TEST_F(HalfOpenProbeTest, MarkerMustBeInsideTheSearchedPart) {
    Driver d;
    d.marker_at = 0;
    EXPECT_EQ(Probe(d), kProbeMarkerNotFound);
    d.marker_at = 1;
    EXPECT_EQ(Probe(d), 10);

    // The last 1024 bytes are not searched: the marker must end before them.
    d.marker_at = d.size - 1024 - 40;
    EXPECT_EQ(Probe(d), 10);
    d.marker_at = d.size - 1024 - 39;
    EXPECT_EQ(Probe(d), kProbeMarkerNotFound);

    std::vector<uint8_t> image = BuildDriver({});
    image[4096 + 30] = 0xCD;  // one padding byte wrong
    EXPECT_EQ(ProbeHalfOpenLimit(Write(image)), kProbeMarkerNotFound);
}

TEST_F(HalfOpenProbeTest, ValueMustSitBetweenAZeroAndAMov) {
    std::vector<uint8_t> image = BuildDriver({});
    image[4096 + 127] = 1;
    EXPECT_EQ(ProbeHalfOpenLimit(Write(image)), kProbeValueCheckFailed);

    image = BuildDriver({});
    image[4096 + 132] = 0xB9;
    EXPECT_EQ(ProbeHalfOpenLimit(Write(image)), kProbeValueCheckFailed);

    // A value that does not fit a positive 32-bit number is no failure code in disguise.
    Driver huge;
    huge.limit = 0xFFFFFFFF;
    EXPECT_EQ(Probe(huge), INT32_MAX);
    EXPECT_EQ(HalfOpenCapFromProbe(INT32_MAX), 32);
}

TEST(HalfOpenCap, IsLimitMinusTwoCappedAt32) {
    EXPECT_EQ(HalfOpenCapFromProbe(3), 1);
    EXPECT_EQ(HalfOpenCapFromProbe(10), 8);
    EXPECT_EQ(HalfOpenCapFromProbe(33), 31);
    EXPECT_EQ(HalfOpenCapFromProbe(34), 32);
    EXPECT_EQ(HalfOpenCapFromProbe(1000), 32);
    for (int32_t result : {2, 1, 0, -1, -2, -3, -4, -5, -6, INT32_MIN}) {
        EXPECT_EQ(HalfOpenCapFromProbe(result), 32) << result;
    }
}

}  // namespace
}  // namespace kf
