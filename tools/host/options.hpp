// korvane-host's command line: the connect request and the extension block it asks for, and the
// tool's own options (inputs to send, timings, output files). Pure: no I/O.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/mic.hpp"
#include "host/session.hpp"
#include "host_link/monitors.hpp"

namespace korvane::host {

struct Input {
  enum Kind { move, click, key, text } kind = move;
  uint32_t x = 0, y = 0;
  uint32_t code_point = 0;  // text: one character, typed as itself
  uint8_t scancode = 0;
  bool extended = false;
};

struct HostOptions {
  std::string korvane;     // --korvane as given; empty: the one beside korvane-host
  SessionOptions session;  // the request and the extension block (empty when none is asked)
  double seconds = 5;
  double connect_timeout = 30;
  std::string png;
  std::vector<Input> inputs;
  bool quiet = false;
  bool cursor = false;                      // the pointer is drawn into the PNG
  std::optional<uint32_t> cursor_state_ms;  // send CMD_CURSOR_STATE this long after connecting
  std::optional<std::pair<uint32_t, uint32_t>> resize;
  uint32_t resize_ms = 0;
  std::optional<MonitorLayout> monitors;         // --monitors: the layout at connect
  std::optional<MonitorLayout> monitors_change;  // --monitors-change: CMD_MONITORS ...
  uint32_t monitors_change_ms = 0;               // ... this long after connecting
  std::optional<bool> cert_accept;               // the answer to korvane's certificate question
  // The answer to each of the gateway's messages; given, the gateway extension is asked for even
  // without gateway fields (a .rdp text may name the gateway). Not given: accept.
  std::optional<bool> gateway_accept;
  bool audio = false;
  uint8_t audio_codecs = 0;             // AUDIO_CODEC_* taken undecoded; 0: PCM only
  std::string audio_wav;                // where the PCM goes; empty: nowhere
  std::optional<PcmSource> mic;         // --mic-wav: what the microphone sends
  std::vector<std::string> clip_offer;  // --clip-offer: files put on the session's clipboard
  std::string clip_fetch;               // --clip-fetch: where the server's copied files go
  std::string record;                   // --record: the session's recording
  uint32_t record_what = 0x1F;          // --record-what: REC_* (all by default)
  std::string replay;                   // --replay: a recording played instead of a session
  std::optional<double> replay_at;      // --at: where the replay stops (default: its end)
  std::string video;                    // --video: the replay exported as a video file
  std::string video_mode = "auto";      // --video-mode: auto, remux or encode
};

struct ParsedArgs {
  std::optional<HostOptions> options;  // nullopt: help asked for, or error says why not
  bool help = false;
  std::string error;        // the line to print after "korvane-host: "
  bool show_usage = false;  // print the usage after the error
};

// "WxH+X+Y[*],..." (X and Y with their signs, "*" the primary; without one the first is): a
// monitor layout as korvane-host's --monitors takes it and prints it. nullopt when malformed;
// whether korvane takes the layout is korvane's to say.
std::optional<MonitorLayout> parse_layout_text(const std::string& text);
std::string layout_text(const MonitorLayout& layout);

// Reads a file an option names (--rdp-file): whole, or its first max + 1 bytes when it is longer;
// nullopt with `error` set when it cannot.
using ReadFile = std::function<std::optional<std::vector<uint8_t>>(const std::string& path,
                                                                   size_t max, std::string& error)>;

// args: the arguments after the program's name. read_file: none refuses --rdp-file.
ParsedArgs parse_host_args(std::span<const std::string> args, const ReadFile& read_file = {});

void print_usage(FILE* out);

}  // namespace korvane::host
