// The certificate decision's pure parts: the session's mode, pinning, name matching, and the
// verdict hand-over between the thread that asks and the thread that answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "certificate/cert_policy.hpp"

using namespace korvane;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(CertMode, OnlyAGrantedExtensionChooses) {
  Extensions ext;
  ext.present = true;
  ext.wanted = EXT_CERTIFICATE;
  ext.cert_mode = CERT_MODE_ASK;
  EXPECT_EQ(effective_cert_mode(ext, grant_extensions(ext)), CERT_MODE_ASK);
  EXPECT_EQ(effective_cert_mode(ext, Grant{}), CERT_MODE_ACCEPT_ANY);  // not granted
  ext.cert_mode = CERT_MODE_PINNED;
  EXPECT_EQ(effective_cert_mode(ext, grant_extensions(ext)), CERT_MODE_PINNED);
  ext.cert_mode.reset();  // asked for the extension, named no mode
  EXPECT_EQ(effective_cert_mode(ext, grant_extensions(ext)), CERT_MODE_ACCEPT_ANY);
  Extensions other;  // a mode without the extension's bit
  other.present = true;
  other.wanted = EXT_CURSOR;
  other.cert_mode = CERT_MODE_ASK;
  EXPECT_EQ(effective_cert_mode(other, grant_extensions(other)), CERT_MODE_ACCEPT_ANY);
}

TEST(CertMode, GrantIncludesTheExtension) {
  Extensions ext;
  ext.present = true;
  ext.wanted = EXT_CERTIFICATE | EXT_CURSOR;
  EXPECT_EQ(grant_extensions(ext).mask & EXT_CERTIFICATE, EXT_CERTIFICATE);
}

TEST(CertPin, ExactMatchOnly) {
  Fingerprint a{}, b{}, c{};
  a[0] = 1;
  b[31] = 1;
  c = a;
  c[31] = 0x80;
  const std::vector<Fingerprint> pins = {a, b};
  EXPECT_TRUE(fingerprint_pinned(a, pins));
  EXPECT_TRUE(fingerprint_pinned(b, pins));
  EXPECT_FALSE(fingerprint_pinned(c, pins));
  EXPECT_FALSE(fingerprint_pinned(a, {}));
}

TEST(CertName, Table) {
  struct Row {
    const char* pattern;
    const char* host;
    bool match;
  };
  const Row rows[] = {
      {"server.example.com", "server.example.com", true},
      {"Server.Example.COM", "server.example.com", true},
      {"server.example.com.", "server.example.com", true},
      {"server.example.com", "server.example.com.", true},
      {"server.example.com", "other.example.com", false},
      {"server.example.com", "server.example.co", false},
      {"*.example.com", "server.example.com", true},
      {"*.example.com", "a.b.example.com", false},  // one label only
      {"*.example.com", "example.com", false},
      {"*.example.com", ".example.com", false},
      {"*.com", "example.com", false},  // too broad to mean anything
      {"*.0.0.1", "127.0.0.1", false},  // never for an address
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"", "server", false},
      {"server", "", false},
      {"s*.example.com", "server.example.com", false},  // partial wildcards are not honoured
  };
  for (const auto& r : rows)
    EXPECT_EQ(certificate_name_matches(r.pattern, r.host), r.match)
        << r.pattern << " vs " << r.host;
}

TEST(VerdictBox, NoQuestionNoVerdict) {
  VerdictBox box;
  EXPECT_FALSE(box.deliver(true));
}

TEST(VerdictBox, AnswerFromAnotherThread) {
  for (bool accept : {true, false}) {
    VerdictBox box;
    box.open();
    std::thread answer([&] {
      std::this_thread::sleep_for(50ms);
      EXPECT_TRUE(box.deliver(accept));
    });
    const auto t0 = Clock::now();
    const auto v = box.wait(Clock::now() + 10s, [] { return false; });
    answer.join();
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, accept);
    EXPECT_LT(Clock::now() - t0, 5s);
    EXPECT_FALSE(box.deliver(true)) << "the question is closed once answered";
  }
}

TEST(VerdictBox, SecondVerdictRefused) {
  VerdictBox box;
  box.open();
  EXPECT_TRUE(box.deliver(false));
  EXPECT_FALSE(box.deliver(true));
  const auto v = box.wait(Clock::now() + 1s, {});
  ASSERT_TRUE(v);
  EXPECT_FALSE(*v) << "the first verdict stands";
}

TEST(VerdictBox, DeadlineEndsTheWait) {
  VerdictBox box;
  box.open();
  const auto t0 = Clock::now();
  const auto v = box.wait(
      t0 + 200ms, [] { return false; }, 50ms);
  const auto took = Clock::now() - t0;
  EXPECT_FALSE(v);
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 3s);
  EXPECT_FALSE(box.deliver(true)) << "too late: the question was closed";
}

TEST(VerdictBox, GiveUpEndsTheWaitEarly) {
  VerdictBox box;
  box.open();
  std::atomic<bool> gone{false};
  std::thread host([&] {
    std::this_thread::sleep_for(100ms);
    gone.store(true);
    box.wake();
  });
  const auto t0 = Clock::now();
  // A slice longer than the test's bound: only wake() can end the wait in time.
  const auto v = box.wait(
      t0 + 30s, [&] { return gone.load(); }, 20s);
  const auto took = Clock::now() - t0;
  host.join();
  EXPECT_FALSE(v);
  EXPECT_LT(took, 5s);
}

TEST(VerdictBox, ReopenForgetsTheOldAnswer) {
  VerdictBox box;
  box.open();
  ASSERT_TRUE(box.deliver(true));
  ASSERT_TRUE(box.wait(Clock::now() + 1s, {}).value_or(false));
  box.open();
  const auto v = box.wait(Clock::now() + 100ms, {}, 20ms);
  EXPECT_FALSE(v) << "an answer to the earlier question must not answer this one";
}
