// korvane-web in a real browser: headless Chromium, driven through its DevTools protocol over a
// pipe, opens the gateway's page against korvane and the FreeRDP shadow server on Xvfb. What the
// page shows must be the X screen, what is typed and clicked in the browser must reach X, and
// the gateway must refuse what it should and end korvane as soon as a tab goes.

#include <dirent.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <utility>  // before Boost.Asio, whose awaitable.hpp uses std::exchange
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <fstream>
#include <sstream>
#include <thread>

#include "cluster.hpp"
#include "devtools.hpp"
#include "host/files.hpp"
#include "host/png.hpp"
#include "host/recorder.hpp"
#include "host/process.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "proc_stats.hpp"
#include "rig.hpp"
#include "shadow.hpp"
#include "x_display.hpp"

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using boost::property_tree::ptree;
using Clock = std::chrono::steady_clock;

namespace korvane::test {
namespace {

constexpr uint32_t kWidth = 800, kHeight = 600;
// Distinctive, so that finding it anywhere in a log is certain to be a leak.
const std::string kSecret = "pw-Zq81xKv0mT3";

long ms_since(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

bool have_program(const std::string& name) {
  host::SpawnOptions o;
  o.argv = {"sh", "-c", "command -v " + name};
  const auto r = host::run_capture(o, 5000);
  return r.status && r.status->exited() && r.status->code == 0;
}

// The shared driver at this suite's window size: a command the browser refuses fails the test.
std::optional<Browser> start_browser(const std::string& log_path) {
  auto b = test::start_browser(log_path, 1000, 800);
  if (b) b->on_error = [](const std::string& what) { ADD_FAILURE() << what; };
  return b;
}

std::optional<GatewayRun> start_gateway(const std::string& dir, const std::string& config,
                                        std::string* error) {
  return test::start_gateway(KORVANE_WEB_PATH, KORVANE_PATH, dir, config, error);
}

// korvane-test-server over TLS with the steps and `extra` arguments, its stderr in `dir`.
std::optional<TestServer> tls_test_server(const std::string& dir, std::vector<std::string> steps,
                                          std::string* error, std::vector<std::string> extra = {}) {
  TestServerOptions so;
  so.path = KORVANE_TEST_SERVER_PATH;
  so.sec = "tls";
  so.steps = std::move(steps);
  so.extra = std::move(extra);
  so.stderr_path = dir + "/server.err";
  return start_test_server(so, error);
}

// Checks `done` every 100 ms until it holds or `ms` pass; whether it held.
bool within(long ms, const std::function<bool()>& done) {
  for (const auto t0 = Clock::now(); !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(100)))
    if (ms_since(t0) > ms) return false;
  return true;
}

// korvane-test-server over TLS with the steps and `extra` arguments, its stderr in `dir`, and a
// gateway there whose target `name` is that server as test/test: both, or false with `error`.
bool start_server_and_gateway(const std::string& dir, const std::string& name,
                              std::vector<std::string> steps, std::vector<std::string> extra,
                              std::optional<TestServer>& server, std::optional<GatewayRun>& gateway,
                              std::string& error, const std::string& target_extra = "") {
  server = tls_test_server(dir, std::move(steps), &error, std::move(extra));
  if (!server) return false;
  gateway = start_gateway(dir,
                          "[target " + name +
                              "]\nhost = 127.0.0.1\nport = " + std::to_string(server->port) +
                              "\nuser = test\npassword = test\nflags = 1\n" + target_extra,
                          &error);
  return gateway.has_value();
}

// A tab on `url`, once the page says it is connected.
std::optional<Tab> open_connected(Browser& browser, const std::string& url) {
  auto t = open_tab(browser, url);
  EXPECT_TRUE(t);
  if (!t) return std::nullopt;
  const bool up =
      wait_page(browser, *t, "window.korvane && window.korvane.phase === 'connected'", 30000);
  EXPECT_TRUE(up) << page_state(browser, *t);
  if (!up) return std::nullopt;
  return t;
}

// The largest share of the page's top left w x h CSS pixels (device pixels in the screenshot)
// equal to `want` within 16 a channel, looked at until it reaches 0.99 or 20 s pass.
double page_match(Browser& browser, const Tab& t, const std::string& dir, uint32_t w, uint32_t h,
                  const host::Canvas& want) {
  double best = 0;
  for (const auto t0 = Clock::now(); best < 0.99 && ms_since(t0) < 20000;) {
    const auto page = page_screenshot(browser, t, dir, w, h);
    const auto diff = page ? compare_rgb(*page, want, 16) : std::nullopt;
    if (!diff) {
      ADD_FAILURE() << "no screenshot of the picture's size";
      return 0;
    }
    best = std::max(best, diff->within);
    if (best < 0.99) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  return best;
}

void close_browser(Browser& browser) {
  cdp(browser, "Browser.close", "{}", "", 3000);
  host::wait_exit(browser.process, 3000);
}

// ---- plain HTTP and WebSocket requests, as a foreign page or a script would send them

struct Reply {
  int status = 0;
  std::string body;
};

Reply http_request(uint16_t port, http::verb verb, const std::string& target,
                   const std::string& origin, const std::string& body = {},
                   const std::string& address = "127.0.0.1") {
  net::io_context io;
  beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(10));
  beast::error_code ec;
  stream.connect(net::ip::tcp::endpoint(net::ip::make_address(address), port), ec);
  if (ec) return {};
  http::request<http::string_body> req{verb, target, 11};
  req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  if (!origin.empty()) req.set(http::field::origin, origin);
  if (!body.empty()) req.set(http::field::content_type, "application/x-www-form-urlencoded");
  req.body() = body;
  req.prepare_payload();
  http::write(stream, req, ec);
  if (ec) return {};
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(stream, buffer, res, ec);
  if (ec) return {};
  return {static_cast<int>(res.result_int()), res.body()};
}

// The HTTP status answering a WebSocket handshake: 101 when it was accepted.
int ws_handshake(uint16_t port, const std::string& origin, const std::string& protocols,
                 const std::string& address = "127.0.0.1") {
  net::io_context io;
  beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(10));
  beast::error_code ec;
  stream.connect(net::ip::tcp::endpoint(net::ip::make_address(address), port), ec);
  if (ec) return 0;
  http::request<http::empty_body> req{http::verb::get, "/ws", 11};
  req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  req.set(http::field::connection, "Upgrade");
  req.set(http::field::upgrade, "websocket");
  req.set(http::field::sec_websocket_version, "13");
  req.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
  if (!origin.empty()) req.set(http::field::origin, origin);
  if (!protocols.empty()) req.set(http::field::sec_websocket_protocol, protocols);
  http::write(stream, req, ec);
  if (ec) return 0;
  beast::flat_buffer buffer;
  http::response_parser<http::empty_body> res;
  res.skip(true);  // a 101 has no body to wait for
  http::read_header(stream, buffer, res, ec);
  if (ec) return 0;
  return static_cast<int>(res.get().result_int());
}

std::string token_of(const std::string& json) {
  const auto at = json.find("\"token\":\"");
  if (at == std::string::npos) return {};
  return json.substr(at + 9, json.find('"', at + 9) - at - 9);
}

// ---- security: no browser, no RDP server needed

class WebGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KORVANE_WEB_PATH).empty()) GTEST_SKIP() << "korvane-web not built";
    dir = make_temp_dir("korvane-web-test");
    std::string error;
    // The target is never reached here: port 9 on loopback has no RDP server.
    gateway = start_gateway(
        dir.path,
        "[target office]\nhost = 127.0.0.1\nport = 9\nuser = u\npassword = " + kSecret + "\n",
        &error);
    ASSERT_TRUE(gateway) << error;
    origin = "http://127.0.0.1:" + std::to_string(gateway->port);
  }
  void TearDown() override {
    if (gateway) {
      const std::string log = read_file(gateway->log_path);
      EXPECT_EQ(log.find(kSecret), std::string::npos) << "the password is in the log:\n" << log;
    }
  }
  TempDir dir;
  std::optional<GatewayRun> gateway;
  std::string origin;
};

TEST_F(WebGatewayTest, ServesThePageAndListsTargetsWithoutSecrets) {
  const Reply page = http_request(gateway->port, http::verb::get, "/", "");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("app.js"), std::string::npos);
  const Reply targets = http_request(gateway->port, http::verb::get, "/targets", "");
  EXPECT_EQ(targets.status, 200);
  EXPECT_NE(targets.body.find("\"office\""), std::string::npos);
  EXPECT_EQ(targets.body.find(kSecret), std::string::npos);
  EXPECT_EQ(targets.body.find("127.0.0.1"), std::string::npos) << "a target's address leaked";
  EXPECT_EQ(http_request(gateway->port, http::verb::get, "/../gateway.conf", "").status, 404);
  EXPECT_EQ(http_request(gateway->port, http::verb::get, "/%2e%2e/gateway.conf", "").status, 404);
}

TEST_F(WebGatewayTest, RefusesUnknownTargetsAndForeignOrigins) {
  EXPECT_EQ(http_request(gateway->port, http::verb::post, "/session", origin,
                         "target=elsewhere&width=800&height=600")
                .status,
            404);
  EXPECT_EQ(
      http_request(gateway->port, http::verb::post, "/session", origin, "target=127.0.0.1:3389")
          .status,
      404);
  EXPECT_EQ(http_request(gateway->port, http::verb::post, "/session", "http://evil.example",
                         "target=office")
                .status,
            403);
  EXPECT_EQ(http_request(gateway->port, http::verb::post, "/session", "", "target=office").status,
            403);
  // A foreign origin holding a valid token is refused all the same.
  const Reply ok =
      http_request(gateway->port, http::verb::post, "/session", origin, "target=office");
  ASSERT_EQ(ok.status, 200) << ok.body;
  const std::string token = token_of(ok.body);
  ASSERT_EQ(token.size(), 32u) << ok.body;
  EXPECT_EQ(ws_handshake(gateway->port, "http://evil.example", "korvane, token." + token), 403);
  EXPECT_TRUE(test::children_of(gateway->process.pid).empty())
      << "korvane started for a refused socket";
}

TEST_F(WebGatewayTest, RefusesWebSocketsWithoutAValidToken) {
  EXPECT_EQ(ws_handshake(gateway->port, origin, ""), 403);
  EXPECT_EQ(ws_handshake(gateway->port, origin, "korvane"), 403);
  EXPECT_EQ(ws_handshake(gateway->port, origin, "korvane, token.00112233445566778899aabbccddeeff"),
            403);
  const Reply ok =
      http_request(gateway->port, http::verb::post, "/session", origin, "target=office");
  const std::string token = token_of(ok.body);
  ASSERT_FALSE(token.empty());
  EXPECT_EQ(ws_handshake(gateway->port, origin, "korvane, token." + token), 101);
  // A token opens one WebSocket only.
  EXPECT_EQ(ws_handshake(gateway->port, origin, "korvane, token." + token), 403);
}

// ---- the page in Chromium against the shadow server

class WebBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KORVANE_WEB_PATH).empty()) GTEST_SKIP() << "korvane-web not built";
    if (!have_program("chromium")) GTEST_SKIP() << "chromium is not installed (scripts/setup.sh)";
    logs = make_temp_dir("korvane-web-test");
    std::string error;
    auto xs = start_xvfb(kWidth, kHeight, logs.path, &error);
    ASSERT_TRUE(xs) << error;
    x = std::move(*xs);
    ASSERT_TRUE(draw_desktop(x, "#336699", &error)) << error;
    ShadowOptions so;
    auto s = start_shadow(x, so, &error);
    ASSERT_TRUE(s) << error;
    shadow = std::move(*s);
    gateway =
        start_gateway(logs.path,
                      "[target desk]\nhost = 127.0.0.1\nport = " + std::to_string(shadow->port) +
                          "\nuser = test\npassword = " + kSecret + "\nflags = 1\n",
                      &error);
    ASSERT_TRUE(gateway) << error;
    auto b = start_browser(logs.path + "/chromium.log");
    ASSERT_TRUE(b) << "chromium did not start";
    browser = std::move(*b);
    ASSERT_TRUE(cdp(*browser, "Browser.getVersion")) << read_file(logs.path + "/chromium.log");
  }
  void TearDown() override {
    if (browser) close_browser(*browser);
    if (gateway) {
      const std::string log = read_file(gateway->log_path);
      EXPECT_EQ(log.find(kSecret), std::string::npos) << "the password is in a log line:\n" << log;
      if (HasFailure()) std::fprintf(stderr, "---- gateway log\n%s\n", log.c_str());
    }
  }

  std::string url(const std::string& extra = "") const {
    return "http://127.0.0.1:" + std::to_string(gateway->port) + "/?target=desk&connect=1" + extra;
  }

  std::optional<Tab> open_connected(const std::string& extra = "") {
    return test::open_connected(*browser, url(extra));
  }

  // An xterm at 100,100 that writes what is typed into it to a file (see typed()).
  void start_typing_xterm() {
    host::SpawnOptions o;
    o.argv = {"xterm",
              "-geometry",
              "40x10+100+100",
              "-e",
              "sh",
              "-c",
              "cat > " + logs.path + "/typed.txt"};
    o.env = {x.env()};
    o.term_grace_ms = 500;
    auto xterm = host::spawn(o);
    ASSERT_TRUE(xterm);
    x.clients.push_back(std::move(*xterm));
  }

  // What was typed into that xterm, once it is `want` or 8 s passed.
  std::string typed(const std::string& want) {
    std::string got;
    for (const auto t0 = Clock::now(); ms_since(t0) < 8000;) {
      got = read_file(logs.path + "/typed.txt");
      if (got == want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return got;
  }

  // With no window manager the keyboard follows the pointer: a click puts it on the xterm.
  void click_xterm(const Tab& t) {
    ASSERT_TRUE(mouse(*browser, t, "mouseMoved", 200, 150));
    ASSERT_TRUE(mouse(*browser, t, "mousePressed", 200, 150));
    ASSERT_TRUE(mouse(*browser, t, "mouseReleased", 200, 150));
    std::string where;
    for (const auto t0 = Clock::now(); ms_since(t0) < 5000;) {
      run_x(x, {"xdotool", "getmouselocation"}, &where);
      if (where.rfind("x:200 y:150 ", 0) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(where.rfind("x:200 y:150 ", 0), 0u) << where;
  }

  // Types a lower-case word and Enter into the tab.
  void type_line(const Tab& t, const std::string& word) {
    for (const char c : word) {
      const std::string upper(1, static_cast<char>(c - 'a' + 'A'));
      ASSERT_TRUE(key(*browser, t, "Key" + upper, std::string(1, c), c - 'a' + 'A'));
    }
    ASSERT_TRUE(key(*browser, t, "Enter", "\r", 13));
  }

  TempDir logs;
  XServer x;
  std::optional<ShadowServer> shadow;
  std::optional<GatewayRun> gateway;
  std::optional<Browser> browser;
};

TEST_F(WebBrowserTest, CanvasShowsTheXScreen) {
  auto t = open_connected("&codec=raw");
  ASSERT_TRUE(t);
  // The page asks for its window's size; the shadow server answers with its own screen's, in a
  // resize that may come a moment after the connection.
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  EXPECT_TRUE(wait_page(
      *browser, *t, "window.korvane.width + 'x' + window.korvane.height === '" + size + "'", 10000))
      << eval(*browser, *t, "window.korvane.width + 'x' + window.korvane.height").value_or("");
  std::string error;
  const auto screen = screenshot(x, &error);
  ASSERT_TRUE(screen) << error;
  EXPECT_GE(page_match(*browser, *t, logs.path, kWidth, kHeight, *screen), 0.99)
      << page_state(*browser, *t);
  // The gateway asks for deflated rectangles, which the page inflates itself.
  EXPECT_NE(eval(*browser, *t, "String(window.korvane.deflatedRects)").value_or("0"), "0");
  // The readout is first written a second after the page starts counting, which may be after
  // the picture already matches.
  EXPECT_TRUE(wait_page(*browser, *t,
                        "document.getElementById('rate').textContent.includes('frames/s')", 10000))
      << eval(*browser, *t, "document.getElementById('rate').textContent").value_or("");
}

TEST_F(WebBrowserTest, KeysAndClicksReachTheXSide) {
  if (!have_program("xterm")) GTEST_SKIP() << "xterm is not installed (scripts/setup.sh)";
  ASSERT_NO_FATAL_FAILURE(start_typing_xterm());
  auto t = open_connected("&codec=raw");
  ASSERT_TRUE(t);
  click_xterm(*t);
  type_line(*t, "korvane");
  EXPECT_EQ(typed("korvane\n"), "korvane\n") << page_state(*browser, *t);
}

// A share link: a second tab on an H.264 session, view only. Both show the X screen; the
// viewer's keys reach nothing even when its page sends them; the link opens one tab only; and
// the viewer ends with its owner.
TEST_F(WebBrowserTest, AViewOnlyShareShowsTheSessionAndTakesNoInput) {
  ASSERT_NO_FATAL_FAILURE(start_typing_xterm());
  auto owner = open_connected("&codec=h264");
  ASSERT_TRUE(owner);
  ASSERT_TRUE(wait_page(*browser, *owner, "window.korvane.decodedFrames > 0", 20000))
      << page_state(*browser, *owner);
  eval(*browser, *owner, "document.querySelector('#share form').requestSubmit(), ''");
  ASSERT_TRUE(wait_page(*browser, *owner, "window.korvane.share.links.length === 1", 10000))
      << page_state(*browser, *owner);
  const std::string link = eval(*browser, *owner, "window.korvane.share.links[0].url").value_or("");
  auto viewer = test::open_connected(*browser, link);
  ASSERT_TRUE(viewer) << link;
  // An H.264 tab's viewer decodes from the key frame the gateway kept for it.
  EXPECT_TRUE(wait_page(*browser, *viewer, "window.korvane.decodedFrames > 0", 20000))
      << page_state(*browser, *viewer);
  EXPECT_EQ(eval(*browser, *viewer, "String(window.korvane.decodeErrors)"), "0");
  std::string error;
  const auto screen = screenshot(x, &error);
  ASSERT_TRUE(screen) << error;
  EXPECT_GE(page_match(*browser, *owner, logs.path, kWidth, kHeight, *screen), 0.99);
  EXPECT_GE(page_match(*browser, *viewer, logs.path, kWidth, kHeight, *screen), 0.99)
      << page_state(*browser, *viewer);

  click_xterm(*owner);
  // The viewer's page is made to send its keys: the gateway must still let them go.
  eval(*browser, *viewer, "window.korvane.viewer = 'input', ''");
  type_line(*viewer, "no");
  type_line(*owner, "ok");
  EXPECT_EQ(typed("ok\n"), "ok\n")
      << "the viewer's keys reached the server, or the owner's did not";

  auto again = open_tab(*browser, link);
  ASSERT_TRUE(again);
  EXPECT_TRUE(wait_page(*browser, *again, "window.korvane.phase === 'ended'", 10000))
      << "a share link opened a second tab: " << page_state(*browser, *again);
  ASSERT_TRUE(close_tab(*browser, *owner));
  EXPECT_TRUE(wait_page(*browser, *viewer, "window.korvane.phase === 'ended'", 5000))
      << page_state(*browser, *viewer);
  const std::string log = read_file(gateway->log_path);
  EXPECT_NE(log.find("a viewer left (the owner left)"), std::string::npos) << log;
}

TEST_F(WebBrowserTest, XCursorBecomesThePagesCssCursor) {
  auto t = open_connected("&codec=raw");
  ASSERT_TRUE(t);
  ASSERT_TRUE(mouse(*browser, *t, "mouseMoved", 400, 300));
  // The shadow server sends a pointer only when X reports a change, and reads those changes
  // late: each try goes through two cursors.
  bool shaped = false;
  const auto t0 = Clock::now();
  for (int i = 0; i < 20 && !shaped && ms_since(t0) < 20000; ++i) {
    run_x(x, {"xsetroot", "-cursor_name", i % 2 ? "watch" : "pirate"});
    ASSERT_TRUE(mouse(*browser, *t, "mouseMoved", 400 + i % 2, 300));
    shaped = wait_page(*browser, *t, "window.korvane.cursor.startsWith('url(data:image/png')", 800);
  }
  EXPECT_TRUE(shaped) << page_state(*browser, *t);
  const auto css = eval(*browser, *t, "document.getElementById('screen').style.cursor");
  EXPECT_NE(css.value_or("").find("url("), std::string::npos) << css.value_or("");
}

TEST_F(WebBrowserTest, ClosingTheTabEndsKorvaneWithinASecond) {
  auto t = open_connected("&codec=raw");
  ASSERT_TRUE(t);
  ASSERT_EQ(test::children_of(gateway->process.pid).size(), 1u);
  ASSERT_TRUE(close_tab(*browser, *t));
  const auto t0 = Clock::now();
  while (!test::children_of(gateway->process.pid).empty() && ms_since(t0) < 5000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const long took = ms_since(t0);
  EXPECT_TRUE(test::children_of(gateway->process.pid).empty());
  EXPECT_LT(took, 1000) << "korvane outlived its tab by " << took << " ms";
}

TEST_F(WebBrowserTest, TenTabsInTurnLeaveNoKorvane) {
  for (int i = 0; i < 10; ++i) {
    auto t = open_connected("&codec=raw");
    ASSERT_TRUE(t) << "tab " << i;
    ASSERT_TRUE(close_tab(*browser, *t));
  }
  const auto t0 = Clock::now();
  while (!test::children_of(gateway->process.pid).empty() && ms_since(t0) < 3000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
  }
  EXPECT_TRUE(test::children_of(gateway->process.pid).empty());
}

// ---- clipboard and resizing, against the test server's clipboard and display control channels

// Lower-case hex of the text's UTF-16LE units, as the test server writes and reads them.
std::string utf16le_hex(const std::u16string& text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const char16_t u : text) {
    for (const uint8_t byte : {static_cast<uint8_t>(u & 0xFF), static_cast<uint8_t>(u >> 8)}) {
      out += digits[byte >> 4];
      out += digits[byte & 0xF];
    }
  }
  return out;
}

// One test server, one gateway in front of it, one browser: what each test below needs.
class WebTestServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KORVANE_WEB_PATH).empty() || std::string(KORVANE_TEST_SERVER_PATH).empty())
      GTEST_SKIP() << "korvane-web or korvane-test-server not built";
    if (!have_program("chromium")) GTEST_SKIP() << "chromium is not installed (scripts/setup.sh)";
    dir = make_temp_dir("korvane-web-server");
  }
  void TearDown() override {
    if (browser) close_browser(*browser);
    if (HasFailure() && gateway) {
      std::fprintf(stderr, "---- gateway log\n%s\n", read_file(gateway->log_path).c_str());
    }
    if (HasFailure() && server) {
      std::fprintf(stderr, "---- server log\n%s\n", output_of(*server->process).c_str());
    }
  }

  void start(const std::vector<std::string>& steps, const std::vector<std::string>& extra,
             const std::string& target_extra = "") {
    std::string error;
    ASSERT_TRUE(start_server_and_gateway(dir.path, "test", steps, extra, server, gateway, error,
                                         target_extra))
        << error;
    browser = start_browser(dir.path + "/chromium.log");
    ASSERT_TRUE(browser) << "chromium did not start";
  }

  std::string origin() const { return "http://127.0.0.1:" + std::to_string(gateway->port); }

  std::optional<Tab> open_connected() {
    return test::open_connected(*browser, origin() + "/?target=test&connect=1&codec=raw");
  }

  TempDir dir;
  std::optional<TestServer> server;
  std::optional<GatewayRun> gateway;
  std::optional<Browser> browser;
};

TEST_F(WebTestServerTest, ClipboardTextGoesBothWays) {
  const std::u16string from_server = u"Grüße aus RDP ✓";
  const std::u16string from_page = u"vom Browser: ½ ☕";
  // The page offers first (the server waits for korvane's own empty list and the page's), then
  // the server offers its text: the page's copy must not be what comes back.
  start({"clip-serve 13 hex:" + utf16le_hex(from_server) + "0000", "clip-wait-lists 2 30000",
         "clip-request 13 30000", "clip-formats 13", "clip-wait-requests 1 30000"},
        {});
  ASSERT_FALSE(HasFatalFailure());
  auto t = open_connected();
  ASSERT_TRUE(t);
  // The browser lets the page at the gateway's origin use the clipboard, and the tab counts as
  // focused, as it would for a person using it.
  ASSERT_TRUE(cdp(*browser, "Browser.grantPermissions",
                  "{\"origin\":" + json_quote(origin()) +
                      ",\"permissions\":[\"clipboardReadWrite\",\"clipboardSanitizedWrite\"]}"));
  ASSERT_TRUE(
      cdp(*browser, "Emulation.setFocusEmulationEnabled", "{\"enabled\":true}", t->session));
  // Copied in the browser, then back to the tab: the page reads the clipboard and offers it.
  ASSERT_EQ(eval(*browser, *t,
                 "navigator.clipboard.writeText('vom Browser: \\u00bd \\u2615').then(() => 'ok')"),
            "ok");
  ASSERT_TRUE(eval(*browser, *t, "window.dispatchEvent(new Event('focus')), 'ok'"));
  const auto data = wait_for_prefix(*server->process, "CLIP data format=13 ", 30000);
  ASSERT_TRUE(data) << page_state(*browser, *t);
  const auto hex_at = data->find(" hex=");
  ASSERT_NE(hex_at, std::string::npos) << *data;
  const std::string got_hex = data->substr(hex_at + 5);
  // The text, ended by a zero unit as Windows expects of CF_UNICODETEXT.
  EXPECT_EQ(got_hex, utf16le_hex(from_page) + "0000") << *data;
  // The server's text reaches the page and, through it, the browser's clipboard.
  const std::string want = "Grüße aus RDP ✓";
  EXPECT_TRUE(
      wait_page(*browser, *t, "window.korvane.remoteClipboard === " + json_quote(want), 30000))
      << page_state(*browser, *t);
  std::optional<std::string> clip;
  const auto t0 = Clock::now();
  while (ms_since(t0) < 5000) {
    clip = eval(*browser, *t, "navigator.clipboard.readText()");
    if (clip == want) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(clip.value_or("(unreadable)"), want);
  // What came from the server is not offered back to it: the page's one list is all it sent.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int lists = 0;
  for (const auto& line : lines_of(*server->process)) lists += line.rfind("CLIP formats ", 0) == 0;
  EXPECT_EQ(lists, 2) << output_of(*server->process);
}

// Files through the clipboard: the server's file shows in the page's download list and a click
// fetches it byte for byte, with progress; then a file dropped on the desktop goes to the
// session's clipboard and the server reads it whole.
TEST_F(WebTestServerTest, CopiedFilesDownloadAndDroppedFilesPaste) {
  constexpr uint32_t kDown = 3 * 1048576 + 123, kUp = 2500000;
  const auto list =
      host::encode_file_list(std::vector<host::ListedFile>{{"from server.bin", kDown}});
  ASSERT_TRUE(list);
  start({"clip-formats 49400:FileGroupDescriptorW", "clip-serve 49400 hex:" + e2e::hex(*list),
         "clip-file-serve 0 gen:" + std::to_string(kDown) + ":9", "clip-wait-lists 2 60000",
         "clip-file-pull 1 0 1048576 30000"},
        {});
  ASSERT_FALSE(HasFatalFailure());
  auto t = open_connected();
  ASSERT_TRUE(t);
  ASSERT_TRUE(wait_page(*browser, *t,
                        "window.korvane.files.listed[0] === 'from server.bin' && "
                        "!document.getElementById('downloads').hidden",
                        30000))
      << page_state(*browser, *t);
  ASSERT_TRUE(eval(*browser, *t, "document.querySelector('#downloads button').click(), 'ok'"));
  const std::string sha = e2e::sha256_hex(e2e::generated(kDown, 9));
  EXPECT_TRUE(wait_page(
      *browser, *t,
      "window.korvane.files.downloads[0].sha256 === " + json_quote(sha) +
          " && document.querySelector('#downloads progress').value === " + std::to_string(kDown),
      30000))
      << page_state(*browser, *t);

  std::vector<uint8_t> up(kUp);
  for (size_t i = 0; i < up.size(); ++i) up[i] = static_cast<uint8_t>(i * 31 + (i >> 11));
  ASSERT_EQ(eval(*browser, *t,
                 "(() => { const b = new Uint8Array(" + std::to_string(kUp) +
                     "); for (let i = 0; i < b.length; i++) b[i] = i * 31 + (i >> 11);"
                     " const dt = new DataTransfer(); dt.items.add(new File([b], 'dropped.bin'));"
                     " document.getElementById('screen').dispatchEvent(new DragEvent('drop',"
                     " { dataTransfer: dt, bubbles: true, cancelable: true })); return 'ok'; })()"),
            "ok");
  EXPECT_TRUE(wait_for_line(*server->process,
                            std::regex("CLIP pulled stream=1 size=" + std::to_string(kUp) +
                                       " sha256=" + e2e::sha256_hex(up) + " ms=\\d+"),
                            30000))
      << page_state(*browser, *t);
}

// A target with recordings: the session is recorded, the page's input with it, and the target's
// recordings past their age are pruned when it starts; another target's are left.
TEST_F(WebTestServerTest, TheTargetsSessionsAreRecordedAndOldOnesPruned) {
  const std::string rec = dir.path + "/rec";
  std::filesystem::create_directories(rec);
  for (const char* old : {"test-20200101-000000-1.kvr", "tester-20200101-000000-1.kvr"}) {
    std::ofstream(rec + "/" + old) << "old";
    std::filesystem::last_write_time(
        rec + "/" + old,
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 40));
  }
  start({"pattern 0 0 200 100 3", "clip-wait-lists 2 30000", "end"}, {},
        "record = " + rec + "\nrecord_max_days = 30\nrecord_playback = yes\n");
  ASSERT_FALSE(HasFatalFailure());
  auto t = open_connected();
  ASSERT_TRUE(t);
  ASSERT_TRUE(eval(*browser, *t, "window.korvaneOfferText('typed'), 'ok'"));
  const auto t0 = Clock::now();
  while (read_file(gateway->log_path).find(": recorded ") == std::string::npos &&
         ms_since(t0) < 30000)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_NE(read_file(gateway->log_path).find(": recorded "), std::string::npos)
      << read_file(gateway->log_path);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(rec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
  EXPECT_EQ(names[1], "tester-20200101-000000-1.kvr");
  std::ifstream in(rec + "/" + names[0], std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  RecordingHeader header;
  std::map<std::pair<bool, uint8_t>, int> seen;
  EXPECT_EQ(host::read_recording(file, header,
                                 [&](const Record& r) {
                                   ++seen[{r.from_host, r.type}];
                                 }),
            RecordingProblem::none);
  EXPECT_EQ((seen[{false, EVT_CONNECTED}]), 1);
  EXPECT_GE((seen[{false, EVT_RECT}]) + (seen[{false, EVT_RECT_DEFLATE}]), 1);
  EXPECT_GE((seen[{true, CMD_CLIP_DATA}]), 1) << "the page's clipboard text";

  // The page lists the recording and plays it at 4x to the picture korvane-host's replay ends
  // on; a seek to the start starts it over, one to the end shows that picture again.
  host::SpawnOptions replay;
  replay.argv = {KORVANE_HOST_PATH, "--replay", rec + "/" + names[0],
                 "--quiet",         "--png",    dir.path + "/replay.png"};
  ASSERT_TRUE(host::run_capture(replay, 60000).status);
  const auto want = host::read_png(dir.path + "/replay.png");
  ASSERT_TRUE(want);
  auto list = open_tab(*browser, origin() + "/?target=test");
  ASSERT_TRUE(list);
  EXPECT_TRUE(wait_page(
      *browser, *list,
      "document.getElementById('recordings').textContent.includes('" + names[0] + "')", 10000));
  auto player =
      open_tab(*browser, origin() + "/?target=test&play=" + names[0] + "&speed=4&autoplay=1");
  ASSERT_TRUE(player);
  ASSERT_TRUE(
      wait_page(*browser, *player, "window.korvane.player && window.korvane.player.ended", 20000))
      << page_state(*browser, *player);
  EXPECT_EQ(eval(*browser, *player, "String(window.korvane.player.speed)"), "4");
  EXPECT_GE(page_match(*browser, *player, dir.path, want->width, want->height, *want), 0.99);
  eval(*browser, *player, "window.korvanePlayer.seek(0), ''");
  EXPECT_EQ(eval(*browser, *player,
                 "String(window.korvane.player.time === 0 && "
                 "!window.korvane.player.ended)"),
            "true");
  eval(*browser, *player, "window.korvanePlayer.seek(1e9), ''");
  EXPECT_GE(page_match(*browser, *player, dir.path, want->width, want->height, *want), 0.99);
}

// The server's sweep plays through Web Audio without errors, and Chromium's fake microphone,
// sent once the person presses the button, reaches the server: its beeps come and go.
TEST_F(WebTestServerTest, SoundPlaysAndTheMicrophoneReachesTheServer) {
  start({"sound-pcm 48000 2 2000", "mic-open 1 48000 2 960", "mic-wait-bytes 576000 30000",
         "mic-dump mic.raw"},
        {"--dump-dir", dir.path});
  ASSERT_FALSE(HasFatalFailure());
  auto t = test::open_connected(*browser, origin() + "/?target=test&connect=1&codec=raw&mic=1");
  ASSERT_TRUE(t);
  ASSERT_TRUE(wait_page(*browser, *t, "!document.getElementById('mic').hidden", 10000));
  ASSERT_TRUE(eval(*browser, *t, "document.getElementById('mic').click(), 'ok'"));
  EXPECT_TRUE(wait_page(*browser, *t, "window.korvane.sound.mic === 'on'", 10000))
      << page_state(*browser, *t);
  ASSERT_TRUE(wait_for_prefix(*server->process, "MIC dumped ", 60000)) << page_state(*browser, *t);
  EXPECT_TRUE(wait_page(*browser, *t,
                        "window.korvane.sound.played > 1.9 && window.korvane.sound.errors === 0 && "
                        "window.korvane.sound.context === 'running' && "
                        "window.korvane.sound.micBlocks > 50",
                        10000))
      << page_state(*browser, *t);
  // The microphone's 3 s in 10 ms windows of 48 kHz stereo: loud ones (a beep) and quiet ones
  // alternate more than once.
  const std::string raw = read_file(dir.path + "/mic.raw");
  ASSERT_EQ(raw.size(), 576000u);
  int changes = 0, loud_windows = 0;
  bool loud = false;
  for (size_t w = 0; w + 1920 <= raw.size(); w += 1920) {
    double energy = 0;
    for (size_t i = w; i < w + 1920; i += 2) {
      const auto v = static_cast<int16_t>(static_cast<uint8_t>(raw[i]) |
                                          static_cast<uint8_t>(raw[i + 1]) << 8);
      energy += static_cast<double>(v) * v;
    }
    const bool now = energy / 960 > 1000.0 * 1000.0;  // RMS over 1000
    changes += now != loud;
    loud_windows += now;
    loud = now;
  }
  EXPECT_GE(changes, 4) << loud_windows << " loud windows";
  EXPECT_LT(loud_windows, 250) << "a beep, not a constant sound";
}

TEST_F(WebTestServerTest, ResizingTheWindowResizesTheDesktopOnce) {
  start({"wait-layouts 1 30000"}, {"--disp", "resize"});
  ASSERT_FALSE(HasFatalFailure());
  auto t = open_connected();
  ASSERT_TRUE(t);
  const auto before = eval(*browser, *t, "window.korvane.width + 'x' + window.korvane.height");
  auto win = cdp(*browser, "Browser.getWindowForTarget", "{\"targetId\":\"" + t->target_id + "\"}");
  ASSERT_TRUE(win);
  const int window_id = win->get<int>("result.windowId", 0);
  // What the page sends, seen on its way out: korvane coalesces requests too, so the server's
  // log alone would not show a page that sends every size.
  ASSERT_EQ(eval(*browser, *t,
                 "window.sentResizes = []; const send = WebSocket.prototype.send;"
                 "WebSocket.prototype.send = function (d) {"
                 "  const b = d instanceof ArrayBuffer ? new Uint8Array(d)"
                 "    : new Uint8Array(d.buffer, d.byteOffset, d.byteLength);"
                 "  if (b[0] === 10 && b.byteLength >= 13) {"
                 "    const v = new DataView(b.buffer, b.byteOffset, b.byteLength);"
                 "    window.sentResizes.push(v.getUint32(5, true) + 'x' + v.getUint32(9, true));"
                 "  }"
                 "  return send.call(this, d);"
                 "}; 'ok'"),
            "ok");
  // A window dragged to its size goes through several on the way; the page must send one.
  for (const int w : {760, 740, 720}) {
    ASSERT_TRUE(cdp(*browser, "Browser.setWindowBounds",
                    "{\"windowId\":" + std::to_string(window_id) +
                        ",\"bounds\":{\"width\":" + std::to_string(w) + ",\"height\":500}}"));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
  }
  ASSERT_TRUE(wait_page(*browser, *t, "innerWidth === 720", 5000))
      << eval(*browser, *t, "innerWidth + 'x' + innerHeight").value_or("");
  const std::string inner = eval(*browser, *t, "innerWidth + 'x' + innerHeight").value_or("");
  const auto x_at = inner.find('x');
  ASSERT_NE(x_at, std::string::npos) << inner;
  const std::string width = inner.substr(0, x_at), height = inner.substr(x_at + 1);
  const auto layout = wait_for_prefix(*server->process, "DISP layout ", 10000);
  ASSERT_TRUE(layout) << page_state(*browser, *t);
  EXPECT_EQ(*layout, "DISP layout count=1 width=" + width + " height=" + height);
  // The page follows the server's new size.
  EXPECT_TRUE(wait_page(*browser, *t,
                        "window.korvane.width + 'x' + window.korvane.height === '" + inner + "'",
                        10000))
      << page_state(*browser, *t) << " before " << before.value_or("");
  EXPECT_NE(before.value_or(""), inner);
  // Debounced: past the page's wait, still the one layout.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(eval(*browser, *t, "window.sentResizes.join(' ')"), inner);
  int layouts = 0;
  for (const auto& line : lines_of(*server->process)) layouts += line.rfind("DISP layout ", 0) == 0;
  EXPECT_EQ(layouts, 1) << output_of(*server->process);
}

// A 2x screen: the page asks for its window in device pixels with its scale, shows the desktop
// one desktop pixel a device pixel (per-pixel noise survives no resampling), and a wider window
// goes to the server with the same scale.
TEST_F(WebTestServerTest, HighDensityScreenGetsADesktopOfDevicePixels) {
  start({"full 1", "dump " + dir.path + "/1.rgba", "wait-layouts 1 30000",
         "dump " + dir.path + "/2.rgba"},
        {"--disp", "resize"});
  ASSERT_FALSE(HasFatalFailure());
  auto t = open_tab(*browser, "about:blank");
  ASSERT_TRUE(t);
  const auto emulate = [&](int w) {
    return cdp(*browser, "Emulation.setDeviceMetricsOverride",
               "{\"deviceScaleFactor\":2,\"mobile\":false,\"height\":400,\"width\":" +
                   std::to_string(w) + "}",
               t->session);
  };
  // The canvas holds twice its CSS size, and the screen shows the server's picture.
  const auto shows = [&](uint32_t w, const std::string& dump) {
    const std::string size = std::to_string(2 * w) + "x800 " + std::to_string(w) + "x400";
    EXPECT_TRUE(wait_page(*browser, *t,
                          "(c => `${c.width}x${c.height} ${c.clientWidth}x${c.clientHeight}`)"
                          "(document.getElementById('screen')) === '" +
                              size + "'",
                          10000))
        << page_state(*browser, *t);
    EXPECT_TRUE(wait_for_prefix(*server->process, "DUMPED path=" + dir.path + dump, 10000));
    const std::string b = read_file(dir.path + dump);
    EXPECT_GE(page_match(*browser, *t, dir.path, w, 400, {2 * w, 800, {b.begin(), b.end()}}), 0.99);
  };
  ASSERT_TRUE(emulate(500));
  ASSERT_TRUE(cdp(*browser, "Page.navigate",
                  "{\"url\":" + json_quote(origin() + "/?target=test&connect=1&codec=raw") + "}",
                  t->session));
  ASSERT_TRUE(wait_page(*browser, *t, "window.korvane.phase === 'connected'", 30000))
      << page_state(*browser, *t);
  // The readout lies over the picture.
  ASSERT_TRUE(eval(*browser, *t, "document.getElementById('bar').hidden = true, ''"));
  const std::string client = wait_for_prefix(*server->process, "CLIENT ", 10000).value_or("");
  EXPECT_EQ(client.rfind("CLIENT desktop=1000x800 scale=200/180 ", 0), 0u) << client;
  shows(500, "/1.rgba");
  ASSERT_TRUE(emulate(600));
  EXPECT_EQ(wait_for_prefix(*server->process, "DISP monitor ", 10000),
            "DISP monitor i=0 left=0 top=0 width=1200 height=800 primary=1 physical=0x0 "
            "orientation=0 scale=200/180");
  shows(600, "/2.rgba");
}

// ---- a browser that does not read

// A page that stops reading (a busy or throttled tab) must not make the gateway queue frames
// without bound: it stops reading korvane instead, and every frame still arrives once the page
// reads again.
using Socket = websocket::stream<beast::tcp_stream>;

// A WebSocket to the gateway's /ws with these subprotocols, from its own origin.
// Elsewhere than 127.0.0.1 (a node behind a load balancer), from `origin` (the balancer's).
std::unique_ptr<Socket> open_socket(net::io_context& io, uint16_t port,
                                    const std::string& protocols,
                                    const std::string& address = "127.0.0.1",
                                    std::string origin = "") {
  auto ws = std::make_unique<Socket>(io);
  beast::get_lowest_layer(*ws).expires_after(std::chrono::seconds(10));
  beast::error_code ec;
  beast::get_lowest_layer(*ws).connect(net::ip::tcp::endpoint(net::ip::make_address(address), port),
                                       ec);
  EXPECT_FALSE(ec) << ec.message();
  if (origin.empty()) origin = "http://127.0.0.1:" + std::to_string(port);
  ws->set_option(websocket::stream_base::decorator([=](websocket::request_type& req) {
    req.set(http::field::origin, origin);
    req.set(http::field::sec_websocket_protocol, protocols);
  }));
  ws->read_message_max(80u << 20);
  if (!ec) ws->handshake("127.0.0.1:" + std::to_string(port), "/ws", ec);
  EXPECT_FALSE(ec) << ec.message();
  return ec ? nullptr : std::move(ws);
}

// Reads until `want` bytes of rectangles (counted by the area they paint) came, or 60 s pass;
// text messages go to `text`.
uint64_t read_rect_bytes(Socket& ws, uint64_t want, std::string* text = nullptr) {
  uint64_t rect_bytes = 0;
  beast::error_code ec;
  for (const auto t0 = Clock::now(); rect_bytes < want && ms_since(t0) < 60000;) {
    beast::get_lowest_layer(ws).expires_after(std::chrono::seconds(20));
    beast::flat_buffer buffer;
    ws.read(buffer, ec);
    if (ec) break;
    const auto* bytes = static_cast<const uint8_t*>(buffer.data().data());
    if (!ws.got_binary()) {
      if (text) *text = std::string(reinterpret_cast<const char*>(bytes), buffer.size());
      if (text) return rect_bytes;
      continue;
    }
    // EVT_RECT (2) or EVT_RECT_DEFLATE (26): x, y, width, height (i32, never negative), then
    // the pixels, plain or deflated.
    if (buffer.size() > 21 &&
        (bytes[0] == korvane::EVT_RECT || bytes[0] == korvane::EVT_RECT_DEFLATE))
      rect_bytes += uint64_t{korvane::get_u32(bytes + 13)} * korvane::get_u32(bytes + 17) * 4;
  }
  EXPECT_FALSE(ec) << ec.message();
  return rect_bytes;
}

struct FloodRig {
  TempDir dir = make_temp_dir("korvane-web-flow");
  std::optional<TestServer> server;
  std::optional<GatewayRun> gateway;
  std::string token;

  bool start(int frames) {
    std::string error;
    EXPECT_TRUE(start_server_and_gateway(dir.path, "flood", {"stream " + std::to_string(frames)},
                                         {}, server, gateway, error))
        << error;
    if (!gateway) return false;
    const Reply session = http_request(gateway->port, http::verb::post, "/session",
                                       "http://127.0.0.1:" + std::to_string(gateway->port),
                                       "target=flood&width=1920&height=1080&codec=raw");
    EXPECT_EQ(session.status, 200) << session.body;
    token = token_of(session.body);
    return session.status == 200;
  }
  // The gateway's growth over `ms`, in KiB.
  long growth_kib(long base_kib, int ms) {
    long peak_kib = base_kib;
    for (const auto t0 = Clock::now(); ms_since(t0) < ms;) {
      peak_kib = std::max(peak_kib, test::resident_kib(gateway->process.pid));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return peak_kib - base_kib;
  }
};

constexpr uint64_t kFloodFrameBytes = 1920ull * 1080ull * 4ull;

TEST(WebFlowControl, ASocketThatDoesNotReadHoldsTheGatewaysMemoryBounded) {
  if (std::string(KORVANE_WEB_PATH).empty() || std::string(KORVANE_TEST_SERVER_PATH).empty())
    GTEST_SKIP() << "korvane-web or korvane-test-server not built";
  constexpr int kFrames = 40;
  FloodRig rig;
  ASSERT_TRUE(rig.start(kFrames));
  const long base_kib = test::resident_kib(rig.gateway->process.pid);
  ASSERT_GT(base_kib, 0);
  net::io_context io;
  auto ws = open_socket(io, rig.gateway->port, "korvane, token." + rig.token);
  ASSERT_TRUE(ws);
  // Not reading while the server streams: without a bound the gateway would hold most of the
  // stream (some 150 MB here) within these seconds.
  const long grew = rig.growth_kib(base_kib, 3000);
  EXPECT_LT(grew, 64 * 1024) << "the gateway grew by " << grew / 1024
                             << " MiB for a socket that reads nothing";
  // Reading again, everything comes.
  EXPECT_GE(read_rect_bytes(*ws, kFrames * kFloodFrameBytes), kFrames * kFloodFrameBytes)
      << "the stream did not all arrive";
  EXPECT_TRUE(wait_for_prefix(*rig.server->process, "STREAM", 20000))
      << output_of(*rig.server->process);
}

// A viewer that stops reading does not hold back its owner, nor grow the gateway: its queue is
// dropped past 8 MiB, and once it reads again it is brought up to date (the session's size,
// then the picture).
TEST(WebFlowControl, AViewerThatDoesNotReadHoldsNobodyBack) {
  if (std::string(KORVANE_WEB_PATH).empty() || std::string(KORVANE_TEST_SERVER_PATH).empty())
    GTEST_SKIP() << "korvane-web or korvane-test-server not built";
  constexpr int kFrames = 60;
  FloodRig rig;
  ASSERT_TRUE(rig.start(kFrames));
  net::io_context io;
  auto owner = open_socket(io, rig.gateway->port, "korvane, token." + rig.token);
  ASSERT_TRUE(owner);
  owner->text(true);
  beast::error_code ec;
  owner->write(net::buffer(std::string("share view 5")), ec);
  ASSERT_FALSE(ec) << ec.message();
  std::string answer;
  read_rect_bytes(*owner, ~uint64_t{0}, &answer);
  ASSERT_EQ(answer.rfind("shared ", 0), 0u) << answer;
  auto viewer = open_socket(io, rig.gateway->port, "korvane, share." + answer.substr(7, 32));
  ASSERT_TRUE(viewer);
  const long base_kib = test::resident_kib(rig.gateway->process.pid);
  EXPECT_GE(read_rect_bytes(*owner, kFrames * kFloodFrameBytes), kFrames * kFloodFrameBytes)
      << "the owner did not get the whole stream while its viewer read nothing";
  EXPECT_LT(rig.growth_kib(base_kib, 200), 64 * 1024);
  EXPECT_NE(read_file(rig.gateway->log_path).find("a viewer fell behind"), std::string::npos)
      << read_file(rig.gateway->log_path);
  // Reading again: first whatever was in flight, then the state and a fresh picture.
  bool connected = false;
  for (const auto t0 = Clock::now(); !connected && ms_since(t0) < 20000;) {
    beast::get_lowest_layer(*viewer).expires_after(std::chrono::seconds(20));
    beast::flat_buffer buffer;
    viewer->read(buffer, ec);
    if (ec) break;
    connected = static_cast<const uint8_t*>(buffer.data().data())[0] == korvane::EVT_CONNECTED;
  }
  EXPECT_TRUE(connected) << ec.message();
}

// ---- H.264 through WebCodecs, against the test server's x264 AVC420 pictures

TEST(WebH264, VideoDecoderPaintsTheServersPicture) {
  if (std::string(KORVANE_WEB_PATH).empty() || std::string(KORVANE_TEST_SERVER_PATH).empty())
    GTEST_SKIP() << "korvane-web or korvane-test-server not built";
  if (!have_program("chromium")) GTEST_SKIP() << "chromium is not installed (scripts/setup.sh)";
  TempDir dir = make_temp_dir("korvane-web-h264");
  std::optional<TestServer> server;
  std::optional<GatewayRun> gateway;
  std::string error;
  // A key frame, then pictures that depend on it: decoding must carry across updates.
  ASSERT_TRUE(start_server_and_gateway(
      dir.path, "video",
      {"gfx-open", "gfx-surface 1 320 240", "gfx-map 1 100 80", "gfx-avc420 1 0 0 320 240 1",
       "gfx-avc420 1 0 0 320 240 2", "gfx-avc420 1 0 0 320 240 3"},
      {"--dump-dir", dir.path}, server, gateway, error))
      << error;
  auto b = start_browser(dir.path + "/chromium.log");
  ASSERT_TRUE(b);
  auto t = open_tab(*b, "http://127.0.0.1:" + std::to_string(gateway->port) +
                            "/?target=video&connect=1&codec=h264");
  ASSERT_TRUE(t);
  const bool decoded = wait_page(*b, *t, "window.korvane.decodedFrames >= 3", 30000);
  const std::string state = page_state(*b, *t);
  EXPECT_TRUE(decoded) << state << "\n" << read_file(gateway->log_path);
  EXPECT_EQ(eval(*b, *t, "String(window.korvane.codecs)"), "1") << "AVC420 alone was asked for";
  EXPECT_EQ(eval(*b, *t, "String(window.korvane.decodeErrors)"), "0") << state;
  EXPECT_EQ(eval(*b, *t, "String(window.korvane.h264Chunks)"), "3") << state;
  // The last picture as the server encoded it, against the page where it was drawn.
  const auto page = page_screenshot(*b, *t, dir.path, 800, 600);
  ASSERT_TRUE(page);
  const std::string sent = read_file(dir.path + "/gfx-6.rgba");
  ASSERT_EQ(sent.size(), 320u * 240u * 4u) << "the server's dump of the last picture";
  double sum = 0;
  for (uint32_t y = 0; y < 240; ++y) {
    for (uint32_t x = 0; x < 320; ++x) {
      for (int c = 0; c < 3; ++c) {
        const double d =
            static_cast<double>(page->rgba[((80 + y) * page->width + 100 + x) * 4 + c]) -
            static_cast<uint8_t>(sent[(y * 320 + x) * 4 + c]);
        sum += d * d;
      }
    }
  }
  const double mse = sum / (320.0 * 240.0 * 3.0);
  const double psnr = mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
  // The pictures are per-pixel noise, the hardest for the encoder, and the browser converts
  // colours itself: a right picture scores about 29 dB, a wrong or misplaced one below 12.
  EXPECT_GT(psnr, 25.0) << "PSNR " << psnr << " dB; " << state;
  close_browser(*b);
}

// ---- several gateway nodes behind HAProxy, sharing a registry in Redis

// scripts/web-cluster.sh's nodes node1..nodeN on 127.0.0.2.., HAProxy and Redis; all stopped
// with the rig.
struct ClusterRig {
  TempDir dir = make_temp_dir("korvane-web-cluster");
  std::string run;
  uint16_t front = 0, node_port = 0, redis_port = 0;
  ~ClusterRig() {
    if (front) host::run_capture({.argv = {"bash", KORVANE_WEB_CLUSTER, "stop", run}}, 30000);
  }
  bool start(const std::string& targets, int nodes) {
    run = dir.path + "/run";
    std::ofstream(dir.path + "/targets.conf") << targets;
    front = free_tcp_port();
    const auto r = host::run_capture(
        {.argv = {"bash", KORVANE_WEB_CLUSTER, "start", run, dir.path + "/targets.conf",
                  std::to_string(nodes), std::to_string(front)},
         .env = {std::string("KORVANE_WEB=") + KORVANE_WEB_PATH},
         .stderr_path = "-"},
        60000);
    std::istringstream(read_file(run + "/ports")) >> node_port >> redis_port;
    EXPECT_TRUE(r.status && r.status->code == 0 && redis_port) << r.out;
    return redis_port != 0;
  }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(front); }
  static std::string address(int node) { return "127.0.0." + std::to_string(node + 1); }
  int pid(int node) const {
    return std::stoi(read_file(run + "/node" + std::to_string(node) + ".pid"));
  }
  std::string log(int node) const {
    return read_file(run + "/node" + std::to_string(node) + ".log");
  }
  // Every key of the registry and its value, a line each.
  std::string registry() const {
    const std::string cli = "redis-cli -p " + std::to_string(redis_port);
    return host::run_capture({.argv = {"sh", "-c",
                                       cli + " --scan | while read k; do echo \"$k $(" + cli +
                                           " get \"$k\")\"; done"}},
                             10000)
        .out;
  }
  // The registry's sessions: how many each node runs.
  std::map<std::string, int> sessions() const {
    std::map<std::string, int> by_node;
    std::istringstream lines(registry());
    for (std::string key, value; lines >> key >> value;)
      if (key.starts_with("korvane:session:")) ++by_node[value];
    return by_node;
  }
  Reply health(int node) const {
    return http_request(node_port, http::verb::get, "/healthz", "", "", address(node));
  }
};

// Not a zombie either: the nodes' parent is init, which reaps them when it gets to it.
bool alive(int pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(") ");
  return paren != std::string::npos && stat[paren + 2] != 'Z';
}

bool have_cluster_programs() {
  return have_program("haproxy") && have_program("redis-server") && have_program("redis-cli");
}

// Ten people's tabs (each browser context its own cookies) spread over three nodes, each
// showing its server's picture; a share link reaches its owner's node from anywhere. One node
// dies: its tabs end, the others go on, new tabs go elsewhere and the registry forgets it. One
// drains: it takes no new session, and exits once its tabs closed.
TEST_F(WebBrowserTest, ClusterOfThreeNodesSpreadsFollowsSurvivesAndDrains) {
  if (!have_cluster_programs()) GTEST_SKIP() << "haproxy or redis not installed (scripts/setup.sh)";
  std::string error;
  auto server = tls_test_server(logs.path, {"fill 0 0 200 200 cc3311", "sleep 600000"}, &error);
  ASSERT_TRUE(server) << error;
  ClusterRig c;
  ASSERT_TRUE(c.start(
      "resume_seconds = 5\n[target desk]\nhost = 127.0.0.1\nport = " +
          std::to_string(shadow->port) + "\nuser = test\npassword = " + kSecret +
          "\nflags = 1\n[target test]\nhost = 127.0.0.1\nport = " + std::to_string(server->port) +
          "\nuser = test\npassword = test\nflags = 1\n",
      3));
  const auto page = [&](const std::string& target, const std::string& codec = "raw") {
    return c.origin() + "/?target=" + target + "&connect=1&codec=" + codec;
  };
  const auto open_own = [&](const std::string& url) {
    auto t = open_tab(*browser, url, true);
    EXPECT_TRUE(t && wait_page(*browser, *t, "window.korvane.phase === 'connected'", 30000))
        << (t ? page_state(*browser, *t) : "no tab");
    return t;
  };
  std::vector<Tab> tabs;
  for (int i = 0; i < 10; ++i) {
    // Tab 1 is H.264, whose viewer starts from the key frame the gateway kept: the shadow
    // server answers no refresh.
    auto t = open_own(page(i == 0 ? "test" : "desk", i == 1 ? "h264" : "raw"));
    ASSERT_TRUE(t);
    tabs.push_back(*t);
  }
  auto by_node = c.sessions();
  EXPECT_EQ(by_node.size(), 3u);
  for (const auto& [node, n] : by_node) EXPECT_GE(n, 2) << node;
  host::Canvas fill;
  host::resize_canvas(fill, 200, 200);
  for (size_t p = 0; p < fill.rgba.size(); p += 4)
    fill.rgba[p] = 0xcc, fill.rgba[p + 1] = 0x33, fill.rgba[p + 2] = 0x11;
  EXPECT_GE(page_match(*browser, tabs[0], logs.path, 200, 200, fill), 0.99);
  const auto screen = screenshot(x, &error);
  ASSERT_TRUE(screen) << error;
  for (size_t i = 1; i < tabs.size(); ++i)
    EXPECT_GE(page_match(*browser, tabs[i], logs.path, kWidth, kHeight, *screen), 0.99) << i;

  // A share link, opened through the balancer by someone else: whichever node takes it, the
  // viewer joins the owner's session.
  eval(*browser, tabs[1], "document.querySelector('#share form').requestSubmit(), ''");
  ASSERT_TRUE(wait_page(*browser, tabs[1], "window.korvane.share.links.length === 1", 10000));
  auto viewer = open_own(eval(*browser, tabs[1], "window.korvane.share.links[0].url").value_or(""));
  ASSERT_TRUE(viewer);
  EXPECT_GE(page_match(*browser, *viewer, logs.path, kWidth, kHeight, *screen), 0.99);
  // The owner's page reloads: it takes its session back on its node, viewer and all.
  cdp(*browser, "Page.reload", "{}", tabs[1].session);
  EXPECT_TRUE(wait_page(*browser, tabs[1],
                        "window.korvane.phase === 'connected' && window.korvane.decodedFrames > 0",
                        20000))
      << page_state(*browser, tabs[1]);
  EXPECT_GE(page_match(*browser, tabs[1], logs.path, kWidth, kHeight, *screen), 0.99);
  std::string logs_of_nodes;
  for (int n = 1; n <= 3; ++n) logs_of_nodes += c.log(n);
  EXPECT_NE(logs_of_nodes.find("resumed by a reloaded page"), std::string::npos);
  EXPECT_EQ(eval(*browser, *viewer, "window.korvane.phase"), "connected");

  // node1 dies.
  const int sessions_of_1 = by_node["node1"];
  kill(c.pid(1), SIGKILL);
  int ended = 0;
  within(15000, [&] {
    ended = 0;
    for (const auto& t : tabs)
      ended += eval(*browser, t, "window.korvane.phase").value_or("") == "ended";
    return ended >= sessions_of_1;
  });
  EXPECT_EQ(ended, sessions_of_1);
  for (int i = 0; i < 2; ++i) {
    auto t = open_own(page("desk"));
    ASSERT_TRUE(t);
    tabs.push_back(*t);
  }
  const int living = 10 - sessions_of_1 + 2;
  within(25000, [&] {
    by_node = c.sessions();
    return !by_node.count("node1") && by_node["node2"] + by_node["node3"] == living;
  });
  EXPECT_EQ(by_node.count("node1"), 0u) << "the registry did not forget the dead node";
  EXPECT_EQ(by_node["node2"] + by_node["node3"], living)
      << "the tabs of the living nodes did not all go on, or new ones did not start there";

  // node2 drains: no new session there, and it exits once its tabs closed.
  kill(c.pid(2), SIGTERM);
  Reply h;
  within(5000, [&] { return (h = c.health(2)).status == 503; });
  EXPECT_EQ(h.body.rfind("draining", 0), 0u) << h.status << " " << h.body;
  const int draining_pid = c.pid(2);
  EXPECT_TRUE(alive(draining_pid)) << "the drained node did not wait for its sessions";
  auto late = open_own(page("desk"));
  ASSERT_TRUE(late);
  tabs.push_back(*late);
  EXPECT_EQ(c.sessions()["node3"], by_node["node3"] + 1);
  for (const auto& t : tabs) close_tab(*browser, t);
  close_tab(*browser, *viewer);
  // Once its sessions waited resume_seconds for their pages.
  EXPECT_TRUE(within(25000, [&] { return !alive(draining_pid); })) << c.log(2);
  EXPECT_NE(c.log(2).find("drained"), std::string::npos) << c.log(2);
  // The password reached no log and the registry no secret (the one node left keeps its keys).
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(c.log(n).find(kSecret), std::string::npos) << n;
  const std::string registry = c.registry();
  EXPECT_NE(registry.find("korvane:node:node3 127.0.0.4:"), std::string::npos) << registry;
  for (const std::string& secret : {kSecret, read_file(c.run + "/secret").substr(0, 64)})
    EXPECT_EQ(registry.find(secret), std::string::npos) << registry;
}

// Tokens no node made, or expired, are refused by every node; a token of one node's works at
// another, which forwards it. A full node's refusal is tried on the other, and with all full the
// balancer says so. With the registry gone a node refuses new sessions with the reason and the
// running one goes on; a registry that answers nonsense is the same to a node.
TEST(WebCluster, BadTokensFullNodesAndARegistryThatDiesOrTalksNonsense) {
  if (std::string(KORVANE_WEB_PATH).empty() || std::string(KORVANE_TEST_SERVER_PATH).empty())
    GTEST_SKIP() << "korvane-web or korvane-test-server not built";
  if (!have_cluster_programs()) GTEST_SKIP() << "haproxy or redis not installed (scripts/setup.sh)";
  ClusterRig c;
  std::string error;
  auto server = tls_test_server(
      c.dir.path,
      {"fill 0 0 64 64 112233", "wait-input 1 60000", "fill 0 0 64 64 445566", "sleep 60000"},
      &error);
  ASSERT_TRUE(server) << error;
  ASSERT_TRUE(c.start(
      "max_sessions = 1\n[target test]\nhost = 127.0.0.1\nport = " + std::to_string(server->port) +
          "\nuser = test\npassword = test\nflags = 1\n",
      2));
  const std::string secret = read_file(c.run + "/secret").substr(0, 64);
  const std::string nonce(32, 'a');
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  for (const auto& token :
       {web::sign_token(std::string(64, 'f'), "token", "node1", now + 60, nonce),
        web::sign_token(secret, "token", "node1", now - 1, nonce),
        web::sign_token(secret, "share", "node1", now + 60, nonce), nonce})
    for (int node : {1, 2})
      EXPECT_EQ(ws_handshake(c.node_port, c.origin(), "korvane, token." + token, c.address(node)),
                403)
          << token << " at node" << node;

  const Reply made = http_request(c.node_port, http::verb::post, "/session", c.origin(),
                                  "target=test&width=640&height=480&codec=raw", c.address(1));
  ASSERT_EQ(made.status, 200) << made.body;
  net::io_context io;
  auto ws = open_socket(io, c.node_port, "korvane, token." + token_of(made.body), c.address(2),
                        c.origin());
  ASSERT_TRUE(ws);
  EXPECT_GE(read_rect_bytes(*ws, 64 * 64 * 4), 64u * 64 * 4) << c.log(1) << c.log(2);
  // node1 is full (its one session): HAProxy takes its refusal to node2, then both are full.
  const auto session_via_balancer = [&] {
    return http_request(c.front, http::verb::post, "/session", c.origin(), "target=test");
  };
  EXPECT_EQ(token_of(session_via_balancer().body).rfind("node2.", 0), 0u);
  const Reply full = session_via_balancer();
  EXPECT_EQ(full.status, 503);
  // The nodes' own refusal, or once the health checks marked both, HAProxy's: both say so.
  EXPECT_NE(full.body.find("full"), std::string::npos) << full.body;

  kill(std::stoi(read_file(c.run + "/redis.pid")), SIGKILL);
  Reply refused;
  within(15000, [&] {
    refused = http_request(c.node_port, http::verb::post, "/session", c.origin(), "target=test",
                           c.address(2));
    return refused.body.find("registry") != std::string::npos;
  });
  EXPECT_EQ(refused.status, 503);
  EXPECT_NE(refused.body.find("the session registry is unreachable"), std::string::npos)
      << refused.body;
  const auto key = encode_frame(CMD_KEY, encode_key({0x1e, true, false}));
  ws->binary(true);
  beast::error_code ec;
  ws->write(net::buffer(key), ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_GE(read_rect_bytes(*ws, 64 * 64 * 4), 64u * 64 * 4)
      << "the running session did not go on without the registry";

  // A "registry" that answers anything with a reply of no type Redis has.
  const uint16_t nonsense = free_tcp_port();
  auto liar = host::spawn(
      {.argv = {
           "python3", "-c",
           "import socket, sys\ns = socket.create_server(('127.0.0.1', int(sys.argv[1])))\n"
           "while True:\n  c, _ = s.accept(); c.recv(4096); c.sendall(b'?no\\r\\n'); c.close()",
           std::to_string(nonsense)}});
  ASSERT_TRUE(liar && wait_for_port(nonsense, 10000));
  auto lone = start_gateway(c.dir.path,
                            "node = lone\nregistry = 127.0.0.1:" + std::to_string(nonsense) +
                                "\nsecret_file = " + c.run + "/secret\n[target test]\nhost = h\n",
                            &error);
  ASSERT_TRUE(lone) << error;
  within(10000,
         [&] { return read_file(lone->log_path).find("the registry fails") != std::string::npos; });
  const std::string origin = "http://127.0.0.1:" + std::to_string(lone->port);
  EXPECT_EQ(http_request(lone->port, http::verb::post, "/session", origin, "target=test").status,
            503)
      << read_file(lone->log_path);
  EXPECT_EQ(http_request(lone->port, http::verb::get, "/healthz", "").status, 200);
}

}  // namespace
}  // namespace korvane::test
