#include "engine/net/BufferPool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kf {
namespace {

TEST(BufferPool, NewBuffersCarryANulAfterTheirBytes) {
    auto pool = BufferPool::Create();
    BufferPool::Buffer buffer = pool->Take(37);
    ASSERT_FALSE(buffer.empty());
    EXPECT_EQ(buffer.size(), 37u);
    EXPECT_EQ(buffer.data()[37], 0);
    EXPECT_TRUE(pool->Take(0).empty());
}

TEST(BufferPool, ReusesExactSizeFirstThenWithinTolerance) {
    auto pool = BufferPool::Create();
    BufferPool::Buffer a = pool->Take(1100);
    BufferPool::Buffer b = pool->Take(100);
    const uint8_t* a_bytes = a.data();
    const uint8_t* b_bytes = b.data();
    a.Release();
    b.Release();
    EXPECT_EQ(pool->FreeCount(), 2u);

    // Exact size wins even though the 1100-byte buffer comes first in the list.
    BufferPool::Buffer exact = pool->Take(100);
    EXPECT_EQ(exact.data(), b_bytes);
    exact.Release();

    // 1100 is larger than 101 by 999, far above min(101, 1024): not reused.
    BufferPool::Buffer fresh = pool->Take(101);
    EXPECT_NE(fresh.data(), a_bytes);
    EXPECT_NE(fresh.data(), b_bytes);
    // 1100 - 1050 = 50 < 1024: reused, with its own (larger) size.
    BufferPool::Buffer close = pool->Take(1050);
    EXPECT_EQ(close.data(), a_bytes);
    EXPECT_EQ(close.size(), 1100u);
}

TEST(BufferPool, LargeRequestsToleranceIsCappedAt1024) {
    auto pool = BufferPool::Create();
    BufferPool::Buffer big = pool->Take(10000);
    const uint8_t* bytes = big.data();
    big.Release();
    EXPECT_NE(pool->Take(10000 - 1024).data(), bytes);
    EXPECT_EQ(pool->Take(10000 - 1023).data(), bytes);
}

TEST(BufferPool, CountersAndTrimInListOrder) {
    auto pool = BufferPool::Create();
    {
        BufferPool::Buffer a = pool->Take(1000);
        BufferPool::Buffer b = pool->Take(2000);
        BufferPool::Buffer c = pool->Take(3000);
        EXPECT_EQ(pool->InUseBytes(), 6000u);
        EXPECT_EQ(pool->InUseCount(), 3u);
        EXPECT_EQ(pool->FreeBytes(), 0u);
    }  // released in reverse order: c, b, a
    EXPECT_EQ(pool->InUseBytes(), 0u);
    EXPECT_EQ(pool->FreeBytes(), 6000u);
    EXPECT_EQ(pool->FreeCount(), 3u);

    // c (3000) fits into 4000, c + b would not: b and a go even though a alone would fit.
    pool->Trim(4000);
    EXPECT_EQ(pool->FreeCount(), 1u);
    EXPECT_EQ(pool->FreeBytes(), 3000u);
    pool->Trim(0);
    EXPECT_EQ(pool->FreeCount(), 0u);
    EXPECT_EQ(pool->FreeBytes(), 0u);
}

TEST(BufferPool, FreeListStaysWithinItsKeepBudget) {
    auto pool = BufferPool::Create(10000);
    // Buffers of ever new sizes, as a growing receive buffer leaves behind.
    for (size_t n = 1000; n < 5000; n += 300) {
        pool->Take(n).Release();
        EXPECT_LE(pool->FreeBytes(), 10000u);
    }
    EXPECT_EQ(pool->InUseBytes(), 0u);
    pool->Trim(0);

    BufferPool::Buffer a = pool->Take(4000);
    BufferPool::Buffer b = pool->Take(5000);
    const uint8_t* b_bytes = b.data();
    a.Release();
    b.Release();
    EXPECT_EQ(pool->FreeBytes(), 9000u);
    // The oldest (a) makes room for the newest.
    pool->Take(2500).Release();
    EXPECT_EQ(pool->FreeCount(), 2u);
    EXPECT_EQ(pool->FreeBytes(), 7500u);
    EXPECT_EQ(pool->Take(5000).data(), b_bytes);

    // A buffer beyond the whole budget is freed, not kept, and evicts nothing.
    pool->Take(10001).Release();
    EXPECT_EQ(pool->FreeCount(), 2u);
    EXPECT_EQ(pool->FreeBytes(), 7500u);
}

TEST(BufferPool, SocketPoolKeepsAtMostItsBudget) {
    auto pool = SocketBufferPool();
    // 64 buffers of distinct sizes between 1 and 4 MiB: 160 MiB if all were kept.
    for (size_t i = 0; i < 64; ++i) {
        pool->Take((1u << 20) + i * 48 * 1024).Release();
        ASSERT_LE(pool->FreeBytes(), kSocketPoolKeepBytes);
    }
}

TEST(BufferPool, BufferOutlivesEveryOtherOwnerOfItsPool) {
    BufferPool::Buffer survivor;
    std::weak_ptr<BufferPool> watch;
    {
        auto pool = BufferPool::Create();
        watch = pool;
        survivor = pool->Take(64);
    }
    EXPECT_FALSE(watch.expired());
    survivor.Release();
    EXPECT_TRUE(watch.expired());
}

TEST(BufferPool, MovedHandleReturnsOnce) {
    auto pool = BufferPool::Create();
    BufferPool::Buffer first = pool->Take(10);
    BufferPool::Buffer second = std::move(first);
    EXPECT_TRUE(first.empty());
    BufferPool::Buffer third = pool->Take(20);
    third = std::move(second);  // the 20-byte buffer goes back, the 10-byte one moves
    EXPECT_EQ(pool->FreeCount(), 1u);
    EXPECT_EQ(pool->FreeBytes(), 20u);
    third.Release();
    EXPECT_EQ(pool->FreeCount(), 2u);
    EXPECT_EQ(pool->InUseCount(), 0u);
}

TEST(BufferPool, ThreadsShareOnePool) {
    auto pool = BufferPool::Create();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([pool, t] {
            for (int i = 0; i < 2000; ++i) {
                BufferPool::Buffer buffer = pool->Take(static_cast<size_t>(64 + (i + t) % 7));
                buffer.data()[0] = static_cast<uint8_t>(i);
                if (i % 100 == 0) {
                    pool->Trim(256);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(pool->InUseCount(), 0u);
    EXPECT_EQ(pool->InUseBytes(), 0u);
}

}  // namespace
}  // namespace kf
