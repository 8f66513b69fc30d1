#include "config.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cluster.hpp"
#include "host_link/profile.hpp"
#include "host_link/recording.hpp"
#include "host_link/registry.hpp"

namespace korvane::web {

namespace {

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

template <typename T>
bool parse_number(const std::string& text, T& out, T low, T high) {
  uint64_t v = 0;
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
  if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return false;
  if (v < static_cast<uint64_t>(low) || v > static_cast<uint64_t>(high)) return false;
  out = static_cast<T>(v);
  return true;
}

// A target's .rdp file, as korvane is to get it; what is wrong with it, or empty. At most one
// byte past the limit is read: a longer file is refused unread.
std::string read_rdp_file(const std::filesystem::path& file, std::vector<uint8_t>& bytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::string("cannot be read: ") + std::strerror(errno);
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) return "is a folder";
  bytes.resize(kMaxRdpFileBytes + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) return "cannot be read";
  bytes.resize(static_cast<size_t>(in.gcount()));
  std::string_view problem;
  return rdp_text_for_library(bytes, problem) ? std::string() : std::string(problem);
}

}  // namespace

bool valid_target_name(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

std::optional<Config> parse_config(const std::string& text, std::string* error) {
  Config config;
  Target* target = nullptr;
  std::istringstream in(text);
  std::string raw;
  int line_no = 0;
  auto fail = [&](const std::string& why) -> std::optional<Config> {
    // Past the last line (a target left without a host) no line number would help.
    if (error) *error = line_no > 0 ? "line " + std::to_string(line_no) + ": " + why : why;
    return std::nullopt;
  };
  while (std::getline(in, raw)) {
    ++line_no;
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.rfind("[target ", 0) != 0)
        return fail("expected [target NAME]");
      const std::string name = trim(line.substr(8, line.size() - 9));
      if (!valid_target_name(name)) return fail("target names are 1-64 of A-Z a-z 0-9 - _ .");
      if (config.targets.count(name)) return fail("target " + name + " given twice");
      target = &config.targets[name];
      target->name = name;
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    if (!target) {
      if (key == "listen")
        config.listen = value;
      else if (key == "port") {
        if (!parse_number<uint16_t>(value, config.port, 0, 65535)) return fail("port: 0-65535");
      } else if (key == "korvane")
        config.korvane = value;
      else if (key == "web_root")
        config.web_root = value;
      else if (key == "origin")
        config.origins.push_back(value);
      else if (key == "node")
        config.node = value;
      else if (key == "advertise")
        config.advertise = value;
      else if (key == "registry")
        config.registry = value;
      else if (key == "secret_file")
        config.secret_file = value;
      else if (key == "max_sessions") {
        if (!parse_number<uint32_t>(value, config.max_sessions, 0, 100000))
          return fail("max_sessions: 0-100000");
      } else if (key == "max_memory_mb") {
        if (!parse_number<uint64_t>(value, config.max_memory_mb, 0, uint64_t{1} << 30))
          return fail("max_memory_mb: a number of MiB");
      } else if (key == "resume_seconds") {
        if (!parse_number<uint32_t>(value, config.resume_seconds, 0, 3600))
          return fail("resume_seconds: 0-3600");
      } else if (key == "drain_seconds") {
        if (!parse_number<uint32_t>(value, config.drain_seconds, 1, 7 * 86400))
          return fail("drain_seconds: 1-604800");
      } else
        return fail("unknown setting " + key);
      continue;
    }
    if (key == "host")
      target->host = value;
    else if (key == "port") {
      if (!parse_number<uint32_t>(value, target->port, 1, 65535)) return fail("port: 1-65535");
    } else if (key == "user")
      target->user = value;
    else if (key == "domain")
      target->domain = value;
    else if (key == "password")
      target->password = value;
    else if (key == "flags") {
      if (!parse_number<uint8_t>(value, target->flags, 0, 255)) return fail("flags: 0-255");
    } else if (key == "fingerprint") {
      if (!target->fingerprints.empty()) target->fingerprints += ",";
      target->fingerprints += value;
    } else if (key == "keyboard_layout") {
      uint32_t layout = 0;
      if (!parse_number<uint32_t>(value, layout, 0, 0xFFFFFFFFu))
        return fail("keyboard_layout: a number");
      target->keyboard_layout = layout;
    } else if (key == "record") {
      if (value.empty()) return fail("record: a folder");
      target->record_dir = value;
    } else if (key == "record_max_mb") {
      if (!parse_number<uint64_t>(value, target->record_max_mb, 1, uint64_t{1} << 40))
        return fail("record_max_mb: a number of MiB");
    } else if (key == "record_max_days") {
      if (!parse_number<uint32_t>(value, target->record_max_days, 1, 36500))
        return fail("record_max_days: 1-36500");
    } else if (key == "record_what") {
      const auto what = parse_record_what(value);
      if (!what) return fail("record_what: a list of picture, cursor, sound, clipboard, input");
      target->record_what = *what;
    } else if (key == "record_playback") {
      if (value != "yes" && value != "no") return fail("record_playback: yes or no");
      target->record_playback = value == "yes";
    } else if (key == "rdp_file") {
      if (value.empty()) return fail("rdp_file: a path");
      target->rdp_file = value;
    } else if (const auto problem = set_profile_key(target->profile, key, value)) {
      if (!problem->empty()) return fail(key + ": " + *problem);
    } else {
      return fail("unknown target setting " + key);
    }
  }
  for (const auto& [name, t] : config.targets) {
    if (t.host.empty()) {
      line_no = 0;
      return fail("target " + name + " has no host");
    }
  }
  return config;
}

std::optional<Config> load_config(const std::string& path, std::string* error) {
  std::ifstream f(path);
  if (!f) {
    if (error) *error = "cannot read " + path;
    return std::nullopt;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  auto c = parse_config(ss.str(), error);
  if (!c && error) *error = path + ": " + *error;
  if (!c) return c;
  if (!c->secret_file.empty())
    c->secret_file = (std::filesystem::path(path).parent_path() / c->secret_file).string();
  for (auto& [name, t] : c->targets) {
    if (t.rdp_file.empty()) continue;
    const auto file = std::filesystem::path(path).parent_path() / t.rdp_file;
    std::vector<uint8_t> bytes;
    const std::string why = read_rdp_file(file, bytes);
    if (!why.empty()) {
      if (error) *error = path + ": target " + name + ": " + file.string() + ": " + why;
      return std::nullopt;
    }
    t.profile[FIELD_RDP_FILE] = std::move(bytes);
  }
  return c;
}

std::string finish_cluster_config(Config& config) {
  if (config.node.empty()) return {};
  if (!valid_node_name(config.node)) return "node: 1-63 of a-z 0-9 -, not starting with -";
  if (!parse_address(config.registry)) return "node " + config.node + ": registry: HOST:PORT";
  // Empty: the address it listens on, once bound (see the gateway's start).
  if (!config.advertise.empty() && !parse_address(config.advertise)) return "advertise: HOST:PORT";
  if (config.advertise.empty() && (config.listen == "0.0.0.0" || config.listen == "::"))
    return "advertise: HOST:PORT is needed when listening on every address";
  if (config.secret_file.empty()) return "node " + config.node + ": secret_file is needed";
  std::ifstream in(config.secret_file, std::ios::binary);
  std::stringstream bytes;
  if (in) bytes << in.rdbuf();
  config.secret = trim(bytes.str());
  if (!in || config.secret.size() < kMinSecretBytes)
    return "secret_file " + config.secret_file + ": cannot be read or holds under " +
           std::to_string(kMinSecretBytes) + " bytes";
  return {};
}

}  // namespace korvane::web
