#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "engine/peers/THttpPeer.h"
#include "support/FakePeerTask.h"
#include "support/PatternBytes.h"
#include "support/PeerPump.h"
#include "support/ScriptedServer.h"

namespace kf {
namespace {

using test::FakePeerTask;
using test::ScriptedServer;
using test::ServerConnection;

constexpr int32_t kPiece = 4 * kBlockSize;       // 64 KiB
constexpr int64_t kSize = 20LL * kPiece + 1000;  // 21 pieces, the last one short

std::string Pattern(int64_t size) {
    return test::PatternBytes(size, 131, 977);
}

// One scripted answer: the bytes, how they are sent, and what happens after.
struct Reply {
    std::string bytes;
    size_t piece = 8192;
    bool close = false;  // end the connection after the bytes (else keep it until the client goes)
};
using Responder = std::function<Reply(int index, int64_t range_start)>;

int64_t RangeStart(const std::string& request) {
    const size_t at = request.find("Range: bytes=");
    return at == std::string::npos ? 0 : std::stoll(request.substr(at + 13));
}

// The answer of a well-behaved file server.
Reply FileReply(const std::string& content, int64_t start) {
    const auto size = static_cast<int64_t>(content.size());
    std::string head;
    if (start > 0) {
        head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(start) +
               "-" + std::to_string(size - 1) + "/" + std::to_string(size) +
               "\r\nContent-Length: " + std::to_string(size - start) + "\r\n\r\n";
    } else {
        head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
    }
    return Reply{head + content.substr(static_cast<size_t>(start))};
}

class HttpPeerTest : public ::testing::Test {
  protected:
    HttpPeerTest() : content_(Pattern(kSize)), task_(kSize, kPiece) {}

    void Serve(Responder responder) {
        responder_ = std::move(responder);
        server_ = std::make_unique<ScriptedServer>([this](ServerConnection& c) {
            const std::string request = c.ReadUntil("\r\n\r\n");
            if (request.empty()) {
                return;
            }
            server_->Record(request);
            const Reply reply = responder_(c.Index(), RangeStart(request));
            if (!c.SendInPieces(reply.bytes, reply.piece)) {
                return;
            }
            if (reply.close) {
                c.Close();
            }
            c.WaitForClientClose();
        });
        ASSERT_TRUE(server_->Start());
    }

    RefPtr<TPeerId> Source(const std::string& path = "/dir/file.bin") {
        RefPtr<TPeerId> source = RefPtr<TPeerId>::Make(server_->Url(path));
        EXPECT_TRUE(source->ParseSourceAddress());
        source->weight = TPeerId::kWeightTextSource;
        source->connections = 1;  // as the task does before attaching
        return source;
    }

    using End = test::PumpEnd;
    // Pumps like the task's loop until `done`, a false Pump (its status kept) or the time limit.
    End Run(THttpPeer& peer, const std::function<bool()>& done,
            std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        return test::PumpPeer(peer, done, limit, [this, &peer] { last_status_ = peer.Status(); });
    }
    End RunToEnd(THttpPeer& peer) {
        return Run(peer, [] { return false; });
    }

    bool StoredMatches(int32_t piece) const {
        const int64_t start = static_cast<int64_t>(piece) * kPiece;
        const int64_t length = std::min<int64_t>(kPiece, kSize - start);
        return task_.Stored(start, length) == content_.substr(start, length);
    }
    bool BlockWritten(int32_t block) const {
        for (const FakePeerTask::Write& write : task_.writes) {
            if (write.block == block) {
                return true;
            }
        }
        return false;
    }

    std::string content_;
    FakePeerTask task_;
    Responder responder_;
    std::unique_ptr<ScriptedServer> server_;
    int32_t last_status_ = -1;
};

TEST_F(HttpPeerTest, SendsTheExactRequest) {
    Serve([](int, int64_t) { return Reply{"HTTP/1.1 503 Busy\r\n\r\n"}; });
    const std::string base =
        "GET /dir/file.bin?x=1 HTTP/1.1\r\n"
        "Host:127.0.0.1\r\n"
        "Accept:*/*\r\n"
        "Referer: " +
        server_->Url("/dir") +
        "\r\n"
        "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) "
        "Kestrelfetch/1.0.3\r\n"
        "Connection:Keep-Alive\r\n";
    const std::string tail = "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n";

    THttpPeer first(task_);
    ASSERT_TRUE(first.Attach(Source("/dir/file.bin?x=1")));
    EXPECT_EQ(RunToEnd(first), End::kDropped);

    // With the size known and the first two pieces held, the range starts at piece 2.
    task_.MarkPieceDone(0);
    task_.MarkPieceDone(1);
    RefPtr<TPeerId> known = Source("/dir/file.bin?x=1");
    known->UrlInfo().content_length = kSize;
    THttpPeer second(task_);
    ASSERT_TRUE(second.Attach(known));
    EXPECT_EQ(RunToEnd(second), End::kDropped);

    // Under a download limit the range ends after half a second's worth, in whole pieces: at
    // 150000 bytes a second two pieces from piece 2, so that a dropped connection wastes little.
    task_.download_limit = 150000;
    THttpPeer bounded(task_);
    ASSERT_TRUE(bounded.Attach(known));
    EXPECT_EQ(RunToEnd(bounded), End::kDropped);
    task_.download_limit = 0;

    const std::vector<std::string> requests = server_->Recorded();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], base + tail);  // offset 0: no Range line
    EXPECT_EQ(requests[1], base + "Range: bytes=131072-\r\n" + tail);
    EXPECT_EQ(requests[2], base + "Range: bytes=131072-262143\r\n" + tail);

    // A field with a line break never reaches the wire.
    RefPtr<TPeerId> bad = Source();
    bad->UrlInfo().host = "h\r\nX-Injected: 1";
    EXPECT_EQ(THttpPeer::BuildRequest(*bad, 0), "");
    THttpPeer third(task_);
    EXPECT_FALSE(third.Attach(bad));
}

TEST_F(HttpPeerTest, StreamsTheWholeFileOnOneConnection) {
    Serve([this](int, int64_t start) {
        Reply reply = FileReply(content_, start);
        reply.piece = 1000;  // the header and blocks arrive cut at odd places
        return reply;
    });
    RefPtr<TPeerId> source = Source();
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);  // nothing left to fetch

    EXPECT_TRUE(task_.AllDone());
    for (int32_t piece = 0; piece < task_.PieceCount(); ++piece) {
        EXPECT_TRUE(StoredMatches(piece)) << "piece " << piece;
    }
    EXPECT_EQ(server_->Accepted(), 1);
    EXPECT_EQ(source->UrlInfo().content_length, kSize);
    EXPECT_EQ(source->weight, TPeerId::kWeightRedirectTarget);  // 29 becomes 28 on success
    EXPECT_EQ(source->UrlInfo().file_name, "file.bin");
    EXPECT_EQ(task_.payload_by_kind[KindBits(PeerKind::Http)], kSize);
    EXPECT_EQ(source->connections, 0);
    EXPECT_EQ(source->RefCount(), 1);
}

TEST_F(HttpPeerTest, BoundedRequestsUnderALimitShareOneConnection) {
    // A persistent server: every request on a connection gets the bytes it names.
    server_ = std::make_unique<ScriptedServer>([this](ServerConnection& c) {
        for (;;) {
            const std::string request = c.ReadUntil("\r\n\r\n");
            if (request.empty()) {
                return;
            }
            server_->Record(request);
            const int64_t start = RangeStart(request);
            const size_t dash = request.find('-', request.find("Range: bytes="));
            const int64_t end = std::stoll(request.substr(dash + 1));
            const std::string head =
                "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(start) +
                "-" + std::to_string(end) + "/" + std::to_string(kSize) +
                "\r\nContent-Length: " + std::to_string(end - start + 1) + "\r\n\r\n";
            if (!c.Send(head + content_.substr(static_cast<size_t>(start),
                                               static_cast<size_t>(end - start + 1)))) {
                return;
            }
        }
    });
    ASSERT_TRUE(server_->Start());
    task_.download_limit = 150000;  // two pieces a request
    task_.MarkPieceDone(0);
    RefPtr<TPeerId> source = Source();
    source->UrlInfo().content_length = kSize;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    EXPECT_TRUE(task_.AllDone());
    for (int32_t piece = 1; piece < task_.PieceCount(); ++piece) {
        EXPECT_TRUE(StoredMatches(piece)) << "piece " << piece;
    }
    EXPECT_EQ(server_->Accepted(), 1);
    EXPECT_EQ(server_->Recorded().size(), 10u);  // pieces 1..20 two at a time
}

TEST_F(HttpPeerTest, HeaderSentByteByByte) {
    Serve([this](int, int64_t start) {
        Reply reply = FileReply(content_, start);
        reply.piece = 1;
        reply.bytes.resize(reply.bytes.find("\r\n\r\n") + 4 + 3 * kBlockSize);
        return reply;
    });
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    ASSERT_EQ(Run(peer, [this] { return task_.BlocksDone() == 3; }), End::kCondition);
    EXPECT_TRUE(peer.HeaderDone());
    EXPECT_EQ(task_.Stored(0, 3 * kBlockSize), content_.substr(0, 3 * kBlockSize));
}

TEST_F(HttpPeerTest, SkipsShortGapsAndReconnectsForLongOnes) {
    Serve([this](int, int64_t start) { return FileReply(content_, start); });
    task_.MarkPieceDone(1);  // a 64 KiB gap: skipped in the stream
    for (int32_t piece = 3; piece <= 6; ++piece) {
        task_.MarkPieceDone(piece);  // a 256 KiB gap: a new connection
    }
    RefPtr<TPeerId> source = Source();
    source->UrlInfo().content_length = kSize;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    EXPECT_TRUE(task_.AllDone());

    const std::vector<std::string> requests = server_->Recorded();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(RangeStart(requests[0]), 0);
    EXPECT_EQ(RangeStart(requests[1]), 7LL * kPiece);
    EXPECT_EQ(source->reconnects, 1);
    for (int32_t piece : {0, 2, 7, 8, 20}) {
        EXPECT_TRUE(StoredMatches(piece)) << "piece " << piece;
    }
    for (int32_t block = 4; block < 8; ++block) {
        EXPECT_FALSE(BlockWritten(block)) << "block " << block;  // skipped, not written
    }
}

TEST_F(HttpPeerTest, RedirectsBecomeNewSources) {
    std::string location = "/new/f.7z";
    Serve([&location](int, int64_t) {
        return Reply{"HTTP/1.1 302 Found\r\nLocation: " + location + "\r\n\r\n"};
    });
    RefPtr<TPeerId> source = Source();
    source->role = TPeerId::kRoleTorrentLine;
    source->UrlInfo().fetch_to_memory = true;

    const auto redirect_once = [&] {
        THttpPeer peer(task_);
        EXPECT_TRUE(peer.Attach(source));
        EXPECT_EQ(RunToEnd(peer), End::kDropped);
        EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    };
    redirect_once();
    ASSERT_EQ(task_.added_sources.size(), 1u);
    const TPeerId& target = *task_.added_sources[0];
    EXPECT_EQ(target.url, server_->Url("/new/f.7z"));  // the port is kept: it is not 80
    EXPECT_EQ(target.weight, TPeerId::kWeightRedirectTarget);
    EXPECT_EQ(target.role, TPeerId::kRoleTorrentLine);
    EXPECT_TRUE(target.UrlInfo().fetch_to_memory);
    EXPECT_TRUE(source->UrlInfo().redirected);
    EXPECT_EQ(source->UrlInfo().redirect_count, 1);

    // The same place twice more: the source goes on the third redirect.
    redirect_once();
    EXPECT_TRUE(task_.removed_sources.empty());
    redirect_once();
    ASSERT_EQ(task_.removed_sources.size(), 1u);
    EXPECT_EQ(task_.removed_sources[0], source->url);

    // Alternating places never remove a source.
    RefPtr<TPeerId> other = Source("/other");
    task_.removed_sources.clear();
    for (int i = 0; i < 6; ++i) {
        location = i % 2 == 0 ? "/a" : server_->Url("/b");
        THttpPeer peer(task_);
        ASSERT_TRUE(peer.Attach(other));
        EXPECT_EQ(RunToEnd(peer), End::kDropped);
    }
    EXPECT_TRUE(task_.removed_sources.empty());
    EXPECT_EQ(task_.added_sources.back()->url, server_->Url("/b"));

    // No Location, or one this engine cannot follow: the peer ends, nothing is added.
    const size_t added = task_.added_sources.size();
    for (const char* unusable : {"", "https://127.0.0.1/x"}) {
        location = unusable;
        THttpPeer peer(task_);
        ASSERT_TRUE(peer.Attach(other));
        EXPECT_EQ(RunToEnd(peer), End::kDropped);
        EXPECT_EQ(task_.added_sources.size(), added);
    }
}

TEST(HttpPeerLocationTest, RelativeLocationsUseTheSourceHostAndPort) {
    RefPtr<TPeerId> on_80 = RefPtr<TPeerId>::Make("http://127.0.0.1/dir/f");
    ASSERT_TRUE(on_80->ParseSourceAddress());
    EXPECT_EQ(THttpPeer::AbsoluteLocation(*on_80, "/new/f.7z"), "http://127.0.0.1/new/f.7z");
    EXPECT_EQ(THttpPeer::AbsoluteLocation(*on_80, "new/f.7z"), "http://127.0.0.1/new/f.7z");
    RefPtr<TPeerId> on_8080 = RefPtr<TPeerId>::Make("http://127.0.0.1:8080/dir/f");
    ASSERT_TRUE(on_8080->ParseSourceAddress());
    EXPECT_EQ(THttpPeer::AbsoluteLocation(*on_8080, "/new/f.7z"), "http://127.0.0.1:8080/new/f.7z");
    EXPECT_EQ(THttpPeer::AbsoluteLocation(*on_8080, "FTP://h/x"), "FTP://h/x");
    EXPECT_EQ(THttpPeer::AbsoluteLocation(*on_8080, "https://h/x"), "");
    EXPECT_EQ(THttpPeer::AbsoluteLocation(*on_8080, "/go?to=http://h/x"),
              "http://127.0.0.1:8080/go?to=http://h/x");
}

TEST_F(HttpPeerTest, StatusClassesDecideTheSourceFate) {
    std::string status;
    Serve([&status](int, int64_t) { return Reply{"HTTP/1.1 " + status + "\r\n\r\n"}; });
    const auto answer = [&](const std::string& text, RefPtr<TPeerId> source) {
        status = text;
        THttpPeer peer(task_);
        EXPECT_TRUE(peer.Attach(source));
        EXPECT_EQ(RunToEnd(peer), End::kDropped) << text;
    };
    RefPtr<TPeerId> missing = Source();
    answer("404 Not Found", missing);
    ASSERT_EQ(task_.removed_sources.size(), 1u);
    EXPECT_EQ(task_.removed_sources[0], missing->url);
    EXPECT_EQ(missing->penalty, 0);

    RefPtr<TPeerId> busy = Source();
    answer("503 Service Unavailable", busy);
    EXPECT_EQ(busy->penalty, TPeerObject::kServerErrorPenalty);
    RefPtr<TPeerId> odd = Source();
    answer("102 Processing", odd);
    EXPECT_EQ(odd->penalty, 0);
    EXPECT_EQ(task_.removed_sources.size(), 1u);

    // A 2xx answer without any length cannot be downloaded.
    RefPtr<TPeerId> no_length = Source();
    answer("200 OK", no_length);
    EXPECT_EQ(no_length->UrlInfo().content_length, -1);
    EXPECT_TRUE(task_.writes.empty());
}

TEST_F(HttpPeerTest, ServerSizeDifferentFromTheTaskIsPenalized) {
    Serve([this](int, int64_t start) { return FileReply(content_.substr(0, kSize - 1), start); });
    RefPtr<TPeerId> source = Source();
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    EXPECT_EQ(source->penalty, TPeerObject::kServerErrorPenalty);
    EXPECT_TRUE(task_.writes.empty());
}

TEST_F(HttpPeerTest, WholeFileAnswerToARangedRequestIsNeverMisplaced) {
    // A server that ignores Range and always sends the whole file.
    Serve([this](int, int64_t) { return FileReply(content_, 0); });

    // Far in: the stream is skipped to the wanted bytes, which land where they belong.
    for (int32_t piece = 0; piece <= 4; ++piece) {
        task_.MarkPieceDone(piece);
    }
    RefPtr<TPeerId> source = Source();
    source->UrlInfo().content_length = kSize;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    ASSERT_EQ(Run(peer, [this] { return task_.BlocksDone() >= 7 * 4; }), End::kCondition);
    EXPECT_TRUE(source->UrlInfo().ranges_unsupported);
    EXPECT_EQ(RangeStart(server_->Recorded().at(0)), 5 * kPiece);
    EXPECT_TRUE(StoredMatches(5));
    EXPECT_TRUE(StoredMatches(6));
    for (int32_t block = 0; block < 5 * 4; ++block) {
        EXPECT_FALSE(BlockWritten(block)) << block;
    }
    EXPECT_EQ(source->penalty, 0);

    // A later connection asks it plainly (it would answer from the start anyway) and skips again.
    peer.Reset();
    source->connections = 1;
    for (int32_t piece = 7; piece <= 11; ++piece) {
        task_.MarkPieceDone(piece);
    }
    ASSERT_TRUE(peer.Attach(source));
    ASSERT_EQ(Run(peer, [this] { return task_.BlocksDone() >= 13 * 4; }), End::kCondition);
    ASSERT_EQ(server_->Recorded().size(), 2u);
    EXPECT_EQ(server_->Recorded().at(1).find("Range:"), std::string::npos);
    EXPECT_TRUE(StoredMatches(12));
    for (const FakePeerTask::Write& write : task_.writes) {
        EXPECT_TRUE(StoredMatches(write.block / 4)) << "block " << write.block;
    }
}

TEST_F(HttpPeerTest, WholeFileAnswerNearTheStartIsSkippedToTheWantedBytes) {
    Serve([this](int, int64_t) { return FileReply(content_, 0); });
    task_.MarkPieceDone(0);  // the wanted bytes start 64 KiB in
    RefPtr<TPeerId> source = Source();
    source->UrlInfo().content_length = kSize;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    ASSERT_EQ(Run(peer, [this] { return task_.BlocksDone() >= 12; }), End::kCondition);
    EXPECT_EQ(RangeStart(server_->Recorded().at(0)), kPiece);
    EXPECT_TRUE(StoredMatches(1));
    EXPECT_TRUE(StoredMatches(2));
    EXPECT_FALSE(BlockWritten(0));
}

TEST_F(HttpPeerTest, ContentRangeFromAnotherStartIsRefused) {
    // Asked for piece 5 on, the server answers 206 with the file from offset 0.
    Serve([this](int, int64_t) {
        return Reply{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-" +
                     std::to_string(kSize - 1) + "/" + std::to_string(kSize) + "\r\n\r\n" +
                     content_};
    });
    for (int32_t piece = 0; piece < 5; ++piece) {
        task_.MarkPieceDone(piece);
    }
    RefPtr<TPeerId> source = Source();
    source->UrlInfo().content_length = kSize;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    EXPECT_TRUE(task_.writes.empty());
    EXPECT_EQ(source->penalty, TPeerObject::kServerErrorPenalty);
}

TEST_F(HttpPeerTest, PartialContentThatStatesADifferentTotalIsRefused) {
    Serve([this](int, int64_t start) {
        return Reply{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                     std::to_string(start) + "-99999999/100000000\r\n\r\n" +
                     content_.substr(static_cast<size_t>(start))};
    });
    task_.MarkPieceDone(0);
    RefPtr<TPeerId> source = Source();
    source->UrlInfo().content_length = kSize;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    EXPECT_TRUE(task_.writes.empty());
}

TEST_F(HttpPeerTest, ShortBodiesLeaveOnlyWholeBlocks) {
    // The body stops one and a half blocks in and the server closes.
    Serve([this](int, int64_t start) {
        Reply reply = FileReply(content_, start);
        reply.bytes.resize(reply.bytes.find("\r\n\r\n") + 4 + kBlockSize + kBlockSize / 2);
        reply.close = true;
        return reply;
    });
    RefPtr<TPeerId> source = Source();
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    ASSERT_EQ(task_.writes.size(), 1u);
    EXPECT_EQ(task_.writes[0].block, 0);
    EXPECT_EQ(task_.Stored(0, kBlockSize), content_.substr(0, kBlockSize));
    EXPECT_EQ(task_.Stored(kBlockSize, kBlockSize), std::string(kBlockSize, '\0'));
    // The blocks it did not get went back to the task.
    ASSERT_FALSE(task_.shared_blocks.empty());
    EXPECT_EQ(task_.shared_blocks.front().block, 1);
}

TEST_F(HttpPeerTest, BytesPastTheDeclaredBodyAreNotFileData) {
    // 206 that declares a 20000-byte body, then sends garbage and keeps the connection open.
    Serve([this](int, int64_t start) {
        return Reply{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                     std::to_string(start) + "-" + std::to_string(kSize - 1) + "/" +
                     std::to_string(kSize) + "\r\nContent-Length: 20000\r\n\r\n" +
                     content_.substr(static_cast<size_t>(start), 20000) +
                     std::string(3 * kBlockSize, 'Z')};
    });
    task_.MarkPieceDone(0);
    RefPtr<TPeerId> source = Source();
    source->UrlInfo().content_length = kSize;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    ASSERT_EQ(task_.writes.size(), 1u);
    EXPECT_EQ(task_.writes[0].block, 4);
    EXPECT_EQ(task_.Stored(kPiece, kBlockSize), content_.substr(kPiece, kBlockSize));
}

TEST_F(HttpPeerTest, CodedBodiesAreRefused) {
    Serve([](int, int64_t) {
        return Reply{
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: "
            "chunked\r\n\r\n10\r\n0123456789abcdef\r\n0\r\n\r\n"};
    });
    RefPtr<TPeerId> source = Source();
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    EXPECT_TRUE(task_.writes.empty());
    EXPECT_EQ(source->penalty, TPeerObject::kServerErrorPenalty);
}

TEST_F(HttpPeerTest, StalledConnectionsTimeOut) {
    // The header and one block, then nothing.
    Serve([this](int, int64_t start) {
        Reply reply = FileReply(content_, start);
        reply.bytes.resize(reply.bytes.find("\r\n\r\n") + 4 + kBlockSize);
        return reply;
    });
    RefPtr<TPeerId> source = Source();
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    ASSERT_EQ(Run(peer, [this] { return task_.BlocksDone() == 1; }), End::kCondition);
    task_.now += 30;  // not more than 30 s since the block
    EXPECT_TRUE(peer.Pump());
    peer.SetRates(1500, 0);  // a slow connection gets twice as long
    task_.now += 25;
    EXPECT_TRUE(peer.Pump());
    peer.SetRates(0, 0);
    EXPECT_FALSE(peer.Pump());
    EXPECT_EQ(peer.Status(), TPeerObject::kStatusTimedOut);
    EXPECT_EQ(source->penalty, TPeerObject::kTimeoutPenalty);
    peer.Reset();

    // Before the header the limit is 15 s.
    Serve([](int, int64_t) { return Reply{"HTTP/1.1 200 OK\r\n"}; });
    RefPtr<TPeerId> quiet = Source();
    THttpPeer waiting(task_);
    ASSERT_TRUE(waiting.Attach(quiet));
    ASSERT_EQ(Run(waiting, [this] { return server_->Accepted() == 1; }), End::kCondition);
    task_.now += 15;
    EXPECT_TRUE(waiting.Pump());
    task_.now += 1;
    EXPECT_FALSE(waiting.Pump());
    EXPECT_EQ(quiet->penalty, TPeerObject::kTimeoutPenalty);
}

TEST_F(HttpPeerTest, FetchToMemoryCollectsTheBody) {
    const std::string torrent = content_.substr(0, 50000);
    bool with_length = true;
    Serve([&](int, int64_t) {
        if (with_length) {
            return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 50000\r\n\r\n" + torrent + "tail"};
        }
        // Small and sent at once: the header read takes the whole body and the close with it.
        return Reply{"HTTP/1.0 200 OK\r\n\r\n" + torrent.substr(0, 1000), 1 << 20, true};
    });

    RefPtr<TPeerId> source = Source("/t.torrent");
    source->UrlInfo().fetch_to_memory = true;
    source->role = TPeerId::kRoleTorrentLine;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(task_.task_state, kf::TaskState::kFirstAnswer);
    ASSERT_EQ(Run(peer, [&] { return source->UrlInfo().memory_done; }), End::kCondition);
    EXPECT_EQ(source->UrlInfo().memory_body, torrent);  // the bytes past the length are dropped
    EXPECT_TRUE(task_.writes.empty());
    peer.Reset();

    // Without a length the body ends with the connection.
    with_length = false;
    RefPtr<TPeerId> open_ended = Source("/t.torrent");
    open_ended->UrlInfo().fetch_to_memory = true;
    THttpPeer reader(task_);
    ASSERT_TRUE(reader.Attach(open_ended));
    Run(reader, [&] { return open_ended->UrlInfo().memory_done; });
    EXPECT_TRUE(open_ended->UrlInfo().memory_done);
    EXPECT_EQ(open_ended->UrlInfo().memory_body, torrent.substr(0, 1000));
}

// A script may send the torrent chunked: the body is whole only once its last chunk came.
TEST_F(HttpPeerTest, FetchToMemoryTakesAChunkedBody) {
    const std::string torrent = content_.substr(0, 40000);
    bool cut = false;
    Serve([&](int, int64_t) {
        std::string bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        for (size_t at = 0; at < torrent.size(); at += 7000) {
            const std::string part = torrent.substr(at, 7000);
            char size[16];
            std::snprintf(size, sizeof(size), "%zx", part.size());
            bytes += std::string(size) + "\r\n" + part + "\r\n";
        }
        if (cut) {
            bytes.resize(bytes.size() - 100);
        } else {
            bytes += "0\r\n\r\n";
        }
        return Reply{bytes, 3000, true};
    });

    RefPtr<TPeerId> source = Source("/t.torrent");
    source->UrlInfo().fetch_to_memory = true;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    ASSERT_EQ(Run(peer, [&] { return source->UrlInfo().memory_done; }), End::kCondition);
    EXPECT_EQ(source->UrlInfo().memory_body, torrent);
    peer.Reset();

    // The connection closes before the last chunk: the body is not taken for whole.
    cut = true;
    RefPtr<TPeerId> cut_source = Source("/t.torrent");
    cut_source->UrlInfo().fetch_to_memory = true;
    THttpPeer reader(task_);
    ASSERT_TRUE(reader.Attach(cut_source));
    EXPECT_EQ(RunToEnd(reader), End::kDropped);
    EXPECT_FALSE(cut_source->UrlInfo().memory_done);
    EXPECT_EQ(cut_source->penalty, TPeerObject::kServerErrorPenalty);
}

TEST_F(HttpPeerTest, FetchToMemoryRefusesHugeBodies) {
    Serve([](int, int64_t) {
        return Reply{"HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n" +
                     std::string(100000, 'x')};
    });
    RefPtr<TPeerId> source = Source("/big");
    source->UrlInfo().fetch_to_memory = true;
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), End::kDropped);
    EXPECT_TRUE(source->UrlInfo().memory_body.empty());
    EXPECT_FALSE(source->UrlInfo().memory_done);
}

}  // namespace
}  // namespace kf
