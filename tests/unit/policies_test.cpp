// The clock-fed policies as tables: each row an event at a time (ms from the start), then what
// the policy does and when it next wants the clock (-1: not until another event).
#include <gtest/gtest.h>

#include "clipboard/list_throttle.hpp"
#include "input/pending_input.hpp"
#include "lifecycle/connect_steps.hpp"
#include "lifecycle/reconnect_policy.hpp"
#include "resize/resize_policy.hpp"

namespace korvane {
namespace {

using Time = std::chrono::steady_clock::time_point;
Time at(int ms) { return Time{} + std::chrono::hours(1) + std::chrono::milliseconds(ms); }
std::optional<Time> when(int ms) { return ms < 0 ? std::nullopt : std::optional(at(ms)); }

// q: request w x h, u: connection up, s: desktop is w x h, a: channel attached, d: detached,
// c: the channel's limits (area w * h, 0: none), x: act, expecting `want`.
struct ResizeRow {
  char event;
  int t, deadline;
  uint32_t w = 0, h = 0;
  ResizeAction want{};
};

void run(const std::vector<ResizeRow>& rows) {
  ResizePolicy p;
  for (const ResizeRow& r : rows) {
    SCOPED_TRACE(std::string(1, r.event) + " at " + std::to_string(r.t));
    ResizeAction got;
    switch (r.event) {
      case 'q': p.request(r.w, r.h, at(r.t)); break;
      case 'u': p.connection_up(at(r.t)); break;
      case 's': p.desktop(r.w, r.h); break;
      case 'a': p.channel_attached(at(r.t)); break;
      case 'd': p.channel_detached(at(r.t)); break;
      case 'c': p.caps({8192, 8192, uint64_t{r.w} * r.h}); break;
      case 'x': got = p.act(at(r.t)); break;
    }
    EXPECT_EQ(got, r.want);
    EXPECT_EQ(p.deadline(), when(r.deadline));
  }
}

constexpr auto kLayout = ResizeAction::layout;

TEST(ResizePolicy, ABurstBecomesOneLayoutOnceQuiet) {
  run({{'s', 0, -1, 1024, 768},
       {'u', 0, -1},
       {'a', 0, -1},
       {'c', 0, -1},
       {'q', 100, 300, 700, 500},
       {'q', 250, 450, 801, 587},  // the quiet starts again
       {'x', 449, 450},
       {'x', 450, -1, 0, 0, {kLayout, 800, 587}},
       {'x', 900, -1},  // nothing sent twice
       {'q', 1000, 1200, 1024, 768},
       {'x', 1200, -1},  // the desktop's size: nothing to ask
       {'a', 2000, -1},  // a new channel silent about its limits: the defaults
       {'q', 2000, 3000, 100000, 1},
       {'x', 3000, -1, 0, 0, {kLayout, 8192, 200}}});
}

TEST(ResizePolicy, ARequestWaitsForTheConnectionThenTheChannelAndItsLimits) {
  // Before the connection no deadline; then the channel has 3 s to come, its limits 1 s.
  run({{'q', 0, -1, 1920, 1080},
       {'u', 500, 3500},
       {'a', 600, 1600},
       {'x', 1599, 1600},
       {'c', 700, 200, 1280, 720},
       {'x', 700, -1, 0, 0, {kLayout, 1280, 720}}});
}

TEST(ResizePolicy, WithoutAChannelTheHostIsToldAfterTheGrace) {
  run({{'u', 0, -1},
       {'q', 10, 3000, 700, 500},
       {'q', 2900, 3100, 800, 600},  // quiet counts
       {'x', 3099, 3100},
       {'x', 3100, -1, 0, 0, {ResizeAction::refuse, 800, 600, {}, {}, RESIZE_REFUSED_NO_CHANNEL}},
       // A channel closed by a reactivation: a request waits for the new one as for the first.
       {'a', 4000, -1},
       {'d', 5000, -1},
       {'q', 5100, 8000, 640, 480},
       {'a', 5500, 6500},
       {'c', 5600, 5300},
       {'x', 5600, -1, 0, 0, {kLayout, 640, 480}}});
}

TEST(ResizePolicy, LayoutsAndScalesAsSizesAre) {
  const MonitorLayout two{{-800, 0, 800, 600}, {0, 0, 1024, 768, true}};
  const MonitorLayout framed{{0, 0, 800, 600}, {800, 0, 1024, 768, true}};
  ResizePolicy p;
  p.started_with({}, {});
  p.desktop(1024, 768);
  p.connection_up(at(0));
  p.channel_attached(at(0));
  p.caps({8192, 8192, 0, 2});
  p.request(1024, 768, at(0), {200, 180});  // the same size at another scale goes
  EXPECT_EQ(p.act(at(200)), (ResizeAction{kLayout, 1024, 768, {200, 180}}));
  p.request_layout(two, at(300));
  EXPECT_EQ(p.act(at(500)), (ResizeAction{kLayout, 1824, 768, {}, framed}));
  p.desktop(1824, 768);
  p.request_layout(two, at(600));  // what the desktop has: nothing
  EXPECT_EQ(p.act(at(800)), ResizeAction{});
  MonitorLayout three = two;
  three.push_back({1024, 0, 800, 600});
  p.request_layout(three, at(900));  // one more than the server takes
  EXPECT_EQ(p.act(at(1100)).reason, MONITORS_REFUSED_SERVER_LIMIT);
}

// The layout the host is told: the server's word when it covers the desktop (keeping the
// attributes asked for), the request's when the desktop has its size, else the desktop alone.
TEST(LayoutReport, WhoseLayoutTheHostHears) {
  MonitorLayout asked{{0, 0, 800, 600, true, 0, 0, 0, 150, 140}, {800, 0, 800, 600}};
  LayoutReport r;
  r.asked(asked);
  EXPECT_EQ(r.news(), std::nullopt);  // no desktop yet
  r.desktop(1600, 600);
  EXPECT_EQ(r.news(), asked);
  EXPECT_EQ(r.news(), std::nullopt);  // never twice the same
  r.server_said({{0, 0, 800, 600}, {800, 0, 800, 600, true}});
  MonitorLayout server = asked;
  std::swap(server[0].primary, server[1].primary);
  EXPECT_EQ(r.news(), server);
  r.desktop(1024, 768);  // took a size, not the monitors
  EXPECT_EQ(r.news(), (MonitorLayout{{0, 0, 1024, 768, true, 0, 0, 0, 150, 140}}));
}

// h: a host list (the step `want`), s: a list went out, a: the server answered, t: tick,
// r: the channel came or went.
struct ListRow {
  char event;
  int t;
  ListStep want;
  int deadline;
};

TEST(ListThrottle, OneListWithTheServerTheNewestWaitsAndATimeOutFreesIt) {
  const ListStep W = ListStep::wait, S = ListStep::send;
  const ListRow rows[] = {
      {'h', 0, S, -1},
      {'s', 0, W, -1},  // the first goes at once
      {'h', 10, W, 2000},
      {'h', 20, W, 2000},  // held, the newer replacing the older
      {'t', 1999, W, 2000},
      {'a', 30, S, -1},  // an answer lets the newest go
      {'s', 30, W, -1},
      {'t', 5000, W, -1},  // nothing held, nothing due
      {'h', 40, W, 2030},
      {'t', 2029, W, 2030},  // the server never answers:
      {'t', 2030, ListStep::send_late, -1},
      {'s', 2030, W, -1},
      {'h', 2040, W, 4030},
      {'r', 2050, W, -1},
      {'h', 2060, S, -1},  // a new channel: nothing awaited
      {'h', 2070, S, -1},  // the library did not take the last one: nothing awaited either
      {'s', 2080, W, -1},
      {'h', 4080, S, -1},  // a time-out passed: the next goes at once
  };
  ListThrottle p;
  for (const ListRow& r : rows) {
    SCOPED_TRACE("row at " + std::to_string(r.t));
    ListStep got = ListStep::wait;
    switch (r.event) {
      case 'h': got = p.host_list(at(r.t)); break;
      case 's': p.sent(at(r.t)); break;
      case 'a': got = p.answered(); break;
      case 't': got = p.tick(at(r.t)); break;
      case 'r': p.reset(); break;
    }
    EXPECT_EQ(got, r.want);
    EXPECT_EQ(p.deadline(), when(r.deadline));
  }
}

PendingInput key(uint16_t code) { return {InputKind::key, 0, code, 0}; }

TEST(PendingInput, HeldInOrderUntilTheConnectionIsUpAndBounded) {
  PendingInputQueue q;
  EXPECT_FALSE(q.offer(key(1)));
  EXPECT_FALSE(q.offer({InputKind::unicode, 0, 0, 0, 0x1F600}));
  EXPECT_EQ(q.connection_up(),
            (std::vector<PendingInput>{key(1), {InputKind::unicode, 0, 0, 0, 0x1F600}}));
  EXPECT_TRUE(q.offer(key(2)));
  EXPECT_TRUE(q.connection_up().empty());  // nothing sent twice
  q.connection_down();                     // a reconnection holds input again
  for (uint16_t i = 0; i < kMaxPendingInput + 2; ++i) EXPECT_FALSE(q.offer(key(i)));
  const std::vector<PendingInput> out = q.connection_up();
  ASSERT_EQ(out.size(), kMaxPendingInput);  // the oldest two dropped
  EXPECT_EQ(out.front(), key(2));
  EXPECT_EQ(out.back(), key(kMaxPendingInput + 1));
}

TEST(ConnectSteps, EachOnceInOrderNoneLeftOut) {
  const struct {
    uint8_t reached;
    std::vector<uint8_t> sent;
  } rows[] = {{1, {1}}, {3, {2, 3}}, {2, {}}, {3, {}}, {4, {4}}, {1, {}}};
  ConnectSteps steps;
  for (const auto& r : rows) EXPECT_EQ(steps.reach(r.reached), r.sent) << int{r.reached};
  EXPECT_EQ(steps.last(), 4);
}

TEST(ReconnectAttempts, EveryAttemptWithAGrowingWaitUnlessOneFailsForGood) {
  const EndFacts dropped{0x0002000D}, logon_failed{0x00020014};  // transport; logon: for good
  ReconnectAttempts a({3, 200});
  for (const ReconnectAttempt want : {ReconnectAttempt{1, 200}, {2, 400}, {3, 800}}) {
    EXPECT_EQ(a.next(), want);
    a.failed(dropped);
  }
  EXPECT_EQ(a.next(), std::nullopt);
  EXPECT_EQ(a.made(), 3u);
  ReconnectAttempts b({5, 100});  // one that would fail again is not repeated
  EXPECT_EQ(b.next(), (ReconnectAttempt{1, 100}));
  b.failed(logon_failed);
  EXPECT_EQ(b.next(), std::nullopt);
  EXPECT_EQ(b.made(), 1u);
}

}  // namespace
}  // namespace korvane
