#include "audio/audio.hpp"

#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include <freerdp/addin.h>
#include <freerdp/channels/audin.h>
#include <freerdp/client/rdpsnd.h>

#include "audio/microphone.hpp"
#include "audio/wave_format.hpp"
#include "host_link/audio_wire.hpp"
#include "host_link/transport.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

constexpr const char* kSubsystem = "korvane";

// The library's provider, chained to for every other add-in. Written by the main thread before
// it connects (and back at teardown); read by the threads that load channels, which the library
// starts after the write.
FREERDP_LOAD_CHANNEL_ADDIN_ENTRY_FN previous_provider = nullptr;

// The audio event stream. The sound channel's thread (static or dynamic channel, whichever the
// server uses; two could in principle both play) sends under `mutex`, so a format always goes
// out before the blocks in it and the sequence has no gaps or repeats. The lock is held while a
// frame is written: it may take the write lock, never the reverse.
struct AudioStream {
  std::mutex mutex;
  std::optional<AudioFormat> announced;  // guarded by mutex: the host's current format
  uint32_t sequence = 0;                 // guarded by mutex: the next block's number
};
AudioStream stream;

// One per sound channel instance. The library makes and frees it on the thread that loads
// channels and hands it to the channel's thread through its own queues, which no tool of ours
// sees; so the fields are touched only under stream.mutex, which makes the hand-off explicit.
struct Device {
  rdpsndDevicePlugin plugin{};  // first: the library hands this pointer back
  AudioFormat open_format;      // what the blocks are in since the last Open
  uint32_t volume = 0xFFFFFFFF;
};

Device* device_of(rdpsndDevicePlugin* p) { return reinterpret_cast<Device*>(p); }

uint8_t granted_codecs() { return session.ext.audio_codecs & kKnownAudioCodecs; }

BOOL format_supported(rdpsndDevicePlugin*, const AUDIO_FORMAT* format) {
  return format && audio_format_taken(to_format(*format), granted_codecs());
}

// What the library asks for when it decodes a format itself: 16-bit PCM, same rate and channels.
BOOL default_format(rdpsndDevicePlugin*, const AUDIO_FORMAT* desired, AUDIO_FORMAT* out) {
  if (!desired || !out) return FALSE;
  *out = to_library_format(pcm_format_like(to_format(*desired)));
  return TRUE;
}

BOOL open_device(rdpsndDevicePlugin* p, const AUDIO_FORMAT* format, UINT32) {
  if (!format) return FALSE;
  AudioFormat opened = to_format(*format);
  opened.tag = host_audio_tag(opened.tag);
  std::scoped_lock lock(stream.mutex);
  device_of(p)->open_format = std::move(opened);
  return TRUE;
}

uint32_t now_ms() {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// The blocks are in the format of the last Open: the server's own when the device takes it, else
// the PCM the library decoded to (the `format` argument then names the server's).
UINT play(rdpsndDevicePlugin* p, const AUDIO_FORMAT*, const BYTE* data, size_t size) {
  Device* d = device_of(p);
  if (!data || size == 0) return 0;
  const uint32_t t = now_ms();
  std::scoped_lock lock(stream.mutex);
  if (!stream.announced || *stream.announced != d->open_format) {
    stream.announced = d->open_format;
    send_frame(EVT_AUDIO_FORMAT, encode_audio_format(d->open_format));
  }
  const auto header = encode_audio_data_header(stream.sequence++, t);
  const std::span<const uint8_t> parts[] = {header, std::span<const uint8_t>(data, size)};
  send_frame_parts(EVT_AUDIO_DATA, parts);
  // A device that starts playing at once has the block's length still to play.
  return audio_block_ms(d->open_format, size);
}

BOOL set_volume(rdpsndDevicePlugin* p, UINT32 value) {
  std::scoped_lock lock(stream.mutex);
  device_of(p)->volume = value;
  send_frame(EVT_AUDIO_VOLUME, encode_audio_volume(value));
  return TRUE;
}

UINT32 get_volume(rdpsndDevicePlugin* p) {
  std::scoped_lock lock(stream.mutex);
  return device_of(p)->volume;
}

void close_device(rdpsndDevicePlugin*) {}

void free_device(rdpsndDevicePlugin* p) {
  std::scoped_lock lock(stream.mutex);
  delete device_of(p);
}

UINT VCAPITYPE device_entry(PFREERDP_RDPSND_DEVICE_ENTRY_POINTS entry) {
  if (!entry || !entry->pRegisterRdpsndDevice) return ERROR_INVALID_PARAMETER;
  Device* d = new (std::nothrow) Device;
  if (!d) return CHANNEL_RC_NO_MEMORY;
  d->plugin.FormatSupported = format_supported;
  d->plugin.DefaultFormat = default_format;
  d->plugin.Open = open_device;
  d->plugin.PlayEx = play;
  d->plugin.SetVolume = set_volume;
  d->plugin.GetVolume = get_volume;
  d->plugin.Close = close_device;
  d->plugin.Free = free_device;
  {
    // Published under the lock: the sound thread takes it before it touches the device.
    std::scoped_lock lock(stream.mutex);
  }
  entry->pRegisterRdpsndDevice(entry->rdpsnd, &d->plugin);
  return CHANNEL_RC_OK;
}

PVIRTUALCHANNELENTRY provider(LPCSTR name, LPCSTR subsystem, LPCSTR type, DWORD flags) {
  if (name && subsystem && std::strcmp(subsystem, kSubsystem) == 0) {
    if (std::strcmp(name, RDPSND_CHANNEL_NAME) == 0)
      return reinterpret_cast<PVIRTUALCHANNELENTRY>(reinterpret_cast<void*>(device_entry));
    if (std::strcmp(name, AUDIN_CHANNEL_NAME) == 0) return microphone_entry();
  }
  return previous_provider ? previous_provider(name, subsystem, type, flags) : nullptr;
}

}  // namespace

void audio_install_devices() {
  microphone_reset();
  {
    std::scoped_lock lock(stream.mutex);
    stream.announced.reset();
    stream.sequence = 0;
  }
  FREERDP_LOAD_CHANNEL_ADDIN_ENTRY_FN current = freerdp_get_current_addin_provider();
  if (current == provider) return;
  previous_provider = current;
  freerdp_register_addin_provider(provider, 0);
}

void audio_remove_devices() {
  if (freerdp_get_current_addin_provider() == provider)
    freerdp_register_addin_provider(previous_provider, 0);
}

std::string audio_sound_argument() {
  // The library drops blocks that arrive faster than they play once more than `latency` ms wait
  // (a speaker cannot catch up). korvane's host can: after it stalled, the backlog must reach
  // it whole. A day is beyond any stall a session survives.
  return std::string("/sound:sys:") + kSubsystem + ",latency:86400000";
}

std::string audio_microphone_argument() { return std::string("/microphone:sys:") + kSubsystem; }

}  // namespace korvane
