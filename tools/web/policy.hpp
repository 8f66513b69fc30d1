// What a page may send to its korvane, and what the gateway asks korvane for: the gateway's
// security policy as pure functions, so every command type's verdict is tested without a browser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "host_link/registry.hpp"

namespace korvane::web {

// Largest clipboard payload a page may send; the WebSocket refuses longer messages.
inline constexpr size_t kMaxClipboard = 16u << 20;
// Largest payload of any other command a page may send: input is a few bytes.
inline constexpr size_t kMaxInputPayload = 64;
// CMD_RESIZE: the size, then the scale the page's screen has; nothing after it.
inline constexpr size_t kMaxResizePayload = 16;

// What the page asked for (the form's sound, audio_codecs, microphone and files).
struct PageChoices {
  bool play = false;        // the server's sound, to the page
  uint8_t codecs = 0;       // AUDIO_CODEC_* the page's browser decodes; 0: PCM
  bool microphone = false;  // the page may be the session's microphone (PCM at 48 kHz)
  bool files = false;       // files through the clipboard: dropped on the page, downloaded
};
// "opus,aac,mp3" as the page names its decoders: the AUDIO_CODEC_* bits; unknown names skipped.
uint8_t page_audio_codecs(std::string_view names);

enum class PageVerdict {
  allowed,
  not_framed,    // not a binary message holding exactly one frame
  gateway_only,  // CMD_CONNECT: the gateway alone chooses the target
  host_only,     // CMD_CERT_VERDICT: certificates are the gateway's configuration, never the page's
  not_asked,     // a command of an extension the gateway does not ask korvane for
  unknown,       // no such command
  too_long,      // longer than such a command needs
};

std::string_view to_string(PageVerdict verdict);

// The verdict on one command type and payload length from the page.
PageVerdict page_command_verdict(uint8_t type, size_t payload);

// The verdict on one WebSocket message: it must be binary and one whole frame.
PageVerdict page_message_verdict(bool binary, std::span<const uint8_t> message);

// The extensions every tab asks for. The page keeps its canvas, so only what changed needs to
// come, and deflated where that is smaller: a fraction of the raw pixels for the WebSocket.
uint32_t gateway_extensions();

// What a viewer of a shared session may send: with input, the keys and the pointer; without,
// nothing. The owner's desktop size, clipboard, microphone and ending stay the owner's.
bool viewer_may_send(bool input, uint8_t type);

inline constexpr int kMaxShareMinutes = 24 * 60;

// Whether an EVT_H264_CODEC payload's main view holds an IDR picture: where a viewer that joins
// can start decoding.
bool h264_key_frame(std::span<const uint8_t> payload);

// The owner's control messages (WebSocket text, never korvane's): "share view|input MINUTES" and
// "revoke TOKEN".
struct ShareRequest {
  bool revoke = false;
  bool input = false;
  int minutes = 0;
  std::string token;
};
std::optional<ShareRequest> parse_share_request(std::string_view text);
// Those a tab asks for when its page does (PageChoices): their commands are the page's to send.
inline constexpr uint32_t kPageChosenExtensions = EXT_AUDIO | EXT_MICROPHONE | EXT_FILES;

// The extension block of a tab's connect request: the base extensions, the page's codec choice,
// a connect time-out, the scale of the page's screen (percent, FIELD_SCALE: the same number for
// the desktop and, clamped as korvane would clamp it, the device), and the target's pinned
// certificates, keyboard layout and profile.
std::vector<uint8_t> gateway_extension_block(const Target& target, bool h264,
                                             std::optional<uint32_t> scale = std::nullopt,
                                             const PageChoices& choices = {});

// A target's recordings: "TARGET-YYYYmmdd-HHMMSS-ID.kvr" (UTC), and which of those already in
// its folder go when a session starts: those older than max_days, then the oldest (by name: by
// time) until the rest take at most max_mb.
struct RecordingFile {
  std::string name;
  uint64_t bytes = 0;
  int64_t age_s = 0;
};
std::string recording_name(const std::string& target, int64_t unix_s, uint64_t id);
bool is_recording_of(const std::string& target, const std::string& name);
std::vector<std::string> recordings_to_prune(std::vector<RecordingFile> files, uint64_t max_mb,
                                             uint32_t max_days);

}  // namespace korvane::web
