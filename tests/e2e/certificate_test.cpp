// The host deciding on the server's certificate (EXT_CERTIFICATE), against FreeRDP's shadow
// server: pinned fingerprints, a question answered either way, the fingerprint as openssl
// reads the server's own certificate file, and a home folder that nothing is written into.

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/session_extensions.hpp"
#include "net.hpp"
#include "rig.hpp"
#include "shadow.hpp"
#include "x_display.hpp"

namespace {

using namespace korvane;
using namespace korvane::test;
namespace fs = std::filesystem;

constexpr uint32_t kWidth = 800;
constexpr uint32_t kHeight = 600;

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    out.push_back(it->path().string());
  return out;
}

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& e : v) s += e + "\n";
  return s;
}

std::vector<uint8_t> text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

class CertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KORVANE_PATH).empty()) GTEST_SKIP() << "korvane is not built";
    logs = make_temp_dir("korvane-e2e-cert");
    home = make_temp_dir("korvane-e2e-home");
    tmp = make_temp_dir("korvane-e2e-tmp");
    ASSERT_FALSE(logs.path.empty());
    ASSERT_FALSE(home.path.empty());
    ASSERT_FALSE(tmp.path.empty());
    std::string error;
    auto started = start_xvfb(kWidth, kHeight, logs.path, &error);
    ASSERT_TRUE(started) << error;
    x = std::move(*started);
    ShadowOptions o;
    shadow = start_shadow(x, o, &error);
    ASSERT_TRUE(shadow) << error;
  }

  void TearDown() override {
    if (!HasFailure() || logs.path.empty()) return;
    std::fprintf(stderr, "---- korvane's log\n%s\n", read_file(logs.path + "/korvane.log").c_str());
  }

  // korvane with a home folder of its own, empty, and the configuration folder inside it, so
  // that anything the library writes for the user would land there. With a block, the grant is
  // checked.
  std::optional<host::Session> open(std::vector<uint8_t> block) {
    const bool granted = !block.empty();
    host::SessionOptions o;
    o.korvane_path = KORVANE_PATH;
    o.request.host = "127.0.0.1";
    o.request.port = shadow->port;
    o.request.username = "test";
    o.request.password = "test";
    o.request.width = kWidth;
    o.request.height = kHeight;
    o.request.flags = CONNECT_FLAG_TLS;
    o.stderr_path = logs.path + "/korvane.log";
    o.env = {"HOME=" + home.path, "XDG_CONFIG_HOME=" + home.path + "/.config",
             "TMPDIR=" + tmp.path};
    o.extension_block = std::move(block);
    std::string error;
    auto s = host::start_session(o, &error);
    EXPECT_TRUE(s) << error;
    if (s && granted) expect_granted(*s);
    return s;
  }

  static std::vector<uint8_t> block(uint8_t mode, const std::string& pins = "") {
    std::vector<ExtensionField> fields = {{FIELD_CERT_MODE, {mode}}};
    if (!pins.empty()) fields.push_back({FIELD_CERT_FINGERPRINTS, text_bytes(pins)});
    return encode_extensions(EXT_CERTIFICATE, fields);
  }

  // The grant comes first and includes the extension.
  static void expect_granted(host::Session& s) {
    host::Frame f;
    ASSERT_EQ(host::next_event(s, 10000, f), host::ReadStatus::frame);
    ASSERT_EQ(f.type, EVT_EXTENSIONS);
    const auto g = parse_grant(f.payload);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->mask & EXT_CERTIFICATE, EXT_CERTIFICATE);
  }

  // The fingerprint of the certificate the server has on disk, as openssl prints it.
  std::string openssl_fingerprint() {
    std::string crt;
    for (const auto& e : entries(shadow->scratch.path))
      if (e.size() > 4 && e.compare(e.size() - 4, 4, ".crt") == 0) crt = e;
    if (crt.empty()) {
      ADD_FAILURE() << "no certificate under the server's folder:\n"
                    << joined(entries(shadow->scratch.path));
      return {};
    }
    host::SpawnOptions o;
    o.argv = {"openssl", "x509", "-in", crt, "-fingerprint", "-sha256", "-noout"};
    return host::run_capture(o, 10000).out;
  }

  std::string server_fingerprint() {
    const auto parsed = parse_fingerprints(openssl_fingerprint());
    if (!parsed || parsed->size() != 1) {
      ADD_FAILURE() << "openssl printed no fingerprint";
      return {};
    }
    return format_fingerprint((*parsed)[0]);
  }

  static void expect_connected(host::Session& s) {
    const auto f = host::wait_for_event(s, EVT_CONNECTED, 30000);
    ASSERT_TRUE(f) << "no EVT_CONNECTED";
  }

  // A verdict with no question open is refused.
  static void expect_verdict_refused(host::Session& s) {
    const uint8_t verdict = 1;
    ASSERT_TRUE(host::send_command(s, CMD_CERT_VERDICT, std::span(&verdict, 1)));
    const auto refused = host::wait_for_event(s, EVT_REFUSED, 10000);
    ASSERT_TRUE(refused) << "no EVT_REFUSED";
    ASSERT_EQ(refused->payload.size(), 6u);
    EXPECT_EQ(refused->payload[0], CMD_CERT_VERDICT);
    EXPECT_EQ(refused->payload[1], REFUSED_NO_QUESTION);
  }

  static void expect_failed(host::Session& s) {
    const host::Ending e = host::finish_session(s, 30000, {}, false);
    EXPECT_FALSE(e.disconnected);
    EXPECT_TRUE(e.error) << "no EVT_ERROR";
    if (e.error) {
      EXPECT_NE(e.error->find("Connect failed"), std::string::npos) << *e.error;
    }
    ASSERT_TRUE(e.exit);
    EXPECT_TRUE(e.exit->exited());
    EXPECT_EQ(e.exit->code, 1);
  }

  static void expect_clean_end(host::Session& s) {
    const host::Ending e = host::finish_session(s, 10000);
    EXPECT_TRUE(e.disconnected);
    ASSERT_TRUE(e.exit);
    EXPECT_EQ(e.exit->code, 0);
  }

  void expect_nothing_left_behind() {
    EXPECT_TRUE(entries(home.path).empty()) << "written under HOME:\n"
                                            << joined(entries(home.path));
    EXPECT_TRUE(entries(tmp.path).empty()) << "left in TMPDIR:\n" << joined(entries(tmp.path));
  }

  // Answers the question korvane asks; returns the question.
  std::optional<CertificateQuestion> answer_question(host::Session& s, bool accept) {
    const auto f = host::wait_for_event(s, EVT_CERTIFICATE, 30000);
    if (!f) {
      ADD_FAILURE() << "no EVT_CERTIFICATE";
      return std::nullopt;
    }
    auto q = parse_certificate_question(f->payload);
    EXPECT_TRUE(q) << "malformed EVT_CERTIFICATE";
    const uint8_t verdict = accept ? 1 : 0;
    EXPECT_TRUE(host::send_command(s, CMD_CERT_VERDICT, std::span(&verdict, 1)));
    return q;
  }

  TempDir logs;
  TempDir home;
  TempDir tmp;
  XServer x;
  std::optional<ShadowServer> shadow;
};

TEST_F(CertificateTest, PinnedRightFingerprintConnects) {
  const std::string fp = server_fingerprint();
  ASSERT_FALSE(fp.empty());
  // Another pin first: any of the list will do.
  auto s = open(block(CERT_MODE_PINNED, format_fingerprint(Fingerprint{}) + "," + fp));
  ASSERT_TRUE(s);
  expect_connected(*s);
  expect_clean_end(*s);
  expect_nothing_left_behind();
}

TEST_F(CertificateTest, PinnedOpensslLineConnects) {
  const std::string line = openssl_fingerprint();
  ASSERT_FALSE(line.empty());
  auto s = open(block(CERT_MODE_PINNED, line));
  ASSERT_TRUE(s);
  expect_connected(*s);
  expect_clean_end(*s);
}

TEST_F(CertificateTest, PinnedWrongFingerprintFails) {
  std::string fp = server_fingerprint();
  ASSERT_FALSE(fp.empty());
  fp[0] = fp[0] == 'f' ? '0' : 'f';  // one digit off
  auto s = open(block(CERT_MODE_PINNED, fp));
  ASSERT_TRUE(s);
  expect_failed(*s);
  expect_nothing_left_behind();
}

TEST_F(CertificateTest, AskAcceptedConnectsWithTheServersFingerprint) {
  const std::string fp = server_fingerprint();
  ASSERT_FALSE(fp.empty());
  auto s = open(block(CERT_MODE_ASK));
  ASSERT_TRUE(s);
  const auto q = answer_question(*s, true);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->fingerprint, fp);
  EXPECT_EQ(q->host, "127.0.0.1");
  EXPECT_EQ(q->port, shadow->port);
  EXPECT_NE(q->pem.find("-----BEGIN CERTIFICATE-----"), std::string::npos);
  EXPECT_FALSE(q->subject.empty());
  EXPECT_FALSE(q->issuer.empty());
  // The shadow server's certificate names its machine, never 127.0.0.1.
  EXPECT_TRUE(q->mismatch);
  EXPECT_TRUE(q->flags & 0x80u) << "VERIFY_CERT_FLAG_MISMATCH with mismatch";
  EXPECT_FALSE(q->changed);
  expect_connected(*s);
  // A second verdict, with nothing asked any more, is refused.
  ASSERT_NO_FATAL_FAILURE(expect_verdict_refused(*s));
  expect_clean_end(*s);
  expect_nothing_left_behind();
}

TEST_F(CertificateTest, AskRejectedFails) {
  auto s = open(block(CERT_MODE_ASK));
  ASSERT_TRUE(s);
  ASSERT_TRUE(answer_question(*s, false));
  expect_failed(*s);
  expect_nothing_left_behind();
}

TEST_F(CertificateTest, AskHostGoneEndsTheWait) {
  auto s = open(block(CERT_MODE_ASK));
  ASSERT_TRUE(s);
  ASSERT_TRUE(host::wait_for_event(*s, EVT_CERTIFICATE, 30000));
  const auto t0 = std::chrono::steady_clock::now();
  // CMD_DISCONNECT instead of a verdict: korvane must not sit out its minute.
  const host::Ending e = host::finish_session(*s, 20000);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  ASSERT_TRUE(e.exit);
  EXPECT_EQ(e.exit->code, 1);
  EXPECT_TRUE(e.error);
  expect_nothing_left_behind();
}

TEST_F(CertificateTest, VerdictWithoutQuestionRefused) {
  auto s = open(block(CERT_MODE_ACCEPT_ANY));
  ASSERT_TRUE(s);
  expect_connected(*s);
  ASSERT_NO_FATAL_FAILURE(expect_verdict_refused(*s));
  expect_clean_end(*s);
  expect_nothing_left_behind();
}

TEST_F(CertificateTest, WithoutTheExtensionNothingIsAskedNorWritten) {
  auto s = open({});
  ASSERT_TRUE(s);
  host::Frame first;
  ASSERT_EQ(host::next_event(*s, 30000, first), host::ReadStatus::frame);
  EXPECT_EQ(first.type, EVT_CONNECTED) << "no grant, no question: the base protocol only";
  // A verdict from a host that never asked is dropped without a reply.
  const uint8_t verdict = 1;
  ASSERT_TRUE(host::send_command(*s, CMD_CERT_VERDICT, std::span(&verdict, 1)));
  host::ReadStatus st{};
  EXPECT_FALSE(host::wait_for_event(*s, EVT_REFUSED, 1500, {}, &st));
  expect_clean_end(*s);
  EXPECT_TRUE(entries(home.path).empty()) << "written under HOME:\n" << joined(entries(home.path));
}

TEST_F(CertificateTest, ReferenceHostAsksAndPins) {
  if (std::string(KORVANE_HOST_PATH).empty()) GTEST_SKIP() << "korvane-host is not built";
  const std::string fp = server_fingerprint();
  ASSERT_FALSE(fp.empty());
  auto run = [&](std::vector<std::string> extra) {
    host::SpawnOptions o;
    o.argv = e2e::host_argv(shadow->port, "1", logs.path + "/korvane.log", std::move(extra));
    o.env = {"HOME=" + home.path, "XDG_CONFIG_HOME=" + home.path + "/.config",
             "TMPDIR=" + tmp.path};
    return host::run_capture(o, 60000);
  };
  const auto asked = run({"--cert-ask", "accept"});
  EXPECT_NE(asked.out.find("CERTIFICATE host=127.0.0.1 port=" + std::to_string(shadow->port)),
            std::string::npos)
      << asked.out;
  EXPECT_NE(asked.out.find("sha256=" + fp), std::string::npos) << asked.out;
  EXPECT_NE(asked.out.find("SEND CERT_VERDICT accept"), std::string::npos) << asked.out;
  EXPECT_TRUE(asked.status && asked.status->exited() && asked.status->code == 0) << asked.out;
  std::string wrong = fp;
  wrong[1] = wrong[1] == '0' ? '1' : '0';
  const auto pinned_wrong = run({"--cert-pin", wrong});
  EXPECT_NE(pinned_wrong.out.find("KORVANE ERROR"), std::string::npos) << pinned_wrong.out;
  EXPECT_FALSE(pinned_wrong.status && pinned_wrong.status->exited() &&
               pinned_wrong.status->code == 0);
  const auto pinned = run({"--cert-pin", fp});
  EXPECT_TRUE(pinned.status && pinned.status->exited() && pinned.status->code == 0) << pinned.out;
  expect_nothing_left_behind();
}

}  // namespace
