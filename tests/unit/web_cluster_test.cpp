// The gateway on several machines, without a network: signed tokens, registry answers taken as
// addresses, and when a node takes no new session.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "cluster.hpp"
#include "config.hpp"

namespace korvane::web {
namespace {

const std::string kSecret(40, 'k');
const std::string kNonce = "0123456789abcdef0123456789abcdef";

TEST(WebCluster, OnlyATokenOfItsKindSignedWithTheSecretAndUnexpiredIsTaken) {
  const std::string token = sign_token(kSecret, "token", "node-2", 1000, kNonce);
  const auto made = check_token(kSecret, "token", token, 1000);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->node, "node-2");
  EXPECT_EQ(made->expires, 1000);
  EXPECT_EQ(made->nonce, kNonce);
  std::string other_node = token;
  other_node.replace(0, 6, "node-3");
  std::string flipped = token;
  flipped.back() = flipped.back() == '0' ? '1' : '0';
  const struct {
    const char* what;
    std::string secret, kind, token;
    int64_t now;
  } refused[] = {
      {"expired", kSecret, "token", token, 1001},
      {"another kind", kSecret, "share", token, 1000},
      {"another secret", std::string(40, 'x'), "token", token, 1000},
      {"a short secret", kSecret.substr(0, 31), "token", token, 1000},
      {"another node", kSecret, "token", other_node, 1000},
      {"a changed MAC", kSecret, "token", flipped, 1000},
      {"a later expiry", kSecret, "token", "node-2.9999" + token.substr(10), 1000},
      {"no MAC", kSecret, "token", token.substr(0, token.rfind('.')), 1000},
      {"a random token", kSecret, "token", kNonce, 0},
      {"an empty one", kSecret, "token", "", 0},
  };
  for (const auto& r : refused)
    EXPECT_FALSE(check_token(r.secret, r.kind, r.token, r.now)) << r.what;
}

TEST(WebCluster, RegistryAddressesAndNodeNames) {
  EXPECT_TRUE(parse_address("127.0.0.3:8080"));
  EXPECT_EQ(parse_address("korvane-redis:6379")->host, "korvane-redis");
  EXPECT_EQ(parse_address("10.0.0.1:65535")->port, 65535);
  for (const char* bad : {"", "host", ":80", "host:0", "host:65536", "host:80x", "a b:80",
                          "host:80/path", "user@host:80"})
    EXPECT_FALSE(parse_address(bad)) << bad;
  EXPECT_TRUE(valid_node_name("node-1"));
  for (const char* bad : {"", "-node", "Node", "node.1", "node_1"})
    EXPECT_FALSE(valid_node_name(bad)) << bad;
  EXPECT_FALSE(valid_node_name(std::string(64, 'n')));
}

TEST(WebCluster, WhenANodeTakesNoNewSession) {
  const struct {
    NodeLoad load;
    const char* refusal;  // nullptr: it takes one
  } cases[] = {
      {{}, nullptr},
      {{.cluster = true, .registry_ok = false}, "the session registry is unreachable"},
      {{.cluster = false, .registry_ok = false}, nullptr},
      {{.draining = true, .sessions = 1}, "draining"},
      {{.sessions = 4, .max_sessions = 5}, nullptr},
      {{.sessions = 5, .max_sessions = 5}, "full: 5 sessions"},
      {{.memory_mb = 900, .max_memory_mb = 1000}, nullptr},
      {{.memory_mb = 1000, .max_memory_mb = 1000}, "full: 1000 MB in use"},
      {{.sessions = 500, .memory_mb = 9000}, nullptr},
  };
  for (const auto& c : cases) {
    const auto why = refusal(c.load);
    EXPECT_EQ(why.value_or("(none)"), c.refusal ? c.refusal : "(none)");
  }
}

TEST(WebCluster, ANodesSettingsAreCheckedAtStart) {
  const std::string secret = ::testing::TempDir() + "korvane-cluster-secret";
  std::ofstream(secret) << std::string(64, 'a') << "\n";
  const auto finish = [&](const std::string& text) {
    std::string error;
    auto config = parse_config(text + "secret_file = " + secret + "\n", &error);
    return config ? finish_cluster_config(*config) : error;
  };
  EXPECT_EQ(finish("node = n1\nregistry = 127.0.0.1:6379\n"), "");
  EXPECT_EQ(finish(""), "");  // no node: a gateway on its own
  for (const char* bad :
       {"node = N1\nregistry = r:1\n", "node = n1\n", "node = n1\nregistry = r:1\nadvertise = x\n",
        "node = n1\nregistry = r:1\nlisten = 0.0.0.0\n"})
    EXPECT_NE(finish(bad), "") << bad;
  std::ofstream(secret) << std::string(31, 'a');
  EXPECT_NE(finish("node = n1\nregistry = r:1\n").find("under 32 bytes"), std::string::npos);
  std::remove(secret.c_str());
}

}  // namespace
}  // namespace korvane::web
