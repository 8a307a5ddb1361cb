// Piece map throughput on a real file, for bench/storage.sh.
//   storage_bench recheck <metainfo> <folder>   full recheck of the content in <folder>
//   storage_bench write <metainfo> <source> <folder> <seed>
//                                               writes <source> through a piece map into
//                                               <folder> in 16 KiB blocks, pieces shuffled
// Prints "seconds=<s> verified=<n> pieces=<n> peak_rss_kib=<k>" and exits 0 when every piece
// was verified.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/content/TPieces.h"
#include "engine/content/TaskLink.h"

namespace {

class QuietTask : public kf::TaskLink {
  public:
    void SetTaskState(kf::TaskState) override {}
    void SetTaskStatus(int32_t) override {}
    void RequestStop() override {}
    bool IsStopRequested() override { return false; }
    void PieceNotice(int32_t, int32_t, int32_t, int64_t, std::span<const uint8_t>) override {}
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string out(static_cast<size_t>(std::max<std::streamoff>(0, in.tellg())), '\0');
    in.seekg(0);
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    return out;
}

long PeakRssKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Report(double seconds, const kf::TPieces& pieces) {
    const kf::PiecesProgress p = pieces.Progress();
    std::printf("seconds=%.3f verified=%lld pieces=%lld peak_rss_kib=%ld\n", seconds,
                static_cast<long long>(p.verified_pieces), static_cast<long long>(p.piece_count),
                PeakRssKib());
    return p.verified_pieces == p.piece_count && p.piece_count > 0 ? 0 : 1;
}

kf::RefPtr<kf::TPieces> MakeMap(QuietTask* task, const std::string& folder) {
    kf::PiecesParams params;
    params.target_folder = folder;
    params.temp_suffix.clear();  // the recheck looks at the file under its own name
    params.cache_units = 64;     // the task's default cache size (16 MiB)
    return kf::RefPtr<kf::TPieces>::Make(task, params);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    QuietTask task;
    if (mode == "recheck" && argc == 4) {
        const std::string metainfo = ReadAll(argv[2]);
        kf::RefPtr<kf::TPieces> pieces = MakeMap(&task, argv[3]);
        pieces->torrent()->SetMetainfoBytes(metainfo);
        const auto start = std::chrono::steady_clock::now();
        const bool loaded = pieces->torrent()->Load();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        return loaded ? Report(took.count(), *pieces) : 2;
    }
    if (mode == "write" && argc == 6) {
        const std::string metainfo = ReadAll(argv[2]);
        const std::string source = ReadAll(argv[3]);  // in memory before the clock starts
        kf::RefPtr<kf::TPieces> pieces = MakeMap(&task, argv[4]);
        pieces->torrent()->SetMetainfoBytes(metainfo);
        if (!pieces->torrent()->Load() ||
            static_cast<int64_t>(source.size()) != pieces->total_length()) {
            return 2;
        }
        std::vector<int64_t> order(static_cast<size_t>(pieces->piece_count()));
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(std::stoul(argv[5])));
        const auto* bytes = reinterpret_cast<const uint8_t*>(source.data());
        const auto start = std::chrono::steady_clock::now();
        for (int64_t piece : order) {
            const int64_t first = piece * pieces->piece_length();
            const int64_t end = std::min<int64_t>(first + pieces->piece_length(), source.size());
            for (int64_t at = first; at < end; at += kf::kBlockSize) {
                const size_t n = static_cast<size_t>(std::min<int64_t>(kf::kBlockSize, end - at));
                if (pieces->AddData(at, {bytes + at, n}, nullptr, nullptr) !=
                    static_cast<int64_t>(n)) {
                    return 3;
                }
            }
            pieces->CachePass();
        }
        // Everything on the device, as dd's conv=fdatasync does.
        pieces->Close(true, true);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        return Report(took.count(), *pieces);
    }
    std::fprintf(stderr,
                 "usage: storage_bench recheck <metainfo> <folder>\n"
                 "       storage_bench write <metainfo> <source> <folder> <seed>\n");
    return 64;
}
