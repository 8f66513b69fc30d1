#include "session/connect_args.hpp"

namespace korvane {

std::vector<std::string> build_connect_args(const ConnectParams& p) {
  std::vector<std::string> args;
  args.emplace_back("korvane");
  args.push_back("/v:" + std::string(p.host) + ":" + std::to_string(p.port));
  args.push_back("/w:" + std::to_string(p.width));
  args.push_back("/h:" + std::to_string(p.height));
  args.emplace_back("/cert:ignore");
  args.emplace_back("/admin");
  if (p.flags & CONNECT_FLAG_TLS) {
    args.emplace_back("/sec:tls");
  } else if (p.flags & CONNECT_FLAG_NLA) {
    args.emplace_back("/sec:nla");
  }
  if (p.flags & CONNECT_FLAG_TLS_SECLEVEL0) args.emplace_back("/tls:seclevel:0");
  if (p.username[0]) args.push_back("/u:" + std::string(p.username));
  if (p.domain[0]) args.push_back("/d:" + std::string(p.domain));
  if (p.drive_path[0]) args.push_back("/drive:Tessaran," + std::string(p.drive_path));
  return args;
}

}  // namespace korvane
