#include "core/diagnostics_collector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace lumidex {
namespace {

using namespace std::chrono_literals;
using Clock = DiagnosticsCollector::Clock;

TEST(DiagnosticsCollector, EventListIsCutToTheNewest500WhenItReaches1000) {
    DiagnosticsCollector collector;
    const auto t0 = Clock::now();
    for (int i = 0; i < 999; ++i) collector.record("fsevent.raw", std::to_string(i), t0);
    auto events = collector.recentEvents(5000);
    ASSERT_EQ(events.size(), 999u);
    EXPECT_EQ(events.front().detail, "0");

    collector.record("fsevent.raw", "999", t0);
    events = collector.recentEvents(5000);
    ASSERT_EQ(events.size(), 500u);
    EXPECT_EQ(events.front().detail, "500");
    EXPECT_EQ(events.back().detail, "999");
    EXPECT_EQ(collector.counter("fsevent.raw"), 1000);  // counters are never cut

    collector.record("ocr.page", "p", t0);
    EXPECT_EQ(collector.recentEvents(5000).size(), 501u);
}

TEST(DiagnosticsCollector, RecentEventsAreTheNewestInOrder) {
    DiagnosticsCollector collector;
    const auto t0 = Clock::now();
    for (int i = 0; i < 5; ++i) collector.record(i % 2 ? "a.b" : "c.d", std::to_string(i), t0 + i * 1s);
    const auto last3 = collector.recentEvents(3);
    ASSERT_EQ(last3.size(), 3u);
    EXPECT_EQ(last3[0].detail, "2");
    EXPECT_EQ(last3[2].detail, "4");
    EXPECT_EQ(last3[2].source, "c.d");
    EXPECT_EQ(last3[2].time, t0 + 4s);
    EXPECT_TRUE(collector.recentEvents(0).empty());
    EXPECT_EQ(collector.sources(), (std::vector<std::string>{"a.b", "c.d"}));
}

TEST(DiagnosticsCollector, RatesCountTheLast5And60SecondsRoundedToTwoDecimals) {
    DiagnosticsCollector collector;
    const auto now = Clock::now();
    for (auto age : {1s, 2s, 4s, 10s, 70s}) collector.record("mcp.tool_calls", "", now - age);
    const auto rates = collector.rates("mcp.tool_calls", now);
    EXPECT_EQ(rates.total, 5);
    EXPECT_DOUBLE_EQ(rates.perSec5s, 0.6);
    EXPECT_DOUBLE_EQ(rates.perSec60s, 0.07);  // 4 / 60

    const auto none = collector.rates("never.seen", now);
    EXPECT_EQ(none.total, 0);
    EXPECT_EQ(none.perSec5s, 0.0);
    EXPECT_EQ(none.perSec60s, 0.0);

    // A counter without recorded events has a total but no rate.
    collector.increment("ocr.page", 4);
    EXPECT_EQ(collector.rates("ocr.page", now).total, 4);
    EXPECT_EQ(collector.rates("ocr.page", now).perSec5s, 0.0);
}

TEST(DiagnosticsCollector, TimesPerSourceAreCutToTheNewest2048At4096) {
    DiagnosticsCollector collector;
    const auto now = Clock::now();
    for (int i = 0; i < 4095; ++i) collector.record("bdm.event.file", "", now);
    EXPECT_DOUBLE_EQ(collector.rates("bdm.event.file", now).perSec60s, 68.25);  // 4095 / 60
    collector.record("bdm.event.file", "", now);
    const auto rates = collector.rates("bdm.event.file", now);
    EXPECT_DOUBLE_EQ(rates.perSec60s, 34.13);  // 2048 / 60
    EXPECT_EQ(rates.total, 4096);
}

TEST(DiagnosticsCollector, CountersAddUpUnderConcurrentUse) {
    DiagnosticsCollector collector;
    collector.increment("mcp.requests", -2);
    EXPECT_EQ(collector.counter("mcp.requests"), -2);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&collector] {
            for (int i = 0; i < 5000; ++i) {
                collector.increment("mcp.requests");
                collector.record("mcp.protocol_errors", "x");
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(collector.counter("mcp.requests"), 19998);
    EXPECT_EQ(collector.counters().at("mcp.protocol_errors"), 20000);
    const auto events = collector.recentEvents(5000);
    EXPECT_GE(events.size(), 500u);
    EXPECT_LT(events.size(), 1000u);
    EXPECT_EQ(&DiagnosticsCollector::shared(), &DiagnosticsCollector::shared());
}

}  // namespace
}  // namespace lumidex
