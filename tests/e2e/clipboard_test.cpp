// korvane's clipboard bridge end to end: the real korvane binary, driven over its host link,
// against korvane-test-server's clipboard channel on 127.0.0.1. What the server saw is read
// from its log (the line formats are described at the top of tests/server/clip.cpp).
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/session.hpp"
#include "host_link/clip_files.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "logged_process.hpp"
#include "net.hpp"
#include "proc_stats.hpp"
#include "rig.hpp"

using namespace korvane;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
using e2e::generated;
using e2e::sha256_hex;

// Generous: the same tests run in sanitizer builds, several times slower.
constexpr int kWaitMs = 30000;

// ------------------------------------------------------------ data helpers

// The server's ID:*LEN names.
std::string generated_name(size_t length) {
  std::string name(length, 'a');
  for (size_t i = 0; i < length; ++i) name[i] = static_cast<char>('a' + i % 26);
  return name;
}

// The server's way of writing a format name into its log.
std::string escaped(std::string_view name) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F && c != '\\') {
      out.push_back(ch);
    } else {
      out += "\\x";
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 0x0F]);
    }
  }
  return out;
}

// The line the server logs for the client's answer to a clip-request.
std::string data_line(uint32_t format, bool ok, std::span<const uint8_t> bytes) {
  const std::string shown =
      bytes.size() <= 256 ? e2e::hex(bytes) : e2e::hex(bytes.subspan(0, 32)) + "...";
  return "CLIP data format=" + std::to_string(format) + " flags=" + (ok ? "0x0001" : "0x0002") +
         " len=" + std::to_string(bytes.size()) + " sha256=" + sha256_hex(bytes) + " hex=" + shown;
}

std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> formats_payload(const std::vector<ClipFormat>& formats) {
  return encode_clip_formats(formats);
}

// ------------------------------------------------------------ the rig

// Reads korvane's events all the time: a host that stops reading stalls korvane's session
// (its output is a pipe), clipboard channel included. Clipboard events and the end of the
// session are kept for the test; display events are dropped.
struct EventPump {
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<host::Frame> kept;  // guarded by mutex
  bool ended = false;            // guarded by mutex: end of stream or a read error
  uint64_t clip_data = 0;        // guarded by mutex: EVT_CLIP_DATA frames seen
  bool disconnected = false;     // guarded by mutex
  bool error_event = false;      // guarded by mutex

  ~EventPump() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
};

void pump_events(host::Session* session, EventPump* pump) {
  // Bounded by the owner's stop flag, which every test sets on its way out, and by a last
  // resort far above any test's length.
  const auto deadline = Clock::now() + 10min;
  while (!pump->stop && Clock::now() < deadline) {
    host::Frame frame;
    const host::ReadStatus status = host::next_event(*session, 100, frame);
    if (status == host::ReadStatus::timeout) continue;
    std::lock_guard lock(pump->mutex);
    if (status != host::ReadStatus::frame) {
      pump->ended = true;
      pump->changed.notify_all();
      return;
    }
    const uint8_t type = frame.type;
    if (type == EVT_CLIP_DATA) ++pump->clip_data;
    pump->disconnected = pump->disconnected || type == EVT_DISCONNECTED;
    pump->error_event = pump->error_event || type == EVT_ERROR;
    if (type == EVT_CLIP_DATA || type == EVT_CLIP_FORMATS || type == EVT_DISCONNECTED ||
        type == EVT_ERROR || type == EVT_CLIP_FILE_DATA || type == EVT_CLIP_FILE_REQUEST ||
        type == EVT_CLIP_LOCK)
      pump->kept.push_back(std::move(frame));
    pump->changed.notify_all();
  }
  std::lock_guard lock(pump->mutex);
  pump->ended = true;
  pump->changed.notify_all();
}

// The shared rig and a pump of korvane's events. Declared in this order so that the pump ends
// before korvane.
struct Rig {
  e2e::Rig run;
  std::unique_ptr<EventPump> pump;
  size_t cursor = 0;  // server log lines already looked at

  pid_t server_pid() const { return run.server.process ? run.server.process->child.pid : -1; }
};

bool start_korvane(Rig& rig, std::vector<uint8_t> extension_block = {}) {
  // Given so that no authentication prompt is involved; the test server does not check them.
  if (!e2e::start_korvane(rig.run,
                          ConnectRequest{.username = "clip",
                                         .password = "board",
                                         .width = 640,
                                         .height = 480,
                                         .flags = CONNECT_FLAG_TLS},
                          std::move(extension_block)))
    return false;
  rig.pump = std::make_unique<EventPump>();
  rig.pump->thread = std::thread(pump_events, &*rig.run.korvane, rig.pump.get());
  return true;
}

bool start_rig(Rig& rig, std::vector<std::string> steps,
               std::vector<uint8_t> extension_block = {}) {
  return e2e::start_server(rig.run, std::move(steps)) &&
         start_korvane(rig, std::move(extension_block));
}

// Looks for a server line that is exactly `line`, from *cursor on, and moves the cursor past it.
// (The support library matches prefixes; std::regex is kept out of this file, it recurses per
// character and names here are 64 KiB long.)
bool find_server_line(Rig& rig, const std::string& line, int timeout_ms, size_t* cursor) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const auto found = test::wait_for_prefix(*rig.run.server.process, line,
                                             static_cast<int>(std::max<int64_t>(left, 0)), cursor);
    if (!found) return false;
    if (*found == line) return true;
  }
}

// The next server line (from the cursor on) that is exactly `line`.
bool expect_server_line(Rig& rig, const std::string& line, int timeout_ms = kWaitMs) {
  const bool found = find_server_line(rig, line, timeout_ms, &rig.cursor);
  if (!found) {
    ADD_FAILURE() << "the server did not log \"" << line.substr(0, 300) << "\"; its log:\n"
                  << e2e::server_log(rig.run).substr(0, 20000);
  }
  return found;
}

// Whether the server logged exactly `line` at some point (the cursor stays where it is).
bool server_logged(Rig& rig, const std::string& line, int timeout_ms = kWaitMs) {
  size_t cursor = 0;
  const bool found = find_server_line(rig, line, timeout_ms, &cursor);
  if (!found) ADD_FAILURE() << "the server never logged \"" << line << "\"";
  return found;
}

// The next client format list the server logged, as "ID NAME" texts (NAME escaped).
std::optional<std::vector<std::string>> next_server_list(Rig& rig, int timeout_ms = kWaitMs) {
  const std::string count_prefix = "CLIP formats count=";
  const auto head =
      test::wait_for_prefix(*rig.run.server.process, count_prefix, timeout_ms, &rig.cursor);
  if (!head) {
    ADD_FAILURE() << "no client format list at the server; its log:\n"
                  << e2e::server_log(rig.run).substr(0, 20000) << "\nkorvane's stderr:\n"
                  << e2e::korvane_stderr(rig.run).substr(0, 20000);
    return std::nullopt;
  }
  const size_t count = std::stoul(head->substr(count_prefix.size()));
  // Names can be 64 KiB long: taken apart by hand, std::regex recurses per character.
  const std::string prefix = "CLIP format id=";
  std::vector<std::string> entries;
  for (size_t i = 0; i < count; ++i) {
    const auto line =
        test::wait_for_prefix(*rig.run.server.process, prefix, timeout_ms, &rig.cursor);
    const size_t name_at = line ? line->find(" name=") : std::string::npos;
    if (name_at == std::string::npos) {
      ADD_FAILURE() << "list of " << count << " formats cut short at " << i;
      return std::nullopt;
    }
    entries.push_back(line->substr(prefix.size(), name_at - prefix.size()) + " " +
                      line->substr(name_at + 6));
  }
  return entries;
}

std::vector<std::string> entry_texts(const std::vector<ClipFormat>& formats) {
  std::vector<std::string> out;
  for (const auto& f : formats) out.push_back(std::to_string(f.id) + " " + escaped(f.name));
  return out;
}

// The next clipboard event from korvane, or the event that ended the session.
std::optional<host::Frame> next_clip_event(Rig& rig, int timeout_ms = kWaitMs) {
  EventPump& pump = *rig.pump;
  std::unique_lock lock(pump.mutex);
  pump.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return !pump.kept.empty() || pump.ended; });
  if (pump.kept.empty()) return std::nullopt;
  host::Frame frame = std::move(pump.kept.front());
  pump.kept.pop_front();
  return frame;
}

bool send(Rig& rig, uint8_t type, std::span<const uint8_t> payload) {
  const bool sent = host::send_command(*rig.run.korvane, type, payload);
  if (!sent) ADD_FAILURE() << "command " << int(type) << " not sent";
  return sent;
}

bool send_formats(Rig& rig, const std::vector<ClipFormat>& formats) {
  return send(rig, CMD_CLIP_FORMATS, formats_payload(formats));
}

bool send_data(Rig& rig, uint32_t format, std::span<const uint8_t> data) {
  return send(rig, CMD_CLIP_DATA, host::clip_data_payload(format, data));
}

bool send_request(Rig& rig, uint32_t format) {
  return send(rig, CMD_CLIP_REQUEST, host::clip_request_payload(format));
}

// Korvane answers the server's monitor ready with its capabilities and an empty list: once the
// server logged that list, korvane's end of the channel is attached.
bool wait_channel_up(Rig& rig) {
  const auto first = next_server_list(rig);
  if (!first) return false;
  EXPECT_TRUE(first->empty()) << "korvane's first list should be empty";
  return true;
}

// Ends the session from the host side; korvane must say goodbye and exit 0, and leave the logs
// clean.
void finish(Rig& rig) {
  ASSERT_TRUE(host::send_command(*rig.run.korvane, CMD_DISCONNECT));
  {
    EventPump& pump = *rig.pump;
    std::unique_lock lock(pump.mutex);
    pump.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                          [&] { return pump.disconnected || pump.ended; });
    EXPECT_TRUE(pump.disconnected) << "no EVT_DISCONNECTED";
    EXPECT_FALSE(pump.error_event);
  }
  const auto exit = host::wait_exit(rig.run.korvane->child, kWaitMs);
  ASSERT_TRUE(exit) << "korvane did not exit";
  EXPECT_TRUE(exit->exited()) << host::describe(*exit);
  EXPECT_EQ(exit->code, 0);
  e2e::expect_clean_logs(rig.run);
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Polls korvane's stderr (bounded) until `what` appears in it.
bool wait_stderr(Rig& rig, const std::string& what, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;; std::this_thread::sleep_for(20ms)) {
    const bool seen = e2e::korvane_stderr(rig.run).find(what) != std::string::npos;
    if (seen || Clock::now() >= deadline) return seen;
  }
}

const std::string kDropped = "host clipboard format list dropped";

// The most formats korvane takes in one host list (kMaxHostClipFormats).
constexpr uint32_t kMaxCount = 4096;

}  // namespace

// ---------------------------------------------------------------- host to server

TEST(Clipboard, HostFormatListReachesServer) {
  Rig rig;
  ASSERT_TRUE(start_rig(rig, {"clip-wait-lists 3 30000"}));
  ASSERT_TRUE(wait_channel_up(rig));

  const std::vector<ClipFormat> formats = {{13, ""},
                                           {49152, "HTML Format"},
                                           {1, ""},
                                           {49153, "Rich Text Format"},
                                           {0xC010, generated_name(65535)},
                                           {0xFFFFFFFF, "x"}};
  ASSERT_TRUE(send_formats(rig, formats));
  const auto seen = next_server_list(rig);
  ASSERT_TRUE(seen);
  EXPECT_EQ(*seen, entry_texts(formats));

  // FreeRDP's encoder cannot write a non-ASCII name without shifting the entries after it, so
  // korvane sends such entries without their name: the ids all arrive in place.
  const std::vector<ClipFormat> foreign = {{0xC0FF,
                                            "Gr\xC3\xB6\xC3\x9F"
                                            "e"},
                                           {49153, "Rich Text Format"},
                                           {0xC0FE, "\xF0\x9F\x93\x8B"},
                                           {7, "tail"}};
  ASSERT_TRUE(send_formats(rig, foreign));
  const auto seen_foreign = next_server_list(rig);
  ASSERT_TRUE(seen_foreign);
  EXPECT_EQ(*seen_foreign, (std::vector<std::string>{"49407 ", "49153 Rich\\x20Text\\x20Format",
                                                     "49406 ", "7 tail"}));
  ASSERT_TRUE(server_logged(rig, "DONE"));
  finish(rig);
}

TEST(Clipboard, ServerRequestsAreAnsweredFromTheHostStore) {
  Rig rig;
  ASSERT_TRUE(start_rig(rig, {"clip-wait-lists 2 30000", "clip-request 13 60000",
                              "clip-request 13 60000", "clip-request 1", "clip-request 13 60000",
                              "clip-wait-lists 3 30000", "clip-request 13"}));
  ASSERT_TRUE(wait_channel_up(rig));

  // 8 MiB reach the server whole; a zero byte must not end the data.
  std::vector<uint8_t> data = generated(8u << 20, 99);
  data[0] = 0;
  ASSERT_TRUE(send_data(rig, 13, data));
  ASSERT_TRUE(send_formats(rig, {{13, ""}}));
  ASSERT_TRUE(next_server_list(rig));

  // The same bytes for every request of the format, CB_RESPONSE_FAIL for another one.
  ASSERT_TRUE(expect_server_line(rig, data_line(13, true, data), 60000));
  ASSERT_TRUE(expect_server_line(rig, data_line(13, true, data), 60000));
  ASSERT_TRUE(expect_server_line(rig, data_line(1, false, {})));
  ASSERT_TRUE(expect_server_line(rig, data_line(13, true, data), 60000));

  // The id alone empties the store.
  ASSERT_TRUE(send_data(rig, 13, {}));
  ASSERT_TRUE(send_formats(rig, {{13, ""}}));
  ASSERT_TRUE(next_server_list(rig));
  ASSERT_TRUE(expect_server_line(rig, data_line(13, false, {})));
  ASSERT_TRUE(server_logged(rig, "DONE"));
  finish(rig);
}

// ---------------------------------------------------------------- server to host

TEST(Clipboard, ServerFormatListsReachHost) {
  Rig rig;
  ASSERT_TRUE(
      start_rig(rig, {"clip-wait-lists 1 30000",
                      "clip-formats 13 49152:HTML_Format 7:Gr\xC3\xB6\xC3\x9F"
                      "e "
                      "0xC004 0xC005:\xF0\x9F\x93\x8B 6:after",
                      "clip-formats", "clip-formats 99:*65536 100:*70000 101:*65535 102:*1"}));

  auto event = next_clip_event(rig);
  ASSERT_TRUE(event);
  ASSERT_EQ(event->type, EVT_CLIP_FORMATS);
  auto formats = parse_clip_formats_strict(event->payload);
  ASSERT_TRUE(formats) << "malformed EVT_CLIP_FORMATS";
  EXPECT_EQ(entry_texts(*formats), entry_texts({{13, ""},
                                                {49152, "HTML_Format"},
                                                {7,
                                                 "Gr\xC3\xB6\xC3\x9F"
                                                 "e"},
                                                {0xC004, ""},
                                                {0xC005, "\xF0\x9F\x93\x8B"},
                                                {6, "after"}}));
  // Answered although the host never answers.
  ASSERT_TRUE(expect_server_line(rig, "CLIP list-response flags=0x0001"));

  // FreeRDP's client channel (3.10) drops an empty server list before korvane sees it, so
  // whether the empty list shows up is the library's business; if it does, it must be count 0.
  size_t lists_seen = 1;
  event = next_clip_event(rig);
  ASSERT_TRUE(event);
  ASSERT_EQ(event->type, EVT_CLIP_FORMATS);
  if (event->payload == std::vector<uint8_t>{0, 0, 0, 0}) {
    ++lists_seen;
    ::testing::Test::RecordProperty("empty_server_list_delivered", "yes");
    event = next_clip_event(rig);
    ASSERT_TRUE(event);
    ASSERT_EQ(event->type, EVT_CLIP_FORMATS);
  }
  ++lists_seen;
  formats = parse_clip_formats_strict(event->payload);
  ASSERT_TRUE(formats) << "malformed EVT_CLIP_FORMATS";
  // Names past 65535 bytes are cut to what the u16 length can say.
  const std::string longest = generated_name(65535);
  EXPECT_TRUE(entry_texts(*formats) ==
              entry_texts({{99, longest}, {100, longest}, {101, longest}, {102, "a"}}));

  // Every list that reached the host was answered with CB_RESPONSE_OK, and only those.
  for (size_t i = 1; i < lists_seen; ++i)
    ASSERT_TRUE(expect_server_line(rig, "CLIP list-response flags=0x0001"));
  ASSERT_TRUE(server_logged(rig, "DONE"));
  size_t responses = 0;
  for (const std::string& line : test::lines_of(*rig.run.server.process)) {
    if (line.rfind("CLIP list-response", 0) == 0) {
      ++responses;
      EXPECT_EQ(line, "CLIP list-response flags=0x0001");
    }
  }
  EXPECT_EQ(responses, lists_seen);
  finish(rig);
}

TEST(Clipboard, HostRequestsGetTheServerBytes) {
  Rig rig;
  ASSERT_TRUE(
      start_rig(rig, {"clip-serve 1 hex:41", "clip-serve 2 gen:65536:2",
                      "clip-serve 3 gen:8388608:3", "clip-serve 4 fail", "clip-serve 6 empty"}));
  ASSERT_TRUE(wait_channel_up(rig));
  ASSERT_TRUE(server_logged(rig, "DONE"));

  struct Case {
    uint32_t id;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {1, {0x41}}, {2, generated(65536, 2)}, {3, generated(8u << 20, 3)}, {1, {0x41}}};
  for (const Case& c : cases) {
    ASSERT_TRUE(send_request(rig, c.id));
    const auto event = next_clip_event(rig, 60000);
    ASSERT_TRUE(event);
    ASSERT_EQ(event->type, EVT_CLIP_DATA);
    ASSERT_EQ(event->payload.size(), 4 + c.bytes.size());
    EXPECT_EQ(get_u32(event->payload.data()), c.id);
    EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), event->payload.begin() + 4))
        << "format " << c.id << " bytes differ";
  }

  // A failed and an empty answer send nothing: the next event is the one for format 1.
  ASSERT_TRUE(send_request(rig, 4));
  ASSERT_TRUE(send_request(rig, 6));
  ASSERT_TRUE(send_request(rig, 1));
  const auto event = next_clip_event(rig);
  ASSERT_TRUE(event);
  ASSERT_EQ(event->type, EVT_CLIP_DATA);
  EXPECT_EQ(event->payload, (std::vector<uint8_t>{1, 0, 0, 0, 0x41}));
  // The server did get those requests and answered them.
  ASSERT_TRUE(expect_server_line(rig, "CLIP served format=4 flags=0x0002 len=0"));
  ASSERT_TRUE(expect_server_line(rig, "CLIP served format=6 flags=0x0001 len=0"));
  finish(rig);
}

// ---------------------------------------------------------------- files

// A host without the files extension cannot answer for a file: the server hears so at once, and
// the clipboard's capabilities are what they always were.
TEST(ClipboardFiles, WithoutTheExtensionTheServerHearsAFailureAtOnce) {
  Rig rig;
  ASSERT_TRUE(start_rig(rig, {"clip-file-request 5 0 size 0 0 5000"}));
  ASSERT_TRUE(expect_server_line(rig, "CLIP caps version=2 flags=0x00000002"));
  ASSERT_TRUE(expect_server_line(
      rig, "CLIP file-response stream=5 flags=0x0002 len=0 sha256=" + sha256_hex({})));
  finish(rig);
}

// Sizes and ranges of the server's file, out of order and several waiting at once, come out
// byte for byte; the server's request for the host's file gets the host's bytes.
TEST(ClipboardFiles, BothWaysByteForByteInAnyOrder) {
  Rig rig;
  ASSERT_TRUE(start_rig(rig,
                        {"clip-file-serve 0 gen:300000:5", "clip-file-request 9 0 range 1000 5000"},
                        encode_extensions(EXT_FILES)));
  ASSERT_TRUE(expect_server_line(rig, "CLIP caps version=2 flags=0x0000003E"));
  const std::vector<uint8_t> server_file = generated(300000, 5), host_file = generated(9000, 6);
  const FileRequest asks[] = {
      {1, 0, FILE_ASK_SIZE, 0, 0},       {2, 0, FILE_ASK_RANGE, 200000, 100000},
      {3, 0, FILE_ASK_RANGE, 0, 200000}, {4, 0, FILE_ASK_RANGE, 299990, 100},  // cut at the end
      {5, 7, FILE_ASK_SIZE, 0, 0},                                             // no such file
      {6, 0, FILE_ASK_RANGE, 0, 0}};                                           // not asked
  for (const FileRequest& a : asks)
    ASSERT_TRUE(send(rig, CMD_CLIP_FILE_REQUEST, encode_file_request(a)));
  std::map<uint32_t, std::pair<uint8_t, std::vector<uint8_t>>> answers;
  // The server's request may come before, among or after korvane's answers.
  bool server_asked = false;
  while (answers.size() < std::size(asks) || !server_asked) {
    const auto event = next_clip_event(rig);
    ASSERT_TRUE(event) << answers.size() << " answers";
    if (event->type == EVT_CLIP_FILE_REQUEST) {
      // The server's request for the host's file: bytes 1000..5999.
      const auto r = parse_file_request(event->payload);
      ASSERT_TRUE(r);
      EXPECT_EQ(*r, (FileRequest{9, 0, FILE_ASK_RANGE, 1000, 5000}));
      const auto header = encode_file_data_header(9, FILE_OK);
      std::vector<uint8_t> answer(header.begin(), header.end());
      answer.insert(answer.end(), host_file.begin() + 1000, host_file.begin() + 6000);
      ASSERT_TRUE(send(rig, CMD_CLIP_FILE_DATA, answer));
      server_asked = true;
      continue;
    }
    ASSERT_EQ(event->type, EVT_CLIP_FILE_DATA);
    const auto d = parse_file_data(event->payload);
    ASSERT_TRUE(d);
    answers[d->stream_id] = {d->status, {d->bytes.begin(), d->bytes.end()}};
  }
  const auto slice = [&](size_t from, size_t n) {
    return std::vector<uint8_t>(server_file.begin() + static_cast<long>(from),
                                server_file.begin() + static_cast<long>(from + n));
  };
  EXPECT_EQ(answers[1], std::make_pair(uint8_t{FILE_OK},
                                       std::vector<uint8_t>{0xE0, 0x93, 0x04, 0, 0, 0, 0, 0}));
  EXPECT_EQ(answers[2], std::make_pair(uint8_t{FILE_OK}, slice(200000, 100000)));
  EXPECT_EQ(answers[3], std::make_pair(uint8_t{FILE_OK}, slice(0, 200000)));
  EXPECT_EQ(answers[4], std::make_pair(uint8_t{FILE_OK}, slice(299990, 10)));
  EXPECT_EQ(answers[5].first, FILE_FAILED);
  EXPECT_EQ(answers[6], std::make_pair(uint8_t{FILE_REFUSED}, std::vector<uint8_t>{3}));
  EXPECT_TRUE(server_logged(rig, "CLIP file-response stream=9 flags=0x0001 len=5000 sha256=" +
                                     sha256_hex(std::span(host_file).subspan(1000, 5000))));
  finish(rig);
}

// Locks cross both ways, and the requests made under one name it to the side that holds the list.
TEST(ClipboardFiles, LocksReachTheOtherSideAndTheRequestsNameThem) {
  Rig rig;
  ASSERT_TRUE(start_rig(rig,
                        {"clip-file-serve 0 hex:0102", "clip-lock 7",
                         "clip-file-request 9 0 size 0 0", "clip-unlock 7"},
                        encode_extensions(EXT_FILES)));
  auto event = next_clip_event(rig);
  ASSERT_TRUE(event && event->type == EVT_CLIP_LOCK);
  EXPECT_EQ(parse_clip_lock(event->payload), (ClipLock{7, true}));
  event = next_clip_event(rig);
  ASSERT_TRUE(event && event->type == EVT_CLIP_FILE_REQUEST);
  EXPECT_EQ(parse_file_request(event->payload), (FileRequest{9, 0, FILE_ASK_SIZE, 0, 8, 7}));
  const std::vector<uint8_t> answer = {9, 0, 0, 0, FILE_OK, 3, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(send(rig, CMD_CLIP_FILE_DATA, answer));
  event = next_clip_event(rig);
  ASSERT_TRUE(event && event->type == EVT_CLIP_LOCK);
  EXPECT_EQ(parse_clip_lock(event->payload), (ClipLock{7, false}));

  ASSERT_TRUE(send(rig, CMD_CLIP_LOCK, encode_clip_lock({3, true})));
  ASSERT_TRUE(
      send(rig, CMD_CLIP_FILE_REQUEST, encode_file_request({1, 0, FILE_ASK_RANGE, 1, 5, 3})));
  event = next_clip_event(rig);
  ASSERT_TRUE(event && event->type == EVT_CLIP_FILE_DATA);
  EXPECT_EQ(event->payload, (std::vector<uint8_t>{1, 0, 0, 0, FILE_OK, 2}));
  ASSERT_TRUE(send(rig, CMD_CLIP_LOCK, encode_clip_lock({3, false})));
  EXPECT_TRUE(expect_server_line(rig, "CLIP lock id=3"));
  EXPECT_TRUE(expect_server_line(
      rig, "CLIP file-request stream=1 index=0 flags=0x00000002 pos=1 len=5 lock=3"));
  EXPECT_TRUE(expect_server_line(rig, "CLIP unlock id=3"));
  finish(rig);
}

// ---------------------------------------------------------------- before the channel

TEST(Clipboard, CommandsBeforeTheChannelConnects) {
  Rig rig;
  ASSERT_TRUE(e2e::start_server(rig.run, {"clip-wait-lists 2 30000", "clip-request 13"}));
  // A stopped server accepts the TCP connection (the kernel does) but never answers: the
  // channel cannot connect while korvane handles the commands below.
  e2e::ResumeOnExit resume{rig.server_pid()};
  ASSERT_EQ(kill(rig.server_pid(), SIGSTOP), 0);
  ASSERT_TRUE(start_korvane(rig));

  const std::vector<uint8_t> early = bytes_of("stored before the channel\x01\x02");
  ASSERT_TRUE(send_formats(rig, {{77, "early"}}));
  ASSERT_TRUE(send_request(rig, 3));
  ASSERT_TRUE(send_data(rig, 13, early));
  // A list korvane refuses with a diagnostic: once that shows, the commands before it have
  // been handled.
  std::vector<uint8_t> marker;
  append_u32(marker, 5000);
  ASSERT_TRUE(send(rig, CMD_CLIP_FORMATS, marker));
  ASSERT_TRUE(wait_stderr(rig, kDropped, kWaitMs)) << e2e::korvane_stderr(rig.run);
  EXPECT_EQ(e2e::korvane_stderr(rig.run).find("CLIPRDR channel connected"), std::string::npos);
  ASSERT_EQ(kill(rig.server_pid(), SIGCONT), 0);

  // The first list the server sees is korvane's own empty one, not the early list.
  ASSERT_TRUE(wait_channel_up(rig));
  ASSERT_TRUE(send_formats(rig, {{13, "late"}}));
  const auto seen = next_server_list(rig);
  ASSERT_TRUE(seen);
  EXPECT_EQ(*seen, (std::vector<std::string>{"13 late"}));
  // The data sent before the channel was there is served.
  ASSERT_TRUE(expect_server_line(rig, data_line(13, true, early)));
  ASSERT_TRUE(server_logged(rig, "DONE"));
  // The early request would have reached the server before the late list.
  for (const std::string& line : test::lines_of(*rig.run.server.process)) {
    EXPECT_NE(line.rfind("CLIP request", 0), 0u) << line;
    EXPECT_NE(line.rfind("CLIP format id=77", 0), 0u) << line;
  }
  finish(rig);
}

// ---------------------------------------------------------------- bad host input

TEST(Clipboard, MalformedHostListsAndDataStoreNothingTheHostDidNotSendInBoundedMemory) {
  Rig rig;
  ASSERT_TRUE(start_rig(rig, {"clip-wait-lists 8 30000", "clip-request 13", "clip-request 7",
                              "clip-request 0", "clip-request 5"}));
  ASSERT_TRUE(wait_channel_up(rig));
  const pid_t pid = rig.run.korvane->child.pid;
  const auto peak_before = test::status_field(pid, "VmHWM");
  ASSERT_TRUE(peak_before);

  // Counts that would be allocated (2 million entries are tens of MiB) if korvane believed them.
  const uint32_t counts[] = {0xFFFFFFFFu, 2000000u, 4097u};
  constexpr int kRounds = 40;
  size_t dropped = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (const uint32_t count : counts) {
      std::vector<uint8_t> payload;
      append_u32(payload, count);
      // A few real entries; the rest of the declared count is missing.
      for (uint32_t i = 0; i < 8; ++i) {
        append_u32(payload, 1000 + i);
        append_u16(payload, 0);
      }
      ASSERT_TRUE(send(rig, CMD_CLIP_FORMATS, payload));
      ++dropped;
    }
  }
  // The largest count that is taken: kept as declared, with the missing entries id 0.
  std::vector<uint8_t> biggest;
  append_u32(biggest, kMaxCount);
  append_u32(biggest, 21);
  append_u16(biggest, 1);
  biggest.push_back('x');
  append_u32(biggest, 22);
  append_u16(biggest, 0);
  // Each list is waited for before the next: korvane keeps only the newest of the lists that
  // wait for the server's answer to an earlier one.
  ASSERT_TRUE(send(rig, CMD_CLIP_FORMATS, biggest));
  const auto big = next_server_list(rig);
  ASSERT_TRUE(send_formats(rig, {{23, "sync"}}));
  const auto sync = next_server_list(rig);
  // Once the lists arrived every command before them has been handled: the peak is final.
  const auto peak_after = test::status_field(pid, "VmHWM");
  ASSERT_TRUE(peak_after);
  EXPECT_LT(*peak_after - *peak_before, 32u * 1024u)
      << "peak resident memory grew from " << *peak_before << " KiB to " << *peak_after << " KiB";
  EXPECT_EQ(count_of(e2e::korvane_stderr(rig.run), kDropped), dropped);

  ASSERT_TRUE(big);
  ASSERT_EQ(big->size(), size_t{kMaxCount});
  EXPECT_EQ((*big)[0], "21 x");
  EXPECT_EQ((*big)[1], "22 ");
  size_t zero_entries = 0;
  for (size_t i = 2; i < big->size(); ++i) zero_entries += (*big)[i] == "0 " ? 1 : 0;
  EXPECT_EQ(zero_entries, size_t{kMaxCount} - 2);
  ASSERT_TRUE(sync);
  EXPECT_EQ(*sync, (std::vector<std::string>{"23 sync"}));

  const std::vector<uint8_t> good = bytes_of("only these bytes");
  ASSERT_TRUE(send_data(rig, 13, good));

  // Data commands too short to carry an id are dropped, not stored.
  ASSERT_TRUE(send(rig, CMD_CLIP_DATA, {}));
  ASSERT_TRUE(send(rig, CMD_CLIP_DATA, std::vector<uint8_t>{7, 0, 0}));
  // A list shorter than its count field is dropped.
  ASSERT_TRUE(send(rig, CMD_CLIP_FORMATS, std::vector<uint8_t>{1, 0, 0}));

  // A u32 count, then a u32 id, a u16 name length and the name for each entry.
  using Texts = std::vector<std::string>;
  const std::pair<std::vector<uint8_t>, Texts> expected[] = {
      // Three formats declared, one given.
      {{3, 0, 0, 0, 13, 0, 0, 0, 1, 0, 'A'}, {"13 A", "0 ", "0 "}},
      // A name of 500 bytes with 3 there.
      {{2, 0, 0, 0, 7, 0, 0, 0, 0xF4, 0x01, 'x', 'y', 'z'}, {"7 ", "0 "}},
      // A count and nothing else.
      {{1, 0, 0, 0}, {"0 "}},
      // A name one byte short.
      {{2, 0, 0, 0, 5, 0, 0, 0, 3, 0, 'a', 'b'}, {"5 ", "0 "}},
      // A name that is not UTF-8.
      {formats_payload({{9, "\xFF\xFE\x80"}, {10, "ok"}}), {"9 ", "10 ok"}}};
  // One at a time: a list sent while the one before is unanswered would replace the one
  // waiting, and only the newest would reach the server.
  for (const auto& [payload, want] : expected) {
    ASSERT_TRUE(send(rig, CMD_CLIP_FORMATS, payload));
    const auto seen = next_server_list(rig);
    ASSERT_TRUE(seen);
    EXPECT_EQ(*seen, want);
  }
  // Only what CMD_CLIP_DATA gave is served.
  ASSERT_TRUE(expect_server_line(rig, data_line(13, true, good)));
  ASSERT_TRUE(expect_server_line(rig, data_line(7, false, {})));
  ASSERT_TRUE(expect_server_line(rig, data_line(0, false, {})));
  ASSERT_TRUE(expect_server_line(rig, data_line(5, false, {})));
  ASSERT_TRUE(server_logged(rig, "DONE"));
  finish(rig);
}

TEST(Clipboard, AFloodOfListsAndLargeDataCostsBoundedMemoryAndTheNewestWins) {
  Rig rig;
  // The server asks for the data once the host's key says the flood is over.
  ASSERT_TRUE(
      start_rig(rig, {"clip-wait-lists 1 30000", "wait-input 1 120000", "clip-request 13 60000"}));
  ASSERT_TRUE(wait_channel_up(rig));
  const pid_t pid = rig.run.korvane->child.pid;
  std::this_thread::sleep_for(300ms);
  const auto rss_before = test::status_field(pid, "VmRSS");
  ASSERT_TRUE(rss_before);

  // 10,000 lists of three formats with names, and every 400th command 8 MiB of data: 200 MiB
  // of data and a few MiB of lists in all, as fast as the pipe takes them.
  constexpr int kLists = 10000;
  constexpr size_t kDataSize = 8u << 20;
  std::vector<uint8_t> data(kDataSize);
  int data_sent = 0;
  for (int i = 0; i < kLists; ++i) {
    const auto n = static_cast<uint32_t>(i);
    ASSERT_TRUE(send_formats(
        rig, {{13, ""}, {0xC000 + n % 0x3000, "flood-" + std::to_string(i)}, {1, "text"}}));
    if (i % 400 == 0) {
      std::fill(data.begin(), data.end(), static_cast<uint8_t>(i / 400));
      ASSERT_TRUE(send_data(rig, 13, data));
      ++data_sent;
    }
  }
  const std::vector<ClipFormat> final_list = {{13, ""}, {49999, "final-list"}};
  ASSERT_TRUE(send_formats(rig, final_list));
  const std::vector<uint8_t> final_data = generated(kDataSize, 77);
  ASSERT_TRUE(send_data(rig, 13, final_data));
  ASSERT_TRUE(send(rig, CMD_KEY, host::key_payload(0x1E, true, false)));

  // The lists the server saw: any number of the flood's, in order, then the final one last.
  const std::vector<std::string> want = entry_texts(final_list);
  size_t lists = 0;
  bool final_seen = false;
  while (lists <= kLists && !final_seen) {
    const auto seen = next_server_list(rig);
    ASSERT_TRUE(seen);
    ++lists;
    final_seen = *seen == want;
  }
  ASSERT_TRUE(final_seen);
  // The data the server gets is the newest, whole.
  ASSERT_TRUE(server_logged(rig, data_line(13, true, final_data)));
  const auto rss_after = test::status_field(pid, "VmRSS");
  ASSERT_TRUE(rss_after);
  std::printf(
      "[ figures  ] %d lists and %d x %zu MiB of data sent; %zu lists reached the "
      "server; korvane's VmRSS %llu KiB before, %llu KiB after\n",
      kLists + 1, data_sent + 1, kDataSize >> 20, lists,
      static_cast<unsigned long long>(*rss_before), static_cast<unsigned long long>(*rss_after));
  // One waiting list and one data (8 MiB) are held, plus what the allocator keeps of the
  // frames it freed; 200 MiB queued would show far above this. AddressSanitizer keeps freed
  // blocks resident in its quarantine (up to 256 MiB), so there the plain build's figure is the
  // one that counts.
  if (!e2e::kAddressSanitizer) {
    EXPECT_LT(*rss_after, *rss_before + 48u * 1024u)
        << "resident memory grew from " << *rss_before << " KiB to " << *rss_after << " KiB";
  }
  // The host writes lists far faster than the server answers them: most of them are replaced
  // while they wait, and never go out.
  EXPECT_LT(lists, size_t{kLists} / 2);
  finish(rig);
}

// ---------------------------------------------------------------- the channel going away

namespace {

enum class Ending { close_channel_then_end, end_session, kill_server };

struct Hammered {
  uint64_t commands = 0;
  uint64_t clip_data = 0;
  bool disconnected = false;
  bool error_event = false;
  std::optional<host::ExitStatus> exit;
};

// Sends clipboard lists and requests without pause while the server ends the channel or the
// session; the pump keeps reading korvane's events meanwhile.
Hammered hammer(Rig& rig, Ending ending) {
  Hammered result;
  EventPump& pump = *rig.pump;
  auto session_over = [&] {
    std::lock_guard lock(pump.mutex);
    return pump.ended || pump.disconnected;
  };
  const auto deadline = Clock::now() + 60s;
  constexpr uint64_t kMaxCommands = 200000;
  bool killed = false;
  size_t list_cursor = rig.cursor;
  size_t served_cursor = rig.cursor;
  size_t lists = 0;
  size_t served = 0;
  // Korvane sends a host's data requests on the channel as they come; a host that outruns the
  // server by far only grows the channel's queue. Lists are paced to stay at most kAhead in front
  // of what the server has read, and once the server stops reading they go on every few
  // milliseconds.
  constexpr uint64_t kAhead = 32;
  size_t pace_cursor = rig.cursor;
  uint64_t lists_sent = 0;
  uint64_t lists_read = 0;
  for (uint64_t i = 0; i < kMaxCommands && Clock::now() < deadline; ++i) {
    if (i % 16 == 0 && session_over()) break;
    bool sent = false;
    if (i % 2 == 0) {
      const auto pace_until = Clock::now() + 5ms;
      while (lists_sent > lists_read + kAhead && Clock::now() < pace_until) {
        if (test::wait_for_prefix(*rig.run.server.process, "CLIP formats count=1", 1, &pace_cursor))
          ++lists_read;
      }
      ++lists_sent;
      sent = host::send_command(*rig.run.korvane, CMD_CLIP_FORMATS,
                                formats_payload({{static_cast<uint32_t>(1 + i % 500), "h"}}));
    } else {
      sent = host::send_command(*rig.run.korvane, CMD_CLIP_REQUEST, host::clip_request_payload(1));
    }
    if (!sent) break;  // korvane stopped reading: the session is over
    ++result.commands;
    if (ending == Ending::kill_server && !killed && i % 64 == 0) {
      // As far into the hammering as the other endings get before the session goes.
      while (lists < 40 && test::wait_for_prefix(*rig.run.server.process, "CLIP formats count=1", 0,
                                                 &list_cursor))
        ++lists;
      while (served < 20 && test::wait_for_prefix(*rig.run.server.process, "CLIP served format=1 ",
                                                  0, &served_cursor))
        ++served;
      if (lists >= 40 && served >= 20) {
        kill(rig.server_pid(), SIGKILL);
        killed = true;
      }
    }
  }
  result.exit = host::wait_exit(rig.run.korvane->child, kWaitMs);
  {
    std::unique_lock lock(pump.mutex);
    // The last events are read once korvane is gone.
    pump.changed.wait_for(lock, 5s, [&] { return pump.ended; });
    result.clip_data = pump.clip_data;
    result.disconnected = pump.disconnected;
    result.error_event = pump.error_event;
  }
  return result;
}

}  // namespace

// The server closes the channel then ends, ends the session, or is killed while the host
// hammers the channel; korvane must survive each.
TEST(Clipboard, HammeringWhileTheChannelOrTheSessionGoes) {
  const struct {
    Ending ending;
    std::vector<std::string> steps;
  } cases[] = {
      {Ending::close_channel_then_end,
       {"clip-serve 1 hex:41", "clip-wait-lists 40 30000", "clip-wait-requests 20 30000",
        "clip-close", "sleep 300", "end"}},
      {Ending::end_session,
       {"clip-serve 1 hex:41", "clip-wait-lists 40 30000", "clip-wait-requests 20 30000", "end"}},
      {Ending::kill_server, {"clip-serve 1 hex:41", "clip-wait-lists 1000000 60000"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.ending));
    Rig rig;
    ASSERT_TRUE(start_rig(rig, c.steps));
    ASSERT_TRUE(wait_channel_up(rig));
    const Hammered h = hammer(rig, c.ending);
    ASSERT_TRUE(h.exit) << "korvane still running after the session ended";
    EXPECT_TRUE(h.exit->exited()) << host::describe(*h.exit) << "\n"
                                  << e2e::korvane_stderr(rig.run).substr(0, 20000);
    if (c.ending != Ending::kill_server) {
      EXPECT_EQ(h.exit->code, 0);
      EXPECT_TRUE(h.disconnected);
    } else {
      EXPECT_TRUE(h.disconnected || h.error_event);
    }
    // The hammering did reach the channel before it went: the server saw lists and answered
    // requests (which a clean end delivers before the session's end).
    EXPECT_GT(h.commands, 40u);
    const std::string log = e2e::server_log(rig.run);
    EXPECT_GE(count_of(log, "CLIP formats count="), 40u);
    EXPECT_GE(count_of(log, "CLIP served format=1 flags=0x0001 len=1\n"), 20u);
    // Answers still queued at the server when it ends the session are lost with it; with the
    // channel closed first they had time to arrive.
    if (c.ending == Ending::close_channel_then_end) {
      EXPECT_GT(h.clip_data, 0u);
      EXPECT_TRUE(test::wait_for_prefix(*rig.run.server.process, "CLIP closed", 1000));
    }
    e2e::expect_no_sanitizer_report(rig.run);
  }
}
