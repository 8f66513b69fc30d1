#include "clipboard/clipboard.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <freerdp/channels/cliprdr.h>

#include "host_link/protocol.hpp"
#include "host_link/transport.hpp"
#include "platform/diag.hpp"
#include "state/control.hpp"

namespace korvane {

namespace {

// The attached channel. Written by attach and detach (channel-event thread) and read by the
// input thread, both under channel_lock, which is also held across every call the input thread
// makes through it: detach cannot pull the channel away in the middle of a host command.
std::mutex channel_lock;
CliprdrClientContext* cliprdr = nullptr;

// The host's format lists on their way to the server (list_throttle.hpp), guarded by
// channel_lock: written by the input thread (a host list), the channel thread (the server's
// response, monitor-ready, detach) and the main thread (the time-out). `waiting_list` is the
// list the throttle holds.
using Clock = std::chrono::steady_clock;
ListThrottle throttle;
std::optional<ClipFormatList> waiting_list;

// The host clipboard store, guarded by store_lock. Taken by clip_host_data (input thread) and
// by server_format_data_request (channel thread), which holds it across the response so the
// bytes cannot be replaced while the library sends them. Never held together with channel_lock.
std::mutex store_lock;
std::vector<uint8_t> store_data;
uint32_t store_format_id = 0;

// Written by the input thread, read by the channel thread when a response comes.
std::atomic<uint32_t> last_requested_format{0};

bool is_ascii(const std::string& text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) > 0x7F) return false;
  return true;
}

UINT accept_capabilities(CliprdrClientContext*, const CLIPRDR_CAPABILITIES*) {
  return CHANNEL_RC_OK;
}

}  // namespace

void clipboard_reset() {
  std::lock_guard<std::mutex> lock(store_lock);
  store_data = {};
  store_format_id = 0;
}

void cliprdr_attach(CliprdrClientContext* context) {
  if (!context) return;
  context->MonitorReady = monitor_ready;
  context->ServerCapabilities = accept_capabilities;
  context->ServerFormatList = server_format_list;
  context->ServerFormatDataRequest = server_format_data_request;
  context->ServerFormatDataResponse = server_format_data_response;
  context->ServerFormatListResponse = server_format_list_response;
  {
    std::lock_guard<std::mutex> lock(channel_lock);
    cliprdr = context;
    throttle.reset();
    waiting_list.reset();
  }
  diag("CLIPRDR channel connected");
}

void cliprdr_detach() {
  std::lock_guard<std::mutex> lock(channel_lock);
  cliprdr = nullptr;
  throttle.reset();
  waiting_list.reset();
}

UINT monitor_ready(CliprdrClientContext* context, const CLIPRDR_MONITOR_READY*) {
  CLIPRDR_GENERAL_CAPABILITY_SET general{};
  general.capabilitySetType = CB_CAPSTYPE_GENERAL;
  general.capabilitySetLength = 12;
  general.version = CB_CAPS_VERSION_2;
  general.generalFlags = CB_USE_LONG_FORMAT_NAMES;
  CLIPRDR_CAPABILITIES caps{};
  caps.cCapabilitiesSets = 1;
  caps.capabilitySets = reinterpret_cast<CLIPRDR_CAPABILITY_SET*>(&general);
  if (context->ClientCapabilities) context->ClientCapabilities(context, &caps);
  CLIPRDR_FORMAT_LIST empty{};
  // The server answers this one too: a host list that arrives meanwhile waits for that answer.
  std::lock_guard<std::mutex> lock(channel_lock);
  if (!context->ClientFormatList) return CHANNEL_RC_OK;
  const UINT rc = context->ClientFormatList(context, &empty);
  if (rc == CHANNEL_RC_OK) throttle.sent(Clock::now());
  return rc;
}

UINT server_format_list(CliprdrClientContext* context, const CLIPRDR_FORMAT_LIST* list) {
  try {
    std::vector<ClipFormat> formats(list->formats ? list->numFormats : 0);
    for (size_t i = 0; i < formats.size(); ++i) {
      formats[i].id = list->formats[i].formatId;
      if (list->formats[i].formatName) formats[i].name = list->formats[i].formatName;
    }
    // Names the u16 length cannot describe are cut to 65535 bytes: the host identifies formats
    // by id, the name is only a hint.
    const std::vector<uint8_t> payload = encode_clip_formats(formats);
    send_frame(EVT_CLIP_FORMATS, payload);
  } catch (const std::bad_alloc&) {
    diag("Warning: no memory for the server's clipboard format list");
  }
  CLIPRDR_FORMAT_LIST_RESPONSE response{};
  response.common.msgFlags = CB_RESPONSE_OK;
  return context->ClientFormatListResponse ? context->ClientFormatListResponse(context, &response)
                                           : CHANNEL_RC_OK;
}

UINT server_format_data_request(CliprdrClientContext* context,
                                const CLIPRDR_FORMAT_DATA_REQUEST* request) {
  std::lock_guard<std::mutex> lock(store_lock);
  CLIPRDR_FORMAT_DATA_RESPONSE response{};
  if (!store_data.empty() && store_format_id == request->requestedFormatId) {
    response.common.msgFlags = CB_RESPONSE_OK;
    response.common.dataLen = static_cast<UINT32>(store_data.size());
    response.requestedFormatData = store_data.data();
  } else {
    response.common.msgFlags = CB_RESPONSE_FAIL;
  }
  return context->ClientFormatDataResponse ? context->ClientFormatDataResponse(context, &response)
                                           : CHANNEL_RC_OK;
}

UINT server_format_data_response(CliprdrClientContext*,
                                 const CLIPRDR_FORMAT_DATA_RESPONSE* response) {
  if (!(response->common.msgFlags & CB_RESPONSE_OK) || !response->requestedFormatData ||
      response->common.dataLen == 0)
    return CHANNEL_RC_OK;
  const auto id = encode_clip_data_header(last_requested_format.load());
  const std::span<const uint8_t> parts[] = {
      id, {response->requestedFormatData, response->common.dataLen}};
  send_frame_parts(EVT_CLIP_DATA, parts);
  return CHANNEL_RC_OK;
}

namespace {

// Hands one host list to the library and starts waiting for the server's response. The caller
// holds channel_lock and has checked cliprdr.
void send_host_list(ClipFormatList& parsed) {
  std::vector<CLIPRDR_FORMAT> entries;
  try {
    entries.resize(parsed.formats.size());
  } catch (const std::bad_alloc&) {
    diag("Warning: no memory for the host's clipboard format list");
    return;
  }
  size_t unnamed = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].formatId = parsed.formats[i].id;
    std::string& name = parsed.formats[i].name;
    if (name.empty()) continue;
    // The library sizes a name's UTF-16 field by its UTF-8 byte count: a name with any byte
    // above 0x7F gets extra zero characters that shift every later entry for the server (and
    // one that is not UTF-8 makes the library drop the whole list). Such an entry keeps its id.
    if (!is_ascii(name)) {
      ++unnamed;
      continue;
    }
    // The library only reads the names.
    entries[i].formatName = name.data();
  }
  if (unnamed)
    diag("Warning: %zu non-ASCII clipboard format name(s) sent without their name", unnamed);
  CLIPRDR_FORMAT_LIST list{};
  list.numFormats = parsed.declared;
  list.formats = entries.empty() ? nullptr : entries.data();
  if (!cliprdr->ClientFormatList || cliprdr->ClientFormatList(cliprdr, &list) != CHANNEL_RC_OK)
    return;
  throttle.sent(Clock::now());
}

// Sends the held list when the throttle says so. The caller holds channel_lock.
void send_held_list(ListStep step) {
  if (step == ListStep::wait || !cliprdr || !waiting_list) return;
  if (step == ListStep::send_late)
    diag(
        "Warning: the server did not answer a clipboard format list within %lld ms; sending "
        "the host's newest list",
        static_cast<long long>(kListResponseTimeout.count()));
  ClipFormatList next = std::move(*waiting_list);
  waiting_list.reset();
  send_host_list(next);
}

}  // namespace

UINT server_format_list_response(CliprdrClientContext*, const CLIPRDR_FORMAT_LIST_RESPONSE*) {
  std::lock_guard<std::mutex> lock(channel_lock);
  send_held_list(throttle.answered());
  return CHANNEL_RC_OK;
}

void clipboard_tick() {
  std::lock_guard<std::mutex> lock(channel_lock);
  send_held_list(throttle.tick(Clock::now()));
}

std::optional<std::chrono::steady_clock::time_point> clipboard_deadline() {
  std::lock_guard<std::mutex> lock(channel_lock);
  return throttle.deadline();
}

void clip_host_formats(std::span<const uint8_t> payload) {
  std::optional<ClipFormatList> parsed;
  try {
    parsed = parse_clip_formats(payload, kMaxHostClipFormats);
  } catch (const std::bad_alloc&) {
  }
  if (!parsed) {
    diag("Warning: host clipboard format list dropped (declares more than %u formats)",
         kMaxHostClipFormats);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(channel_lock);
    if (!cliprdr) return;
    if (throttle.host_list(Clock::now()) == ListStep::send) {
      waiting_list.reset();
      send_host_list(*parsed);
      return;
    }
    waiting_list = std::move(parsed);
  }
  // The event loop's wait now ends at the held list's time-out.
  deadlines_changed();
}

void clip_host_data(std::span<const uint8_t> payload) {
  const uint32_t format_id = get_u32(payload.data());
  // The data before it goes first, so that a burst of large data holds at most this frame and
  // one copy of it. A server request meanwhile gets a failure, as for a format never offered.
  {
    std::lock_guard<std::mutex> lock(store_lock);
    store_data = {};
    store_format_id = 0;
  }
  std::vector<uint8_t> copy;
  try {
    copy.assign(payload.begin() + 4, payload.end());
  } catch (const std::bad_alloc&) {
    copy.clear();
  }
  std::lock_guard<std::mutex> lock(store_lock);
  store_data.swap(copy);
  store_format_id = format_id;
}

void clip_host_request(std::span<const uint8_t> payload) {
  const uint32_t format_id = get_u32(payload.data());
  std::lock_guard<std::mutex> lock(channel_lock);
  if (!cliprdr || !cliprdr->ClientFormatDataRequest) return;
  last_requested_format.store(format_id);
  CLIPRDR_FORMAT_DATA_REQUEST request{};
  request.requestedFormatId = format_id;
  cliprdr->ClientFormatDataRequest(cliprdr, &request);
}

}  // namespace korvane
