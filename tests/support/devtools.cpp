#include "devtools.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/png.hpp"

namespace korvane::test {

using boost::property_tree::ptree;
using Clock = std::chrono::steady_clock;

namespace {

long ms_since(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::string base64_decode(const std::string& in) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (const char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

}  // namespace

std::string json_quote(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::optional<Browser> start_browser(const std::string& log_path, int width, int height) {
  Browser b;
  b.width = width;
  b.height = height;
  b.profile = make_temp_dir("korvane-web-chromium");
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return std::nullopt;
  host::SpawnOptions o;
  o.argv = {"chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
            "--remote-debugging-pipe", "--user-data-dir=" + b.profile.path, "--no-first-run",
            "--no-default-browser-check", "--disable-extensions", "--mute-audio",
            // A beeping microphone, allowed without a prompt, and sound without a click.
            "--use-fake-device-for-media-stream", "--use-fake-ui-for-media-stream",
            "--autoplay-policy=no-user-gesture-required",
            "--window-size=" + std::to_string(width) + "," + std::to_string(height), "about:blank"};
  o.env = {"DISPLAY="};
  o.keep_fds = {{in[0], 3}, {out[1], 4}};
  o.stdout_path = log_path;
  o.stderr_path = "-";
  o.own_process_group = true;
  o.term_grace_ms = 2000;
  o.die_with_parent = true;
  auto child = host::spawn(o);
  close(in[0]);
  close(out[1]);
  b.to.reset(in[1]);
  b.from.reset(out[0]);
  if (!child) return std::nullopt;
  b.process = std::move(*child);
  return b;
}

std::optional<ptree> cdp(Browser& b, const std::string& method, const std::string& params,
                         const std::string& session, int timeout_ms) {
  const int id = b.next_id++;
  std::string msg =
      "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
  if (!session.empty()) msg += ",\"sessionId\":\"" + session + "\"";
  msg += "}";
  msg.push_back('\0');
  if (!host::write_all(b.to.get(),
                       std::span(reinterpret_cast<const uint8_t*>(msg.data()), msg.size()), 5000))
    return std::nullopt;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::string want = "{\"id\":" + std::to_string(id) + ",";
  for (;;) {
    size_t nul;
    while ((nul = b.pending.find('\0')) != std::string::npos) {
      std::string one = b.pending.substr(0, nul);
      b.pending.erase(0, nul + 1);
      if (one.rfind(want, 0) != 0) continue;
      ptree tree;
      std::istringstream in(one);
      try {
        boost::property_tree::read_json(in, tree);
      } catch (const std::exception&) {
        return std::nullopt;
      }
      if (tree.get_child_optional("error")) {
        if (b.on_error) b.on_error(method + ": " + one.substr(0, 500));
        return std::nullopt;
      }
      return tree;
    }
    const long left = timeout_ms - ms_since(deadline - std::chrono::milliseconds(timeout_ms));
    if (left <= 0) return std::nullopt;
    pollfd p{b.from.get(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min(left, 200L))) <= 0) continue;
    char buf[65536];
    const ssize_t n = read(b.from.get(), buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    b.pending.append(buf, static_cast<size_t>(n));
  }
}

std::optional<Tab> open_tab(Browser& b, const std::string& url, bool own_cookies) {
  Tab t;
  std::string context;
  if (own_cookies) {
    const auto made = cdp(b, "Target.createBrowserContext");
    if (!made) return std::nullopt;
    context = ",\"browserContextId\":" +
              json_quote(made->get<std::string>("result.browserContextId", ""));
  }
  auto created = cdp(b, "Target.createTarget",
                     "{\"url\":" + json_quote(url) +
                         ",\"newWindow\":true,\"width\":" + std::to_string(b.width) +
                         ",\"height\":" + std::to_string(b.height) + context + "}");
  if (!created) return std::nullopt;
  t.target_id = created->get<std::string>("result.targetId", "");
  auto attached =
      cdp(b, "Target.attachToTarget", "{\"targetId\":\"" + t.target_id + "\",\"flatten\":true}");
  if (!attached) return std::nullopt;
  t.session = attached->get<std::string>("result.sessionId", "");
  return t;
}

bool close_tab(Browser& b, const Tab& t) {
  return cdp(b, "Target.closeTarget", "{\"targetId\":\"" + t.target_id + "\"}").has_value();
}

std::optional<std::string> eval(Browser& b, const Tab& t, const std::string& expression) {
  auto r = cdp(b, "Runtime.evaluate",
               "{\"expression\":" + json_quote(expression) +
                   ",\"returnByValue\":true,\"awaitPromise\":true}",
               t.session);
  if (!r) return std::nullopt;
  const auto v = r->get_optional<std::string>("result.result.value");
  if (!v) return std::nullopt;
  return *v;
}

bool wait_page(Browser& b, const Tab& t, const std::string& condition, int timeout_ms) {
  const auto t0 = Clock::now();
  while (ms_since(t0) < timeout_ms) {
    const auto v = eval(b, t, "String(!!(" + condition + "))");
    if (v && *v == "true") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::string page_state(Browser& b, const Tab& t) {
  return eval(b, t, "JSON.stringify(window.korvane)").value_or("(no state)");
}

std::optional<host::Canvas> page_screenshot(Browser& b, const Tab& t, const std::string& dir,
                                            uint32_t w, uint32_t h) {
  auto r = cdp(b, "Page.captureScreenshot",
               "{\"format\":\"png\",\"clip\":{\"x\":0,\"y\":0,\"width\":" + std::to_string(w) +
                   ",\"height\":" + std::to_string(h) + ",\"scale\":1}}",
               t.session);
  if (!r) return std::nullopt;
  const std::string png = base64_decode(r->get<std::string>("result.data", ""));
  const std::string path = dir + "/page.png";
  std::ofstream(path, std::ios::binary) << png;
  return host::read_png(path);
}

bool key(Browser& b, const Tab& t, const std::string& code, const std::string& text, int vk) {
  for (const char* type : {"keyDown", "keyUp"}) {
    std::string params = std::string("{\"type\":\"") + type + "\",\"code\":\"" + code +
                         "\",\"key\":" + json_quote(text == "\r" ? "Enter" : text) +
                         ",\"windowsVirtualKeyCode\":" + std::to_string(vk);
    if (std::string(type) == "keyDown") params += ",\"text\":" + json_quote(text);
    params += "}";
    if (!cdp(b, "Input.dispatchKeyEvent", params, t.session)) return false;
  }
  return true;
}

bool mouse(Browser& b, const Tab& t, const std::string& type, int x, int y) {
  std::string params =
      "{\"type\":\"" + type + "\",\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y);
  if (type != "mouseMoved") params += ",\"button\":\"left\",\"clickCount\":1";
  params += "}";
  return cdp(b, "Input.dispatchMouseEvent", params, t.session).has_value();
}

std::optional<GatewayRun> start_gateway(const std::string& web_path,
                                        const std::string& korvane_path, const std::string& dir,
                                        const std::string& config, std::string* error) {
  const std::string config_path = dir + "/gateway.conf";
  std::ofstream(config_path) << config;
  GatewayRun g;
  g.port = free_tcp_port();
  g.log_path = dir + "/gateway.log";
  host::SpawnOptions o;
  o.argv = {web_path,    "--config",  config_path, "--port", std::to_string(g.port),
            "--korvane", korvane_path};
  o.stdout_path = g.log_path;
  o.stderr_path = "-";
  o.term_grace_ms = 3000;
  o.die_with_parent = true;
  auto child = host::spawn(o, error);
  if (!child) return std::nullopt;
  g.process = std::move(*child);
  if (!wait_for_port(g.port, 10000, &g.process)) {
    if (error) *error = "korvane-web did not listen: " + read_file(g.log_path);
    return std::nullopt;
  }
  return g;
}

}  // namespace korvane::test
