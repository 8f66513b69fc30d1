// korvane-host's command line: argument lists and the connect request, extension block and
// tool options they give, or the error they are refused with.

#include <gtest/gtest.h>

#include "host/options.hpp"

namespace korvane::host {
namespace {

// The files --rdp-file may name: a UTF-16LE text with its BOM, and one a byte too long.
std::optional<std::vector<uint8_t>> read_file(const std::string& path, size_t max,
                                              std::string& error) {
  if (path == "w.rdp") return std::vector<uint8_t>{0xFF, 0xFE, 'a', 0};
  if (path == "big.rdp") return std::vector<uint8_t>(max + 1, 'a');
  // RIFF WAVE: a list chunk before fmt (skipped), 16-bit PCM (or 8-bit), mono, one frame.
  const auto wav = [](uint32_t rate, uint8_t bits) {
    std::string f("RIFF\0\0\0\0WAVELIST\1\0\0\0\0\0fmt \20\0\0\0\1\0\1\0", 34);
    for (int i = 0; i < 4; ++i) f += static_cast<char>(rate >> (8 * i));
    f += std::string("\0\0\0\0\2\0", 6) + static_cast<char>(bits) + '\0';
    f += std::string("data\2\0\0\0\7\10", 10);
    return std::vector<uint8_t>(f.begin(), f.end());
  };
  if (path == "m.wav") return wav(44100, 16);
  if (path == "22k.wav") return wav(22050, 16);
  if (path == "8bit.wav") return wav(44100, 8);
  error = "No such file";
  return std::nullopt;
}

ParsedArgs parse(std::vector<std::string> args) {
  args.insert(args.begin(), {"--host", "h", "--port", "1"});
  return parse_host_args(args, read_file);
}

std::vector<uint8_t> block(std::vector<uint8_t> mask_and_fields) {
  mask_and_fields.insert(mask_and_fields.begin(), {'K', 'V', 'X', '1'});
  return mask_and_fields;
}

const std::string kPin(64, 'a');

TEST(HostOptions, ExtensionBlockOfEachOption) {
  const struct {
    std::vector<std::string> args;
    std::vector<uint8_t> block;
  } rows[] = {
      {{}, {}},
      {{"--cursor"}, block({1, 0, 0, 0})},
      {{"--cursor-state", "5"}, block({1, 0, 0, 0})},
      {{"--resize", "640x480@50"}, block({2, 0, 0, 0})},
      {{"--h264", "avc420,avc444v2"}, block({4, 0, 0, 0, 1, 0, 1, 0, 5})},
      {{"--h264", "none"}, block({4, 0, 0, 0, 1, 0, 1, 0, 0})},
      {{"--cert-ask", "reject"}, block({8, 0, 0, 0, 2, 0, 1, 0, 2})},
      {{"--type", "a"}, block({0x20, 0, 0, 0})},
      {{"--layout", "0x40C"}, block({0x20, 0, 0, 0, 4, 0, 4, 0, 0x0C, 4, 0, 0})},
      {{"--changed-only"}, block({0x40, 0, 0, 0})},
      {{"--audio-wav", "x.wav"}, block({0x80, 0, 0, 0})},
      {{"--audio-codecs", "opus,mp3"}, block({0x80, 0, 0, 0, 7, 0, 1, 0, 6})},
      {{"--reconnect", "3"}, block({0, 1, 0, 0, 6, 0, 4, 0, 3, 0, 0xE8, 3})},
      {{"--mic-wav", "m.wav"}, block({0, 0x40, 0, 0, 29, 0, 1, 0, 1})},  // 44.1 kHz mono
      {{"--deflate"}, block({0, 2, 0, 0})},
      {{"--rdp-file", "w.rdp"}, block({0, 8, 0, 0, 8, 0, 4, 0, 0xFF, 0xFE, 'a', 0})},
      {{"--console", "--client-name", "pc", "--preconnection-blob", "b", "--preconnection-id", "7"},
       block({0, 8, 0, 0, 10, 0, 5, 0, 7, 0, 0, 0, 'b', 11, 0, 1, 0, 1, 14, 0, 2, 0, 'p', 'c'})},
      {{"--gateway", "gw:8443", "--gateway-token", "T"},
       block({0, 0x10, 0, 0, 20, 0, 7, 0, 'g', 'w', ':', '8', '4', '4', '3', 23, 0, 1, 0, 'T'})},
      {{"--gateway-user", "u", "--gateway-transport", "rpc", "--gateway-bypass-local", "yes"},
       block({0, 0x10, 0, 0, 21, 0, 1, 0, 3, 22, 0, 7, 0, 1, 0, 'u', 0, 0, 0, 0, 25, 0, 1, 0, 1})},
      {{"--gateway-message", "reject"}, block({0, 0x10, 0, 0})},  // a .rdp text's gateway
      {{"--monitors-change", "800x600-800+0,640x480+0+0*@9"}, block({0, 0x20, 0, 0})},
      {{"--cert-pin", kPin, "--h264", "avc444", "--audio"},
       block({0x8C, 0, 0, 0, 1, 0, 1, 0, 2, 2, 0, 1, 0, 1, 3, 0, 64, 0})},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args.empty() ? "" : r.args[0]);
    const ParsedArgs p = parse(r.args);
    ASSERT_TRUE(p.options) << p.error;
    std::vector<uint8_t> want = r.block;
    if (r.args.size() > 1 && r.args[0] == "--cert-pin") want.insert(want.end(), 64, 'a');
    EXPECT_EQ(p.options->session.extension_block, want);
  }
}

TEST(HostOptions, RequestAndToolOptions) {
  ParsedArgs p = parse_host_args(std::vector<std::string>{
      "--host",  "srv",        "--port",    "3390",    "--user", "u",        "--domain",
      "d",       "--password", "pw",        "--width", "800",    "--height", "600",
      "--drive", "/x",         "--seconds", "0.5",     "--move", "1,2",      "--key",
      "0x1c,e",  "--type",     "a\xC3\xA9", "--quiet"});
  ASSERT_TRUE(p.options) << p.error;
  const HostOptions& o = *p.options;
  EXPECT_EQ(encode_connect(o.session.request),
            encode_connect({"srv", 3390, "u", "d", "pw", 800, 600, uint8_t{0}, "/x"}))
      << "a drive path brings the flags byte before it";
  EXPECT_EQ(o.seconds, 0.5);
  EXPECT_TRUE(o.quiet);
  ASSERT_EQ(o.inputs.size(), 4u);
  EXPECT_EQ(o.inputs[0].kind, Input::move);
  EXPECT_EQ(o.inputs[0].y, 2u);
  EXPECT_EQ(o.inputs[1].scancode, 0x1c);
  EXPECT_TRUE(o.inputs[1].extended);
  EXPECT_EQ(o.inputs[3].code_point, 0xE9u);
  EXPECT_EQ(parse({"--cert-ask", "accept"}).options->cert_accept, true);
  EXPECT_EQ(parse({"--gateway-message", "reject"}).options->gateway_accept, false);
  EXPECT_FALSE(parse({"--gateway", "gw"}).options->gateway_accept);  // korvane-host accepts
  EXPECT_EQ(parse({"--flags", "3"}).options->session.request.flags, 3);
  EXPECT_FALSE(parse({}).options->session.request.flags);
  EXPECT_TRUE(parse_host_args(std::vector<std::string>{"--port", "1", "--help"}).help);
}

TEST(HostOptions, RefusedArguments) {
  const struct {
    std::vector<std::string> args;
    std::string error;
    bool usage = false;
  } rows[] = {
      {{"--bogus"}, "unknown argument --bogus", true},
      {{"--png"}, "--png needs a value"},
      {{"--port", "99999"}, "bad value for --port: 99999"},
      {{"--width", "8193"}, "bad value for --width: 8193"},
      {{"--seconds", "-1"}, "bad value for --seconds: -1"},
      {{"--move", "5"}, "--move wants X,Y, not 5"},
      {{"--key", "256"}, "--key wants a scancode 0..255, with \",e\" for an extended key, not 256"},
      {{"--type", "\xC3"}, "--type wants UTF-8 text"},
      {{"--reconnect", "0"}, "--reconnect wants 1..100 attempts"},
      {{"--reconnect", "101"}, "bad value for --reconnect: 101"},
      {{"--layout", "fr"}, "--layout wants a layout id, not fr"},
      {{"--audio-wav", ""}, "--audio-wav wants a file name"},
      {{"--audio-codecs", "flac"}, "--audio-codecs wants a list of aac, opus, mp3, not flac"},
      {{"--cursor-state", "x"}, "bad value for --cursor-state: x"},
      {{"--resize", "640"}, "--resize wants WxH or WxH@MS, not 640"},
      {{"--resize", "640x480@soon"}, "--resize wants WxH or WxH@MS, not 640x480@soon"},
      {{"--monitors", "800x600+0"}, "--monitors wants WxH+X+Y[*],..., not 800x600+0"},
      {{"--monitors", "800x600+0+0@5"}, "--monitors wants a layout, not 800x600+0+0@5"},
      {{"--monitors-change", "-8x6+0+0"}, "--monitors-change wants WxH+X+Y[*],..., not -8x6+0+0"},
      {{"--h264", "avc420,hevc"},
       "--h264 wants none or a list of avc420, avc444, avc444v2, not avc420,hevc"},
      {{"--h264", ""}, "--h264 wants none or a list of avc420, avc444, avc444v2, not "},
      {{"--cert-pin", "zz"}, "--cert-pin wants SHA-256 fingerprints, not zz"},
      {{"--cert-ask", "maybe"}, "--cert-ask wants accept or reject, not maybe"},
      {{"--gateway-message", "maybe"}, "--gateway-message wants accept or reject, not maybe"},
      {{"--gateway", "http://gw"},
       "--gateway: the gateway address is not host[:port], [v6][:port] or an https:// URL"},
      {{"--gateway-transport", "udp"}, "--gateway-transport: not auto, http, http-legacy or rpc"},
      {{"--rdp-file", "no.rdp"}, "cannot read no.rdp: No such file"},
      {{"--rdp-file", "big.rdp"}, "big.rdp is over 32768 bytes"},
      {{"--mic-wav", "22k.wav"}, "22k.wav: korvane takes 44100 or 48000 Hz, mono or stereo"},
      {{"--mic-wav", "8bit.wav"}, "8bit.wav: not 16-bit PCM"},
      {{"--mic-wav", "w.rdp"}, "w.rdp: not a RIFF WAVE file"},
      {{"--security", "kerberos"}, "--security: unknown security name"},
      {{"--color-depth", "288"}, "--color-depth: not a number in range"},
      {{"--client_name", "pc"}, "unknown argument --client_name", true},
      {{"--cert-ask", "accept", "--cert-pin", kPin},
       "--cert-pin and --cert-ask exclude each other"},
  };
  for (const auto& r : rows) {
    const ParsedArgs p = parse(r.args);
    EXPECT_FALSE(p.options) << r.error;
    EXPECT_EQ(p.error, r.error);
    EXPECT_EQ(p.show_usage, r.usage) << r.error;
  }
  const ParsedArgs no_host = parse_host_args(std::vector<std::string>{"--port", "1"});
  EXPECT_EQ(no_host.error, "--host and --port are required");
  EXPECT_TRUE(no_host.show_usage);
}

}  // namespace
}  // namespace korvane::host
