// A profile's routing fields on the wire: FreeRDP's own proxy (freerdp-proxy3), with no fixed
// target, sends each session to the server its routing token names; and the preconnection PDU
// is the first thing korvane sends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host_link/extensions.hpp"
#include "host_link/profile.hpp"
#include "rig.hpp"
#include "tcp_proxy.hpp"

using namespace korvane;
using namespace korvane::e2e;

namespace {

bool in_path(const std::string& program) {
  std::istringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

// The proxy on a free port, with a key and certificate of its own (it refuses to start without)
// and TLS alone on both sides, as the test server offers it.
std::optional<host::Child> start_broker(const std::string& dir, uint16_t port) {
  host::SpawnOptions o;
  o.argv = {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=broker"};
  o.argv.insert(o.argv.end(), {"-keyout", dir + "/broker.key", "-out", dir + "/broker.crt"});
  o.stderr_path = "/dev/null";
  const auto made = host::run_capture(o, 30000);
  if (!made.status || made.status->code != 0) {
    ADD_FAILURE() << "openssl made no certificate";
    return std::nullopt;
  }
  // Target.Port is read even when the target is not fixed, and must be a port.
  std::ofstream(dir + "/broker.ini")
      << "[Server]\nHost=127.0.0.1\nPort=" << port << "\n[Target]\nFixedTarget=false\nPort=1\n"
      << "[Security]\nServerTlsSecurity=true\nServerNlaSecurity=false\nServerRdpSecurity=false\n"
      << "ClientTlsSecurity=true\nClientNlaSecurity=false\nClientRdpSecurity=false\n"
      << "[Certificates]\nCertificateFile=" << dir << "/broker.crt\nPrivateKeyFile=" << dir
      << "/broker.key\n";
  o.argv = {"freerdp-proxy3", dir + "/broker.ini"};
  o.stdout_path = dir + "/broker.log";
  o.stderr_path = "-";
  o.own_process_group = true;
  o.term_grace_ms = 2000;
  std::string error;
  auto broker = host::spawn(o, &error);
  if (!broker || !test::wait_for_port(port, 15000, &*broker)) {
    ADD_FAILURE() << "freerdp-proxy3 did not listen: " << error
                  << test::read_file(dir + "/broker.log");
    return std::nullopt;
  }
  return broker;
}

}  // namespace

// The proxy takes "Cookie: msts=HOST:PORT" apart but keeps ":PORT" in the name it then looks
// up, which no resolver knows: so each server is named by an address of its own, and a relay on
// that address and the port the proxy dials for a bare name (3389) leads to it. The addresses
// differ from one test process to the next, so runs side by side do not meet.
TEST(Broker, TheRoutingTokenPicksTheServer) {
  if (!in_path("freerdp-proxy3"))
    GTEST_SKIP() << "freerdp-proxy3 (package freerdp3-proxy) is absent";
  Rig rigs[2];
  std::optional<test::TcpProxy> relays[2];
  std::string names[2], error;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(start_server(rigs[i], {"sleep 200", "end"}));
    names[i] = "127." + std::to_string(1 + ::getpid() % 250) + ".0." + std::to_string(2 + i);
    relays[i] = test::start_tcp_proxy(rigs[i].server.port, &error, names[i], 3389);
    ASSERT_TRUE(relays[i]) << error;
  }
  const uint16_t port = test::free_tcp_port();
  auto broker = start_broker(rigs[0].scratch.path, port);
  ASSERT_TRUE(broker);
  // Each server in turn; the other one sees no new session.
  size_t seen[2] = {0, 0};  // where each server's log was read up to
  for (const int target : {1, 0}) {
    SCOPED_TRACE(names[target]);
    Rig& chosen = rigs[target];
    const int other = 1 - target;
    const std::string token = "Cookie: msts=" + names[target];
    const ExtensionField field{FIELD_LOAD_BALANCE_INFO, {token.begin(), token.end()}};
    // The proxy logs on to the server with the credentials korvane gave it, or asks a terminal.
    const ConnectRequest request{.username = "test", .password = "test"};
    ASSERT_TRUE(start_korvane(chosen, request, encode_extensions(EXT_PROFILE, {{field}}), port));
    // The proxy ends a session it could not take further as a logoff, so korvane's end says
    // nothing of where it went: the servers' logs do.
    host::finish_session(*chosen.korvane, 30000, {}, false);
    EXPECT_TRUE(test::wait_for_prefix(*chosen.server.process, "CONNECTED", 5000, &seen[target]))
        << korvane_stderr(chosen) << test::read_file(rigs[0].scratch.path + "/broker.log");
    // The proxy hands the token on as it came.
    EXPECT_EQ(test::wait_for_prefix(*chosen.server.process, "PROFILE routing_token=", 0),
              "PROFILE routing_token=" + hex(field.value));
    EXPECT_FALSE(test::wait_for_prefix(*rigs[other].server.process, "CONNECTED", 0, &seen[other]));
    EXPECT_EQ(relays[other]->state->relayed.load(), target == 1 ? 0u : 1u);
  }
}

TEST(Broker, ThePreconnectionPduGoesFirst) {
  // cbSize, Flags 0, Version 2, Id, cchPCB (with the terminator), the blob in UTF-16LE. Without a
  // blob the library still sends version 2, with cchPCB 0.
  const struct {
    Preconnection pcb;
    std::vector<uint8_t> golden;
  } table[] = {
      {{0x12345678, "vm-7"},
       {0x1C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x78, 0x56,
        0x34, 0x12, 0x05, 0x00, 0x76, 0x00, 0x6D, 0x00, 0x2D, 0x00, 0x37, 0x00, 0x00, 0x00}},
      {{7, ""},
       {0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00,
        0x00, 0x00, 0x00}},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.pcb.blob);
    Rig rig;
    ASSERT_TRUE(start_server(rig, {"sleep 200", "end"}));
    auto relay = test::start_tcp_proxy(rig.server.port);
    ASSERT_TRUE(relay);
    const ExtensionField field{FIELD_PRECONNECTION, encode_preconnection(row.pcb)};
    ASSERT_TRUE(start_korvane(rig, {}, encode_extensions(EXT_PROFILE, {{field}}), relay->port));
    const size_t n = row.golden.size();
    const auto sent = test::proxy_client_bytes(*relay, n + 1, 10000);
    ASSERT_GE(sent.size(), n) << hex(sent);
    EXPECT_EQ(hex({sent.data(), n}), hex(row.golden));
    // The connection request follows: a TPKT header.
    ASSERT_GT(sent.size(), n) << hex(sent);
    EXPECT_EQ(sent[n], 0x03) << hex(sent);
  }
}
