// SHA-1 state conversion, Adler-32 variants and the file layer under the piece map.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/base/Adler32.h"
#include "engine/content/Sha1State.h"
#include "engine/os/AtomicFile.h"
#include "engine/os/File.h"
#include "engine/os/FileSystem.h"
#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string Hex(const Sha1Digest& d) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : d) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The context of the RFC 3174 reference code, as other programs keep it in memory (x86, 104 bytes).
struct Rfc3174Context {
    uint32_t hash[5];
    uint32_t length_low;
    uint32_t length_high;
    int16_t index;
    uint8_t block[64];
    int32_t computed;
    int32_t corrupted;
};
static_assert(sizeof(Rfc3174Context) == 104);

uint32_t Rotl(uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

void RefReset(Rfc3174Context* c) {
    std::memset(c, 0xAB, sizeof(*c));  // stale bytes, as the reference code leaves them
    c->length_low = c->length_high = 0;
    c->index = 0;
    c->hash[0] = 0x67452301;
    c->hash[1] = 0xEFCDAB89;
    c->hash[2] = 0x98BADCFE;
    c->hash[3] = 0x10325476;
    c->hash[4] = 0xC3D2E1F0;
    c->computed = c->corrupted = 0;
}

void RefProcess(Rfc3174Context* c) {
    const uint32_t k[] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) {
        w[t] = (uint32_t{c->block[t * 4]} << 24) | (uint32_t{c->block[t * 4 + 1]} << 16) |
               (uint32_t{c->block[t * 4 + 2]} << 8) | c->block[t * 4 + 3];
    }
    for (int t = 16; t < 80; ++t) {
        w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    }
    uint32_t a = c->hash[0], b = c->hash[1], cc = c->hash[2], d = c->hash[3], e = c->hash[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f;
        if (t < 20) {
            f = (b & cc) | (~b & d);
        } else if (t < 40 || t >= 60) {
            f = b ^ cc ^ d;
        } else {
            f = (b & cc) | (b & d) | (cc & d);
        }
        const uint32_t temp = Rotl(a, 5) + f + e + w[t] + k[t / 20];
        e = d;
        d = cc;
        cc = Rotl(b, 30);
        b = a;
        a = temp;
    }
    c->hash[0] += a;
    c->hash[1] += b;
    c->hash[2] += cc;
    c->hash[3] += d;
    c->hash[4] += e;
    c->index = 0;
}

void RefInput(Rfc3174Context* c, std::span<const uint8_t> data) {
    for (uint8_t byte : data) {
        c->block[c->index++] = byte;
        c->length_low += 8;
        if (c->length_low == 0) {
            ++c->length_high;
        }
        if (c->index == 64) {
            RefProcess(c);
        }
    }
}

Sha1Digest RefResult(Rfc3174Context* c) {
    const uint32_t low = c->length_low, high = c->length_high;
    const uint8_t pad = 0x80;
    RefInput(c, {&pad, 1});
    const uint8_t zero = 0;
    while (c->index != 56) {
        RefInput(c, {&zero, 1});
    }
    for (int i = 3; i >= 0; --i) {
        c->block[c->index++] = static_cast<uint8_t>(high >> (8 * i));
    }
    for (int i = 3; i >= 0; --i) {
        c->block[c->index++] = static_cast<uint8_t>(low >> (8 * i));
    }
    RefProcess(c);
    Sha1Digest out{};
    for (int i = 0; i < 20; ++i) {
        out[i] = static_cast<uint8_t>(c->hash[i / 4] >> (8 * (3 - i % 4)));
    }
    return out;
}

TEST(Sha1State, KnownDigestsInPiecesOfAnySize) {
    EXPECT_EQ(Hex(Sha1State::Of(Bytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    const std::string million(1000000, 'a');
    Sha1State s;
    for (size_t i = 0; i < million.size(); i += 7777) {
        s.Update(Bytes(million).subspan(i, std::min<size_t>(7777, million.size() - i)));
    }
    EXPECT_EQ(s.Length(), 1000000u);
    EXPECT_EQ(Hex(s.Finish()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1State, ExportedStateIsTheReferenceContextAndContinuesEitherWay) {
    const std::string data = test::RandomBytes(1000, 7);
    const Sha1Digest whole = Sha1State::Of(Bytes(data));
    for (size_t cut : {0u, 1u, 55u, 63u, 64u, 65u, 128u, 999u}) {
        SCOPED_TRACE(cut);
        Rfc3174Context ref;
        RefReset(&ref);
        RefInput(&ref, Bytes(data).first(cut));
        Sha1State ours;
        ours.Update(Bytes(data).first(cut));
        const Sha1State::Exported out = ours.Export();
        const auto* raw = reinterpret_cast<const uint8_t*>(&ref);
        // Every meaningful byte agrees; the stale tail of the block and the padding do not count.
        EXPECT_EQ(std::memcmp(out.data(), raw, 30 + static_cast<size_t>(ref.index)), 0);
        EXPECT_EQ(std::memcmp(out.data() + 96, raw + 96, 8), 0);

        // The reference continues our state, and we continue the reference's.
        Rfc3174Context from_ours;
        std::memcpy(&from_ours, out.data(), 104);
        RefInput(&from_ours, Bytes(data).subspan(cut));
        EXPECT_EQ(RefResult(&from_ours), whole);
        std::optional<Sha1State> imported = Sha1State::Import({raw, 104});
        ASSERT_TRUE(imported.has_value());
        imported->Update(Bytes(data).subspan(cut));
        EXPECT_EQ(imported->Finish(), whole);
    }
}

TEST(Sha1State, ImportRefusesStatesThatCannotBeContinued) {
    Sha1State s;
    s.Update(Bytes(std::string(70, 'x')));
    const Sha1State::Exported good = s.Export();
    ASSERT_TRUE(Sha1State::Import(good).has_value());
    auto bad = good;
    bad[96] = 1;  // computed
    EXPECT_FALSE(Sha1State::Import(bad).has_value());
    bad = good;
    bad[100] = 1;  // corrupted
    EXPECT_FALSE(Sha1State::Import(bad).has_value());
    bad = good;
    bad[28] = 64;  // index past the block
    EXPECT_FALSE(Sha1State::Import(bad).has_value());
    bad = good;
    bad[20] ^= 8;  // bit length disagrees with the index
    EXPECT_FALSE(Sha1State::Import(bad).has_value());
    EXPECT_FALSE(Sha1State::Import(std::span<const uint8_t>(good).first(103)).has_value());
}

TEST(Adler32, StandardValueAndStartsFromIndexOrEarlierSum) {
    EXPECT_EQ(Adler32(1, Bytes("Wikipedia")), 0x11E60398u);
    EXPECT_EQ(Adler32(1, {}), 1u);
    EXPECT_EQ(Adler32(0x00050003, {}), 0x00050003u);
    // One byte from a start of (a = 3, b = 5): a = 3 + 'A', b = 5 + a.
    EXPECT_EQ(Adler32(0x00050003, Bytes("A")), ((5u + 3 + 65) << 16) | (3 + 65));
    // Long runs and starts at the top of both sums agree with the byte-by-byte definition.
    const std::string data = test::RandomBytes(100000, 3);
    for (uint32_t start : {1u, 0u, 0xFFFFFFFFu, 0xFFF0FFF0u, 12345u}) {
        uint32_t a = start & 0xffff, b = start >> 16;
        for (unsigned char c : data) {
            a = (a + c) % 65521;
            b = (b + a) % 65521;
        }
        EXPECT_EQ(Adler32(start, Bytes(data)), (b << 16) | a) << start;
        // Continuing from a partial sum is the same as one pass.
        const uint32_t half = Adler32(start, Bytes(data).first(33333));
        EXPECT_EQ(Adler32(half, Bytes(data).subspan(33333)), (b << 16) | a);
    }
}

TEST(StorageFiles, FileTimeAndRenameWithoutReplacing) {
    EXPECT_EQ(os::ToFileTime(0, 0), 116444736000000000u);
    EXPECT_EQ(os::ToFileTime(1, 500), 116444736010000005u);

    test::TempDir dir;
    os::FileSystem& fs = os::FileSystem::Default();
    ASSERT_TRUE(test::WriteFile(dir / "a", "old"));
    ASSERT_TRUE(test::WriteFile(dir / "b", "new"));
    EXPECT_FALSE(fs.Rename(dir / "b", dir / "a", false));
    EXPECT_EQ(test::ReadWholeFile(dir / "a"), "old");
    EXPECT_TRUE(fs.Rename(dir / "b", dir / "a", true));
    EXPECT_EQ(test::ReadWholeFile(dir / "a"), "new");

    ASSERT_TRUE(fs.CreateFolders(dir / "x/y/z"));
    EXPECT_TRUE(fs.IsFolder(dir / "x/y/z"));
    EXPECT_EQ(os::FolderOf("/a/b/c"), "/a/b");
    EXPECT_EQ(os::FolderOf("c"), ".");
}

TEST(StorageFiles, AtomicFileKeepsOldContentUntilCommit) {
    test::TempDir dir;
    os::FileSystem& fs = os::FileSystem::Default();
    const std::string path = dir / "sub/state";
    {
        os::AtomicFile f(fs, path);
        ASSERT_TRUE(f.Open());
        ASSERT_TRUE(f.Append(Bytes("first")));
        ASSERT_TRUE(f.Commit());
    }
    EXPECT_EQ(test::ReadWholeFile(path), "first");
    {
        os::AtomicFile f(fs, path);
        ASSERT_TRUE(f.Open());
        ASSERT_TRUE(f.Append(Bytes("second, longer")));
        EXPECT_EQ(test::ReadWholeFile(path), "first");
        ASSERT_TRUE(f.TruncateTo(6));
        // Abandoned: neither the new content nor the temporary file remain.
    }
    EXPECT_EQ(test::ReadWholeFile(path), "first");
    EXPECT_FALSE(fs.Exists(os::AtomicFile::TemporaryPath(path)));
}

}  // namespace
}  // namespace kf
