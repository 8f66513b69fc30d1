// korvane through a Remote Desktop Gateway: korvane-test-gateway (TLS with a certificate of its
// own) relays to FreeRDP's shadow server on Xvfb, or to the scripted test server.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "host/desktop.hpp"
#include "host_link/gateway.hpp"
#include "rig.hpp"
#include "shadow_fixture.hpp"

using namespace korvane;
using namespace korvane::e2e;

namespace {

constexpr char kToken[] = "korvane-test-token";

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// The gateway's log, and whether it logs a line matching `pattern` within 5 s.
std::string log_of(test::TestGateway& g) { return test::output_of(*g.process); }
bool logged(test::TestGateway& g, const std::string& pattern) {
  return test::wait_for_line(*g.process, std::regex(pattern), 5000).has_value();
}

// The gateway relaying to 127.0.0.1:target, with `options` after the required ones.
std::optional<test::TestGateway> start_gateway(uint16_t target, std::vector<std::string> options,
                                               const std::string& stderr_path) {
  std::string error;
  auto g =
      test::start_test_gateway(KORVANE_TEST_GATEWAY_PATH, target, options, stderr_path, &error);
  if (!g) ADD_FAILURE() << error;
  return g;
}

// A block that goes through the gateway at `port`, asking for `mask` too. It logs on to the
// gateway with the bearer token unless `fields` name another way (or `token` is false: then
// with the session's own credentials).
std::vector<uint8_t> gateway_block(uint16_t port, uint8_t transport, uint32_t mask = EXT_STATUS,
                                   std::vector<ExtensionField> fields = {}, bool token = true) {
  fields.push_back({FIELD_GATEWAY, bytes_of("127.0.0.1:" + std::to_string(port))});
  fields.push_back({FIELD_GATEWAY_TRANSPORT, {transport}});
  if (token) fields.push_back({FIELD_GATEWAY_BEARER, bytes_of(kToken)});
  return encode_extensions(EXT_GATEWAY | mask, fields);
}

class GatewayShadow : public test::ShadowDesktop {};

}  // namespace

// Both HTTP transports carry the whole session: the picture a host paints is the X screen, and
// the host's pointer reaches X.
TEST_F(GatewayShadow, BothTransportsShowTheScreenAndCarryInput) {
  start_shadow_server({});
  for (const bool websocket : {true, false}) {
    SCOPED_TRACE(websocket ? "WebSocket" : "two HTTP connections");
    std::vector<std::string> options = {"--token", kToken};
    if (!websocket) options.push_back("--no-websocket");
    auto gateway = start_gateway(shadow->port, options, logs.path + "/gateway.err");
    ASSERT_TRUE(gateway);
    auto o = session_options();
    o.extension_block = gateway_block(
        gateway->port, websocket ? GATEWAY_TRANSPORT_HTTP : GATEWAY_TRANSPORT_HTTP_LEGACY, 0);
    std::string error;
    auto s = host::start_session(o, &error);
    ASSERT_TRUE(s) << error;
    host::Desktop desktop;
    host::Frame grant;
    ASSERT_EQ(host::next_event(*s, 10000, grant), host::ReadStatus::frame);
    EXPECT_EQ(grant.type, EVT_EXTENSIONS);
    ASSERT_NO_FATAL_FAILURE(expect_connected(*s, desktop));
    const auto paint = [&](const host::Frame& f) { host::apply_event(desktop, f); };
    host::pump_events(*s, 1000, paint);
    const uint32_t px = websocket ? 1000 : 950, py = 740;
    ASSERT_TRUE(host::send_command(*s, CMD_MOUSE_MOVE, host::mouse_move_payload(px, py)));
    const std::string want = "x:" + std::to_string(px) + " y:" + std::to_string(py) + " ";
    std::string where;
    for (int i = 0; i < 50 && where.rfind(want, 0) != 0; ++i) {
      host::pump_events(*s, 200, paint);
      test::run_x(x, {"xdotool", "getmouselocation"}, &where);
    }
    EXPECT_EQ(where.rfind(want, 0), 0u) << "pointer at " << where;
    host::pump_events(*s, 1500, paint);
    EXPECT_EQ(desktop.problems, 0u) << desktop.last_problem;
    test::expect_canvas_matches_screen(desktop, x);
    expect_clean_disconnect(*s, desktop);
    EXPECT_TRUE(logged(
        *gateway, std::string("^HTTP method=RDG_OUT_DATA websocket=") + (websocket ? "1" : "0")))
        << log_of(*gateway);
    EXPECT_TRUE(logged(*gateway, "^CHANNEL open ")) << log_of(*gateway);
  }
}

namespace {

// The scripted test server behind the gateway.
struct GatewayRig {
  Rig rig;
  std::optional<test::TestGateway> gateway;
};

std::unique_ptr<GatewayRig> start_gateway_rig(std::vector<std::string> steps,
                                              std::vector<std::string> gateway_options,
                                              std::vector<std::string> server_options = {}) {
  auto g = std::make_unique<GatewayRig>();
  if (!start_server(g->rig, std::move(steps), "tls", std::move(server_options))) return nullptr;
  g->gateway =
      start_gateway(g->rig.server.port, gateway_options, g->rig.scratch.path + "/gateway.err");
  if (!g->gateway) return nullptr;
  return g;
}

bool start_through(GatewayRig& g, std::vector<uint8_t> block, ConnectRequest r = {}) {
  r.username = "test";
  r.password = "test";
  return start_korvane(g.rig, r, std::move(block));
}

// The message korvane passes on, answered; nullopt when none comes.
std::optional<GatewayMessage> answer_message(host::Session& s, bool accept,
                                             std::vector<host::Frame>* seen = nullptr) {
  const auto f = host::wait_for_event(s, EVT_GATEWAY_MESSAGE, 20000, [&](const host::Frame& e) {
    if (seen) seen->push_back(e);
  });
  if (!f) return std::nullopt;
  const uint8_t verdict = accept ? 1 : 0;
  EXPECT_TRUE(host::send_command(s, CMD_GATEWAY_VERDICT, std::span(&verdict, 1)));
  return parse_gateway_message(f->payload);
}

}  // namespace

// The drive and the clipboard cross the tunnel as they cross a direct connection.
TEST(Gateway, ClipboardAndDriveStillWork) {
  auto share = test::make_temp_dir("korvane-share");
  std::ofstream(share.path + "/hello.bin", std::ios::binary) << "through the tunnel";
  // The gateway takes the session's own account, over NTLM.
  auto g = start_gateway_rig({"read-file hello.bin", "clip-formats 13", "sleep 30000"},
                             {"--user", "test", "--password", "test"});
  ASSERT_TRUE(g);
  ConnectRequest r;
  r.drive = share.path;
  ASSERT_TRUE(
      start_through(*g, gateway_block(g->gateway->port, GATEWAY_TRANSPORT_AUTO, 0, {}, false), r));
  const auto formats = host::wait_for_event(*g->rig.korvane, EVT_CLIP_FORMATS, 20000);
  ASSERT_TRUE(formats) << korvane_stderr(g->rig) << log_of(*g->gateway);
  const auto list = parse_clip_formats(formats->payload, 16);
  ASSERT_TRUE(list && list->formats.size() == 1);
  EXPECT_EQ(list->formats[0].id, 13u);
  const std::string content = "through the tunnel";
  const auto file = pump_until_line(g->rig, std::regex("^FILE name=hello.bin"), 20000);
  ASSERT_TRUE(file) << server_log(g->rig);
  EXPECT_NE(file->find("bytes=" + hex(bytes_of(content))), std::string::npos) << *file;
  EXPECT_TRUE(host::finish_session(*g->rig.korvane, 10000).disconnected);
}

// Pins for both: the gateway's own list (or the shared one) must name the gateway, and the
// shared one the server; each wrong pin has its own category. The ask mode asks twice, the
// gateway first, told apart by the library's gateway flag.
TEST(Gateway, CertificatesOfTheGatewayAndTheServerAreToldApart) {
  auto g = start_gateway_rig({"sleep 30000"}, {"--token", kToken}, {"--sessions", "3"});
  ASSERT_TRUE(g);
  auto fields_of = [](uint8_t mode, const std::string& pins, const std::string& gateway_pins) {
    std::vector<ExtensionField> f = {{FIELD_CERT_MODE, {mode}}};
    if (!pins.empty()) f.push_back({FIELD_CERT_FINGERPRINTS, bytes_of(pins)});
    if (!gateway_pins.empty()) f.push_back({FIELD_GATEWAY_FINGERPRINTS, bytes_of(gateway_pins)});
    return f;
  };
  ASSERT_TRUE(start_through(
      *g, gateway_block(g->gateway->port, GATEWAY_TRANSPORT_HTTP, EXT_CERTIFICATE | EXT_STATUS,
                        fields_of(CERT_MODE_ASK, "", ""))));
  std::vector<CertificateQuestion> questions;
  for (int i = 0; i < 2; ++i) {
    const auto f = host::wait_for_event(*g->rig.korvane, EVT_CERTIFICATE, 20000);
    ASSERT_TRUE(f) << "question " << i << korvane_stderr(g->rig);
    questions.push_back(*parse_certificate_question(f->payload));
    const uint8_t accept = 1;
    ASSERT_TRUE(host::send_command(*g->rig.korvane, CMD_CERT_VERDICT, std::span(&accept, 1)));
  }
  ASSERT_TRUE(host::wait_for_event(*g->rig.korvane, EVT_CONNECTED, 20000));
  host::finish_session(*g->rig.korvane, 10000);
  EXPECT_NE(questions[0].flags & 0x20u, 0u) << "the gateway's question carries the flag";
  EXPECT_EQ(questions[0].port, g->gateway->port);
  EXPECT_EQ(questions[0].fingerprint, g->gateway->fingerprint);
  EXPECT_EQ(questions[1].flags & 0x20u, 0u);
  EXPECT_EQ(questions[1].port, g->rig.server.port);
  const std::string server_pin = questions[1].fingerprint;
  const std::string wrong = format_fingerprint(Fingerprint{});
  const struct {
    const char* what;
    std::string pins, gateway_pins;
    std::optional<EndCategory> category;  // nullopt: connects
  } cases[] = {
      {"one list names both", g->gateway->fingerprint + "," + server_pin, "", std::nullopt},
      {"the server's pin is wrong", g->gateway->fingerprint + "," + wrong, "",
       EndCategory::certificate_rejected},
      {"the gateway's own list is wrong", server_pin + "," + g->gateway->fingerprint, wrong,
       EndCategory::gateway_certificate_rejected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(start_through(
        *g, gateway_block(g->gateway->port, GATEWAY_TRANSPORT_HTTP, EXT_CERTIFICATE | EXT_STATUS,
                          fields_of(CERT_MODE_PINNED, c.pins, c.gateway_pins))));
    const StatusEnding e = read_status_session(*g->rig.korvane, !c.category, 20000);
    ASSERT_TRUE(e.reason) << korvane_stderr(g->rig);
    EXPECT_EQ(e.reason->category, c.category.value_or(EndCategory::host_requested))
        << e.reason->last_error_name;
  }
}

// The gateway's messages reach the host: consent before the tunnel (accepted: the session goes
// on; refused: it ends with its own category), and a service message while the session runs.
TEST(Gateway, MessagesAreTheHostsToAcceptOrRefuse) {
  for (const bool accept : {true, false}) {
    SCOPED_TRACE(accept ? "accepted" : "refused");
    // Logged on with a PAA cookie, this time.
    auto g = start_gateway_rig(
        {"sleep 30000"}, {"--paa", "cookie-1", "--consent", "Authorised use only",
                          "--service-message", "Maintenance at 6", "--service-after-ms", "300"});
    ASSERT_TRUE(g);
    ASSERT_TRUE(
        start_through(*g, gateway_block(g->gateway->port, GATEWAY_TRANSPORT_HTTP, EXT_STATUS,
                                        {{FIELD_GATEWAY_PAA, bytes_of("cookie-1")}}, false)));
    const auto consent = answer_message(*g->rig.korvane, accept);
    ASSERT_TRUE(consent) << korvane_stderr(g->rig);
    EXPECT_EQ(*consent, (GatewayMessage{GATEWAY_MSG_CONSENT, "Authorised use only"}));
    if (!accept) {
      const StatusEnding e = read_status_session(*g->rig.korvane, false, 20000);
      ASSERT_TRUE(e.reason);
      EXPECT_EQ(e.reason->category, EndCategory::gateway_message_refused);
      ASSERT_TRUE(e.exit);
      EXPECT_EQ(e.exit->code, 1);
      continue;
    }
    std::vector<host::Frame> seen;
    const auto service = answer_message(*g->rig.korvane, true, &seen);
    ASSERT_TRUE(service) << korvane_stderr(g->rig);
    EXPECT_EQ(*service, (GatewayMessage{GATEWAY_MSG_SERVICE, "Maintenance at 6"}));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                            [](const host::Frame& f) { return f.type == EVT_CONNECTED; }));
    // A verdict with no message pending is refused.
    const uint8_t verdict = 1;
    ASSERT_TRUE(host::send_command(*g->rig.korvane, CMD_GATEWAY_VERDICT, std::span(&verdict, 1)));
    const auto refused = host::wait_for_event(*g->rig.korvane, EVT_REFUSED, 10000);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->payload[0], CMD_GATEWAY_VERDICT);
    EXPECT_TRUE(host::finish_session(*g->rig.korvane, 10000).disconnected);
  }
}

// The gateway's own failures, each with its category; bad bytes from it end the session with a
// diagnostic.
TEST(Gateway, FailuresHaveTheirCategories) {
  const std::vector<ExtensionField> wrong_password = {
      {FIELD_GATEWAY_CREDENTIALS, encode_gateway_credentials({"gw", "", "wrong"})}};
  const struct {
    const char* what;
    std::vector<std::string> options;
    std::optional<EndCategory> category;  // nullopt: only a clean failure is asked
    std::vector<ExtensionField> fields = {};
  } cases[] = {
      {"wrong token", {"--token", "another-token"}, EndCategory::gateway_auth_failed},
      {"wrong gateway password",
       {"--user", "gw", "--password", "right"},
       EndCategory::gateway_auth_failed,
       wrong_password},
      {"wrong PAA cookie",
       {"--paa", "cookie-1"},
       EndCategory::gateway_auth_failed,
       {{FIELD_GATEWAY_PAA, bytes_of("cookie-2")}}},
      {"server not allowed",
       {"--token", kToken, "--allow-resource", "elsewhere"},
       EndCategory::gateway_resource_refused},
      {"malformed HTTP response", {"--fault", "bad-http"}, std::nullopt},
      {"tunnel packet cut short", {"--fault", "cut-packet"}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto g = start_gateway_rig({"sleep 30000"}, c.options);
    ASSERT_TRUE(g);
    ASSERT_TRUE(start_through(*g, gateway_block(g->gateway->port, GATEWAY_TRANSPORT_HTTP,
                                                EXT_STATUS, c.fields, c.fields.empty())));
    const StatusEnding e = read_status_session(*g->rig.korvane, false, 30000);
    ASSERT_TRUE(e.exit) << "korvane still running";
    EXPECT_TRUE(e.exit->exited()) << host::describe(*e.exit);
    EXPECT_EQ(e.exit->code, 1);
    EXPECT_EQ(e.error_text.rfind("Connect failed: 0x", 0), 0u) << e.error_text;
    ASSERT_TRUE(e.reason);
    if (c.category) {
      EXPECT_EQ(e.reason->category, *c.category) << e.reason->last_error_name;
    }
    expect_no_sanitizer_report(g->rig);
  }
  // Nobody listening where the gateway should be.
  Rig rig;
  rig.scratch = test::make_temp_dir("korvane-gateway");
  ASSERT_TRUE(start_korvane(rig, {.username = "test", .password = "test"},
                            gateway_block(test::free_tcp_port(), GATEWAY_TRANSPORT_HTTP), 3389));
  const StatusEnding e = read_status_session(*rig.korvane, false, 30000);
  ASSERT_TRUE(e.reason);
  EXPECT_EQ(e.reason->category, EndCategory::gateway_unreachable) << e.reason->last_error_name;
}

// A tunnel the gateway closes mid-session: the end is the tunnel's, and with reconnection
// granted korvane goes through the gateway again.
TEST(Gateway, ATunnelClosedMidSessionEndsOrReconnects) {
  for (const bool reconnect : {false, true}) {
    SCOPED_TRACE(reconnect ? "reconnection granted" : "no reconnection");
    auto g = start_gateway_rig({"sleep 60000"}, {"--token", kToken}, {"--sessions", "2"});
    ASSERT_TRUE(g);
    std::vector<ExtensionField> fields;
    if (reconnect) fields.push_back({FIELD_RECONNECT, {3, 0, 0xC8, 0}});  // 3 attempts, 200 ms
    ASSERT_TRUE(
        start_through(*g, gateway_block(g->gateway->port, GATEWAY_TRANSPORT_HTTP,
                                        EXT_STATUS | (reconnect ? EXT_RECONNECT : 0u), fields)));
    std::vector<uint8_t> reconnects;
    const auto keep = [&](const host::Frame& f) {
      if (f.type == EVT_RECONNECT && !f.payload.empty()) reconnects.push_back(f.payload[0]);
    };
    ASSERT_TRUE(host::wait_for_event(*g->rig.korvane, EVT_CONNECTED, 20000, keep))
        << korvane_stderr(g->rig);
    host::pump_events(*g->rig.korvane, 300, keep);
    ASSERT_EQ(::kill(g->gateway->process->child.pid, SIGUSR1), 0);
    if (!reconnect) {
      const StatusEnding e = read_status_session(*g->rig.korvane, false, 20000);
      ASSERT_TRUE(e.reason);
      EXPECT_EQ(e.reason->category, EndCategory::gateway_tunnel_broken)
          << e.reason->last_error_name;
      continue;
    }
    for (int i = 0; i < 100 && (reconnects.empty() || reconnects.back() == RECONNECT_TRYING); ++i)
      host::pump_events(*g->rig.korvane, 200, keep);
    EXPECT_EQ(reconnects, (std::vector<uint8_t>{RECONNECT_TRYING, RECONNECT_DONE}));
    const auto lines = test::lines_of(*g->gateway->process);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("CHANNEL open", 0) == 0; }),
              2)
        << log_of(*g->gateway);
    EXPECT_TRUE(host::finish_session(*g->rig.korvane, 10000).disconnected);
  }
}

// The reference host's options ask for the same, and it answers the consent as told.
TEST(Gateway, ReferenceHostGoesThroughTheGateway) {
  auto g = start_gateway_rig({"sleep 30000"}, {"--token", kToken, "--consent", "Authorised"});
  ASSERT_TRUE(g);
  host::SpawnOptions o;
  o.argv = host_argv(g->rig.server.port, "1", g->rig.scratch.path + "/korvane.err",
                     {"--gateway", "127.0.0.1:" + std::to_string(g->gateway->port),
                      "--gateway-token", kToken, "--gateway-message", "accept"});
  const auto run = host::run_capture(o, 60000);
  EXPECT_NE(run.out.find("GATEWAY_MESSAGE kind=consent text=\"Authorised\""), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("SEND GATEWAY_VERDICT accept"), std::string::npos) << run.out;
  EXPECT_TRUE(run.status && run.status->exited() && run.status->code == 0) << run.out;
  EXPECT_TRUE(logged(*g->gateway, "^CHANNEL open ")) << log_of(*g->gateway);
}

// Bypassing the gateway for a local server: the server of the request is dialled first.
TEST(Gateway, BypassForALocalServerGoesDirect) {
  auto g = start_gateway_rig({"sleep 30000"}, {"--token", kToken});
  ASSERT_TRUE(g);
  ASSERT_TRUE(start_through(*g, gateway_block(g->gateway->port, GATEWAY_TRANSPORT_HTTP, 0,
                                              {{FIELD_GATEWAY_BYPASS_LOCAL, {1}}})));
  ASSERT_TRUE(host::wait_for_event(*g->rig.korvane, EVT_CONNECTED, 20000))
      << korvane_stderr(g->rig);
  EXPECT_TRUE(host::finish_session(*g->rig.korvane, 10000).disconnected);
  EXPECT_EQ(log_of(*g->gateway).find("HTTP "), std::string::npos) << log_of(*g->gateway);
}
