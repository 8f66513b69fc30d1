#include "drive/drive_guard.hpp"

#include <cstring>
#include <mutex>
#include <optional>
#include <span>

#include <freerdp/addin.h>
#include <freerdp/channels/rdpdr.h>
#include <winpr/nt.h>
#include <winpr/stream.h>

#include "drive/drive_path.hpp"
#include "platform/diag.hpp"

namespace korvane {

namespace {

// The library's functions the guard stands in front of. Written by the main thread while the
// add-ins load (the provider and the drive's entry run there), and by the thread of the device
// redirection channel when it registers a drive; read by that channel's thread for every
// request. All under guard_lock, which is never held while the library is called.
std::mutex guard_lock;
FREERDP_LOAD_CHANNEL_ADDIN_ENTRY_FN library_provider = nullptr;
PDEVICE_SERVICE_ENTRY library_drive_entry = nullptr;
pcRegisterDevice library_register_device = nullptr;
pcIRPRequest library_drive_request = nullptr;

// The fixed part of a Device Create Request before its path, and of a Set Information or Query
// Directory request before theirs (MS-RDPEFS 2.2.1.4.1, 2.2.3.3.9, 2.2.3.3.10).
constexpr size_t kCreateFixed = 4 + 8 + 4 + 4 + 4 + 4;
constexpr size_t kSetInfoFixed = 4 + 4 + 24;
constexpr size_t kRenameFixed = 1 + 1 + 4;
constexpr size_t kQueryDirFixed = 4 + 1 + 4 + 23;

uint32_t u32_at(std::span<const uint8_t> s, size_t offset) {
  return static_cast<uint32_t>(s[offset] | s[offset + 1] << 8 | s[offset + 2] << 16 |
                               static_cast<uint32_t>(s[offset + 3]) << 24);
}

// The path of a request at `offset` with its byte length at `length_at`; a request too short
// to hold them is left to the library, which refuses it itself.
std::optional<std::span<const uint8_t>> path_in(std::span<const uint8_t> in, size_t length_at,
                                                size_t offset) {
  if (in.size() < offset || in.size() < length_at + 4) return std::nullopt;
  const uint32_t length = u32_at(in, length_at);
  if (in.size() - offset < length) return std::nullopt;
  return in.subspan(offset, length);
}

// Completes a refused request as the drive completes a failed one of the same kind, so the
// server's parser finds what it expects.
UINT refuse(IRP* irp, const char* what) {
  diag("Warning: the server's %s request named a path outside the shared folder: refused", what);
  irp->IoStatus = STATUS_ACCESS_DENIED;
  switch (irp->MajorFunction) {
    case IRP_MJ_CREATE:
      if (!Stream_EnsureRemainingCapacity(irp->output, 5)) return ERROR_OUTOFMEMORY;
      Stream_Write_UINT32(irp->output, 0);  // FileId
      Stream_Write_UINT8(irp->output, 0);   // Information
      break;
    case IRP_MJ_SET_INFORMATION:
      if (!Stream_EnsureRemainingCapacity(irp->output, 4)) return ERROR_OUTOFMEMORY;
      Stream_Write_UINT32(irp->output, 0);  // Length
      break;
    default:
      if (!Stream_EnsureRemainingCapacity(irp->output, 5)) return ERROR_OUTOFMEMORY;
      Stream_Write_UINT32(irp->output, 0);  // Length
      Stream_Write_UINT8(irp->output, 0);   // Padding
      break;
  }
  return irp->Complete(irp);
}

UINT guarded_request(DEVICE* device, IRP* irp) {
  pcIRPRequest next = nullptr;
  {
    std::lock_guard<std::mutex> lock(guard_lock);
    next = library_drive_request;
  }
  if (!next) return ERROR_INTERNAL_ERROR;
  if (!irp || !irp->input) return next(device, irp);
  const std::span<const uint8_t> in(static_cast<const uint8_t*>(Stream_ConstPointer(irp->input)),
                                    Stream_GetRemainingLength(irp->input));
  switch (irp->MajorFunction) {
    case IRP_MJ_CREATE:
      if (auto path = path_in(in, kCreateFixed, kCreateFixed + 4))
        if (!drive_path_acceptable(*path)) return refuse(irp, "create");
      break;
    case IRP_MJ_SET_INFORMATION:
      if (in.size() >= 4 &&
          (u32_at(in, 0) == FileRenameInformation || u32_at(in, 0) == FileLinkInformation)) {
        if (auto path = path_in(in, kSetInfoFixed + 2, kSetInfoFixed + kRenameFixed))
          if (!drive_path_acceptable(*path)) return refuse(irp, "rename");
      }
      break;
    case IRP_MJ_DIRECTORY_CONTROL:
      if (irp->MinorFunction == IRP_MN_QUERY_DIRECTORY)
        if (auto path = path_in(in, 5, kQueryDirFixed))
          if (!drive_path_acceptable(*path)) return refuse(irp, "directory query");
      break;
    default: break;
  }
  return next(device, irp);
}

UINT guarded_register_device(DEVMAN* devman, DEVICE* device) {
  pcRegisterDevice next = nullptr;
  {
    std::lock_guard<std::mutex> lock(guard_lock);
    next = library_register_device;
    if (device && device->type == RDPDR_DTYP_FILESYSTEM && device->IRPRequest &&
        device->IRPRequest != guarded_request) {
      library_drive_request = device->IRPRequest;
      device->IRPRequest = guarded_request;
    }
  }
  return next ? next(devman, device) : ERROR_INTERNAL_ERROR;
}

UINT VCAPITYPE guarded_drive_entry(PDEVICE_SERVICE_ENTRY_POINTS points) {
  PDEVICE_SERVICE_ENTRY next = nullptr;
  {
    std::lock_guard<std::mutex> lock(guard_lock);
    next = library_drive_entry;
    if (points) library_register_device = points->RegisterDevice;
  }
  if (!next || !points) return ERROR_INTERNAL_ERROR;
  // The drive registers its device during the call through the copy's function only.
  DEVICE_SERVICE_ENTRY_POINTS copy = *points;
  copy.RegisterDevice = guarded_register_device;
  return next(&copy);
}

PVIRTUALCHANNELENTRY guarded_provider(LPCSTR name, LPCSTR subsystem, LPCSTR type, DWORD flags) {
  FREERDP_LOAD_CHANNEL_ADDIN_ENTRY_FN next = nullptr;
  {
    std::lock_guard<std::mutex> lock(guard_lock);
    next = library_provider;
  }
  PVIRTUALCHANNELENTRY entry = next ? next(name, subsystem, type, flags) : nullptr;
  if (!entry || !name || !type || std::strcmp(name, "drive") != 0 ||
      std::strcmp(type, "DeviceServiceEntry") != 0)
    return entry;
  std::lock_guard<std::mutex> lock(guard_lock);
  library_drive_entry = reinterpret_cast<PDEVICE_SERVICE_ENTRY>(entry);
  return reinterpret_cast<PVIRTUALCHANNELENTRY>(guarded_drive_entry);
}

}  // namespace

void drive_guard_install() {
  FREERDP_LOAD_CHANNEL_ADDIN_ENTRY_FN current = freerdp_get_current_addin_provider();
  if (current == guarded_provider) return;
  {
    std::lock_guard<std::mutex> lock(guard_lock);
    library_provider = current;
  }
  freerdp_register_addin_provider(guarded_provider, 0);
}

}  // namespace korvane
