// korvane-host: the reference host. Starts korvane, opens one session, prints every event with
// running totals, optionally sends a few inputs, ends the session and saves what it saw.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/audio.hpp"
#include "host/cursor.hpp"
#include "host/desktop.hpp"
#include "host/files.hpp"
#include "host/options.hpp"
#include "host/png.hpp"
#include "host/recorder.hpp"
#include "host/video.hpp"
#include "host/session.hpp"
#include "host_link/extensions.hpp"
#include "host_link/session_extensions.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace korvane;
using namespace korvane::host;

std::atomic<bool> g_stop{false};

void on_stop_signal(int) { g_stop = true; }

std::string default_korvane_path() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
      std::string candidate = path.substr(0, slash + 1) + "korvane";
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return "korvane";
}

// --rdp-file's reader: at most max + 1 bytes, so that a huge file is refused unread.
std::optional<std::vector<uint8_t>> read_file_prefix(const std::string& path, size_t max,
                                                     std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(max + 1);
  size_t have = 0;
  int read_errno = 0;
  while (have < bytes.size()) {  // each pass reads something, or ends
    const ssize_t n = read(fd, bytes.data() + have, bytes.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read_errno = errno;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  close(fd);
  if (read_errno != 0) {
    error = std::strerror(read_errno);  // a folder: "Is a directory"
    return std::nullopt;
  }
  bytes.resize(have);
  return bytes;
}

// Returns nullopt after printing why the command line is not usable; exits for --help.
std::optional<HostOptions> parse_args(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  ParsedArgs parsed = parse_host_args(args, read_file_prefix);
  if (parsed.help) {
    print_usage(stdout);
    std::exit(0);
  }
  if (!parsed.options) {
    std::fprintf(stderr, "korvane-host: %s\n", parsed.error.c_str());
    if (parsed.show_usage) print_usage(stderr);
    return std::nullopt;
  }
  HostOptions& o = *parsed.options;
  o.session.korvane_path = o.korvane.empty() ? default_korvane_path() : o.korvane;
  return std::move(o);
}

bool send_input(Session& session, Desktop& desktop, const Input& in) {
  if (in.kind == Input::move || in.kind == Input::click) note_pointer(desktop.cursor, in.x, in.y);
  switch (in.kind) {
    case Input::move:
      std::printf("SEND MOVE x=%u y=%u\n", in.x, in.y);
      return send_command(session, CMD_MOUSE_MOVE, mouse_move_payload(in.x, in.y));
    case Input::click:
      std::printf("SEND CLICK x=%u y=%u\n", in.x, in.y);
      return send_command(session, CMD_MOUSE_BUTTON, mouse_button_payload(in.x, in.y, 1, true)) &&
             send_command(session, CMD_MOUSE_BUTTON, mouse_button_payload(in.x, in.y, 1, false));
    case Input::key:
      std::printf("SEND KEY scancode=0x%02x%s\n", in.scancode, in.extended ? " extended" : "");
      return send_command(session, CMD_KEY, key_payload(in.scancode, true, in.extended)) &&
             send_command(session, CMD_KEY, key_payload(in.scancode, false, in.extended));
    case Input::text:
      std::printf("SEND UNICODE U+%04X\n", in.code_point);
      return send_command(session, CMD_UNICODE, unicode_payload(in.code_point, true)) &&
             send_command(session, CMD_UNICODE, unicode_payload(in.code_point, false));
  }
  return false;
}

// --clip-offer's files, open for the server to read, and --clip-fetch's, written as their ranges
// come.
struct ClipFileIo {
  std::optional<FileOffer> offer;
  std::vector<int> offered;        // the files' descriptors, by list index
  std::vector<uint64_t> served;    // bytes read by the server, by list index
  std::optional<FileFetch> fetch;  // with --clip-fetch
  std::filesystem::path fetch_dir;
  std::map<size_t, int> fetched;  // by list index, open once the list came
  Clock::time_point started;
  bool reported = false;  // the FETCHED lines are out
  ClipFileIo() = default;
  ClipFileIo(const ClipFileIo&) = delete;
  ClipFileIo& operator=(const ClipFileIo&) = delete;
  ~ClipFileIo() {
    for (const int fd : offered) close(fd);
    for (const auto& [i, fd] : fetched) close(fd);
  }
};

// korvane's peak resident size so far (VmHWM), -1 when unknown: what a transfer cost it.
long peak_kib(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return -1;
  long kib = -1;
  char line[256];
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmHWM: %ld", &kib) == 1) break;
  std::fclose(f);
  return kib;
}

// Opens the files to offer; an empty string, or why one cannot be.
std::string open_offer(ClipFileIo& io, const std::vector<std::string>& paths) {
  if (paths.empty()) return {};
  io.offer.emplace();
  for (const std::string& path : paths) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (fd >= 0) close(fd);
      return "cannot offer " + path + ": " + (fd < 0 ? std::strerror(errno) : "not a file");
    }
    io.offered.push_back(fd);
    io.offer->files.push_back(
        {std::filesystem::path(path).filename().string(), static_cast<uint64_t>(st.st_size)});
  }
  io.served.assign(paths.size(), 0);
  if (!encode_file_list(io.offer->files)) return "a file name is too long to offer";
  io.offer->read = [&io](size_t index, uint64_t position,
                         uint32_t length) -> std::optional<std::vector<uint8_t>> {
    std::vector<uint8_t> bytes(length);
    size_t have = 0;
    while (have < length) {
      const ssize_t n = pread(io.offered[index], bytes.data() + have, length - have,
                              static_cast<off_t>(position + have));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) break;
      have += static_cast<size_t>(n);
    }
    bytes.resize(have);
    return bytes;
  };
  return {};
}

// Answers the server's request for an offered file; a FILE line when it has read one whole.
void serve_file(Session& session, ClipFileIo& io, const Frame& frame) {
  const auto answer = io.offer->answer(frame.payload);
  const auto r = parse_file_request(frame.payload);
  if (!answer || !send_command(session, CMD_CLIP_FILE_DATA, *answer)) {
    std::printf("PROBLEM cannot answer the server's file request\n");
    return;
  }
  if (!r || r->what != FILE_ASK_RANGE || r->list_index >= io.served.size()) return;
  const ListedFile& f = io.offer->files[r->list_index];
  const uint64_t before = io.served[r->list_index];
  io.served[r->list_index] += answer->size() - kFileDataHeaderSize;
  if (before < f.size && io.served[r->list_index] >= f.size)
    std::printf("FILE SERVED name=%s size=%llu korvane_peak_kib=%ld\n", f.name.c_str(),
                static_cast<unsigned long long>(f.size), peak_kib(session.child.pid));
}

// The list came: its folders and files made, empty, under the fetch folder.
std::string make_fetched(ClipFileIo& io) {
  for (size_t i = 0; i < io.fetch->files.size(); ++i) {
    std::string name = io.fetch->files[i].name;
    std::replace(name.begin(), name.end(), '\\', '/');
    const auto path = io.fetch_dir / name;
    std::error_code ec;
    std::filesystem::create_directories(io.fetch->files[i].directory ? path : path.parent_path(),
                                        ec);
    if (ec) return "cannot make " + path.string() + ": " + ec.message();
    if (io.fetch->files[i].directory) continue;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot write " + path.string() + ": " + std::strerror(errno);
    io.fetched[i] = fd;
  }
  return {};
}

// Hands the event to the fetch and writes what it brings; a problem, or empty.
std::string fetch_files(ClipFileIo& io, const Frame& frame, pid_t korvane) {
  const bool listed = !io.fetch->files.empty();
  std::string error;
  const auto piece = io.fetch->on_event(frame, error);
  if (!listed && !io.fetch->files.empty()) {
    io.started = Clock::now();
    if (auto problem = make_fetched(io); !problem.empty()) return problem;
  }
  if (piece) {
    const int fd = io.fetched.at(piece->index);
    for (size_t done = 0; done < piece->bytes.size();) {
      const ssize_t n = pwrite(fd, piece->bytes.data() + done, piece->bytes.size() - done,
                               static_cast<off_t>(piece->position + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::string("cannot write a fetched file: ") + std::strerror(errno);
      done += static_cast<size_t>(n);
    }
  }
  if (io.fetch->done() && !io.reported) {
    io.reported = true;
    const double s = std::chrono::duration<double>(Clock::now() - io.started).count();
    for (const ListedFile& f : io.fetch->files)
      std::printf("FETCHED name=%s size=%llu%s\n", f.name.c_str(),
                  static_cast<unsigned long long>(f.size), f.directory ? " folder" : "");
    std::printf("FETCHED files=%zu bytes=%llu seconds=%.3f MiB/s=%.1f korvane_peak_kib=%ld\n",
                io.fetch->files.size(), static_cast<unsigned long long>(io.fetch->received), s,
                s > 0 ? static_cast<double>(io.fetch->received) / s / 1048576 : 0.0,
                peak_kib(korvane));
  }
  return error;
}

// --replay: a recording's events painted and printed as a session's, up to --at.
int replay(const HostOptions& o) {
  std::FILE* f = std::fopen(o.replay.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "korvane-host: cannot read %s: %s\n", o.replay.c_str(),
                 std::strerror(errno));
    return 1;
  }
  Desktop desktop;
  RecordingHeader header;
  uint64_t records = 0, last_us = 0;
  const double until_s = o.replay_at.value_or(1e300);
  const RecordingProblem problem = read_recording(
      [f](uint8_t* into, size_t n) { return std::fread(into, 1, n, f); }, header,
      [&](const Record& r) {
        const double t = static_cast<double>(r.time_us) / 1e6;
        if (t > until_s) return;
        ++records;
        last_us = r.time_us;
        const bool bulk = r.type == EVT_RECT || r.type == EVT_AUDIO_DATA;
        if (r.from_host) {
          if (!o.quiet) std::printf("%.3f HOST type=%u bytes=%zu\n", t, r.type, r.payload.size());
          return;
        }
        const Frame frame{r.type, {r.payload.begin(), r.payload.end()}};
        const std::string problem_text = apply_event(desktop, frame);
        if (!o.quiet || !bulk) std::printf("%.3f %s\n", t, describe_event(frame).c_str());
        if (!problem_text.empty()) std::printf("PROBLEM %s\n", problem_text.c_str());
      });
  std::fclose(f);
  std::printf("REPLAY what=0x%02x started_ms=%llu records=%llu seconds=%.3f end=%s\n", header.what,
              static_cast<unsigned long long>(header.started_ms),
              static_cast<unsigned long long>(records), static_cast<double>(last_us) / 1e6,
              problem == RecordingProblem::none ? "whole" : to_string(problem));
  if (!o.png.empty()) {
    const std::string written = write_png(o.png, desktop.canvas);
    if (written.empty())
      std::printf("PNG %s %ux%u\n", o.png.c_str(), desktop.canvas.width, desktop.canvas.height);
    else
      std::printf("PNG not written: %s\n", written.c_str());
  }
  if (!o.video.empty()) {
    VideoReport v;
    const auto started = std::chrono::steady_clock::now();
    const VideoMode mode = o.video_mode == "remux"    ? VideoMode::remux
                           : o.video_mode == "encode" ? VideoMode::encode
                                                      : VideoMode::automatic;
    const std::string written = export_video(o.replay, o.video, mode, v);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!written.empty()) {
      std::printf("VIDEO not written: %s\n", written.c_str());
      return 1;
    }
    std::printf(
        "VIDEO %s mode=%s%s%s%s %ux%u frames=%llu video_seconds=%.3f sound_seconds=%.3f "
        "sound_blocks=%llu sound_skipped=%llu export_seconds=%.3f realtime=%.1fx\n",
        o.video.c_str(), v.mode.c_str(), v.encoder.empty() ? "" : " encoder=", v.encoder.c_str(),
        v.why.empty() ? "" : (" why=\"" + v.why + "\"").c_str(), v.width, v.height,
        static_cast<unsigned long long>(v.frames), v.video_seconds, v.sound_seconds,
        static_cast<unsigned long long>(v.sound_blocks),
        static_cast<unsigned long long>(v.sound_skipped), took,
        took > 0 ? v.recording_seconds / took : 0.0);
  }
  // A recording cut by a crash plays up to its last whole block: that is not a failure.
  return problem == RecordingProblem::none || problem == RecordingProblem::cut ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse_args(argc, argv);
  if (!options) return 2;
  // Line by line even into a pipe, so whoever reads the event stream sees it as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!options->replay.empty()) return replay(*options);

  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::string error;
  auto session = start_session(options->session, &error);
  if (!session) {
    std::fprintf(stderr, "korvane-host: %s\n", error.c_str());
    return 1;
  }

  Desktop desktop;
  std::optional<WavSeries> wav;
  if (!options->audio_wav.empty()) wav.emplace(options->audio_wav);
  std::string wav_problem;  // the first file that could not be written
  auto wav_lines = [&](const std::vector<std::string>& lines, const std::string& problem) {
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    if (!problem.empty()) {
      std::printf("PROBLEM %s\n", problem.c_str());
      if (wav_problem.empty()) wav_problem = problem;
    }
  };
  std::optional<MicSender> mic;
  if (options->mic) mic.emplace().source = *options->mic;
  std::optional<Recorder> recorder;
  if (!options->record.empty()) {
    const auto unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    if (!recorder.emplace().open(options->record, options->record_what, Clock::now(),
                                 static_cast<uint64_t>(unix_ms))) {
      std::fprintf(stderr, "korvane-host: %s\n", recorder->error.c_str());
      terminate(session->child, 0);
      return 2;
    }
    session->on_command = [&recorder](uint8_t type, std::span<const uint8_t> payload) {
      recorder->add(true, type, payload, Clock::now());
    };
  }
  ClipFileIo files;
  if (const std::string problem = open_offer(files, options->clip_offer); !problem.empty()) {
    std::fprintf(stderr, "korvane-host: %s\n", problem.c_str());
    terminate(session->child, 0);
    return 2;
  }
  if (!options->clip_fetch.empty()) {
    files.fetch_dir = options->clip_fetch;
    files.fetch.emplace().send = [&session](uint8_t type, std::span<const uint8_t> payload) {
      return send_command(*session, type, payload);
    };
  }
  // The offer goes once the clipboard is up (at the server's first list, or 2 s after
  // connecting), and after the fetch when there is one: it replaces the server's clipboard.
  Clock::time_point offer_at = Clock::time_point::max();
  bool offer_pending = files.offer.has_value();
  bool clipboard_up = false;
  auto offer_files = [&] {
    if (!offer_pending || !clipboard_up || (files.fetch && !files.fetch->done())) return;
    offer_pending = false;
    std::printf("SEND CLIP_OFFER files=%zu\n", files.offer->files.size());
    if (!send_command(*session, CMD_CLIP_DATA, files.offer->data_payload()) ||
        !send_command(*session, CMD_CLIP_FORMATS, files.offer->formats_payload()))
      std::printf("PROBLEM cannot offer the files to korvane\n");
  };
  auto on_event = [&](const Frame& frame) {
    if (recorder) recorder->add(false, frame.type, frame.payload, Clock::now());
    if (mic) {
      if (const std::string problem = mic->on_event(frame, Clock::now()); !problem.empty())
        std::printf("PROBLEM %s\n", problem.c_str());
    }
    const std::string problem = apply_event(desktop, frame);
    // Sound comes 50 blocks a second, files range by range: --quiet leaves them out like the
    // rectangles.
    const bool bulk = frame.type == EVT_RECT || frame.type == EVT_AUDIO_DATA ||
                      frame.type == EVT_CLIP_FILE_DATA || frame.type == EVT_CLIP_FILE_REQUEST;
    if (!options->quiet || !bulk) {
      std::printf("%s | %s\n", describe_event(frame).c_str(), totals_text(desktop).c_str());
    }
    if (!problem.empty()) std::printf("PROBLEM %s\n", problem.c_str());
    if (wav) {
      std::string wav_error;
      const auto lines = wav->on_event(frame, &wav_error);
      wav_lines(lines, wav_error);
    }
  };

  const auto started = Clock::now();
  std::optional<Clock::time_point> connected_at;
  Clock::time_point next_input = started;
  size_t inputs_sent = 0;
  // max(): not due (not asked for, or already sent).
  Clock::time_point resize_at = Clock::time_point::max();
  Clock::time_point monitors_at = Clock::time_point::max();
  Clock::time_point cursor_state_at = Clock::time_point::max();
  bool failed = false;
  bool ended_by_bridge = false;
  std::string failure;

  // Bounded by --connect-timeout before the connection and --seconds after it.
  while (!g_stop) {
    const auto now = Clock::now();
    if (!connected_at && now - started > std::chrono::duration<double>(options->connect_timeout)) {
      failure = "no EVT_CONNECTED within the connect timeout";
      failed = true;
      break;
    }
    if (connected_at && now - *connected_at >= std::chrono::duration<double>(options->seconds)) {
      break;
    }
    if (connected_at && inputs_sent < options->inputs.size() && now >= next_input) {
      if (!send_input(*session, desktop, options->inputs[inputs_sent])) {
        std::printf("PROBLEM cannot send the input to korvane\n");
      }
      inputs_sent++;
      next_input = now + std::chrono::milliseconds(100);
    }
    if (now >= resize_at) {
      resize_at = Clock::time_point::max();
      const auto [w, h] = *options->resize;
      std::printf("SEND RESIZE width=%u height=%u\n", w, h);
      if (!send_command(*session, CMD_RESIZE, resize_payload(w, h))) {
        std::printf("PROBLEM cannot send the resize to korvane\n");
      }
    }
    if (now >= monitors_at) {
      monitors_at = Clock::time_point::max();
      std::printf("SEND MONITORS %s\n", layout_text(*options->monitors_change).c_str());
      if (!send_command(*session, CMD_MONITORS, encode_layout(*options->monitors_change))) {
        std::printf("PROBLEM cannot send the monitors to korvane\n");
      }
    }
    if (now >= offer_at) {
      offer_at = Clock::time_point::max();
      clipboard_up = true;
      offer_files();
    }
    if (now >= cursor_state_at) {
      cursor_state_at = Clock::time_point::max();
      std::printf("SEND CURSOR_STATE\n");
      if (!send_command(*session, CMD_CURSOR_STATE)) {
        std::printf("PROBLEM cannot send the cursor request to korvane\n");
      }
    }
    if (recorder) recorder->tick(now);
    int wait_ms = 50;
    if (mic) {
      for (const auto& block : mic->due(Clock::now())) {
        if (!send_command(*session, CMD_AUDIO_IN, block)) {
          std::printf("PROBLEM cannot send the microphone's block to korvane\n");
        }
      }
      if (const auto next = mic->next_due()) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
        wait_ms = static_cast<int>(std::clamp<long long>(ms, 0, 50));
      }
    }
    Frame frame;
    const ReadStatus st = next_event(*session, wait_ms, frame);
    if (st == ReadStatus::timeout) continue;
    if (st != ReadStatus::frame) {
      failure =
          std::string("korvane's output ended (") + to_string(st) + ") before EVT_DISCONNECTED";
      failed = true;
      ended_by_bridge = true;
      break;
    }
    on_event(frame);
    if (frame.type == EVT_CLIP_FILE_REQUEST && files.offer) serve_file(*session, files, frame);
    clipboard_up = clipboard_up || frame.type == EVT_CLIP_FORMATS;
    if (files.fetch) {
      if (const std::string problem = fetch_files(files, frame, session->child.pid);
          !problem.empty())
        std::printf("PROBLEM %s\n", problem.c_str());
    }
    offer_files();
    if (frame.type == EVT_CERTIFICATE && options->cert_accept) {
      const bool accept = *options->cert_accept;
      std::printf("SEND CERT_VERDICT %s\n", accept ? "accept" : "reject");
      if (!send_command(*session, CMD_CERT_VERDICT, cert_verdict_payload(accept))) {
        std::printf("PROBLEM cannot send the certificate verdict to korvane\n");
      }
    }
    // korvane asks only a host granted the gateway extension, which this one asks for only with
    // a gateway setting or --gateway-message. The verdict is the certificate's byte.
    if (frame.type == EVT_GATEWAY_MESSAGE) {
      const bool accept = options->gateway_accept.value_or(true);
      std::printf("SEND GATEWAY_VERDICT %s\n", accept ? "accept" : "reject");
      if (!send_command(*session, CMD_GATEWAY_VERDICT, cert_verdict_payload(accept))) {
        std::printf("PROBLEM cannot send the gateway verdict to korvane\n");
      }
    }
    if (frame.type == EVT_CONNECTED && !connected_at) {
      connected_at = Clock::now();
      next_input = *connected_at + std::chrono::milliseconds(200);
      if (options->resize) {
        resize_at = *connected_at + std::chrono::milliseconds(options->resize_ms);
      }
      if (options->monitors_change) {
        monitors_at = *connected_at + std::chrono::milliseconds(options->monitors_change_ms);
      }
      if (offer_pending) offer_at = *connected_at + std::chrono::seconds(2);
      if (options->cursor_state_ms) {
        cursor_state_at = *connected_at + std::chrono::milliseconds(*options->cursor_state_ms);
      }
    }
    if (frame.type == EVT_ERROR || frame.type == EVT_DISCONNECTED) {
      ended_by_bridge = true;
      break;
    }
  }

  Ending ending;
  if (ended_by_bridge) {
    ending.disconnected = desktop.disconnected;
    ending.exit = wait_exit(session->child, 5000);
    if (!ending.exit) terminate(session->child, 0);
  } else if (!failed) {
    ending = finish_session(*session, 5000, on_event);
  } else {
    terminate(session->child, 0);
  }

  if (desktop.error) {
    std::printf("KORVANE ERROR: %s\n", desktop.error->c_str());
    failed = true;
  } else if (!failed && !ending.disconnected) {
    failure = "no EVT_DISCONNECTED at the end of the session";
    failed = true;
  }
  if (ending.exit && !(ending.exit->exited() && ending.exit->code == 0) && !desktop.error) {
    failure = "korvane ended with " + describe(*ending.exit);
    failed = true;
  }
  if (!ending.exit && !failed) {
    failure = "korvane did not exit after the session; killed";
    failed = true;
  }

  if (recorder) {
    recorder->finish();
    if (recorder->error.empty())
      std::printf("RECORDED %s bytes=%llu\n", options->record.c_str(),
                  static_cast<unsigned long long>(recorder->stored_bytes));
    else
      std::printf("PROBLEM %s\n", recorder->error.c_str());
  }
  if (!options->png.empty()) {
    // The pointer goes into the saved picture only, never into the canvas later events paint.
    Canvas picture = desktop.canvas;
    if (options->cursor) {
      const Cursor& c = desktop.cursor;
      if (draw_cursor(c, picture)) {
        std::printf("CURSOR DRAWN id=%u x=%u y=%u\n", c.current, *c.x, *c.y);
      } else {
        const char* why = c.mode == Cursor::Mode::hidden           ? "hidden"
                          : c.mode == Cursor::Mode::system_default ? "system default"
                          : c.mode == Cursor::Mode::unknown        ? "no shape in use"
                          : !c.x                                   ? "position unknown"
                                                                   : "off the desktop";
        std::printf("CURSOR NOT DRAWN (%s)\n", why);
      }
    }
    const std::string problem = write_png(options->png, picture);
    if (problem.empty()) {
      std::printf("PNG %s %ux%u\n", options->png.c_str(), desktop.canvas.width,
                  desktop.canvas.height);
    } else {
      std::printf("PNG not written: %s\n", problem.c_str());
    }
  }
  if (wav) {
    std::string wav_error;
    const auto lines = wav->finish(&wav_error);
    wav_lines(lines, wav_error);
    if (!wav_problem.empty() && failure.empty()) {
      failure = "the WAV file was not written whole: " + wav_problem;
      failed = true;
    }
  }
  if (options->audio) std::printf("%s\n", audio_summary(desktop.audio).c_str());
  const H264Stats& h = desktop.h264.stats;
  std::printf(
      "SUMMARY %s rects=%llu h264=%llu avc420=%llu avc444=%llu decoded=%llu "
      "undecoded=%llu problems=%llu exit=%s codec_avc420=%llu codec_avc444=%llu "
      "codec_avc444v2=%llu\n",
      totals_text(desktop).c_str(), static_cast<unsigned long long>(desktop.rects),
      static_cast<unsigned long long>(h.payloads), static_cast<unsigned long long>(h.avc420),
      static_cast<unsigned long long>(h.avc444), static_cast<unsigned long long>(h.pictures),
      static_cast<unsigned long long>(h.undecoded),
      static_cast<unsigned long long>(desktop.problems),
      ending.exit ? describe(*ending.exit).c_str() : "none",
      static_cast<unsigned long long>(h.codec_avc420),
      static_cast<unsigned long long>(h.codec_avc444),
      static_cast<unsigned long long>(h.codec_avc444v2));
  if (!failure.empty()) std::printf("FAILED: %s\n", failure.c_str());
  return failed ? 1 : 0;
}
