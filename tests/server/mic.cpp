// The microphone: the server's half of the audio-input channel (AUDIO_INPUT, a dynamic channel),
// opened only when the script has a mic-* step and the client's manager is ready.
//
// The server offers 16-bit PCM at 48000 and 44100 Hz, stereo and mono, then Opus (0x704F, 48 kHz
// stereo), 16-bit PCM at 22050 Hz mono (which a client must convert to) and Opus as xrdp names it
// (0x0069, 44.1 kHz stereo). Whatever arrives is kept, in order, up to 64 MiB.
//
// Steps
//   mic-open TAG RATE CHANNELS [FRAMES]   waits for the client's formats, opens the microphone
//                                         in the client's format with that tag (for PCM also
//                                         rate and channels), FRAMES per packet (default 960),
//                                         and waits for the open reply; an error when the
//                                         client has no such format or the reply is not 0
//   mic-wait-bytes N [TIMEOUT_MS]         until N bytes have arrived since the open
//   mic-close                             closes the channel
//   mic-dump PATH                         writes every byte received so far to PATH
//
// Log lines
//   MIC capture=0|1                       at connect: the client's audio capture setting
//   MIC formats count=N                   the client's formats, then one line each:
//   MIC format index=I tag=0xTTTT channels=C rate=R bits=B align=A
//   MIC format-change index=I            the client's confirmation of the open's format
//   MIC open-reply result=R
//   MIC data bytes=N total=T t_ns=T       each data PDU (T: bytes so far; t_ns: CLOCK_MONOTONIC)
//   MIC dumped path=P bytes=N
#define CHANNEL_AUDIN_SERVER
#include <freerdp/server/audin.h>

#include <fstream>
#include <optional>

#include "peer.hpp"

namespace kts {
namespace {

constexpr std::size_t max_recorded = 64u << 20;
constexpr std::chrono::milliseconds default_timeout{10000};

struct MicState {
  std::mutex mutex;
  std::condition_variable cv;
  audin_server_context* context = nullptr;   // guarded by mutex; owned, freed in close_mic
  std::vector<AUDIO_FORMAT> client_formats;  // guarded by mutex; empty until they arrived
  std::optional<UINT32> open_result;         // guarded by mutex
  std::vector<std::uint8_t> recorded;        // guarded by mutex
  std::uint64_t total = 0;                   // guarded by mutex
};

std::shared_ptr<MicState> mic_state(Session& s) { return session_slot<MicState>(s, "mic"); }
Session& session_of(audin_server_context* c) { return *static_cast<Session*>(c->userdata); }

AUDIO_FORMAT pcm(UINT32 rate, UINT16 channels) {
  AUDIO_FORMAT f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = 16;
  f.nBlockAlign = static_cast<UINT16>(2 * channels);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

AUDIO_FORMAT opus(UINT16 tag, UINT32 rate) {
  AUDIO_FORMAT f = pcm(rate, 2);
  f.wFormatTag = tag;
  f.nAvgBytesPerSec = 16000;
  return f;
}

// The audin context's thread, for the callbacks below.
UINT on_version(audin_server_context* c, const SNDIN_VERSION*) {
  static AUDIO_FORMAT formats[] = {pcm(48000, 2),
                                   pcm(44100, 2),
                                   pcm(48000, 1),
                                   pcm(44100, 1),
                                   opus(WAVE_FORMAT_OPUS, 48000),
                                   pcm(22050, 1),
                                   opus(0x0069, 44100)};
  SNDIN_FORMATS pdu{};
  pdu.NumFormats = static_cast<UINT32>(std::size(formats));
  pdu.SoundFormats = formats;
  return c->SendFormats(c, &pdu);
}

UINT on_formats(audin_server_context* c, const SNDIN_FORMATS* pdu) {
  auto st = mic_state(session_of(c));
  log_line("MIC formats count=" + std::to_string(pdu->NumFormats));
  std::vector<AUDIO_FORMAT> list;
  for (UINT32 i = 0; i < pdu->NumFormats; ++i) {
    AUDIO_FORMAT f = pdu->SoundFormats[i];
    f.cbSize = 0;
    f.data = nullptr;
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%04X", f.wFormatTag);
    log_line("MIC format index=" + std::to_string(i) + " tag=" + tag + " channels=" +
             std::to_string(f.nChannels) + " rate=" + std::to_string(f.nSamplesPerSec) + " bits=" +
             std::to_string(f.wBitsPerSample) + " align=" + std::to_string(f.nBlockAlign));
    list.push_back(f);
  }
  std::scoped_lock lock(st->mutex);
  st->client_formats = std::move(list);
  st->cv.notify_all();
  return CHANNEL_RC_OK;
}

UINT on_open_reply(audin_server_context* c, const SNDIN_OPEN_REPLY* pdu) {
  auto st = mic_state(session_of(c));
  log_line("MIC open-reply result=" + std::to_string(pdu->Result));
  std::scoped_lock lock(st->mutex);
  st->open_result = pdu->Result;
  st->cv.notify_all();
  return CHANNEL_RC_OK;
}

UINT on_incoming(audin_server_context*, const SNDIN_DATA_INCOMING*) { return CHANNEL_RC_OK; }

// The client confirms the open's format with a format change of its own.
UINT on_format_change(audin_server_context*, const SNDIN_FORMATCHANGE* pdu) {
  log_line("MIC format-change index=" + std::to_string(pdu->NewFormat));
  return CHANNEL_RC_OK;
}

UINT on_data(audin_server_context* c, const SNDIN_DATA* pdu) {
  const std::uint64_t t = monotonic_ns();
  auto st = mic_state(session_of(c));
  const std::size_t n = Stream_GetRemainingLength(pdu->Data);
  const auto* p = Stream_ConstPointer(pdu->Data);
  const auto* bytes = static_cast<const std::uint8_t*>(p);
  std::uint64_t total = 0;
  {
    std::scoped_lock lock(st->mutex);
    const std::size_t keep =
        std::min(n, max_recorded - std::min(max_recorded, st->recorded.size()));
    st->recorded.insert(st->recorded.end(), bytes, bytes + keep);
    total = st->total += n;
    st->cv.notify_all();
  }
  log_line("MIC data bytes=" + std::to_string(n) + " total=" + std::to_string(total) +
           " t_ns=" + std::to_string(t));
  return CHANNEL_RC_OK;
}

std::string open_mic(Session& s) {
  if (!script_uses(s, "mic-")) return {};
  log_line(
      std::string("MIC capture=") +
      (freerdp_settings_get_bool(s.peer->context->settings, FreeRDP_AudioCapture) ? "1" : "0"));
  audin_server_context* c = audin_server_context_new(s.vcm);
  if (!c) return "audin_server_context_new failed";
  c->userdata = &s;
  c->rdpcontext = s.peer->context;
  c->ReceiveVersion = on_version;
  c->ReceiveFormats = on_formats;
  c->OpenReply = on_open_reply;
  c->IncomingData = on_incoming;
  c->Data = on_data;
  c->ReceiveFormatChange = on_format_change;
  auto st = mic_state(s);
  {
    std::scoped_lock lock(st->mutex);
    st->context = c;
  }
  if (!c->Open(c)) return "the audio-input channel did not open";
  return {};
}

void close_mic(Session& s) {
  auto st = mic_state(s);
  audin_server_context* c = nullptr;
  {
    std::scoped_lock lock(st->mutex);
    std::swap(c, st->context);
    st->cv.notify_all();
  }
  // Joins the context's thread, whose callbacks take the state's mutex.
  if (c) audin_server_context_free(c);
}

struct OpenArgs {
  std::uint32_t tag = 0, rate = 0, channels = 0, frames = 960;
};

std::string parse_open(const Step& step, OpenArgs& a) {
  if (!parse_seed(step.args[0], a.tag) || a.tag == 0 || a.tag > 0xFFFF) return "bad TAG";
  if (!parse_u32(step.args[1], a.rate)) return "bad RATE";
  if (!parse_u32(step.args[2], a.channels) || a.channels < 1 || a.channels > 2)
    return "CHANNELS must be 1 or 2";
  if (!optional_u32(step, 3, a.frames) || a.frames == 0 || a.frames > 48000)
    return "FRAMES must be 1..48000";
  return {};
}

std::string run_open(Session& s, const OpenArgs& a) {
  auto st = mic_state(s);
  std::unique_lock lock(st->mutex);
  // The channel may not be open yet: the manager becomes ready after the activation.
  if (!st->cv.wait_for(lock, default_timeout,
                       [&] { return !st->client_formats.empty() || s.stop.load(); }) ||
      st->client_formats.empty())
    return "the client sent no formats (did it open the audio-input channel?)";
  std::optional<UINT32> index;
  for (UINT32 i = 0; i < st->client_formats.size() && !index; ++i) {
    const AUDIO_FORMAT& f = st->client_formats[i];
    if (f.wFormatTag == a.tag && f.nSamplesPerSec == a.rate && f.nChannels == a.channels) index = i;
  }
  if (!index) return "the client has no such format";
  SNDIN_OPEN pdu{};
  pdu.FramesPerPacket = a.frames;
  pdu.initialFormat = *index;
  pdu.captureFormat = pcm(44100, 2);
  st->open_result.reset();
  st->recorded.clear();
  st->total = 0;
  audin_server_context* c = st->context;
  if (const UINT rc = c->SendOpen(c, &pdu); rc != CHANNEL_RC_OK)
    return "SendOpen failed: " + std::to_string(rc);
  if (!st->cv.wait_for(lock, default_timeout,
                       [&] { return st->open_result || !st->context || s.stop.load(); }) ||
      !st->open_result)
    return "no open reply";
  if (*st->open_result != 0)
    return "the client failed to open: " + std::to_string(*st->open_result);
  return {};
}

std::string run_wait_bytes(Session& s, const CountTimeout& a) {
  auto st = mic_state(s);
  std::unique_lock lock(st->mutex);
  st->cv.wait_for(lock, std::chrono::milliseconds(a.timeout_ms),
                  [&] { return st->total >= a.count || !st->context || s.stop.load(); });
  if (st->total >= a.count) return {};
  return std::to_string(st->total) + " of " + std::to_string(a.count) + " bytes arrived";
}

std::string run_close(Session& s, const Step&) {
  auto st = mic_state(s);
  std::scoped_lock lock(st->mutex);
  if (!st->context || !st->context->Close(st->context)) return "the channel could not be closed";
  return {};
}

std::string run_dump(Session& s, const Step& step) {
  const std::string path = dump_target(s, step.args[0]);
  auto st = mic_state(s);
  std::scoped_lock lock(st->mutex);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(st->recorded.data()),
            static_cast<std::streamsize>(st->recorded.size()));
  out.close();
  if (!out) return "cannot write " + path;
  log_line("MIC dumped path=" + path + " bytes=" + std::to_string(st->recorded.size()));
  return {};
}

[[maybe_unused]] const bool mic_registered = [] {
  register_step(parsed_step("mic-open", 3, 4, parse_open, run_open));
  register_step(parsed_step("mic-wait-bytes", 1, 2, parse_count_timeout, run_wait_bytes));
  register_step({"mic-close", 0, 0, {}, run_close});
  register_step({"mic-dump", 1, 1, {}, run_dump});
  register_hook({"audin", {}, open_mic, {}, close_mic});
  return true;
}();

}  // namespace
}  // namespace kts
