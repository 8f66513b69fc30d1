// korvane-web's configuration file: where it listens, which origins may use it, and the only
// RDP targets a browser can reach (by name: a browser never names a host or a port).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host_link/profile_keys.hpp"

namespace korvane::web {

struct Target {
  std::string name;
  std::string host;
  uint32_t port = 3389;
  std::string user;  // empty: the person types one in the page
  std::string domain;
  std::string password;      // empty: the person types one in the page
  uint8_t flags = 0x01;      // CMD_CONNECT's flags byte (0x01 TLS, 0x02 NLA, 0x04 security level 0)
  std::string fingerprints;  // pinned SHA-256 fingerprints; empty: any certificate
  std::optional<uint32_t> keyboard_layout;
  // The connection profile, from the configuration only (a page never adds to it): the explicit
  // fields as parse_config checked them, and the .rdp file's bytes (field 8) once load_config
  // read rdp_file. Empty: no profile asked for.
  ProfileFields profile;
  std::string rdp_file;  // as written; relative to the configuration file's folder
  // Recordings of the target's sessions (record = FOLDER; empty: none), one file per session;
  // when one starts, the target's recordings older than record_max_days go, then the oldest
  // until the rest take at most record_max_mb.
  std::string record_dir;
  uint64_t record_max_mb = 1024;
  uint32_t record_max_days = 30;
  uint32_t record_what = 0x1F;  // REC_* (record_what = picture,cursor,...; default all)
  // record_playback = yes: the page lists and plays the target's recordings, to anyone who can
  // reach the gateway.
  bool record_playback = false;
};

struct Config {
  std::string listen = "127.0.0.1";
  uint16_t port = 8080;
  std::string korvane;               // empty: the one next to korvane-web, else "korvane"
  std::string web_root;              // empty: the page's source folder
  std::vector<std::string> origins;  // allowed besides the gateway's own address
  std::map<std::string, Target> targets;
  // On several machines (cluster.hpp); without a node name, a gateway on its own as before.
  std::string node;
  std::string advertise;      // HOST:PORT the other nodes reach this one at; empty: listen:port
  std::string registry;       // Redis, HOST:PORT
  std::string secret_file;    // the signing secret every node shares (relative: to the file)
  std::string secret;         // its bytes, read by finish_cluster_config
  uint32_t max_sessions = 0;  // 0: no limit
  uint64_t max_memory_mb = 0;
  uint32_t drain_seconds = 3600;  // the bound on a drain
  // How long a session waits for its page to come back (a reload) once its WebSocket closed;
  // 0: it ends at once.
  uint32_t resume_seconds = 0;
};

// Reads "key = value" lines, "# comments", and "[target NAME]" sections. Returns nullopt and the
// reason (file and line) for anything it does not understand; a secret is never quoted in it.
std::optional<Config> parse_config(const std::string& text, std::string* error);
// Also reads each target's rdp_file: one it cannot read, or that is no .rdp text korvane would
// take (over 32768 bytes, not text, command-line options), is refused here, at start-up.
std::optional<Config> load_config(const std::string& path, std::string* error);

// With a node name (from the file or the command line): checks the node's settings and reads
// its secret; what is wrong, or empty.
std::string finish_cluster_config(Config& config);

// Target names are what a browser sends: short, plain, safe in a log.
bool valid_target_name(const std::string& name);

}  // namespace korvane::web
