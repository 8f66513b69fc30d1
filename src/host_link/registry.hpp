// Every number of the host link, once: message types both ways, extension bits, the extension
// block's field tags, and what the dispatcher needs to know of each host command. The other
// host_link headers (and the tests that compare the README and the web page with the code) read
// them from here. Pure; it needs only the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace korvane {

// Host to korvane. Types share their numbers with the events; the direction tells them apart.
enum : uint8_t {
  CMD_CONNECT = 1,       // first frame only; see ConnectRequest
  CMD_MOUSE_MOVE = 2,    // x (u32), y (u32)
  CMD_MOUSE_BUTTON = 3,  // x, y, button (u8), pressed (u8)
  CMD_MOUSE_WHEEL = 4,   // x, y, delta (i32), horizontal (u8)
  CMD_KEY = 5,           // scan code (u8), pressed (u8), extended (u8)
  CMD_DISCONNECT = 6,    // ignored payload
  CMD_CLIP_FORMATS = 7,  // a format list
  CMD_CLIP_DATA = 8,     // format id (u32), then the data
  CMD_CLIP_REQUEST = 9,  // format id (u32)
  // The extensions' commands: dropped like unknown types unless their extension was granted.
  CMD_RESIZE = 10,             // width (u32), height (u32), optionally the scale (monitors.hpp)
  CMD_CURSOR_STATE = 11,       // empty: send the current cursor again
  CMD_CERT_VERDICT = 12,       // u8: 1 accept for this session, 0 reject
  CMD_UNICODE = 13,            // code point (u32), pressed (u8)
  CMD_SYNC_LOCKS = 14,         // u32: LOCK_* bits that are on
  CMD_REFRESH = 15,            // empty: ask the server for the whole picture again
  CMD_GATEWAY_VERDICT = 16,    // u8: 1 accept the gateway's message, 0 reject it
  CMD_MONITORS = 17,           // a monitor layout (monitors.hpp)
  CMD_AUDIO_IN = 18,           // the block's format, then its bytes (mic_wire.hpp)
  CMD_CLIP_FILE_REQUEST = 19,  // a file's size or bytes from the server (clip_files.hpp)
  CMD_CLIP_FILE_DATA = 20,     // the answer to EVT_CLIP_FILE_REQUEST (clip_files.hpp)
  CMD_CLIP_LOCK = 21,          // lock or unlock the server's file list (clip_files.hpp)
};

// The person's input: keys, the pointer, the wheel, Unicode text, the lock keys.
constexpr bool is_input_command(uint8_t type) {
  return type == CMD_MOUSE_MOVE || type == CMD_MOUSE_BUTTON || type == CMD_MOUSE_WHEEL ||
         type == CMD_KEY || type == CMD_UNICODE || type == CMD_SYNC_LOCKS;
}

// korvane to host.
enum : uint8_t {
  EVT_CONNECTED = 1,     // width (u32), height (u32)
  EVT_RECT = 2,          // x, y, w, h (i32), then h rows of w RGBA pixels
  EVT_RESIZE = 3,        // width (u32), height (u32)
  EVT_ERROR = 4,         // text
  EVT_DISCONNECTED = 5,  // empty
  EVT_H264 = 6,          // left, top, right, bottom, width, height (u32), then the stream
  EVT_CLIP_FORMATS = 7,  // a format list
  EVT_CLIP_DATA = 8,     // format id (u32), then the data
  // The extensions' events: a host that did not ask for one never gets it.
  EVT_EXTENSIONS = 9,        // granted mask (u32), granted H.264 codecs (u8)
  EVT_CURSOR_SHAPE = 10,     // id, hotspot x, hotspot y, width, height (u32), then RGBA rows
  EVT_CURSOR_USE = 11,       // id (u32)
  EVT_CURSOR_HIDDEN = 12,    // empty
  EVT_CURSOR_DEFAULT = 13,   // empty: the system arrow
  EVT_CURSOR_POSITION = 14,  // x (u32), y (u32): the server moved the pointer
  EVT_RESIZE_REFUSED = 15,   // width (u32), height (u32) as asked, reason (u8)
  EVT_H264_CODEC = 16,       // see H264CodecHeader
  EVT_CERTIFICATE = 17,      // a question for the host, see CertificateQuestion
  EVT_PROGRESS = 18,         // step (u8), two values (u32 each)
  EVT_END_REASON = 19,       // see EndReason
  EVT_REFUSED = 20,          // command type (u8), reason (u8), value (u32)
  // 21 is not used.
  EVT_RECONNECT = 22,          // state (u8, RECONNECT_*), attempt (u16), max attempts (u16)
  EVT_AUDIO_FORMAT = 23,       // see AudioFormat
  EVT_AUDIO_DATA = 24,         // sequence (u32), milliseconds (u32), then the bytes
  EVT_AUDIO_VOLUME = 25,       // volume (u32) as the server gives it
  EVT_RECT_DEFLATE = 26,       // x, y, w, h (i32) as EVT_RECT, then the RGBA rows as a zlib stream
  EVT_GATEWAY_MESSAGE = 27,    // kind (u8, GATEWAY_MSG_*), then the text (UTF-8)
  EVT_MONITORS = 28,           // the layout the server took, in the desktop's frame (monitors.hpp)
  EVT_MONITORS_REFUSED = 29,   // reason (u8, MONITORS_REFUSED_*), the monitor at fault (u8)
  EVT_MIC_OPEN = 30,           // the server opened the microphone: see MicOpen
  EVT_MIC_CLOSED = 31,         // empty: the server closed it
  EVT_CLIP_FILE_DATA = 32,     // the answer to CMD_CLIP_FILE_REQUEST (clip_files.hpp)
  EVT_CLIP_FILE_REQUEST = 33,  // the server asks for a file of the host's list (clip_files.hpp)
  EVT_CLIP_LOCK = 34,          // the server locks or unlocks the host's file list (clip_files.hpp)
};

// Extension bits of the block's mask and of EVT_EXTENSIONS.
enum : uint32_t {
  EXT_CURSOR = 0x00000001,        // pointer shapes, use, hidden, default, position
  EXT_RESIZE = 0x00000002,        // CMD_RESIZE through the display control channel
  EXT_H264 = 0x00000004,          // EVT_H264_CODEC for the codecs of FIELD_H264_CODECS
  EXT_CERTIFICATE = 0x00000008,   // the host decides on the server's certificate
  EXT_STATUS = 0x00000010,        // EVT_PROGRESS and EVT_END_REASON
  EXT_TEXT = 0x00000020,          // CMD_UNICODE, CMD_SYNC_LOCKS, the keyboard layout field
  EXT_CHANGED_ONLY = 0x00000040,  // EVT_RECT only where the pixels differ from the host's canvas
  EXT_AUDIO = 0x00000080,         // the remote desktop's sound (audio_wire.hpp)
  EXT_RECONNECT = 0x00000100,     // reconnect after a dropped connection, EVT_RECONNECT
  EXT_DEFLATE = 0x00000200,       // EVT_RECT_DEFLATE where deflating makes a rectangle smaller
  EXT_REFRESH = 0x00000400,       // CMD_REFRESH
  EXT_PROFILE = 0x00000800,       // the connection profile's fields (profile.hpp)
  EXT_GATEWAY = 0x00001000,       // through a Remote Desktop Gateway (gateway.hpp)
  EXT_MONITORS = 0x00002000,      // several monitors: FIELD_MONITORS, CMD_MONITORS, EVT_MONITORS
  EXT_MICROPHONE = 0x00004000,    // the host's microphone (mic_wire.hpp)
  EXT_FILES = 0x00008000,         // files through the clipboard, both ways (clip_files.hpp)
};

// Typed fields of the extension block after the mask: tag (u16), length (u16), value.
enum : uint16_t {
  FIELD_H264_CODECS = 1,        // u8: the H.264 codecs the host decodes itself (H264_* bits)
  FIELD_CERT_MODE = 2,          // u8, CERT_MODE_*
  FIELD_CERT_FINGERPRINTS = 3,  // text: SHA-256 fingerprints in hex (see parse_fingerprints)
  FIELD_KEYBOARD_LAYOUT = 4,    // u32: a keyboard layout id, instead of the machine's locale
  FIELD_CONNECT_TIMEOUT = 5,    // u32: milliseconds the connection may take, 1000..600000
  FIELD_RECONNECT = 6,          // u16 max attempts 1..100, u16 first back-off ms 100..30000
  FIELD_AUDIO_CODECS = 7,       // u8: AUDIO_CODEC_* the host decodes itself (absent: PCM only)
  // The profile's (profile.hpp has their bounds). Texts are UTF-8.
  FIELD_RDP_FILE = 8,           // a whole .rdp file's text
  FIELD_LOAD_BALANCE_INFO = 9,  // bytes: the routing token a connection broker reads
  FIELD_PRECONNECTION = 10,     // id (u32), then the blob (text)
  FIELD_CONSOLE = 11,           // u8: 1 the console session, 0 a normal one
  FIELD_SHELL = 12,             // text: the alternate shell or initial program
  FIELD_SHELL_DIR = 13,         // text: its working folder
  FIELD_CLIENT_NAME = 14,       // text: the name the server shows for this client
  FIELD_TIME_ZONE = 15,         // text: a time zone key name
  FIELD_SECURITY = 16,          // text: rdp, tls, nla, ext or negotiate
  FIELD_COLOR_DEPTH = 17,       // u8: 15, 16, 24 or 32 bits per pixel
  FIELD_PERFORMANCE = 18,       // u32: PROFILE_* performance flags
  FIELD_NETWORK_TYPE = 19,      // u8: connection type, 1 modem .. 6 LAN, 7 auto-detect
  // The gateway's (gateway.hpp has their bounds).
  FIELD_GATEWAY = 20,               // text: host, host:port, [v6]:port or an https:// URL
  FIELD_GATEWAY_TRANSPORT = 21,     // u8, GATEWAY_TRANSPORT_*
  FIELD_GATEWAY_CREDENTIALS = 22,   // user, domain, password (u16 length + UTF-8 each)
  FIELD_GATEWAY_BEARER = 23,        // text: a bearer token for the gateway's HTTP
  FIELD_GATEWAY_PAA = 24,           // text: a PAA cookie
  FIELD_GATEWAY_BYPASS_LOCAL = 25,  // u8: 1 dial local addresses directly
  FIELD_GATEWAY_FINGERPRINTS = 26,  // text: the gateway's pins, as FIELD_CERT_FINGERPRINTS
  FIELD_MONITORS = 27,              // a monitor layout (monitors.hpp)
  FIELD_SCALE = 28,                 // desktop scale, device scale (u32 each), one monitor's
  FIELD_MIC_FORMATS = 29,           // u8: MIC_* formats the host sends (absent: PCM)
};

// A host command as the dispatcher sees it: the extension that must have been granted for it not
// to be dropped (0: the base protocol), and the shortest payload it is carried out with (shorter
// ones are dropped without a reply).
struct CommandInfo {
  uint8_t type = 0;
  std::string_view name;
  uint32_t extension = 0;
  size_t min_payload = 0;
};

// CMD_CONNECT's shortest payload: five empty texts' lengths, port, width and height.
inline constexpr size_t kMinConnectPayload = 2 + 4 + 2 + 2 + 2 + 4 + 4;

inline constexpr CommandInfo kCommands[] = {
    {CMD_CONNECT, "CMD_CONNECT", 0, kMinConnectPayload},
    {CMD_MOUSE_MOVE, "CMD_MOUSE_MOVE", 0, 8},
    {CMD_MOUSE_BUTTON, "CMD_MOUSE_BUTTON", 0, 10},
    {CMD_MOUSE_WHEEL, "CMD_MOUSE_WHEEL", 0, 13},
    {CMD_KEY, "CMD_KEY", 0, 3},
    {CMD_DISCONNECT, "CMD_DISCONNECT", 0, 0},
    {CMD_CLIP_FORMATS, "CMD_CLIP_FORMATS", 0, 4},
    {CMD_CLIP_DATA, "CMD_CLIP_DATA", 0, 4},
    {CMD_CLIP_REQUEST, "CMD_CLIP_REQUEST", 0, 4},
    {CMD_RESIZE, "CMD_RESIZE", EXT_RESIZE, 8},
    {CMD_CURSOR_STATE, "CMD_CURSOR_STATE", EXT_CURSOR, 0},
    {CMD_CERT_VERDICT, "CMD_CERT_VERDICT", EXT_CERTIFICATE, 1},
    {CMD_UNICODE, "CMD_UNICODE", EXT_TEXT, 5},
    {CMD_SYNC_LOCKS, "CMD_SYNC_LOCKS", EXT_TEXT, 4},
    {CMD_REFRESH, "CMD_REFRESH", EXT_REFRESH, 0},
    {CMD_GATEWAY_VERDICT, "CMD_GATEWAY_VERDICT", EXT_GATEWAY, 1},
    {CMD_MONITORS, "CMD_MONITORS", EXT_MONITORS, 1},
    {CMD_AUDIO_IN, "CMD_AUDIO_IN", EXT_MICROPHONE, 8},
    {CMD_CLIP_FILE_REQUEST, "CMD_CLIP_FILE_REQUEST", EXT_FILES, 21},
    {CMD_CLIP_FILE_DATA, "CMD_CLIP_FILE_DATA", EXT_FILES, 5},
    {CMD_CLIP_LOCK, "CMD_CLIP_LOCK", EXT_FILES, 5},
};

// An event: the extension without which a host never gets it (0: the base protocol).
struct EventInfo {
  uint8_t type = 0;
  std::string_view name;
  uint32_t extension = 0;
};

inline constexpr EventInfo kEvents[] = {
    {EVT_CONNECTED, "EVT_CONNECTED", 0},
    {EVT_RECT, "EVT_RECT", 0},
    {EVT_RESIZE, "EVT_RESIZE", 0},
    {EVT_ERROR, "EVT_ERROR", 0},
    {EVT_DISCONNECTED, "EVT_DISCONNECTED", 0},
    {EVT_H264, "EVT_H264", 0},
    {EVT_CLIP_FORMATS, "EVT_CLIP_FORMATS", 0},
    {EVT_CLIP_DATA, "EVT_CLIP_DATA", 0},
    {EVT_EXTENSIONS, "EVT_EXTENSIONS", 0},  // the answer to any block, whatever it asked for
    {EVT_CURSOR_SHAPE, "EVT_CURSOR_SHAPE", EXT_CURSOR},
    {EVT_CURSOR_USE, "EVT_CURSOR_USE", EXT_CURSOR},
    {EVT_CURSOR_HIDDEN, "EVT_CURSOR_HIDDEN", EXT_CURSOR},
    {EVT_CURSOR_DEFAULT, "EVT_CURSOR_DEFAULT", EXT_CURSOR},
    {EVT_CURSOR_POSITION, "EVT_CURSOR_POSITION", EXT_CURSOR},
    {EVT_RESIZE_REFUSED, "EVT_RESIZE_REFUSED", EXT_RESIZE},
    {EVT_H264_CODEC, "EVT_H264_CODEC", EXT_H264},
    {EVT_CERTIFICATE, "EVT_CERTIFICATE", EXT_CERTIFICATE},
    {EVT_PROGRESS, "EVT_PROGRESS", EXT_STATUS},
    {EVT_END_REASON, "EVT_END_REASON", EXT_STATUS},
    {EVT_REFUSED, "EVT_REFUSED", 0},  // answers CMD_CERT_VERDICT, CMD_UNICODE or CMD_AUDIO_IN
    {EVT_RECONNECT, "EVT_RECONNECT", EXT_RECONNECT},
    {EVT_AUDIO_FORMAT, "EVT_AUDIO_FORMAT", EXT_AUDIO},
    {EVT_AUDIO_DATA, "EVT_AUDIO_DATA", EXT_AUDIO},
    {EVT_AUDIO_VOLUME, "EVT_AUDIO_VOLUME", EXT_AUDIO},
    {EVT_RECT_DEFLATE, "EVT_RECT_DEFLATE", EXT_DEFLATE},
    {EVT_GATEWAY_MESSAGE, "EVT_GATEWAY_MESSAGE", EXT_GATEWAY},
    {EVT_MONITORS, "EVT_MONITORS", EXT_MONITORS},
    {EVT_MONITORS_REFUSED, "EVT_MONITORS_REFUSED", EXT_MONITORS},
    {EVT_MIC_OPEN, "EVT_MIC_OPEN", EXT_MICROPHONE},
    {EVT_MIC_CLOSED, "EVT_MIC_CLOSED", EXT_MICROPHONE},
    {EVT_CLIP_FILE_DATA, "EVT_CLIP_FILE_DATA", EXT_FILES},
    {EVT_CLIP_FILE_REQUEST, "EVT_CLIP_FILE_REQUEST", EXT_FILES},
    {EVT_CLIP_LOCK, "EVT_CLIP_LOCK", EXT_FILES},
};

// An extension bit and the word the README's mask table (and korvane-host) names it by.
struct ExtensionInfo {
  uint32_t bit = 0;
  std::string_view name;
};

inline constexpr ExtensionInfo kExtensionBits[] = {
    {EXT_CURSOR, "cursor"},
    {EXT_RESIZE, "resize"},
    {EXT_H264, "h264"},
    {EXT_CERTIFICATE, "certificate"},
    {EXT_STATUS, "status"},
    {EXT_TEXT, "text"},
    {EXT_CHANGED_ONLY, "changed"},
    {EXT_AUDIO, "audio"},
    {EXT_RECONNECT, "reconnect"},
    {EXT_DEFLATE, "deflate"},
    {EXT_REFRESH, "refresh"},
    {EXT_PROFILE, "profile"},
    {EXT_GATEWAY, "gateway"},
    {EXT_MONITORS, "monitors"},
    {EXT_MICROPHONE, "microphone"},
    {EXT_FILES, "files"},
};

// A field of the extension block and the extension it belongs to (0: any).
struct FieldInfo {
  uint16_t tag = 0;
  std::string_view name;
  uint32_t extension = 0;
};

inline constexpr FieldInfo kFields[] = {
    {FIELD_H264_CODECS, "FIELD_H264_CODECS", EXT_H264},
    {FIELD_CERT_MODE, "FIELD_CERT_MODE", EXT_CERTIFICATE},
    {FIELD_CERT_FINGERPRINTS, "FIELD_CERT_FINGERPRINTS", EXT_CERTIFICATE},
    {FIELD_KEYBOARD_LAYOUT, "FIELD_KEYBOARD_LAYOUT", EXT_TEXT},
    {FIELD_CONNECT_TIMEOUT, "FIELD_CONNECT_TIMEOUT", EXT_STATUS},
    {FIELD_RECONNECT, "FIELD_RECONNECT", EXT_RECONNECT},
    {FIELD_AUDIO_CODECS, "FIELD_AUDIO_CODECS", EXT_AUDIO},
    {FIELD_RDP_FILE, "FIELD_RDP_FILE", EXT_PROFILE},
    {FIELD_LOAD_BALANCE_INFO, "FIELD_LOAD_BALANCE_INFO", EXT_PROFILE},
    {FIELD_PRECONNECTION, "FIELD_PRECONNECTION", EXT_PROFILE},
    {FIELD_CONSOLE, "FIELD_CONSOLE", EXT_PROFILE},
    {FIELD_SHELL, "FIELD_SHELL", EXT_PROFILE},
    {FIELD_SHELL_DIR, "FIELD_SHELL_DIR", EXT_PROFILE},
    {FIELD_CLIENT_NAME, "FIELD_CLIENT_NAME", EXT_PROFILE},
    {FIELD_TIME_ZONE, "FIELD_TIME_ZONE", EXT_PROFILE},
    {FIELD_SECURITY, "FIELD_SECURITY", EXT_PROFILE},
    {FIELD_COLOR_DEPTH, "FIELD_COLOR_DEPTH", EXT_PROFILE},
    {FIELD_PERFORMANCE, "FIELD_PERFORMANCE", EXT_PROFILE},
    {FIELD_NETWORK_TYPE, "FIELD_NETWORK_TYPE", EXT_PROFILE},
    {FIELD_GATEWAY, "FIELD_GATEWAY", EXT_GATEWAY},
    {FIELD_GATEWAY_TRANSPORT, "FIELD_GATEWAY_TRANSPORT", EXT_GATEWAY},
    {FIELD_GATEWAY_CREDENTIALS, "FIELD_GATEWAY_CREDENTIALS", EXT_GATEWAY},
    {FIELD_GATEWAY_BEARER, "FIELD_GATEWAY_BEARER", EXT_GATEWAY},
    {FIELD_GATEWAY_PAA, "FIELD_GATEWAY_PAA", EXT_GATEWAY},
    {FIELD_GATEWAY_BYPASS_LOCAL, "FIELD_GATEWAY_BYPASS_LOCAL", EXT_GATEWAY},
    {FIELD_GATEWAY_FINGERPRINTS, "FIELD_GATEWAY_FINGERPRINTS", EXT_GATEWAY},
    {FIELD_MONITORS, "FIELD_MONITORS", EXT_MONITORS},
    {FIELD_SCALE, "FIELD_SCALE", EXT_RESIZE},
    {FIELD_MIC_FORMATS, "FIELD_MIC_FORMATS", EXT_MICROPHONE},
};

// Every extension bit this korvane knows: the others are not granted.
inline constexpr uint32_t kKnownExtensions = [] {
  uint32_t mask = 0;
  for (const auto& e : kExtensionBits) mask |= e.bit;
  return mask;
}();

// nullptr for a type that is no command (0, 21..255).
constexpr const CommandInfo* find_command(uint8_t type) {
  for (const auto& c : kCommands)
    if (c.type == type) return &c;
  return nullptr;
}

constexpr const EventInfo* find_event(uint8_t type) {
  for (const auto& e : kEvents)
    if (e.type == type) return &e;
  return nullptr;
}

// Whether a host granted `granted` may send the command: base commands always.
constexpr bool command_granted(const CommandInfo& c, uint32_t granted) {
  return c.extension == 0 || (granted & c.extension) != 0;
}

// The command a host frame carries, or nullptr when the input thread drops the frame without a
// reply: a type that is no command, a command of an extension not granted, or a payload shorter
// than the command's fields.
constexpr const CommandInfo* accepted_command(uint8_t type, uint32_t granted, size_t payload_size) {
  const CommandInfo* c = find_command(type);
  if (!c || !command_granted(*c, granted) || payload_size < c->min_payload) return nullptr;
  return c;
}

// The README's word for one extension bit; empty for a bit korvane does not know.
constexpr std::string_view extension_name(uint32_t bit) {
  for (const auto& e : kExtensionBits)
    if (e.bit == bit) return e.name;
  return {};
}

}  // namespace korvane
