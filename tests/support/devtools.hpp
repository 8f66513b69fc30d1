// Headless Chromium driven through its DevTools protocol over a pipe, and korvane-web started
// for it: what the web tests and the web benchmark share.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "host/canvas.hpp"
#include "host/process.hpp"
#include "net.hpp"

namespace korvane::test {

// Chromium over --remote-debugging-pipe: JSON messages ended by NUL, on fds 3 and 4. Used by
// the one thread that started it.
struct Browser {
  TempDir profile;
  host::Child process;
  host::UniqueFd to;    // chromium reads commands here
  host::UniqueFd from;  // and writes answers and events here
  std::string pending;
  int next_id = 1;
  int width = 0, height = 0;  // of its window and its tabs
  // Told of every command the browser answers with an error (a test fails on it).
  std::function<void(const std::string&)> on_error;
};

std::optional<Browser> start_browser(const std::string& log_path, int width, int height);

// Sends one command and waits (bounded) for its answer; events in between are dropped.
std::optional<boost::property_tree::ptree> cdp(Browser& b, const std::string& method,
                                               const std::string& params = "{}",
                                               const std::string& session = "",
                                               int timeout_ms = 20000);

struct Tab {
  std::string target_id;
  std::string session;
};

// own_cookies: in a browser context of its own, as another person's browser would be.
std::optional<Tab> open_tab(Browser& b, const std::string& url, bool own_cookies = false);
bool close_tab(Browser& b, const Tab& t);

// Runs an expression in the page and returns its value as text (JSON.stringify'd by the caller
// when it is not a string).
std::optional<std::string> eval(Browser& b, const Tab& t, const std::string& expression);
// Polls a page expression that yields "true" until it does or timeout_ms passes.
bool wait_page(Browser& b, const Tab& t, const std::string& condition, int timeout_ms);
// The page's window.korvane, as JSON.
std::string page_state(Browser& b, const Tab& t);
// The page's top left w x h, through a PNG written in dir.
std::optional<host::Canvas> page_screenshot(Browser& b, const Tab& t, const std::string& dir,
                                            uint32_t w, uint32_t h);
bool key(Browser& b, const Tab& t, const std::string& code, const std::string& text, int vk);
bool mouse(Browser& b, const Tab& t, const std::string& type, int x, int y);

std::string json_quote(const std::string& s);

struct GatewayRun {
  host::Child process;
  uint16_t port = 0;
  std::string log_path;
};

// korvane-web with this configuration on a free port, its log in dir; waits (bounded) until it
// listens.
std::optional<GatewayRun> start_gateway(const std::string& web_path,
                                        const std::string& korvane_path, const std::string& dir,
                                        const std::string& config, std::string* error);

}  // namespace korvane::test
