#include "clipboard/clipboard.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <freerdp/channels/cliprdr.h>

#include "host_link/clip_files.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"
#include "host_link/transport.hpp"
#include "platform/diag.hpp"
#include "state/control.hpp"
#include "state/record.hpp"

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

// File contents waiting for their answer (clip_files.hpp), guarded by files_lock: the host's
// requests to the server (input thread, channel thread, main thread's time-out) and the server's
// to the host (the same three). Taken after channel_lock, never before; an answer goes out
// under it, so that a time-out cannot answer a stream a second time.
std::mutex files_lock;
FileStreams host_asks;    // by the host's stream id
FileStreams server_asks;  // by the server's stream id

bool files_granted() { return (session.grant.mask & EXT_FILES) != 0; }

// Whether the server said it takes locks on its file lists (its general capability flags).
// Written by the channel thread when the capabilities come, read by the input thread.
std::atomic<bool> server_can_lock{false};

FileRequest file_request_of(const CLIPRDR_FILE_CONTENTS_REQUEST& r) {
  return FileRequest{
      r.streamId, r.listIndex,
      static_cast<uint8_t>(r.dwFlags & FILECONTENTS_SIZE ? FILE_ASK_SIZE : FILE_ASK_RANGE),
      uint64_t{r.nPositionLow} | uint64_t{r.nPositionHigh} << 32, r.cbRequested,
      // The library reads an id wherever the PDU is long enough: one from a server that said
      // nothing of locks (xrdp sends 0) names no lock.
      r.haveClipDataId && server_can_lock.load() ? std::optional<uint32_t>(r.clipDataId)
                                                 : std::nullopt};
}

UINT answer_server(CliprdrClientContext* context, uint32_t stream_id,
                   std::span<const uint8_t> bytes, bool ok) {
  CLIPRDR_FILE_CONTENTS_RESPONSE response{};
  response.common.msgFlags = ok ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
  response.streamId = stream_id;
  response.cbRequested = ok ? static_cast<UINT32>(bytes.size()) : 0;
  response.requestedData = ok ? bytes.data() : nullptr;
  return context && context->ClientFileContentsResponse
             ? context->ClientFileContentsResponse(context, &response)
             : CHANNEL_RC_OK;
}

void answer_host(uint32_t stream_id, uint8_t status, std::span<const uint8_t> bytes = {}) {
  const auto header = encode_file_data_header(stream_id, status);
  const std::span<const uint8_t> parts[] = {header, bytes};
  send_frame_parts(EVT_CLIP_FILE_DATA, parts);
}

bool is_ascii(const std::string& text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) > 0x7F) return false;
  return true;
}

UINT accept_capabilities(CliprdrClientContext*, const CLIPRDR_CAPABILITIES* caps) {
  bool can_lock = false;
  // The sets are of different sizes; the general one, the only one there is, comes first.
  if (caps && caps->cCapabilitiesSets >= 1 && caps->capabilitySets &&
      caps->capabilitySets[0].capabilitySetType == CB_CAPSTYPE_GENERAL)
    can_lock = reinterpret_cast<const CLIPRDR_GENERAL_CAPABILITY_SET*>(caps->capabilitySets)
                   ->generalFlags &
               CB_CAN_LOCK_CLIPDATA;
  server_can_lock.store(can_lock);
  return CHANNEL_RC_OK;
}

// The server locks or unlocks the host's file list: the host keeps the list readable under that
// id. A host without the extension has no lists to keep.
UINT relay_lock(uint32_t id, bool locked) {
  if (files_granted()) send_frame(EVT_CLIP_LOCK, encode_clip_lock({id, locked}));
  return CHANNEL_RC_OK;
}
UINT server_lock(CliprdrClientContext*, const CLIPRDR_LOCK_CLIPBOARD_DATA* lock) {
  return lock ? relay_lock(lock->clipDataId, true) : CHANNEL_RC_OK;
}
UINT server_unlock(CliprdrClientContext*, const CLIPRDR_UNLOCK_CLIPBOARD_DATA* unlock) {
  return unlock ? relay_lock(unlock->clipDataId, false) : CHANNEL_RC_OK;
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
  context->ServerFileContentsRequest = server_file_contents_request;
  context->ServerFileContentsResponse = server_file_contents_response;
  context->ServerLockClipboardData = server_lock;
  context->ServerUnlockClipboardData = server_unlock;
  server_can_lock.store(false);
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
  // Only a host that relays file contents lets the server offer files to be pasted by stream,
  // and lock what it pastes from.
  if (files_granted())
    general.generalFlags |= CB_STREAM_FILECLIP_ENABLED | CB_FILECLIP_NO_FILE_PATHS |
                            CB_CAN_LOCK_CLIPDATA | CB_HUGE_FILE_SUPPORT_ENABLED;
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
  std::lock_guard<std::mutex> files(files_lock);
  for (const FileRequest& r : host_asks.expire(Clock::now()))
    answer_host(r.stream_id, FILE_TIMED_OUT);
  for (const FileRequest& r : server_asks.expire(Clock::now()))
    answer_server(cliprdr, r.stream_id, {}, false);
}

std::optional<std::chrono::steady_clock::time_point> clipboard_deadline() {
  std::lock_guard<std::mutex> lock(channel_lock);
  std::optional<Clock::time_point> first = throttle.deadline();
  std::lock_guard<std::mutex> files(files_lock);
  for (const auto d : {host_asks.deadline(), server_asks.deadline()})
    if (d && (!first || *d < *first)) first = d;
  return first;
}

UINT server_file_contents_request(CliprdrClientContext* context,
                                  const CLIPRDR_FILE_CONTENTS_REQUEST* request) {
  // A host without the extension has no way to answer: the server hears so at once.
  if (!request || !files_granted())
    return request ? answer_server(context, request->streamId, {}, false) : CHANNEL_RC_OK;
  const FileRequest r = file_request_of(*request);
  {
    std::lock_guard<std::mutex> files(files_lock);
    if (server_asks.open(r, Clock::now()) != FileRefusal::none)
      return answer_server(context, r.stream_id, {}, false);
    send_frame(EVT_CLIP_FILE_REQUEST, encode_file_request(r));
  }
  deadlines_changed();
  return CHANNEL_RC_OK;
}

UINT server_file_contents_response(CliprdrClientContext*,
                                   const CLIPRDR_FILE_CONTENTS_RESPONSE* response) {
  if (!response) return CHANNEL_RC_OK;
  std::lock_guard<std::mutex> files(files_lock);
  const auto r = host_asks.answer(response->streamId);
  if (!r) return CHANNEL_RC_OK;  // timed out, or never asked
  const std::span<const uint8_t> bytes(response->requestedData,
                                       response->requestedData ? response->cbRequested : 0);
  const bool ok =
      (response->common.msgFlags & CB_RESPONSE_OK) && FileStreams::fits(*r, bytes.size());
  answer_host(r->stream_id, ok ? FILE_OK : FILE_FAILED, ok ? bytes : std::span<const uint8_t>{});
  return CHANNEL_RC_OK;
}

void clip_host_file_request(std::span<const uint8_t> payload) {
  const auto r = parse_file_request(payload);
  if (!r) return;
  {
    std::lock_guard<std::mutex> lock(channel_lock);
    std::lock_guard<std::mutex> files(files_lock);
    const FileRefusal refusal = host_asks.open(*r, Clock::now());
    if (refusal != FileRefusal::none || !cliprdr || !cliprdr->ClientFileContentsRequest) {
      if (refusal == FileRefusal::none) host_asks.answer(r->stream_id);
      const uint8_t why = static_cast<uint8_t>(refusal);
      answer_host(r->stream_id, FILE_REFUSED, std::span(&why, 1));
      return;
    }
    CLIPRDR_FILE_CONTENTS_REQUEST request{};
    request.streamId = r->stream_id;
    request.listIndex = r->list_index;
    request.dwFlags = r->what == FILE_ASK_SIZE ? FILECONTENTS_SIZE : FILECONTENTS_RANGE;
    request.nPositionLow = static_cast<UINT32>(r->position);
    request.nPositionHigh = static_cast<UINT32>(r->position >> 32);
    request.cbRequested = r->what == FILE_ASK_SIZE ? 8 : r->length;
    // A server that takes no locks would not know the id.
    request.haveClipDataId = r->lock && server_can_lock.load();
    request.clipDataId = r->lock.value_or(0);
    if (cliprdr->ClientFileContentsRequest(cliprdr, &request) != CHANNEL_RC_OK) {
      host_asks.answer(r->stream_id);
      answer_host(r->stream_id, FILE_FAILED);
      return;
    }
  }
  deadlines_changed();
}

void clip_host_file_data(std::span<const uint8_t> payload) {
  const auto d = parse_file_data(payload);
  if (!d) return;
  std::lock_guard<std::mutex> lock(channel_lock);
  std::lock_guard<std::mutex> files(files_lock);
  const auto r = server_asks.answer(d->stream_id);
  if (!r) return;  // timed out (the server heard so), or never asked
  const bool ok = d->status == FILE_OK && FileStreams::fits(*r, d->bytes.size());
  answer_server(cliprdr, r->stream_id, d->bytes, ok);
}

void clip_host_lock(std::span<const uint8_t> payload) {
  const auto l = parse_clip_lock(payload);
  // Locks are the server's to take or not: one that said nothing of them gets none.
  if (!l || !server_can_lock.load()) return;
  std::lock_guard<std::mutex> lock(channel_lock);
  if (!cliprdr) return;
  if (l->locked) {
    CLIPRDR_LOCK_CLIPBOARD_DATA pdu{};
    pdu.clipDataId = l->id;
    if (cliprdr->ClientLockClipboardData) cliprdr->ClientLockClipboardData(cliprdr, &pdu);
  } else {
    CLIPRDR_UNLOCK_CLIPBOARD_DATA pdu{};
    pdu.clipDataId = l->id;
    if (cliprdr->ClientUnlockClipboardData) cliprdr->ClientUnlockClipboardData(cliprdr, &pdu);
  }
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
