// Text input against the scripted test server: characters arrive as their exact UTF-16 units,
// what is no character is refused, lock keys arrive as sent, and the host's keyboard layout is
// the one the server is told.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "host_link/extensions.hpp"
#include "host_link/session_extensions.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace korvane::e2e;

namespace {

std::vector<uint8_t> text_block(std::optional<uint32_t> layout = std::nullopt,
                                uint32_t mask = EXT_TEXT) {
  std::vector<ExtensionField> fields;
  if (layout) {
    std::vector<uint8_t> v;
    append_u32(v, *layout);
    fields.push_back({FIELD_KEYBOARD_LAYOUT, v});
  }
  return encode_extensions(mask, fields);
}

// The server's unicode and sync lines, without their receipt times.
std::vector<std::string> text_lines(Rig& rig) {
  std::vector<std::string> got;
  const std::regex line("^(INPUT (unicode|sync|key) flags=0x[0-9A-F]+( code=0x[0-9A-F]+)?)");
  for (const auto& l : test::lines_of(*rig.server.process)) {
    std::smatch m;
    if (std::regex_search(l, m, line)) got.push_back(m[1].str());
  }
  return got;
}

struct Refusal {
  uint8_t command, reason;
  uint32_t value;
  bool operator==(const Refusal&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Refusal& r) {
  return out << "{cmd " << int(r.command) << " reason " << int(r.reason) << " value 0x" << std::hex
             << r.value << std::dec << "}";
}

// Collects EVT_REFUSED frames (and fails on any that is not 6 bytes).
struct RefusalSink {
  std::vector<Refusal> got;
  host::EventSink sink() {
    return [this](const host::Frame& f) {
      if (f.type != EVT_REFUSED) return;
      EXPECT_EQ(f.payload.size(), 6u);
      if (f.payload.size() == 6) got.push_back({f.payload[0], f.payload[1], u32_at(f, 2)});
    };
  }
};

void type(Rig& rig, uint32_t code_point) {
  ASSERT_TRUE(
      host::send_command(*rig.korvane, CMD_UNICODE, host::unicode_payload(code_point, true)));
  ASSERT_TRUE(
      host::send_command(*rig.korvane, CMD_UNICODE, host::unicode_payload(code_point, false)));
}

}  // namespace

TEST(TextInput, CharactersArriveAsTheirUtf16UnitsAndNonCharactersAreRefused) {
  // 4 characters (one astral: 4 events), then one lock sync.
  auto rig = start_rig({"wait-input 11 20000", "sleep 300", "end"}, {}, "tls", {}, text_block());
  ASSERT_TRUE(rig);
  ASSERT_EQ(granted_mask(*rig), EXT_TEXT) << korvane_stderr(*rig);
  RefusalSink refusals;
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, refusals.sink()));
  for (uint32_t cp : {0x00E9u, 0x20ACu, 0x4E2Du, 0x1F600u}) type(*rig, cp);
  // Neither a surrogate half nor a value past the last code point is sent.
  for (uint32_t cp : {0xD800u, 0xDFFFu, 0x110000u})
    ASSERT_TRUE(host::send_command(*rig->korvane, CMD_UNICODE, host::unicode_payload(cp, true)));
  // Cut short: dropped without a reply.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_UNICODE, std::vector<uint8_t>{0xE9, 0, 0, 0}));
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_SYNC_LOCKS,
                                 host::sync_locks_payload(LOCK_CAPS | LOCK_NUM)));
  const auto end = host::finish_session(*rig->korvane, 30000, refusals.sink(), false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);

  const std::vector<std::string> want = {"INPUT unicode flags=0x0000 code=0x00E9",
                                         "INPUT unicode flags=0x8000 code=0x00E9",
                                         "INPUT unicode flags=0x0000 code=0x20AC",
                                         "INPUT unicode flags=0x8000 code=0x20AC",
                                         "INPUT unicode flags=0x0000 code=0x4E2D",
                                         "INPUT unicode flags=0x8000 code=0x4E2D",
                                         "INPUT unicode flags=0x0000 code=0xD83D",
                                         "INPUT unicode flags=0x0000 code=0xDE00",
                                         "INPUT unicode flags=0x8000 code=0xD83D",
                                         "INPUT unicode flags=0x8000 code=0xDE00",
                                         "INPUT sync flags=0x00000006"};
  EXPECT_EQ(text_lines(*rig), want) << server_log(*rig);
  const std::vector<Refusal> refused = {{CMD_UNICODE, REFUSED_NOT_A_CHARACTER, 0xD800},
                                        {CMD_UNICODE, REFUSED_NOT_A_CHARACTER, 0xDFFF},
                                        {CMD_UNICODE, REFUSED_NOT_A_CHARACTER, 0x110000}};
  EXPECT_EQ(refusals.got, refused);
}

TEST(TextInput, TextAndLocksSentBeforeConnectedArePassedOnInOrder) {
  auto rig = start_rig({"wait-input 5 20000", "sleep 300", "end"}, {}, "tls", {}, text_block());
  ASSERT_TRUE(rig);
  // Straight after the connect request, before any event.
  ASSERT_TRUE(
      host::send_command(*rig->korvane, CMD_SYNC_LOCKS, host::sync_locks_payload(LOCK_SCROLL)));
  type(*rig, 0x00E9);
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_KEY, host::key_payload(0x1E, true, false)));
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_UNICODE, host::unicode_payload(0xDC00, true)));
  // Unknown lock bits are not passed on.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_SYNC_LOCKS,
                                 host::sync_locks_payload(LOCK_KANA | 0xFFFFFF00u)));
  RefusalSink refusals;
  const auto end = host::finish_session(*rig->korvane, 30000, refusals.sink(), false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  const std::vector<std::string> want = {
      "INPUT sync flags=0x00000001", "INPUT unicode flags=0x0000 code=0x00E9",
      "INPUT unicode flags=0x8000 code=0x00E9", "INPUT key flags=0x0000 code=0x1E",
      "INPUT sync flags=0x00000008"};
  EXPECT_EQ(text_lines(*rig), want) << server_log(*rig);
  EXPECT_EQ(refusals.got, (std::vector<Refusal>{{CMD_UNICODE, REFUSED_NOT_A_CHARACTER, 0xDC00}}));
}

TEST(TextInput, AServerWithoutUnicodeInputGetsNoneAndTheHostIsTold) {
  auto rig = start_rig({"wait-input 2 20000", "sleep 300", "end"}, {}, "tls", {"--unicode", "off"},
                       text_block());
  ASSERT_TRUE(rig);
  // One before the connection is up (refused once it is), one after.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_UNICODE, host::unicode_payload(0x00E9, true)));
  RefusalSink refusals;
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000, refusals.sink()));
  ASSERT_TRUE(
      host::send_command(*rig->korvane, CMD_UNICODE, host::unicode_payload(0x1F600, false)));
  // Scan codes and lock keys still go through.
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_KEY, host::key_payload(0x1E, true, false)));
  ASSERT_TRUE(
      host::send_command(*rig->korvane, CMD_SYNC_LOCKS, host::sync_locks_payload(LOCK_CAPS)));
  const auto end = host::finish_session(*rig->korvane, 30000, refusals.sink(), false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  EXPECT_EQ(text_lines(*rig), (std::vector<std::string>{"INPUT key flags=0x0000 code=0x1E",
                                                        "INPUT sync flags=0x00000004"}))
      << server_log(*rig);
  const std::vector<Refusal> refused = {{CMD_UNICODE, REFUSED_NO_UNICODE, 0x00E9},
                                        {CMD_UNICODE, REFUSED_NO_UNICODE, 0x1F600}};
  EXPECT_EQ(refusals.got, refused);
}

TEST(TextInput, AHostThatDidNotAskGetsTheCommandsDropped) {
  auto rig = start_rig({"wait-input 1 20000", "sleep 500", "end"});
  ASSERT_TRUE(rig);
  ASSERT_TRUE(host::wait_for_event(*rig->korvane, EVT_CONNECTED, 20000));
  type(*rig, 0x00E9);
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_UNICODE, host::unicode_payload(0xD800, true)));
  ASSERT_TRUE(
      host::send_command(*rig->korvane, CMD_SYNC_LOCKS, host::sync_locks_payload(LOCK_CAPS)));
  ASSERT_TRUE(host::send_command(*rig->korvane, CMD_KEY, host::key_payload(0x1E, true, false)));
  std::vector<uint8_t> types;
  const auto end = host::finish_session(
      *rig->korvane, 30000, [&](const host::Frame& f) { types.push_back(f.type); }, false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  EXPECT_EQ(text_lines(*rig), (std::vector<std::string>{"INPUT key flags=0x0000 code=0x1E"}))
      << server_log(*rig);
  for (uint8_t t : types) EXPECT_NE(t, EVT_REFUSED);
}

TEST(TextInput, TheHostsLayoutIsTheOneTheServerIsTold) {
  for (uint32_t layout : {0x0000040Cu, 0x00000407u}) {  // French, German
    SCOPED_TRACE(layout);
    auto rig = start_rig({"sleep 300", "end"}, {}, "tls", {}, text_block(layout));
    ASSERT_TRUE(rig);
    ASSERT_EQ(granted_mask(*rig), EXT_TEXT);
    const auto end = host::finish_session(*rig->korvane, 30000, {}, false);
    EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
    char want[64];
    std::snprintf(want, sizeof want, "KEYBOARD layout=0x%08X", layout);
    const auto line = test::wait_for_prefix(*rig->server.process, "KEYBOARD", 5000);
    ASSERT_TRUE(line) << server_log(*rig);
    EXPECT_EQ(*line, want);
  }
}

TEST(TextInput, AnUnknownLayoutIsRefusedBeforeConnecting) {
  // No server: korvane must answer before it tries to connect anywhere.
  for (uint32_t layout : {0x0000DEADu, 0xFFFFFFFFu, 0x00000001u}) {
    SCOPED_TRACE(layout);
    const EarlyEnd e = run_without_server(text_block(layout));
    EXPECT_EQ(e.types, std::vector<uint8_t>{EVT_ERROR});
    EXPECT_EQ(e.error, "Unknown keyboard layout");
    ASSERT_TRUE(e.exit);
    EXPECT_EQ(e.exit->code, 1);
  }
}

TEST(TextInput, TheLayoutFieldIsIgnoredWithoutTheTextExtension) {
  // The same unknown id, asked for without EXT_TEXT: the session goes ahead as it always did.
  auto rig = start_rig({"sleep 300", "end"}, {}, "tls", {}, text_block(0x0000DEADu, EXT_CURSOR));
  ASSERT_TRUE(rig);
  ASSERT_EQ(granted_mask(*rig), EXT_CURSOR) << korvane_stderr(*rig);
  const auto end = host::finish_session(*rig->korvane, 30000, {}, false);
  EXPECT_TRUE(end.disconnected) << korvane_stderr(*rig);
  const auto line = test::wait_for_prefix(*rig->server.process, "KEYBOARD", 5000);
  ASSERT_TRUE(line) << server_log(*rig);
  EXPECT_NE(*line, "KEYBOARD layout=0x0000DEAD");
}
