// The clipboard bridge: format lists and data between the host and the RDP clipboard channel,
// relayed without interpreting any format.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include <freerdp/client/cliprdr.h>

#include "clipboard/list_throttle.hpp"

namespace korvane {

// Channel events (any library thread).
void cliprdr_attach(CliprdrClientContext* cliprdr);
void cliprdr_detach();

// Host commands (input thread), after their length check.
void clip_host_formats(std::span<const uint8_t> payload);
void clip_host_data(std::span<const uint8_t> payload);
void clip_host_request(std::span<const uint8_t> payload);
// The clipboard-files extension's (host_link/clip_files.hpp).
void clip_host_file_request(std::span<const uint8_t> payload);
void clip_host_file_data(std::span<const uint8_t> payload);
void clip_host_lock(std::span<const uint8_t> payload);

// Empties the host clipboard store (start-up and teardown).
void clipboard_reset();

// Main thread, the event loop (session/deadlines.hpp): sends the host's newest format list
// when the server left the one before it unanswered for kListResponseTimeout, and tells when
// that may next be due.
void clipboard_tick();
std::optional<std::chrono::steady_clock::time_point> clipboard_deadline();

// Library callbacks on the channel.
UINT monitor_ready(CliprdrClientContext* cliprdr, const CLIPRDR_MONITOR_READY* ready);
UINT server_format_list(CliprdrClientContext* cliprdr, const CLIPRDR_FORMAT_LIST* list);
UINT server_format_data_request(CliprdrClientContext* cliprdr,
                                const CLIPRDR_FORMAT_DATA_REQUEST* request);
UINT server_format_data_response(CliprdrClientContext* cliprdr,
                                 const CLIPRDR_FORMAT_DATA_RESPONSE* response);
UINT server_format_list_response(CliprdrClientContext* cliprdr,
                                 const CLIPRDR_FORMAT_LIST_RESPONSE* response);
UINT server_file_contents_request(CliprdrClientContext* cliprdr,
                                  const CLIPRDR_FILE_CONTENTS_REQUEST* request);
UINT server_file_contents_response(CliprdrClientContext* cliprdr,
                                   const CLIPRDR_FILE_CONTENTS_RESPONSE* response);

// A host format list may declare at most this many formats; a longer one is dropped. Real
// clipboards offer a few dozen, and the entries are allocated before they are read.
inline constexpr uint32_t kMaxHostClipFormats = 4096;

}  // namespace korvane
