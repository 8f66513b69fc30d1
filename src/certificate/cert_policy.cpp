#include "certificate/cert_policy.hpp"

#include <algorithm>
#include <cctype>

namespace korvane {

uint8_t effective_cert_mode(const Extensions& ext, const Grant& grant) {
  if (!(grant.mask & EXT_CERTIFICATE)) return CERT_MODE_ACCEPT_ANY;
  return ext.cert_mode.value_or(CERT_MODE_ACCEPT_ANY);
}

bool fingerprint_pinned(const Fingerprint& f, std::span<const Fingerprint> pins) {
  return std::find(pins.begin(), pins.end(), f) != pins.end();
}

namespace {

bool equal_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool looks_like_ip(std::string_view host) {
  if (host.find(':') != std::string_view::npos) return true;  // IPv6
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return c == '.' || std::isdigit(static_cast<unsigned char>(c));
  });
}

}  // namespace

bool certificate_name_matches(std::string_view pattern, std::string_view host) {
  // A trailing dot names the same host.
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (!pattern.empty() && pattern.back() == '.') pattern.remove_suffix(1);
  if (pattern.empty() || host.empty()) return false;
  if (pattern.size() > 2 && pattern[0] == '*' && pattern[1] == '.') {
    if (looks_like_ip(host)) return false;
    const std::string_view suffix = pattern.substr(1);  // ".example.com"
    const size_t dot = host.find('.');
    // The wildcard covers one non-empty label; the rest must be the pattern's, and the pattern
    // must keep at least two labels so "*.com" covers nothing.
    if (dot == 0 || dot == std::string_view::npos) return false;
    if (suffix.find('.', 1) == std::string_view::npos) return false;
    return equal_nocase(host.substr(dot), suffix);
  }
  return equal_nocase(pattern, host);
}

void VerdictBox::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  verdict_.reset();
}

std::optional<bool> VerdictBox::wait(std::chrono::steady_clock::time_point deadline,
                                     const std::function<bool()>& give_up,
                                     std::chrono::milliseconds slice) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!verdict_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    lock.unlock();
    const bool stop = give_up && give_up();
    lock.lock();
    if (verdict_ || stop) break;
    cv_.wait_until(lock, std::min(deadline, now + slice));
  }
  open_ = false;
  std::optional<bool> v = verdict_;
  verdict_.reset();
  return v;
}

bool VerdictBox::deliver(bool accept) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_ || verdict_) return false;
  verdict_ = accept;
  cv_.notify_all();
  return true;
}

void VerdictBox::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_all();
}

}  // namespace korvane
