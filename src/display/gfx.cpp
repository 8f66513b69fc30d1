#include "display/gfx.hpp"

#include <atomic>
#include <mutex>

#include <freerdp/channels/rdpgfx.h>
#include <freerdp/gdi/gfx.h>
#include <freerdp/settings.h>
#include <freerdp/update.h>

#include "display/codec_memory.hpp"
#include "display/paint.hpp"
#include "display/rect_pack.hpp"
#include "display/surface_table.hpp"
#include "host_link/extensions.hpp"
#include "host_link/transport.hpp"
#include "lifecycle/status.hpp"
#include "resize/resize.hpp"
#include "platform/diag.hpp"
#include "state/record.hpp"

namespace korvane {

namespace {

// Written by gfx_attach/gfx_detach (channel-event thread), read by the hooks (the thread the
// library runs the graphics channel on). Atomic words: no lock needed to publish a pointer.
std::atomic<RdpgfxClientContext*> attached_gfx{nullptr};
std::atomic<pcRdpgfxSurfaceCommand> orig_surface_command{nullptr};
std::atomic<pcRdpgfxMapSurfaceToOutput> orig_map_surface_to_output{nullptr};
std::atomic<pcRdpgfxUpdateSurfaces> orig_update_surfaces{nullptr};
std::atomic<pcRdpgfxCapsConfirm> orig_caps_confirm{nullptr};
std::atomic<pcRdpgfxResetGraphics> orig_reset_graphics{nullptr};

// Set by surface_command_hook for every H.264 command, read and cleared by the UpdateSurfaces
// hook that follows on the same graphics-channel thread.
std::atomic<bool> h264_forwarded{false};

// Guarded by surface_lock, which is held only for the table scan: never while calling the
// renderer or sending a frame.
std::mutex surface_lock;
SurfaceTable surfaces;

}  // namespace

void gfx_reset_surfaces() {
  std::lock_guard<std::mutex> lock(surface_lock);
  surfaces = SurfaceTable{};
}

void gfx_attach(rdpContext* context, RdpgfxClientContext* gfx) {
  diag("GFX channel connected: FreeRDP_GfxH264=%d",
       freerdp_settings_get_bool(context->settings, FreeRDP_GfxH264) ? 1 : 0);
  if (!gfx || !gdi_graphics_pipeline_init(context->gdi, gfx)) {
    diag("gdi_graphics_pipeline_init failed");
    return;
  }
  // Saved only after the renderer installed its handlers, so a re-attach of the same interface
  // saves the renderer's handlers again, never our own hooks.
  orig_surface_command.store(gfx->SurfaceCommand);
  orig_map_surface_to_output.store(gfx->MapSurfaceToOutput);
  orig_update_surfaces.store(gfx->UpdateSurfaces);
  orig_reset_graphics.store(gfx->ResetGraphics);
  gfx->SurfaceCommand = surface_command_hook;
  gfx->ResetGraphics = reset_graphics_hook;
  gfx->MapSurfaceToOutput = map_surface_to_output_hook;
  gfx->UpdateSurfaces = update_surfaces_hook;
  // The renderer leaves this one alone, so a re-attached interface still holds our hook: saved,
  // it would call itself.
  if (gfx->CapsConfirm != caps_confirm_hook) orig_caps_confirm.store(gfx->CapsConfirm);
  gfx->CapsConfirm = caps_confirm_hook;
  attached_gfx.store(gfx);
  pipeline_codecs_trim(gfx->codecs);
  diag("GFX hooks installed: SurfaceCmd=%p UpdateSurfaces=%p",
       reinterpret_cast<void*>(orig_surface_command.load()),
       reinterpret_cast<void*>(orig_update_surfaces.load()));
}

void gfx_detach(rdpContext* context) {
  RdpgfxClientContext* gfx = attached_gfx.load();
  if (gfx && context->gdi) gdi_graphics_pipeline_uninit(context->gdi, gfx);
  attached_gfx.store(nullptr);
  orig_surface_command.store(nullptr);
  orig_map_surface_to_output.store(nullptr);
  orig_update_surfaces.store(nullptr);
  orig_reset_graphics.store(nullptr);
  orig_caps_confirm.store(nullptr);
  if (gfx) status_progress(PROGRESS_GFX_OFF);
}

UINT caps_confirm_hook(RdpgfxClientContext* gfx, const RDPGFX_CAPS_CONFIRM_PDU* pdu) {
  // The capability set the server chose says which codecs it may use: AVC420 from 8.1 with
  // its flag, AVC444 from 10 on unless disabled.
  if (pdu && pdu->capsSet)
    status_progress(PROGRESS_GFX_ON, pdu->capsSet->version, pdu->capsSet->flags);
  const auto orig = orig_caps_confirm.load();
  return orig ? orig(gfx, pdu) : CHANNEL_RC_OK;
}

UINT reset_graphics_hook(RdpgfxClientContext* gfx, const RDPGFX_RESET_GRAPHICS_PDU* pdu) {
  const auto orig = orig_reset_graphics.load();
  const UINT status = orig ? orig(gfx, pdu) : CHANNEL_RC_OK;
  // After the renderer's resize, so that the host hears of the monitors after EVT_RESIZE.
  if (pdu && (session.grant.mask & EXT_MONITORS))
    monitors_server_said(pdu->monitorCount, pdu->monitorDefArray);
  // The renderer has just sized both codec sets for the desktop again.
  planar_shrink(PlanarUser::pipeline, gfx->codecs);
  auto* gdi = static_cast<rdpGdi*>(gfx->custom);
  if (gdi && gdi->context) planar_shrink(PlanarUser::bitmaps, gdi->context->codecs);
  return status;
}

UINT map_surface_to_output_hook(RdpgfxClientContext* gfx,
                                const RDPGFX_MAP_SURFACE_TO_OUTPUT_PDU* pdu) {
  {
    std::lock_guard<std::mutex> lock(surface_lock);
    surface_table_map(surfaces, pdu->surfaceId, static_cast<int32_t>(pdu->outputOriginX),
                      static_cast<int32_t>(pdu->outputOriginY));
  }
  const auto orig = orig_map_surface_to_output.load();
  return orig ? orig(gfx, pdu) : CHANNEL_RC_OK;
}

namespace {

// The renderer's handler: every codec korvane does not pass through.
UINT render(RdpgfxClientContext* gfx, const RDPGFX_SURFACE_COMMAND* command) {
  const auto orig = orig_surface_command.load();
  if (!orig) return CHANNEL_RC_OK;
  if (!pipeline_codec_ready(gfx->codecs, command->codecId)) return ERROR_NOT_ENOUGH_MEMORY;
  if (command->codecId != RDPGFX_CODECID_PLANAR) return orig(gfx, command);
  bool ok = false;
  const auto* gdi = static_cast<const rdpGdi*>(gfx->custom);
  const rdpSettings* settings = gdi && gdi->context ? gdi->context->settings : nullptr;
  {
    // Only this thread swaps the pipeline's context (its start came before, its resets come on
    // this thread), so the decode runs without the planar lock: a command outside a frame sends
    // the picture under the library's update lock, which the classic path takes before the
    // planar lock.
    auto lock = planar_fit(PlanarUser::pipeline, gfx->codecs, settings, command->width,
                           command->height, &ok);
  }
  return ok ? orig(gfx, command) : ERROR_NOT_ENOUGH_MEMORY;
}

std::pair<int32_t, int32_t> surface_origin(uint32_t surface_id) {
  std::lock_guard<std::mutex> lock(surface_lock);
  return surface_table_origin(surfaces, surface_id);
}

// For a host that decodes H.264 itself: the codecs it named go out tagged, with the views of an
// AVC444 update already apart; everything else is the renderer's.
UINT forward_tagged(RdpgfxClientContext* gfx, const RDPGFX_SURFACE_COMMAND* command,
                    uint8_t codecs) {
  uint8_t codec_bit = 0;
  switch (command->codecId) {
    case RDPGFX_CODECID_AVC420: codec_bit = H264_AVC420; break;
    case RDPGFX_CODECID_AVC444: codec_bit = H264_AVC444; break;
    case RDPGFX_CODECID_AVC444v2: codec_bit = H264_AVC444V2; break;
    default: break;
  }
  if (!(codecs & codec_bit)) return render(gfx, command);
  std::span<const uint8_t> data;
  if (command->data && command->length) data = {command->data, command->length};
  Avc444Views views;
  if (codec_bit == H264_AVC420) {
    views.main = data.subspan(avc420_metablock_skip(data));
  } else if (auto split = split_avc444_stream(data)) {
    views = *split;
  } else {
    diag("Warning: an AVC444 update whose streams do not add up was dropped");
    return CHANNEL_RC_OK;
  }
  const auto [ox, oy] = surface_origin(command->surfaceId);
  H264CodecHeader h;
  h.codec = static_cast<uint16_t>(command->codecId);
  h.left = static_cast<uint32_t>(ox) + command->left;
  h.top = static_cast<uint32_t>(oy) + command->top;
  h.right = static_cast<uint32_t>(ox) + command->right;
  h.bottom = static_cast<uint32_t>(oy) + command->bottom;
  h.width = command->width;
  h.height = command->height;
  h.main_length = static_cast<uint32_t>(views.main.size());
  h.aux_length = static_cast<uint32_t>(views.aux.size());
  h264_forwarded.store(true);
  const auto head = encode_h264_codec_header(h);
  const std::span<const uint8_t> parts[] = {head, views.main, views.aux};
  // The host's decoder paints this area now, not korvane's frame buffer.
  const auto held = changed_only_forget(
      Rect{static_cast<int32_t>(h.left), static_cast<int32_t>(h.top),
           static_cast<int32_t>(h.right - h.left), static_cast<int32_t>(h.bottom - h.top)});
  send_frame_parts(EVT_H264_CODEC, parts);
  return CHANNEL_RC_OK;
}

}  // namespace

UINT surface_command_hook(RdpgfxClientContext* gfx, const RDPGFX_SURFACE_COMMAND* command) {
  if (session.grant.mask & EXT_H264) return forward_tagged(gfx, command, session.grant.h264_codecs);
  if (command->codecId != RDPGFX_CODECID_AVC420 && command->codecId != RDPGFX_CODECID_AVC444)
    return render(gfx, command);
  const std::pair<int32_t, int32_t> origin = surface_origin(command->surfaceId);
  std::span<const uint8_t> data;
  if (command->data && command->length) data = {command->data, command->length};
  // AVC444 goes out whole: the host takes its two streams apart itself.
  if (command->codecId == RDPGFX_CODECID_AVC420) data = data.subspan(avc420_metablock_skip(data));

  h264_forwarded.store(true);
  const auto ox = static_cast<uint32_t>(origin.first);
  const auto oy = static_cast<uint32_t>(origin.second);
  const auto head = encode_h264_header({ox + command->left,
                                        oy + command->top,
                                        ox + command->right,
                                        oy + command->bottom,
                                        command->width,
                                        command->height,
                                        {}});
  const std::span<const uint8_t> parts[] = {head, data};
  const auto held = changed_only_forget(Rect{static_cast<int32_t>(ox + command->left),
                                             static_cast<int32_t>(oy + command->top),
                                             static_cast<int32_t>(command->right - command->left),
                                             static_cast<int32_t>(command->bottom - command->top)});
  send_frame_parts(EVT_H264, parts);
  return CHANNEL_RC_OK;
}

UINT update_surfaces_hook(RdpgfxClientContext* gfx) {
  const bool forwarded = h264_forwarded.exchange(false);
  const auto orig = orig_update_surfaces.load();
  const UINT status = orig ? orig(gfx) : CHANNEL_RC_OK;
  // After H.264 the renderer's invalid area stays marked and goes out with the next update
  // that sends one.
  if (forwarded) return status;
  rdpGdi* gdi = static_cast<rdpGdi*>(gfx->custom);
  if (!gdi || !gdi->context || !gdi->context->update) return status;
  // Another thread may be between BeginPaint and EndPaint: its area is half drawn, and taking
  // it here would leave its EndPaint nothing to send. The paint lock keeps the two apart.
  rdpUpdate* update = gdi->context->update;
  paint_lock(update);
  HGDI_RGN invalid = invalid_region(gdi);
  if (invalid && !invalid->null) {
    // Usually end_paint has already sent and consumed the area: the renderer puts its surfaces
    // on the desktop inside its own BeginPaint/EndPaint. What is still marked was not sent.
    invalid->null = TRUE;
    send_invalid_rect(gdi);
  }
  paint_unlock(update);
  return status;
}

}  // namespace korvane
