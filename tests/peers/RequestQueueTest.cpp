#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <utility>
#include <vector>

#include "engine/peers/RequestQueue.h"

namespace kf {
namespace {

constexpr int32_t kPieceLength = 4 * kBlockSize;

// A plain model of the queue: a deque and a bare counter, each operation's index arithmetic written
// out step by step.
struct Model {
    std::deque<BlockRequest> requests;
    int32_t outstanding = 0;

    static bool InPiece(const BlockRequest& r, int64_t piece) {
        return int64_t{r.block} * kBlockSize / kPieceLength == piece;
    }
    bool TakeAnswered(const BlockRequest& wanted, bool sent_only) {
        const size_t searched = sent_only ? static_cast<size_t>(outstanding) : requests.size();
        for (size_t i = 0; i < searched; ++i) {
            if (requests[i] == wanted) {
                requests.erase(requests.begin() + static_cast<std::ptrdiff_t>(i));
                outstanding -= static_cast<int32_t>(i) < outstanding ? 1 : 0;
                return true;
            }
        }
        return false;
    }
    std::deque<BlockRequest> TakePiece(int64_t piece) {
        std::deque<BlockRequest> back;
        for (size_t i = 0; i < requests.size();) {
            if (!InPiece(requests[i], piece)) {
                ++i;
                continue;
            }
            back.push_back(requests[i]);
            requests.erase(requests.begin() + static_cast<std::ptrdiff_t>(i));
            outstanding -= static_cast<int32_t>(i) < outstanding ? 1 : 0;
        }
        return back;
    }
    void DropUnsentOfPiece(int64_t piece) {
        requests.erase(std::remove_if(requests.begin() + outstanding, requests.end(),
                                      [&](const BlockRequest& r) { return InPiece(r, piece); }),
                       requests.end());
    }
    // What is sent is decided before anything goes: the first `outstanding` entries. Answers the
    // dropped requests that were sent (the ones to cancel).
    std::vector<BlockRequest> DropDone(const std::vector<bool>& done) {
        std::deque<BlockRequest> kept;
        std::vector<BlockRequest> cancels;
        int32_t kept_sent = 0;
        for (size_t i = 0; i < requests.size(); ++i) {
            const bool sent = static_cast<int32_t>(i) < outstanding;
            if (!done[static_cast<size_t>(requests[i].block)]) {
                kept.push_back(requests[i]);
                kept_sent += sent ? 1 : 0;
            } else if (sent) {
                cancels.push_back(requests[i]);
            }
        }
        requests = kept;
        outstanding = kept_sent;
        return cancels;
    }
};

// Random BT, HTTP and FTP steps: the queue holds the same requests and count as the model after
// every step, the count never leaves 0..size, and a walk that drops requests calls exactly the
// ones that were sent in flight (only those are cancelled).
TEST(RequestQueue, RandomStepsMatchAPlainModel) {
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        RequestQueue queue;
        Model model;
        const auto block = [&] {
            return BlockRequest{static_cast<int32_t>(rng() % 24), kBlockSize, 0};
        };
        for (int step = 0; step < 300; ++step) {
            switch (rng() % 10) {
                case 0:
                case 1: {
                    const BlockRequest r = block();
                    queue.Push(r);
                    model.requests.push_back(r);
                    break;
                }
                case 2:
                    if (static_cast<size_t>(model.outstanding) < model.requests.size()) {
                        EXPECT_EQ(queue.NextToSend(), model.requests[model.outstanding]);
                        if (rng() % 4 == 0) {
                            queue.DropNextToSend();
                            model.requests.erase(model.requests.begin() + model.outstanding);
                        } else {
                            queue.MarkSent();
                            ++model.outstanding;
                        }
                    }
                    break;
                case 3: {
                    const auto run = static_cast<int32_t>(rng() % (model.requests.size() + 1));
                    queue.StartRun(run);
                    model.outstanding = run;
                    break;
                }
                case 4: {
                    const BlockRequest r = block();
                    const bool sent_only = rng() % 2 == 0;
                    EXPECT_EQ(queue.TakeAnswered(r, sent_only), model.TakeAnswered(r, sent_only));
                    break;
                }
                case 5: {
                    const int64_t piece = rng() % 6;
                    EXPECT_EQ(queue.TakePiece(PieceIndex(piece), kPieceLength),
                              model.TakePiece(piece));
                    break;
                }
                case 6: {
                    const int64_t piece = rng() % 6;
                    queue.DropUnsentOfPiece(PieceIndex(piece), kPieceLength);
                    model.DropUnsentOfPiece(piece);
                    break;
                }
                case 7: {
                    std::vector<bool> done(24);
                    for (size_t b = 0; b < done.size(); ++b) {
                        done[b] = rng() % 3 == 0;
                    }
                    std::vector<BlockRequest> cancels;
                    queue.DropIf([&](BlockRequest& r, bool in_flight) {
                        if (done[r.block] && in_flight) {
                            cancels.push_back(r);
                        }
                        return done[r.block];
                    });
                    EXPECT_EQ(cancels, model.DropDone(done));
                    break;
                }
                case 8:
                    if (rng() % 8 == 0) {
                        EXPECT_EQ(queue.TakeAll(), model.requests);
                        model = Model{};
                    } else {
                        queue.ForgetInFlight();
                        model.outstanding = 0;
                    }
                    break;
                default:
                    if (!model.requests.empty() && model.outstanding == 0) {
                        queue.DropFront();
                        model.requests.pop_front();
                    }
                    break;
            }
            ASSERT_EQ(std::deque<BlockRequest>(queue.begin(), queue.end()), model.requests)
                << "seed " << seed << " step " << step;
            ASSERT_EQ(queue.InFlight(), model.outstanding) << "seed " << seed << " step " << step;
            ASSERT_LE(static_cast<size_t>(queue.InFlight()), queue.size());
        }
    }
}

// The case the per-second cancel walk meets: sent 0, 1, 2, unsent 3, 4. Dropping 0 (sent) and 3
// (unsent) must cancel 0 alone and leave 1 and 2 in flight and 4 to be sent; judged by positions
// that moved as requests went, 3 would have looked sent and 2 unsent (sent again later, and its
// second answer taken for a block nobody asked for).
TEST(RequestQueue, DropIfJudgesInFlightByThePositionsBeforeTheWalk) {
    RequestQueue queue;
    for (int32_t block = 0; block < 5; ++block) {
        queue.Push(BlockRequest{block, kBlockSize, 0});
    }
    for (int i = 0; i < 3; ++i) {
        queue.MarkSent();
    }
    std::vector<std::pair<int32_t, bool>> seen;
    queue.DropIf([&](const BlockRequest& r, bool in_flight) {
        seen.emplace_back(r.block, in_flight);
        return r.block == 0 || r.block == 3;
    });
    EXPECT_EQ(seen, (std::vector<std::pair<int32_t, bool>>{
                        {0, true}, {1, true}, {2, true}, {3, false}, {4, false}}));
    EXPECT_EQ(queue.InFlight(), 2);
    EXPECT_TRUE(queue.IsInFlight(BlockRequest{1, kBlockSize, 0}));
    EXPECT_TRUE(queue.IsInFlight(BlockRequest{2, kBlockSize, 0}));
    EXPECT_EQ(queue.NextToSend().block, 4);

    // Everything sent goes: nothing stays counted.
    queue.DropIf([](const BlockRequest&, bool in_flight) { return in_flight; });
    EXPECT_EQ(queue.InFlight(), 0);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.front().block, 4);
}

}  // namespace
}  // namespace kf
