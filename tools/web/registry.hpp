// The registry the nodes share, in Redis: which node runs which session and holds which share
// link, and where each node is. Every call is bounded (kRegistryTimeout to connect and for each
// reply) and reconnects after a failure, so a registry that is down or answers nonsense costs a
// node a refusal of new sessions, never a hang.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace korvane::web {

inline constexpr auto kRegistryTimeout = std::chrono::milliseconds(300);

struct RedisFree {
  void operator()(redisContext* c) const { redisFree(c); }
};

struct Registry {
  std::string host;
  int port = 6379;
  std::mutex mutex;  // any thread's calls take it; guards context
  std::unique_ptr<redisContext, RedisFree> context;
};

// SET key value EX ttl_seconds; false with the reason in `error`.
bool registry_set(Registry& r, const std::string& key, const std::string& value, int ttl_seconds,
                  std::string* error);
// GET key: its value, or nullopt, with `error` empty when the key is simply absent.
std::optional<std::string> registry_get(Registry& r, const std::string& key, std::string* error);
bool registry_del(Registry& r, const std::string& key, std::string* error);

}  // namespace korvane::web
