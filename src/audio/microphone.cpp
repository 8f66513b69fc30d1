#include "audio/microphone.hpp"

#include <mutex>
#include <new>
#include <vector>

#include <freerdp/client/audin.h>

#include "audio/wave_format.hpp"
#include "host_link/mic_wire.hpp"
#include "host_link/session_extensions.hpp"
#include "host_link/transport.hpp"
#include "platform/diag.hpp"
#include "state/control.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t now_us() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count());
}

// The one microphone. The audio-input channel's thread opens and closes it; the input thread
// hands it the host's blocks; the main thread its silence. All under `mutex`, which is held
// while the library's receive callback writes to the channel (the write is queued for the main
// thread, so it never waits on the channel's thread) and while an event goes to the host (it
// takes the write lock).
struct Microphone {
  std::mutex mutex;
  AudinReceive receive = nullptr;  // guarded by mutex: set by Open, cleared by Close
  void* receive_data = nullptr;    // guarded by mutex
  AUDIO_FORMAT library_format{};   // guarded by mutex: what the blocks are handed over as
  AudioFormat format;              // guarded by mutex: the same, as the host was told
  uint32_t frames_per_packet = 0;  // guarded by mutex
  std::vector<uint8_t> silence;    // guarded by mutex: one packet of it
  MicPacer pacer;                  // guarded by mutex
  bool filling = false;            // guarded by mutex: silence since the host's last block
};
Microphone mic;

// The library's device. It calls FormatSupported also from inside the receive callback, under
// mic.mutex: that one reads only what the main thread wrote before any channel thread started.
struct Device {
  IAudinDevice iface{};  // first: the library hands this pointer back
};

uint8_t granted_formats() { return mic_formats_of(session.ext.mic_formats); }

BOOL format_supported(IAudinDevice*, const AUDIO_FORMAT* format) {
  return format && mic_format_taken(to_format(*format), granted_formats());
}

UINT set_format(IAudinDevice*, const AUDIO_FORMAT* format, UINT32 frames_per_packet) {
  if (!format) return ERROR_INVALID_PARAMETER;
  std::scoped_lock lock(mic.mutex);
  mic.library_format = *format;
  mic.library_format.cbSize = 0;
  mic.library_format.data = nullptr;
  mic.format = to_format(*format);
  mic.format.tag = host_audio_tag(mic.format.tag);
  // The library's own choice of PCM keeps the server format's byte rate: the host is told the
  // real one.
  if (mic.format.tag == AUDIO_TAG_PCM) mic.format = pcm_format_like(mic.format);
  mic.frames_per_packet = frames_per_packet;
  return CHANNEL_RC_OK;
}

// Called while mic.mutex is held.
void hand_over(std::span<const uint8_t> bytes) {
  // The library's error (a channel going away) ends nothing here: Close follows.
  mic.receive(&mic.library_format, bytes.data(), bytes.size(), mic.receive_data);
}

UINT open_device(IAudinDevice*, AudinReceive receive, void* user_data) {
  {
    std::scoped_lock lock(mic.mutex);
    mic.receive = receive;
    mic.receive_data = user_data;
    mic.silence = mic_silence(mic.format, mic.frames_per_packet);
    mic.pacer.open(now_us(), mic_block_us(mic.format, mic.silence).value_or(20000));
    mic.filling = false;
    send_frame(EVT_MIC_OPEN, encode_mic_open(MicOpen{mic.frames_per_packet, mic.format}));
  }
  deadlines_changed();
  return CHANNEL_RC_OK;
}

UINT close_device(IAudinDevice*) {
  std::scoped_lock lock(mic.mutex);
  if (!mic.receive) return CHANNEL_RC_OK;
  mic.receive = nullptr;
  mic.receive_data = nullptr;
  send_frame(EVT_MIC_CLOSED, {});
  return CHANNEL_RC_OK;
}

UINT free_device(IAudinDevice* d) {
  close_device(d);
  delete reinterpret_cast<Device*>(d);
  return CHANNEL_RC_OK;
}

UINT VCAPITYPE device_entry(PFREERDP_AUDIN_DEVICE_ENTRY_POINTS entry) {
  if (!entry || !entry->pRegisterAudinDevice) return ERROR_INVALID_PARAMETER;
  Device* d = new (std::nothrow) Device;
  if (!d) return CHANNEL_RC_NO_MEMORY;
  d->iface.Open = open_device;
  d->iface.FormatSupported = format_supported;
  d->iface.SetFormat = set_format;
  d->iface.Close = close_device;
  d->iface.Free = free_device;
  if (const UINT rc = entry->pRegisterAudinDevice(entry->plugin, &d->iface); rc != CHANNEL_RC_OK) {
    delete d;
    return rc;
  }
  return CHANNEL_RC_OK;
}

uint8_t block_problem(const AudioInBlock& b, uint64_t& us) {
  if (!mic.receive) return REFUSED_MIC_CLOSED;
  if (b.tag != mic.format.tag || b.channels != mic.format.channels ||
      b.samples_per_sec != mic.format.samples_per_sec)
    return REFUSED_MIC_FORMAT;
  const auto length = mic_block_us(mic.format, b.bytes);
  if (!length || b.bytes.size() > kMicMaxBlockBytes) return REFUSED_MIC_BLOCK;
  us = *length;
  return mic.pacer.offer(us, now_us()) ? 0 : REFUSED_MIC_AHEAD;
}

}  // namespace

PVIRTUALCHANNELENTRY microphone_entry() {
  return reinterpret_cast<PVIRTUALCHANNELENTRY>(reinterpret_cast<void*>(device_entry));
}

void microphone_reset() {
  std::scoped_lock lock(mic.mutex);
  mic.receive = nullptr;
  mic.receive_data = nullptr;
}

void microphone_block(std::span<const uint8_t> payload) {
  const auto block = parse_audio_in(payload);
  if (!block) return;
  std::scoped_lock lock(mic.mutex);
  uint64_t us = 0;
  if (const uint8_t reason = block_problem(*block, us)) {
    send_frame(EVT_REFUSED,
               encode_refused(CMD_AUDIO_IN, reason, static_cast<uint32_t>(block->bytes.size())));
    return;
  }
  mic.filling = false;
  hand_over(block->bytes);
}

std::optional<Clock::time_point> microphone_deadline() {
  std::scoped_lock lock(mic.mutex);
  if (!mic.receive) return std::nullopt;
  const uint64_t due = mic.pacer.next_silence_us();
  return Clock::time_point(std::chrono::microseconds(due));
}

void microphone_tick() {
  std::scoped_lock lock(mic.mutex);
  if (!mic.receive) return;
  const uint32_t n = mic.pacer.silence_due(now_us());
  // Once per gap: a host developer wondering why the server hears silence finds out here.
  if (n && !mic.filling)
    diag("microphone: no sound from the host for %llu ms; the server hears silence until it comes",
         static_cast<unsigned long long>(kMicSlackUs / 1000));
  if (n) mic.filling = true;
  for (uint32_t i = 0; i < n; ++i) hand_over(mic.silence);
}

}  // namespace korvane
