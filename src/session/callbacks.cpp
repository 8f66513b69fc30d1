#include "session/callbacks.hpp"

#include <cstring>
#include <string>

#include <freerdp/client/cmdline.h>
#include <freerdp/event.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/settings.h>

#include "certificate/certificate.hpp"
#include "clipboard/clipboard.hpp"
#include "cursor/cursor.hpp"
#include "display/codec_memory.hpp"
#include "display/gfx.hpp"
#include "display/paint.hpp"
#include "display/codec_memory.hpp"
#include "drive/drive_guard.hpp"
#include "gateway/gateway.hpp"
#include "resize/resize.hpp"
#include "host_link/session_extensions.hpp"
#include "host_link/transport.hpp"
#include "lifecycle/status.hpp"
#include "platform/diag.hpp"
#include "session/settings.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

void post_disconnect(freerdp*) {}

// The library's default callbacks for credentials, certificates and smart cards ask a person on
// standard input, which here is the host's frame stream: a prompt would swallow the host's commands
// and wait for an answer that never comes. korvane has no person to ask, so these answer at once
// from what the connect request gave.
BOOL authenticate_from_request(freerdp*, char**, char**, char**, rdp_auth_reason) {
  return TRUE;  // go on with the credentials we have; the server decides
}
BOOL no_smartcard(freerdp*, SmartcardCertInfo**, DWORD, DWORD*, BOOL) { return FALSE; }
DWORD accept_certificate(freerdp*, const char*, UINT16, const char*, const char*, const char*,
                         const char*, DWORD) {
  return 2;  // accepted for this session only, as "/cert:ignore" asks
}
DWORD accept_changed_certificate(freerdp*, const char*, UINT16, const char*, const char*,
                                 const char*, const char*, const char*, const char*, const char*,
                                 DWORD) {
  return 2;
}
int log_logon_error(freerdp*, UINT32, UINT32) { return 1; }
BOOL no_access_token(freerdp*, AccessTokenType, char**, size_t, ...) { return FALSE; }

constexpr char kGfxChannel[] = "Microsoft::Windows::RDS::Graphics";

bool is_clipboard_channel(const char* name) {
  // Exactly "cliprdr": a longer name is another channel.
  return std::strcmp(name, "cliprdr") == 0;
}

}  // namespace

BOOL client_new(freerdp* instance, rdpContext*) {
  instance->PreConnect = pre_connect;
  instance->PostConnect = post_connect;
  instance->PostDisconnect = post_disconnect;
  instance->AuthenticateEx = authenticate_from_request;
  instance->ChooseSmartcard = no_smartcard;
  instance->VerifyCertificateEx = accept_certificate;
  instance->VerifyChangedCertificateEx = accept_changed_certificate;
  // Called only when certificate_configure hands verification to korvane.
  instance->VerifyX509Certificate = certificate_verify;
  instance->PresentGatewayMessage = gateway_present_message;
  instance->LogonErrorInfo = log_logon_error;
  instance->GetAccessToken = no_access_token;
  return TRUE;
}

namespace {

BOOL remote_monitors(rdpContext*, UINT32 count, const MONITOR_DEF* monitors) {
  monitors_server_said(count, monitors);
  return TRUE;
}

}  // namespace

BOOL pre_connect(freerdp* instance) {
  rdpContext* context = instance->context;
  const SettingsPlan& plan = *reinterpret_cast<ClientContext*>(context)->plan;
  std::string config_dir;
  if (plan.private_config_dir) {
    config_dir = certificate_config_dir();
    if (config_dir.empty()) return FALSE;
  }
  if (!apply_settings_at_connect(context->settings, plan, config_dir)) return FALSE;
  // The server's monitor layout comes during the capability exchange, before post_connect.
  if (session.grant.mask & EXT_MONITORS) context->update->RemoteMonitors = remote_monitors;
  // The library's drive takes the server's paths nearly as they come; korvane checks them first.
  if (plan.redirect_drives.value_or(false)) drive_guard_install();
  if (!freerdp_client_load_addins(context->channels, context->settings))
    diag("Warning: freerdp_client_load_addins failed (clipboard/drive may not work)");
  return TRUE;
}

BOOL post_connect(freerdp* instance) {
  rdpContext* context = instance->context;
  // The library's own order: its decoders write it directly (RGBA would cost them a conversion
  // of every pixel they decode, sent or not); korvane converts what it sends.
  if (!gdi_init(instance, PIXEL_FORMAT_BGRX32)) return FALSE;
  classic_codecs_trim(context);
  rdpUpdate* update = context->update;
  update->BeginPaint = begin_paint;
  update->EndPaint = end_paint;
  update->DesktopResize = desktop_resize;
  if (session.grant.mask & EXT_CURSOR) cursor_register(context);
  const uint32_t width = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopWidth);
  const uint32_t height = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopHeight);
  status_progress(PROGRESS_LOGON_COMPLETE);
  const auto held = changed_only_reset(static_cast<int32_t>(width), static_cast<int32_t>(height));
  send_frame(EVT_CONNECTED, encode_size(width, height));
  monitors_connected(width, height);
  return TRUE;
}

void on_channel_connected(void* context, const wEventArgs* event) {
  const auto* e = reinterpret_cast<const ChannelConnectedEventArgs*>(event);
  if (!e->name) return;
  if (std::strcmp(e->name, kGfxChannel) == 0) {
    gfx_attach(static_cast<rdpContext*>(context), static_cast<RdpgfxClientContext*>(e->pInterface));
  } else if (is_clipboard_channel(e->name)) {
    cliprdr_attach(static_cast<CliprdrClientContext*>(e->pInterface));
  } else if (std::strcmp(e->name, DISP_DVC_CHANNEL_NAME) == 0) {
    disp_attach(static_cast<DispClientContext*>(e->pInterface));
  }
}

void on_channel_disconnected(void* context, const wEventArgs* event) {
  const auto* e = reinterpret_cast<const ChannelDisconnectedEventArgs*>(event);
  if (!e->name) return;
  if (std::strcmp(e->name, kGfxChannel) == 0) {
    gfx_detach(static_cast<rdpContext*>(context));
  } else if (is_clipboard_channel(e->name)) {
    cliprdr_detach();
  } else if (std::strcmp(e->name, DISP_DVC_CHANNEL_NAME) == 0) {
    disp_detach();
  }
}

}  // namespace korvane
