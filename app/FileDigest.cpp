#include "app/FileDigest.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

namespace kf::app {
namespace {

struct CloseFile {
    void operator()(FILE* file) const { std::fclose(file); }
};
struct FreeContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

int32_t FileDigest::ProgressAfter(uint64_t blocks, int64_t size) {
    const uint64_t whole_blocks = size > 0 ? static_cast<uint64_t>(size) / kBlockBytes : 0;
    if (whole_blocks == 0) {
        return 10000;
    }
    const uint64_t progress = blocks * 10000u / whole_blocks;
    return progress > 10000u ? 10000 : static_cast<int32_t>(progress);
}

std::string FileDigest::Md5(const std::string& path, const Progress& progress,
                            const std::atomic<bool>* cancel) {
    const std::unique_ptr<FILE, CloseFile> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return {};
    }
    struct stat facts {};
    if (fstat(fileno(file.get()), &facts) != 0) {
        return {};
    }
    const int64_t size = static_cast<int64_t>(facts.st_size);
    const std::unique_ptr<EVP_MD_CTX, FreeContext> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        return {};
    }
    unsigned char block[kBlockBytes];
    uint64_t blocks = 0;
    int32_t reported = -1;
    const auto report = [&](int32_t value) {
        if (value != reported && progress) {
            reported = value;
            progress(value);
        }
    };
    report(0);
    size_t got;
    while ((got = std::fread(block, 1, sizeof(block), file.get())) > 0) {
        if (cancel != nullptr && cancel->load()) {
            return {};
        }
        if (EVP_DigestUpdate(context.get(), block, got) != 1) {
            return {};
        }
        ++blocks;
        report(ProgressAfter(blocks, size));
    }
    if (std::ferror(file.get()) != 0) {
        return {};
    }
    report(10000);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

}  // namespace kf::app
