#include "registry.hpp"

#include <cstdarg>

namespace korvane::web {

namespace {

struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

timeval to_timeval(std::chrono::milliseconds ms) {
  return {static_cast<time_t>(ms.count() / 1000),
          static_cast<suseconds_t>(ms.count() % 1000 * 1000)};
}

// One command, with r.mutex held; a failed connection or exchange is dropped, to be made anew
// next time.
Reply command(Registry& r, std::string* error, const char* format, ...) {
  if (!r.context) {
    redisContext* c = redisConnectWithTimeout(r.host.c_str(), r.port, to_timeval(kRegistryTimeout));
    if (!c || c->err) {
      if (error)
        *error = "registry " + r.host + ":" + std::to_string(r.port) + ": " +
                 (c ? c->errstr : "cannot connect");
      if (c) redisFree(c);
      return nullptr;
    }
    redisSetTimeout(c, to_timeval(kRegistryTimeout));
    r.context.reset(c);
  }
  va_list ap;
  va_start(ap, format);
  Reply reply(static_cast<redisReply*>(redisvCommand(r.context.get(), format, ap)));
  va_end(ap);
  if (!reply) {
    if (error) *error = std::string("registry: ") + r.context->errstr;
    r.context.reset();
  }
  return reply;
}

// A reply of another kind than asked for: the connection is out of step or not Redis.
void malformed(Registry& r, const redisReply* reply, std::string* error) {
  if (error)
    *error = reply->type == REDIS_REPLY_ERROR
                 ? "registry error: " + std::string(reply->str, reply->len).substr(0, 120)
                 : "registry: unexpected reply of type " + std::to_string(reply->type);
  r.context.reset();
}

}  // namespace

bool registry_set(Registry& r, const std::string& key, const std::string& value, int ttl_seconds,
                  std::string* error) {
  std::lock_guard lock(r.mutex);
  const Reply reply = command(r, error, "SET %b %b EX %d", key.data(), key.size(), value.data(),
                              value.size(), ttl_seconds);
  if (!reply) return false;
  if (reply->type != REDIS_REPLY_STATUS || std::string(reply->str, reply->len) != "OK") {
    malformed(r, reply.get(), error);
    return false;
  }
  return true;
}

std::optional<std::string> registry_get(Registry& r, const std::string& key, std::string* error) {
  if (error) error->clear();
  std::lock_guard lock(r.mutex);
  const Reply reply = command(r, error, "GET %b", key.data(), key.size());
  if (!reply) return std::nullopt;
  if (reply->type == REDIS_REPLY_NIL) return std::nullopt;
  if (reply->type != REDIS_REPLY_STRING || reply->len > 1024) {
    malformed(r, reply.get(), error);
    return std::nullopt;
  }
  return std::string(reply->str, reply->len);
}

bool registry_del(Registry& r, const std::string& key, std::string* error) {
  std::lock_guard lock(r.mutex);
  const Reply reply = command(r, error, "DEL %b", key.data(), key.size());
  if (!reply) return false;
  if (reply->type != REDIS_REPLY_INTEGER) {
    malformed(r, reply.get(), error);
    return false;
  }
  return true;
}

}  // namespace korvane::web
