#include "support/PiecesHarness.h"

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <random>

#include "engine/content/Bencode.h"
#include "engine/content/Sha1State.h"
#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf::test {
namespace {

std::string Str(const std::string& s) {
    return std::to_string(s.size()) + ":" + s;
}

}  // namespace

Content MakeContent(const std::string& source_folder, const std::string& name,
                    const std::vector<int64_t>& sizes, int log2_piece, uint32_t seed) {
    Content c;
    c.name = name;
    c.piece_length = 1 << log2_piece;
    std::string top = source_folder + "/" + name;
    if (sizes.size() == 1) {
        c.files.push_back({name, RandomBytes(static_cast<size_t>(sizes[0]), seed)});
        WriteFile(top, c.files[0].second);
    } else {
        std::filesystem::create_directories(top + "/sub");
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string rel = (i >= 2 ? "sub/f" : "f") + std::to_string(i) + ".bin";
            const std::string bytes = RandomBytes(static_cast<size_t>(sizes[i]), seed + 17 * i);
            WriteFile(top + "/" + rel, bytes);
        }
    }
    c.metainfo = MakeTorrent(top, log2_piece, source_folder + "/" + name + ".torrent");
    if (c.metainfo.empty() || sizes.size() == 1) {
        c.stream = c.files.empty() ? std::string() : c.files[0].second;
        return c;
    }
    // The stream order is the metainfo's file order.
    auto root = ParseValue(c.metainfo);
    const QElement* info = root ? root->FindValue("info") : nullptr;
    const QElement* files = info ? info->FindValue("files") : nullptr;
    for (int32_t i = 0; files != nullptr && i < files->Count(); ++i) {
        const QElement* path = files->ChildAt(i)->FindValue("path");
        const std::string rel = path->Text("/");
        const std::string bytes = ReadWholeFile(top + "/" + rel);
        c.files.push_back({rel, bytes});
        c.stream += bytes;
    }
    return c;
}

std::string HandMadeMetainfo(const std::string& name, int32_t piece_length, int64_t length,
                             const std::vector<HandMadeFile>& files, const std::string& stream,
                             int64_t digest_count) {
    int64_t total = length;
    if (!files.empty()) {
        total = 0;
        for (const HandMadeFile& f : files) {
            total += f.length;
        }
    }
    if (digest_count < 0) {
        digest_count = (total + piece_length - 1) / piece_length;
    }
    std::string digests;
    for (int64_t p = 0; p < digest_count; ++p) {
        if (static_cast<int64_t>(stream.size()) >= total && p * piece_length < total) {
            const size_t n =
                static_cast<size_t>(std::min<int64_t>(piece_length, total - p * piece_length));
            const Sha1Digest d = Sha1State::Of(
                {reinterpret_cast<const uint8_t*>(stream.data()) + p * piece_length, n});
            digests.append(reinterpret_cast<const char*>(d.data()), d.size());
        } else {
            digests.append(20, '\0');
        }
    }
    std::string info = "d";
    if (files.empty()) {
        info += Str("length") + "i" + std::to_string(length) + "e";
    } else {
        info += Str("files") + "l";
        for (const HandMadeFile& f : files) {
            info += "d" + Str("length") + "i" + std::to_string(f.length) + "e" + Str("path") + "l";
            for (const std::string& part : f.path) {
                info += Str(part);
            }
            info += "ee";
        }
        info += "e";
    }
    info += Str("name") + Str(name) + Str("piece length") + "i" + std::to_string(piece_length) +
            "e" + Str("pieces") + Str(digests) + "e";
    return "d" + Str("announce") + Str("http://127.0.0.1:1/announce") + Str("info") + info + "e";
}

RefPtr<TPieces> LoadPieces(TaskLink* task, const PiecesParams& params, const std::string& metainfo,
                           bool* loaded) {
    RefPtr<TPieces> pieces = RefPtr<TPieces>::Make(task, params);
    pieces->torrent()->SetMetainfoBytes(metainfo);
    *loaded = pieces->torrent()->Load();
    return pieces;
}

bool Feed(TPieces& pieces, const std::string& stream, const std::vector<int64_t>& order,
          DataSource* source) {
    std::vector<int64_t> all = order;
    if (all.empty()) {
        all.resize(static_cast<size_t>(pieces.piece_count()));
        std::iota(all.begin(), all.end(), 0);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    for (int64_t p : all) {
        const int64_t start = p * pieces.piece_length();
        const int64_t end = std::min<int64_t>(start + pieces.piece_length(), stream.size());
        for (int64_t at = start; at < end; at += kBlockSize) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(kBlockSize, end - at));
            if (pieces.AddData(at, {bytes + at, n}, source, nullptr) != static_cast<int64_t>(n)) {
                return false;
            }
        }
    }
    return true;
}

std::vector<int64_t> Shuffled(int64_t count, uint32_t seed) {
    std::vector<int64_t> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    return order;
}

}  // namespace kf::test
