#include "support/EngineDriver.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf::test {

DownloadContent MakeDownloadContent(const std::string& served_path, int64_t size, int log2_piece,
                                    uint32_t seed, const std::string& torrent_path) {
    DownloadContent content;
    content.bytes = RandomBytes(static_cast<size_t>(size), seed);
    content.piece_length = 1 << log2_piece;
    if (WriteFile(served_path, content.bytes) &&
        !MakeTorrent(served_path, log2_piece, torrent_path).empty()) {
        content.torrent_path = torrent_path;
    }
    return content;
}

std::string Sha1Hex(std::string_view bytes) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

EngineSession::EngineSession() {
    CreateEngineLog();
    ok_ = InitEngine(nullptr) == KF_OK;
}

EngineSession::~EngineSession() {
    CleanupEngine();
    ReleaseEngineLog();
}

TaskParams P2spTaskParams(const std::string& torrent_path, const char* sources,
                          const std::string& target_file, const std::string& resume_path) {
    TaskParams params;
    std::memset(&params, 0, sizeof(params));
    const std::string location = "file://" + torrent_path;
    std::strncpy(params.torrent_location, location.c_str(), sizeof(params.torrent_location) - 1);
    std::strncpy(params.target_path, target_file.c_str(), sizeof(params.target_path) - 1);
    std::strncpy(params.resume_path, resume_path.c_str(), sizeof(params.resume_path) - 1);
    params.sources = sources;
    params.flags = KF_FLAG_ACCEPTED | KF_FLAG_P2SP | KF_FLAG_FULL_PATH;
    return params;
}

TaskInfo QueryInfo(KfTaskHandle task) {
    TaskInfo info;
    if (QueryTaskInfo(task, &info) != KF_OK) {
        std::memset(&info, 0, sizeof(info));
    }
    return info;
}

bool TaskComplete(KfTaskHandle task) {
    int32_t complete = 0;
    return IsTaskComplete(task, &complete) == KF_OK && complete != 0;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<bool> VerifiedPieces(KfTaskHandle task) {
    const int32_t size = GetTaskBitfieldSize(task);
    if (size <= 0) {
        return {};
    }
    std::vector<uint8_t> bits(static_cast<size_t>(size));
    const int32_t count = ReadTaskBitfield(task, bits.data(), size);
    std::vector<bool> pieces;
    for (int32_t i = 0; i < count; ++i) {
        pieces.push_back((bits[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8))) != 0);
    }
    return pieces;
}

int64_t PieceBytes(const DownloadContent& content, const std::vector<bool>& pieces) {
    const auto size = static_cast<int64_t>(content.bytes.size());
    int64_t bytes = 0;
    for (size_t piece = 0; piece < pieces.size(); ++piece) {
        if (pieces[piece]) {
            const int64_t start = static_cast<int64_t>(piece) * content.piece_length;
            bytes += std::max<int64_t>(std::min<int64_t>(content.piece_length, size - start), 0);
        }
    }
    return bytes;
}

std::vector<int64_t> WrongPieces(const std::string& file_bytes, const DownloadContent& content,
                                 const std::vector<bool>& only) {
    std::vector<int64_t> wrong;
    const auto size = static_cast<int64_t>(content.bytes.size());
    for (int64_t piece = 0; piece < content.piece_count(); ++piece) {
        if (!only.empty() &&
            (static_cast<size_t>(piece) >= only.size() || !only[static_cast<size_t>(piece)])) {
            continue;
        }
        const int64_t start = piece * content.piece_length;
        const int64_t length = std::min<int64_t>(content.piece_length, size - start);
        if (static_cast<int64_t>(file_bytes.size()) < start + length ||
            std::memcmp(file_bytes.data() + start, content.bytes.data() + start,
                        static_cast<size_t>(length)) != 0) {
            wrong.push_back(piece);
        }
    }
    return wrong;
}

}  // namespace kf::test
