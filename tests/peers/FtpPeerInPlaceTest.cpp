// The FTP source peer reading its data connection straight into the task's piece store
// (TaskContent::BlockRoom and CommitBlockBytes): every byte lands once and in its place, blocks cut
// read in parts are committed in parts, turns stay within the allowance, and a block begun in
// place that the store stops taking there is fetched again from its start.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/peers/TFtpPeer.h"
#include "support/InPlacePeerTask.h"
#include "support/PatternBytes.h"
#include "support/ScriptedFtpServer.h"

namespace kf {
namespace {

using test::InPlacePeerTask;
using test::ScriptedFtpServer;

constexpr int32_t kPiece = 4 * kBlockSize;       // 64 KiB
constexpr int64_t kSize = 20LL * kPiece + 1000;  // 21 pieces, the last one short
constexpr int32_t kBlocks = static_cast<int32_t>((kSize + kBlockSize - 1) / kBlockSize);

std::string Pattern(int64_t size) {
    return test::PatternBytes(size, 157, 1009);
}

class FtpPeerInPlace : public ::testing::Test {
  protected:
    FtpPeerInPlace() : content_(Pattern(kSize)), task_(kSize, kPiece) {}

    void Serve(ScriptedFtpServer::Options options = {}) {
        server_ = std::make_unique<ScriptedFtpServer>(content_, std::move(options));
        ASSERT_TRUE(server_->Start());
    }

    RefPtr<TPeerId> Source() {
        RefPtr<TPeerId> source = RefPtr<TPeerId>::Make(server_->Url("/dir/file.bin"));
        EXPECT_TRUE(source->ParseSourceAddress());
        source->connections = 1;  // as the task does before attaching
        return source;
    }

    // Pumps like the task's loop until `done` (true), a false Pump (the peer is then reset, as
    // the task does; false) or the time limit (false). `each` runs after every Pump.
    bool Run(
        TFtpPeer& peer, const std::function<bool()>& done,
        const std::function<void()>& each = [] {}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) {
                return true;
            }
            const bool going = peer.Pump();
            each();
            if (!going) {
                last_status_ = peer.Status();
                peer.Reset();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    void ExpectWholeFile() const {
        ASSERT_TRUE(task_.AllDone());
        EXPECT_EQ(task_.Stored(0, kSize), content_);
    }
    std::vector<std::string> RestCommands() const {
        std::vector<std::string> found;
        for (const std::string& command : server_->Commands()) {
            if (command.rfind("rest ", 0) == 0) {
                found.push_back(command);
            }
        }
        return found;
    }

    std::string content_;
    InPlacePeerTask task_;
    std::unique_ptr<ScriptedFtpServer> server_;
    int32_t last_status_ = -1;
};

TEST_F(FtpPeerInPlace, EveryByteLandsOnceInItsPlace) {
    Serve();
    TFtpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    EXPECT_FALSE(Run(peer, [] { return false; }));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    ExpectWholeFile();
    EXPECT_EQ(task_.in_place_bytes, kSize);  // nothing went through the receive buffer
    EXPECT_EQ(task_.writes.size(), static_cast<size_t>(kBlocks));
    EXPECT_EQ(server_->DataConnections(), 1);
    EXPECT_EQ(task_.payload_by_kind[KindBits(PeerKind::Ftp)], kSize);
}

TEST_F(FtpPeerInPlace, TurnsStayWithinTheAllowanceAndCommitBlocksInParts) {
    ScriptedFtpServer::Options options;
    options.data_piece = 64 * 1024;
    Serve(options);
    task_.download_allowance = 5000;
    TFtpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    int64_t before = 0;
    int64_t most = 0;
    EXPECT_FALSE(Run(
        peer, [] { return false; },
        [&] {
            most = std::max(most, task_.in_place_bytes - before);
            before = task_.in_place_bytes;
        }));
    ExpectWholeFile();
    EXPECT_LE(most, 5000);
    EXPECT_GT(most, 0);
    // Reads end inside blocks: their bytes are committed in parts, each block written once.
    EXPECT_EQ(task_.in_place_bytes, kSize);
    EXPECT_TRUE(std::any_of(task_.commits.begin(), task_.commits.end(),
                            [](const InPlacePeerTask::Commit& c) { return c.offset > 0; }));
    EXPECT_EQ(task_.writes.size(), static_cast<size_t>(kBlocks));
    EXPECT_EQ(server_->DataConnections(), 1);
}

TEST_F(FtpPeerInPlace, BlockBegunInPlaceThatTheStoreNoLongerTakesStartsAgain) {
    ScriptedFtpServer::Options options;
    options.data_piece = 1000;
    Serve(options);
    task_.download_allowance = 5000;  // reads end inside blocks
    TFtpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    ASSERT_TRUE(Run(peer, [this] { return task_.HasPartBlock() && task_.writes.size() > 2; }));
    task_.download_allowance = 1 << 30;
    const size_t whole_before = task_.writes.size();
    task_.refuse_rooms = true;  // the rest goes through the receive buffer
    EXPECT_FALSE(Run(peer, [] { return false; }));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    ExpectWholeFile();
    EXPECT_LT(task_.in_place_bytes, kSize);
    // The stream stood inside the begun block: a second transfer starts at that block's start.
    const std::vector<std::string> rests = RestCommands();
    ASSERT_GE(rests.size(), 2u);
    EXPECT_EQ(rests.front(), "rest 0");
    EXPECT_EQ(rests[1], "rest " + std::to_string(static_cast<int64_t>(whole_before) * kBlockSize));
    EXPECT_GE(server_->DataConnections(), 2);
}

}  // namespace
}  // namespace kf
