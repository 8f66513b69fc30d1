// Device redirection: logs the client's announced devices (DEVICE lines) and
// reads files from its redirected drive for the read-file step.
#include "peer.hpp"

#include <freerdp/channels/rdpdr.h>
#include <freerdp/server/rdpdr.h>
#include <winpr/nt.h>

#include <cstdio>
#include <map>
#include <optional>

namespace kts {
namespace {

constexpr std::chrono::milliseconds reply_timeout{10000};
constexpr std::size_t max_file_bytes = 64 * 1024;
constexpr UINT32 read_chunk = 16 * 1024;

struct Device {
  UINT32 id = 0;
  UINT32 type = 0;
  std::string name;
};

// One outstanding I/O request; the rdpdr thread completes it by id so that a
// step that gave up never leaves it a dangling pointer.
struct Request {
  bool done = false;
  UINT32 status = 0;
  UINT32 file_id = 0;
  std::vector<std::uint8_t> data;
};

struct DriveState {
  std::mutex mutex;
  std::condition_variable cv;
  RdpdrServerContext* context = nullptr;  // owned, freed in close_drive
  std::vector<Device> devices;
  std::map<std::uintptr_t, std::shared_ptr<Request>> pending;
  std::uintptr_t next_id = 1;

  DriveState() = default;
  DriveState(const DriveState&) = delete;
  DriveState& operator=(const DriveState&) = delete;
  ~DriveState() {
    if (context) {
      context->Stop(context);
      rdpdr_server_context_free(context);
    }
  }
};

std::shared_ptr<DriveState> drive_state(Session& s) { return session_slot<DriveState>(s, "drive"); }

Session& session_of_rdpdr(RdpdrServerContext* context) {
  return *static_cast<Session*>(context->data);
}

std::string device_name(const RdpdrDevice* device) {
  // A drive puts its full name in DeviceData; PreferredDosName is cut at 8.
  if (device->DeviceType == RDPDR_DTYP_FILESYSTEM && device->DeviceDataLength > 0 &&
      device->DeviceData) {
    const auto* d = reinterpret_cast<const char*>(device->DeviceData);
    std::string name;
    if (device->DeviceDataLength >= 2 && d[1] == '\0') {
      for (UINT32 i = 0; i + 1 < device->DeviceDataLength && (d[i] || d[i + 1]); i += 2)
        name.push_back(d[i]);
    } else {
      for (UINT32 i = 0; i < device->DeviceDataLength && d[i]; ++i) name.push_back(d[i]);
    }
    if (!name.empty()) return name;
  }
  std::string name;
  for (std::size_t i = 0; i < sizeof device->PreferredDosName && device->PreferredDosName[i]; ++i)
    name.push_back(device->PreferredDosName[i]);
  return name;
}

UINT on_device_announce(RdpdrServerContext* context, const RdpdrDevice* device) {
  Session& s = session_of_rdpdr(context);
  Device d{device->DeviceId, device->DeviceType, device_name(device)};
  log_line("DEVICE type=" + std::to_string(d.type) + " name=" + d.name);
  auto state = drive_state(s);
  std::scoped_lock lock(state->mutex);
  state->devices.push_back(std::move(d));
  state->cv.notify_all();
  return CHANNEL_RC_OK;
}

UINT on_device_remove(RdpdrServerContext* context, UINT32 device_id, const RdpdrDevice*) {
  auto state = drive_state(session_of_rdpdr(context));
  std::scoped_lock lock(state->mutex);
  std::erase_if(state->devices, [&](const Device& d) { return d.id == device_id; });
  return CHANNEL_RC_OK;
}

template <typename Fill>
void complete(RdpdrServerContext* context, void* callback_data, UINT32 status, Fill fill) {
  auto state = drive_state(session_of_rdpdr(context));
  std::scoped_lock lock(state->mutex);
  const auto it = state->pending.find(reinterpret_cast<std::uintptr_t>(callback_data));
  if (it == state->pending.end()) return;
  it->second->done = true;
  it->second->status = status;
  fill(*it->second);
  state->pending.erase(it);
  state->cv.notify_all();
}

void on_open_done(RdpdrServerContext* context, void* data, UINT32 status, UINT32, UINT32 file_id) {
  complete(context, data, status, [&](Request& r) { r.file_id = file_id; });
}

void on_read_done(RdpdrServerContext* context, void* data, UINT32 status, const char* buffer,
                  UINT32 length) {
  complete(context, data, status, [&](Request& r) {
    if (buffer && length > 0) r.data.assign(buffer, buffer + length);
  });
}

void on_close_done(RdpdrServerContext* context, void* data, UINT32 status) {
  complete(context, data, status, [](Request&) {});
}

void on_status_done(RdpdrServerContext* context, void* data, UINT32 status) {
  complete(context, data, status, [](Request&) {});
}

void on_write_done(RdpdrServerContext* context, void* data, UINT32 status, UINT32) {
  complete(context, data, status, [](Request&) {});
}

std::string open_drive(Session& s) {
  if (!WTSVirtualChannelManagerIsChannelJoined(s.vcm, RDPDR_SVC_CHANNEL_NAME)) return {};
  auto state = drive_state(s);
  RdpdrServerContext* context = rdpdr_server_context_new(s.vcm);
  if (!context) return "rdpdr_server_context_new failed";
  context->data = &s;
  context->ReceiveDeviceAnnounce = on_device_announce;
  context->ReceiveDeviceRemove = on_device_remove;
  context->OnDriveOpenFileComplete = on_open_done;
  context->OnDriveReadFileComplete = on_read_done;
  context->OnDriveCloseFileComplete = on_close_done;
  context->OnDriveWriteFileComplete = on_write_done;
  context->OnDriveDeleteFileComplete = on_status_done;
  context->OnDriveCreateDirectoryComplete = on_status_done;
  const UINT rc = context->Start(context);
  if (rc != CHANNEL_RC_OK) {
    rdpdr_server_context_free(context);
    return "rdpdr start failed: " + std::to_string(rc);
  }
  std::scoped_lock lock(state->mutex);
  state->context = context;
  return {};
}

void close_drive(Session& s) {
  auto state = drive_state(s);
  RdpdrServerContext* context = nullptr;
  {
    std::scoped_lock lock(state->mutex);
    context = state->context;
    state->context = nullptr;
    state->pending.clear();
    state->cv.notify_all();
  }
  if (context) {
    // Stop joins the channel thread, which takes state->mutex itself.
    context->Stop(context);
    rdpdr_server_context_free(context);
  }
}

// Sends one request through `send` and waits for its completion.
std::string round_trip(Session& s, DriveState& state,
                       const std::function<UINT(RdpdrServerContext*, void*)>& send, Request& out) {
  auto request = std::make_shared<Request>();
  std::uintptr_t id = 0;
  RdpdrServerContext* context = nullptr;
  {
    std::scoped_lock lock(state.mutex);
    if (!state.context) return "no device redirection channel";
    context = state.context;
    id = state.next_id++;
    state.pending[id] = request;
  }
  const UINT rc = send(context, reinterpret_cast<void*>(id));
  std::unique_lock lock(state.mutex);
  if (rc != CHANNEL_RC_OK) {
    state.pending.erase(id);
    return "request not sent: " + std::to_string(rc);
  }
  const auto deadline = std::chrono::steady_clock::now() + reply_timeout;
  while (!request->done && !s.stop.load() && state.context) {
    if (state.cv.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  if (!request->done) {
    state.pending.erase(id);
    return "no reply from the client within 10 s";
  }
  out = *request;
  return {};
}

std::string hex32(UINT32 v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// The first redirected drive, waited for up to reply_timeout.
std::optional<UINT32> first_drive(Session& s, DriveState& st) {
  auto* state = &st;
  UINT32 device_id = 0;
  {
    std::unique_lock lock(state->mutex);
    const bool found = state->cv.wait_for(lock, reply_timeout, [&] {
      if (s.stop.load()) return true;
      for (const Device& d : state->devices)
        if (d.type == RDPDR_DTYP_FILESYSTEM) return true;
      return false;
    });
    bool have = false;
    for (const Device& d : state->devices) {
      if (d.type == RDPDR_DTYP_FILESYSTEM) {
        device_id = d.id;
        have = true;
        break;
      }
    }
    if (!found || !have) return std::nullopt;
  }
  return device_id;
}

std::string run_read_file(Session& s, const Step& step) {
  const std::string& name = step.args[0];
  auto state = drive_state(s);
  const auto drive = first_drive(s, *state);
  if (!drive) return "the client announced no drive";
  const UINT32 device_id = *drive;

  std::string path = name;
  if (path.empty() || (path[0] != '\\' && path[0] != '/')) path = "\\" + path;

  Request opened;
  std::string error = round_trip(
      s, *state,
      [&](RdpdrServerContext* c, void* id) {
        return c->DriveOpenFile(c, id, device_id, path.c_str(), GENERIC_READ, FILE_OPEN);
      },
      opened);
  if (!error.empty()) return "open " + name + ": " + error;
  if (opened.status != STATUS_SUCCESS) return "open " + name + ": status " + hex32(opened.status);

  std::vector<std::uint8_t> content;
  for (std::size_t i = 0; i <= max_file_bytes / read_chunk + 1; ++i) {
    Request got;
    const UINT32 offset = static_cast<UINT32>(content.size());
    error = round_trip(
        s, *state,
        [&](RdpdrServerContext* c, void* id) {
          return c->DriveReadFile(c, id, device_id, opened.file_id, read_chunk, offset);
        },
        got);
    if (!error.empty()) break;
    if (got.status == static_cast<UINT32>(STATUS_END_OF_FILE) || got.data.empty()) break;
    if (got.status != STATUS_SUCCESS) {
      error = "status " + hex32(got.status);
      break;
    }
    content.insert(content.end(), got.data.begin(), got.data.end());
    if (content.size() > max_file_bytes) {
      error = "file larger than 64 KiB";
      break;
    }
  }

  Request closed;
  const std::string close_error = round_trip(
      s, *state,
      [&](RdpdrServerContext* c, void* id) {
        return c->DriveCloseFile(c, id, device_id, opened.file_id);
      },
      closed);
  if (!error.empty()) return "read " + name + ": " + error;
  if (!close_error.empty()) return "close " + name + ": " + close_error;
  log_line("FILE name=" + name + " bytes=" + to_hex(content.data(), content.size()));
  return {};
}

// What a hostile server tries: MODE on PATH exactly as written (no separator added), logging
// the client's answer. read: open for reading; write: open-or-create for writing and write
// "probe"; delete: the library's delete (open with delete access, dispose, close); mkdir: create
// a directory. An opened file is closed again. The step never fails on the client's refusal.
std::string run_drive_probe(Session& s, const Step& step) {
  const std::string& mode = step.args[0];
  const std::string& path = step.args[1];
  auto state = drive_state(s);
  const auto drive = first_drive(s, *state);
  if (!drive) return "the client announced no drive";
  const UINT32 device_id = *drive;
  Request reply;
  std::string error;
  if (mode == "delete" || mode == "mkdir") {
    error = round_trip(
        s, *state,
        [&](RdpdrServerContext* c, void* id) {
          return mode == "delete" ? c->DriveDeleteFile(c, id, device_id, path.c_str())
                                  : c->DriveCreateDirectory(c, id, device_id, path.c_str());
        },
        reply);
  } else {
    const bool write = mode == "write";
    error = round_trip(
        s, *state,
        [&](RdpdrServerContext* c, void* id) {
          return c->DriveOpenFile(c, id, device_id, path.c_str(),
                                  write ? GENERIC_WRITE : GENERIC_READ,
                                  write ? FILE_OVERWRITE_IF : FILE_OPEN);
        },
        reply);
    if (error.empty() && reply.status == STATUS_SUCCESS) {
      const UINT32 file_id = reply.file_id;
      if (write) {
        Request wrote;
        static const char probe[] = "probe";
        error = round_trip(
            s, *state,
            [&](RdpdrServerContext* c, void* id) {
              return c->DriveWriteFile(c, id, device_id, file_id, probe, 5, 0);
            },
            wrote);
      }
      Request closed;
      const std::string close_error = round_trip(
          s, *state,
          [&](RdpdrServerContext* c, void* id) {
            return c->DriveCloseFile(c, id, device_id, file_id);
          },
          closed);
      if (error.empty()) error = close_error;
    }
  }
  if (!error.empty()) return mode + " " + path + ": " + error;
  log_line("DRIVE mode=" + mode + " path=" + path + " status=" + hex32(reply.status));
  return {};
}

std::string check_drive_probe(const Step& step) {
  const std::string& mode = step.args[0];
  if (mode != "read" && mode != "write" && mode != "delete" && mode != "mkdir")
    return "mode must be read, write, delete or mkdir";
  return {};
}

[[maybe_unused]] const bool drive_registered = [] {
  register_step({"read-file", 1, 1, {}, run_read_file});
  register_step({"drive-probe", 2, 2, check_drive_probe, run_drive_probe});
  register_hook({"rdpdr", open_drive, {}, {}, close_drive});
  return true;
}();

}  // namespace
}  // namespace kts
