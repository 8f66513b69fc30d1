#include "session/callbacks.hpp"

#include <cstring>

#include <freerdp/client/cmdline.h>
#include <freerdp/event.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/settings.h>

#include "clipboard/clipboard.hpp"
#include "display/gfx.hpp"
#include "display/paint.hpp"
#include "host_link/transport.hpp"
#include "platform/keyboard.hpp"
#include "session/diag.hpp"
#include "session/session.hpp"

namespace korvane {

namespace {

void post_disconnect(freerdp*) {}

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
  return TRUE;
}

BOOL pre_connect(freerdp* instance) {
  rdpContext* context = instance->context;
  rdpSettings* settings = context->settings;
  if (!freerdp_settings_set_uint32(settings, FreeRDP_OsMajorType, OSMAJORTYPE_WINDOWS))
    return FALSE;
  if (!freerdp_settings_set_uint32(settings, FreeRDP_OsMinorType, OSMINORTYPE_WINDOWS_NT))
    return FALSE;
  freerdp_settings_set_bool(settings, FreeRDP_RedirectClipboard, TRUE);
  if (session.params.drive_path[0]) freerdp_settings_set_bool(settings, FreeRDP_RedirectDrives, TRUE);

  if (!freerdp_client_load_addins(context->channels, settings))
    diag("Warning: freerdp_client_load_addins failed (clipboard/drive may not work)");

  if (freerdp_settings_get_uint32(settings, FreeRDP_KeyboardLayout) != 0) return TRUE;
  const uint32_t layout = system_keyboard_layout();
  if (layout == 0) return TRUE;
  return freerdp_settings_set_uint32(settings, FreeRDP_KeyboardLayout, layout);
}

BOOL post_connect(freerdp* instance) {
  rdpContext* context = instance->context;
  if (!gdi_init(instance, PIXEL_FORMAT_RGBA32)) return FALSE;
  rdpUpdate* update = context->update;
  update->BeginPaint = begin_paint;
  update->EndPaint = end_paint;
  update->DesktopResize = desktop_resize;
  const uint32_t width = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopWidth);
  const uint32_t height = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopHeight);
  send_frame(EVT_CONNECTED, encode_size(width, height));
  return TRUE;
}

void on_channel_connected(void* context, const wEventArgs* event) {
  const auto* e = reinterpret_cast<const ChannelConnectedEventArgs*>(event);
  if (!e->name) return;
  if (std::strcmp(e->name, kGfxChannel) == 0) {
    gfx_attach(static_cast<rdpContext*>(context), static_cast<RdpgfxClientContext*>(e->pInterface));
  } else if (is_clipboard_channel(e->name)) {
    cliprdr_attach(static_cast<CliprdrClientContext*>(e->pInterface));
  }
}

void on_channel_disconnected(void* context, const wEventArgs* event) {
  const auto* e = reinterpret_cast<const ChannelDisconnectedEventArgs*>(event);
  if (!e->name) return;
  if (std::strcmp(e->name, kGfxChannel) == 0) {
    gfx_detach(static_cast<rdpContext*>(context));
  } else if (is_clipboard_channel(e->name)) {
    cliprdr_detach();
  }
}

}  // namespace korvane
