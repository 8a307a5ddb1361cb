// The low-level SHA1_* calls are deprecated in OpenSSL 3 but are the only ones whose context can
// be read and restored, which the resume record needs; they use the same accelerated core.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "engine/content/Sha1State.h"

#include <openssl/sha.h>

#include <cstring>

#include "engine/os/ByteOrder.h"

namespace kf {
namespace {

static_assert(sizeof(SHA_CTX) <= sizeof(uint32_t) * 24, "SHA_CTX does not fit");
static_assert(SHA_CBLOCK == 64, "SHA-1 block size");

SHA_CTX* Ctx(std::array<uint32_t, 24>& raw) {
    return reinterpret_cast<SHA_CTX*>(raw.data());
}
const SHA_CTX* Ctx(const std::array<uint32_t, 24>& raw) {
    return reinterpret_cast<const SHA_CTX*>(raw.data());
}

}  // namespace

Sha1State::Sha1State() {
    Reset();
}

void Sha1State::Reset() {
    context_.fill(0);
    SHA1_Init(Ctx(context_));
}

void Sha1State::Update(std::span<const uint8_t> data) {
    if (!data.empty()) {
        SHA1_Update(Ctx(context_), data.data(), data.size());
    }
}

Sha1Digest Sha1State::Finish() {
    Sha1Digest digest{};
    SHA1_Final(digest.data(), Ctx(context_));
    Reset();
    return digest;
}

uint64_t Sha1State::Length() const {
    const SHA_CTX* c = Ctx(context_);
    return ((static_cast<uint64_t>(c->Nh) << 32) | c->Nl) >> 3;
}

Sha1State::Exported Sha1State::Export() const {
    const SHA_CTX* c = Ctx(context_);
    Exported out{};
    StoreLe32(&out[0], c->h0);
    StoreLe32(&out[4], c->h1);
    StoreLe32(&out[8], c->h2);
    StoreLe32(&out[12], c->h3);
    StoreLe32(&out[16], c->h4);
    StoreLe32(&out[20], c->Nl);
    StoreLe32(&out[24], c->Nh);
    out[28] = static_cast<uint8_t>(c->num);
    out[29] = static_cast<uint8_t>(c->num >> 8);
    // OpenSSL keeps the pending bytes in message order; the bytes after them are left zero.
    std::memcpy(&out[30], c->data, c->num);
    return out;
}

std::optional<Sha1State> Sha1State::Import(std::span<const uint8_t> bytes) {
    if (bytes.size() < kExportSize) {
        return std::nullopt;
    }
    const uint8_t* in = bytes.data();
    const uint32_t low = LoadLe32(&in[20]);
    const uint32_t high = LoadLe32(&in[24]);
    const uint32_t index = static_cast<uint32_t>(in[28]) | (static_cast<uint32_t>(in[29]) << 8);
    const uint32_t computed = LoadLe32(&in[96]);
    const uint32_t corrupted = LoadLe32(&in[100]);
    if (computed != 0 || corrupted != 0 || index >= 64 || (low & 7) != 0 ||
        ((low >> 3) & 63) != index) {
        return std::nullopt;
    }
    Sha1State state;
    SHA_CTX* c = Ctx(state.context_);
    c->h0 = LoadLe32(&in[0]);
    c->h1 = LoadLe32(&in[4]);
    c->h2 = LoadLe32(&in[8]);
    c->h3 = LoadLe32(&in[12]);
    c->h4 = LoadLe32(&in[16]);
    c->Nl = low;
    c->Nh = high;
    c->num = index;
    std::memset(c->data, 0, sizeof(c->data));
    std::memcpy(c->data, &in[30], index);
    return state;
}

Sha1Digest Sha1State::Of(std::span<const uint8_t> data) {
    Sha1Digest digest{};
    SHA1(data.data(), data.size(), digest.data());
    return digest;
}

}  // namespace kf
