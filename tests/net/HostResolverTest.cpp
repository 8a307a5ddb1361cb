#include "engine/net/HostResolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "SingleConnectionServer.h"
#include "engine/net/Ipv4Address.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using Clock = std::chrono::steady_clock;

uint32_t Loopback() {
    return ParseDottedAddress("127.0.0.1");
}

// A fake lookup that counts its calls and answers what the test set.
struct FakeDns {
    std::atomic<int> calls{0};
    std::mutex mutex;
    HostLookupAnswer answer{HostResolver::kHostNotFound, {}};

    void Answer(HostLookupAnswer next) {
        std::lock_guard lock(mutex);
        answer = std::move(next);
    }
    static HostLookupFunction Bind(const std::shared_ptr<FakeDns>& dns) {
        return [dns](const std::string&) {
            ++dns->calls;
            std::lock_guard lock(dns->mutex);
            return dns->answer;
        };
    }
};

// A lookup that does not answer until released.
struct StuckDns {
    std::mutex mutex;
    std::condition_variable released_cv;
    bool released = false;
    std::atomic<bool> answered{false};

    void Release() {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        released_cv.notify_all();
    }
    static HostLookupFunction Bind(const std::shared_ptr<StuckDns>& dns) {
        return [dns](const std::string&) {
            std::unique_lock lock(dns->mutex);
            dns->released_cv.wait_for(lock, std::chrono::seconds(20),
                                      [&] { return dns->released; });
            dns->answered = true;
            return HostLookupAnswer{0, {ParseDottedAddress("127.0.0.9")}};
        };
    }
};

struct EventLog : EventSink {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> events;

    void Submit(std::string_view code, std::string_view text) override {
        std::lock_guard lock(mutex);
        events.emplace_back(code, text);
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return events.size();
    }
};

TEST(HostResolver, NumericHostsNeedNoLookup) {
    HostResolver resolver;
    auto dns = std::make_shared<FakeDns>();
    resolver.SetLookupFunction(FakeDns::Bind(dns));
    std::vector<uint32_t> list;
    EXPECT_EQ(resolver.ResolveHostAddresses("127.0.0.1", list), 1);
    EXPECT_EQ(list, std::vector<uint32_t>{Loopback()});
    EXPECT_EQ(resolver.ResolveHostAddresses("0.0.0.0", list), 0);
    EXPECT_EQ(resolver.ResolveHostAddresses("1.2.3.999", list), 0);
    EXPECT_EQ(resolver.ResolveHostAddresses("", list), 0);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(resolver.ResolveHost("127.0.0.1"), Loopback());
    EXPECT_EQ(resolver.ResolveHost("0.0.0.0"), kNoAddress);
    EXPECT_EQ(resolver.ResolveHost(""), kNoAddress);
    EXPECT_EQ(dns->calls.load(), 0);
    // A name that merely starts with digits is a name, not a broken address.
    EXPECT_EQ(resolver.ResolveHost("163.example"), kNoAddress);
    EXPECT_EQ(dns->calls.load(), 1);
}

TEST(HostResolver, LocalhostThroughTheSystemResolver) {
    HostResolver resolver;
    EXPECT_EQ(resolver.ResolveHost("localhost"), Loopback());
    std::vector<uint32_t> list;
    EXPECT_GE(resolver.ResolveHostAddresses("localhost", list), 1);
    EXPECT_NE(std::find(list.begin(), list.end(), Loopback()), list.end());
    EXPECT_FALSE(resolver.DnsFailureReported());
}

TEST(HostResolver, HostNotFoundIsRememberedUntilTheListIsEmptied) {
    HostResolver resolver;
    auto dns = std::make_shared<FakeDns>();
    resolver.SetLookupFunction(FakeDns::Bind(dns));

    EXPECT_EQ(resolver.ResolveHost("gone.example"), kNoAddress);
    EXPECT_EQ(dns->calls.load(), 1);
    EXPECT_TRUE(resolver.IsUnresolvable("gone.example"));
    EXPECT_TRUE(resolver.IsUnresolvable("GONE.example"));
    // Answered at once, even though the name would resolve now.
    dns->Answer({0, {Loopback()}});
    EXPECT_EQ(resolver.ResolveHost("gone.example"), kNoAddress);
    EXPECT_EQ(dns->calls.load(), 1);

    resolver.ClearUnresolvableHosts();
    EXPECT_EQ(resolver.ResolveHost("gone.example"), Loopback());
    EXPECT_EQ(dns->calls.load(), 2);
}

TEST(HostResolver, WhichFailuresMarkANameUnresolvable) {
    HostResolver resolver;
    auto dns = std::make_shared<FakeDns>();
    resolver.SetLookupFunction(FakeDns::Bind(dns));
    std::vector<uint32_t> list;

    // The address list call remembers "no data" too; the single-address call only "not found".
    dns->Answer({HostResolver::kNoData, {}});
    EXPECT_EQ(resolver.ResolveHost("nodata.example"), kNoAddress);
    EXPECT_FALSE(resolver.IsUnresolvable("nodata.example"));
    EXPECT_EQ(resolver.ResolveHostAddresses("nodata.example", list), -1);
    EXPECT_TRUE(resolver.IsUnresolvable("nodata.example"));

    // A temporary failure is not remembered by either.
    dns->Answer({HostResolver::kTryAgain, {}});
    EXPECT_EQ(resolver.ResolveHostAddresses("flaky.example", list), -1);
    EXPECT_EQ(resolver.ResolveHost("flaky.example"), kNoAddress);
    EXPECT_FALSE(resolver.IsUnresolvable("flaky.example"));
    EXPECT_TRUE(list.empty());

    dns->Answer({HostResolver::kHostNotFound, {}});
    EXPECT_EQ(resolver.ResolveHostAddresses("gone.example", list), -1);
    EXPECT_EQ(resolver.ResolveHostAddresses("gone.example", list), -1);
    EXPECT_EQ(resolver.UnresolvableCount(), 2u);
}

TEST(HostResolver, AddressListKeepsValidAddressesInOrder) {
    HostResolver resolver;
    auto dns = std::make_shared<FakeDns>();
    resolver.SetLookupFunction(FakeDns::Bind(dns));
    std::vector<uint32_t> many;
    for (uint32_t i = 0; i < 300; ++i) {
        many.push_back(ToNetworkOrder(0x7F000000u + 1 + i));
    }
    many[1] = 0;
    many[2] = kNoAddress;
    dns->Answer({0, many});
    std::vector<uint32_t> list{ParseDottedAddress("127.9.9.9")};
    EXPECT_EQ(resolver.ResolveHostAddresses("multi.example", list), 254);  // 256 kept, 2 invalid
    ASSERT_EQ(list.size(), 255u);
    EXPECT_EQ(list[1], many[0]);
    EXPECT_EQ(list[2], many[3]);
}

TEST(HostResolver, DnsFailureEventOnceUntilASuccessReArmsIt) {
    test::TempDir dir;
    ASSERT_TRUE(test::WriteFile(dir / "resolv.conf",
                                "# comment\nsearch lan\nnameserver 10.0.0.53\n"
                                "nameserver\t10.0.0.54 # backup\nnameservers 1.1.1.1\n"));
    HostResolver resolver;
    auto dns = std::make_shared<FakeDns>();
    resolver.SetLookupFunction(FakeDns::Bind(dns));
    resolver.SetResolverConfigPath(dir / "resolv.conf");
    auto log_owner = std::make_shared<EventLog>();
    EventLog& log = *log_owner;
    resolver.SetEventSink(log_owner);
    std::vector<uint32_t> list;

    EXPECT_EQ(resolver.ResolveHostAddresses("gone.example", list), -1);
    EXPECT_EQ(resolver.ResolveHostAddresses("other.example", list), -1);
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.events[0].first, "11500106");
    EXPECT_EQ(
        log.events[0].second,
        "ErrCode : (11001) Host : (gone.example) , DNS : (10.0.0.53), 备用 DNS : (10.0.0.54)");
    EXPECT_TRUE(resolver.DnsFailureReported());

    // ResolveHost failures send nothing and do not re-arm.
    dns->Answer({0, {Loopback()}});
    resolver.ClearUnresolvableHosts();
    EXPECT_EQ(resolver.ResolveHost("back.example"), Loopback());
    EXPECT_TRUE(resolver.DnsFailureReported());

    EXPECT_EQ(resolver.ResolveHostAddresses("back.example", list), 1);
    EXPECT_FALSE(resolver.DnsFailureReported());
    dns->Answer({HostResolver::kTryAgain, {}});
    resolver.SetResolverConfigPath(dir / "missing.conf");
    EXPECT_EQ(resolver.ResolveHostAddresses("gone.example", list), -1);
    ASSERT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.events[1].second, "ErrCode : (11002) Host : (gone.example) , no DNS");
}

TEST(HostResolver, DnsServersTextWithoutServers) {
    test::TempDir dir;
    ASSERT_TRUE(test::WriteFile(dir / "resolv.conf", "search lan\n"));
    EXPECT_EQ(DnsServersText(dir / "resolv.conf"), ", no DNS");
    std::string many;
    for (int i = 0; i < 20; ++i) {
        many += "nameserver 10.0.0." + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(test::WriteFile(dir / "many.conf", many));
    const std::string text = DnsServersText(dir / "many.conf");
    EXPECT_EQ(text.rfind(", DNS : (10.0.0.0)", 0), 0u);
    EXPECT_NE(text.find("(10.0.0.7)"), std::string::npos);
    EXPECT_EQ(text.find("(10.0.0.8)"), std::string::npos);  // at most eight servers
}

TEST(HostResolver, EngineDefaultBoundIsThreeSeconds) {
    HostResolver resolver;
    EXPECT_EQ(resolver.LookupTimeoutMs(), 3000);
    auto dns = std::make_shared<StuckDns>();
    resolver.SetLookupFunction(StuckDns::Bind(dns));
    std::vector<uint32_t> list;
    const auto start = Clock::now();
    EXPECT_EQ(resolver.ResolveHostAddresses("slow.example", list), -1);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(6000));
    // A time-out is not "host not found".
    EXPECT_FALSE(resolver.IsUnresolvable("slow.example"));
    EXPECT_TRUE(list.empty());
    dns->Release();
    EXPECT_TRUE(test::WaitFor([&] { return resolver.PendingLookups() == 0; }));
}

TEST(HostResolver, LateAnswerIsDiscardedEvenAfterTheResolverIsGone) {
    auto dns = std::make_shared<StuckDns>();
    std::weak_ptr<StuckDns> watch = dns;
    {
        HostResolver resolver;
        resolver.SetLookupTimeoutMs(100);
        resolver.SetLookupFunction(StuckDns::Bind(dns));
        std::vector<uint32_t> list;
        EXPECT_EQ(resolver.ResolveHostAddresses("late.example", list), -1);
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(resolver.ResolveHost("late.example"), kNoAddress);
        EXPECT_EQ(resolver.PendingLookups(), 2);
    }
    // The lookups answer now; their threads must only touch what they own.
    dns->Release();
    ASSERT_TRUE(test::WaitFor([&] { return dns->answered.load(); }));
    dns.reset();
    EXPECT_TRUE(test::WaitFor([&] { return watch.expired(); }));
}

TEST(HostResolver, ConcurrentCallersEachGetTheirOwnAnswer) {
    HostResolver resolver;
    resolver.SetLookupFunction([](const std::string& host) {
        // 127.0.0.<length of the name>
        return HostLookupAnswer{0,
                                {ToNetworkOrder(0x7F000000u + static_cast<uint32_t>(host.size()))}};
    });
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 1; t <= 8; ++t) {
        threads.emplace_back([&resolver, &wrong, t] {
            const std::string host(static_cast<size_t>(t), 'h');
            for (int i = 0; i < 20; ++i) {
                if (resolver.ResolveHost(host) != ToNetworkOrder(0x7F000000u + t)) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(test::WaitFor([&] { return resolver.PendingLookups() == 0; }));
}

TEST(HostResolver, LocalAddressIsSomeInterfaceAddress) {
    EXPECT_NE(LocalAddress(), kNoAddress);
    EXPECT_NE(LocalAddress(), 0u);
}

}  // namespace
}  // namespace kf
