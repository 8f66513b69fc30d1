#include "display/codec_memory.hpp"

#include <algorithm>
#include <array>
#include <atomic>

#include <freerdp/channels/rdpgfx.h>
#include <freerdp/codec/clear.h>
#include <freerdp/codec/h264.h>
#include <freerdp/codec/planar.h>
#include <freerdp/codec/progressive.h>
#include <freerdp/graphics.h>
#include <freerdp/settings.h>

#include "platform/diag.hpp"
#include "platform/memory.hpp"

namespace korvane {

namespace {

// A server's planar tiles are 64x64 on the classic path; smaller is never worth a reallocation.
constexpr uint32_t kSmallest = 64;

struct PlanarSlot {
  rdpCodecs* codecs = nullptr;  // the set whose context korvane sized; another set is unknown
  uint32_t width = 0;
  uint32_t height = 0;
};

// Guarded by planar_lock: the slots, and the classic set's planar context while a classic
// bitmap is decoded (main thread, inside the library's update lock: so the lock is never held
// while taking that one). Also taken by the graphics channel's thread, which swaps both sets'
// contexts at its start and resets and sizes its own before each planar command.
std::mutex planar_lock;
std::array<PlanarSlot, 2> slots;

PlanarSlot& slot_of(PlanarUser user) { return slots[user == PlanarUser::bitmaps ? 0 : 1]; }

// The library's context can only grow (its buffers are reallocated, never shrunk), so a small
// one takes its place.
bool replace_context(PlanarSlot& slot, rdpCodecs* codecs, uint32_t width, uint32_t height) {
  BITMAP_PLANAR_CONTEXT* fresh = freerdp_bitmap_planar_context_new(0, width, height);
  if (!fresh) {
    slot = PlanarSlot{};
    return false;
  }
  freerdp_bitmap_planar_context_free(codecs->planar);
  codecs->planar = fresh;
  slot = PlanarSlot{codecs, width, height};
  return true;
}

// Read by planar_bitmap_decompress on the main thread, written once per connection by
// classic_codecs_trim on the same thread before any bitmap arrives.
std::atomic<pBitmap_Decompress> renderer_decompress{nullptr};

BOOL planar_bitmap_decompress(rdpContext* context, rdpBitmap* bitmap, const BYTE* data,
                              UINT32 width, UINT32 height, UINT32 bpp, UINT32 length,
                              BOOL compressed, UINT32 codec_id) {
  const pBitmap_Decompress renderer = renderer_decompress.load();
  if (!renderer) return FALSE;
  // The renderer's planar case: compressed, 32 bits, no surface codec named.
  const bool planar = compressed && bpp == 32 && codec_id != RDP_CODEC_ID_REMOTEFX &&
                      codec_id != RDP_CODEC_ID_IMAGE_REMOTEFX && codec_id != RDP_CODEC_ID_NSCODEC;
  if (!planar || !context->codecs || !context->codecs->planar)
    return renderer(context, bitmap, data, width, height, bpp, length, compressed, codec_id);
  bool ok = false;
  const auto lock =
      planar_fit(PlanarUser::bitmaps, context->codecs, context->settings, width, height, &ok);
  if (!ok) return FALSE;
  return renderer(context, bitmap, data, width, height, bpp, length, compressed, codec_id);
}

}  // namespace

void planar_shrink(PlanarUser user, rdpCodecs* codecs) {
  if (!codecs || !codecs->planar) return;
  {
    std::lock_guard<std::mutex> lock(planar_lock);
    if (!replace_context(slot_of(user), codecs, kSmallest, kSmallest))
      diag("Warning: no memory for a small planar codec context; the library's stays");
  }
  return_free_memory();
}

std::unique_lock<std::mutex> planar_fit(PlanarUser user, rdpCodecs* codecs,
                                        const rdpSettings* settings, uint32_t width,
                                        uint32_t height, bool* ok) {
  std::unique_lock<std::mutex> lock(planar_lock);
  *ok = false;
  if (!codecs || !codecs->planar || !settings) return lock;
  // The library's own context covered the desktop and no more. A bitmap beyond it is a server's
  // error, and growing for it would let one small PDU make korvane zero gigabytes.
  const uint32_t most_w =
      std::max(freerdp_settings_get_uint32(settings, FreeRDP_DesktopWidth), kSmallest);
  const uint32_t most_h =
      std::max(freerdp_settings_get_uint32(settings, FreeRDP_DesktopHeight), kSmallest);
  if (width > most_w || height > most_h) {
    diag("Warning: a %ux%u planar bitmap, larger than the %ux%u desktop, was dropped", width,
         height, most_w, most_h);
    return lock;
  }
  PlanarSlot& slot = slot_of(user);
  const uint32_t w = std::max({width, kSmallest, slot.codecs == codecs ? slot.width : 0});
  const uint32_t h = std::max({height, kSmallest, slot.codecs == codecs ? slot.height : 0});
  if (slot.codecs != codecs) {
    // A set the library made since korvane last looked: sized for the desktop, or more.
    *ok = replace_context(slot, codecs, w, h);
  } else if (w > slot.width || h > slot.height) {
    *ok = freerdp_bitmap_planar_context_reset(codecs->planar, w, h);
    slot = *ok ? PlanarSlot{codecs, w, h} : PlanarSlot{};
  } else {
    *ok = true;
  }
  if (!*ok) diag("Warning: no memory for a %ux%u planar bitmap; it was dropped", width, height);
  return lock;
}

void classic_codecs_trim(rdpContext* context) {
  if (rdpCodecs* codecs = context->codecs) {
    // The library resets these only when present: nothing else of it reaches them in this set.
    progressive_context_free(codecs->progressive);
    codecs->progressive = nullptr;
    clear_context_free(codecs->clear);
    codecs->clear = nullptr;
    h264_context_free(codecs->h264);
    codecs->h264 = nullptr;
  }
  rdpGraphics* graphics = context->graphics;
  if (!graphics || !graphics->Bitmap_Prototype) return;
  rdpBitmap prototype = *graphics->Bitmap_Prototype;
  // A second connection of the process registers again: keep the renderer's decoder, not ours.
  if (prototype.Decompress != planar_bitmap_decompress)
    renderer_decompress.store(prototype.Decompress);
  prototype.Decompress = planar_bitmap_decompress;
  graphics_register_bitmap(graphics, &prototype);
  planar_shrink(PlanarUser::bitmaps, context->codecs);
}

void pipeline_codecs_trim(rdpCodecs* codecs) {
  if (!codecs) return;
  h264_context_free(codecs->h264);
  codecs->h264 = nullptr;
  // The renderer's graphics reset and its surface deletion touch these only when present.
  progressive_context_free(codecs->progressive);
  codecs->progressive = nullptr;
  clear_context_free(codecs->clear);
  codecs->clear = nullptr;
  planar_shrink(PlanarUser::pipeline, codecs);
}

bool pipeline_codec_ready(rdpCodecs* codecs, uint32_t codec_id) {
  if (!codecs) return false;
  if (codec_id == RDPGFX_CODECID_CAPROGRESSIVE && !codecs->progressive) {
    codecs->progressive = progressive_context_new_ex(FALSE, codecs->ThreadingFlags);
    if (!codecs->progressive) diag("Warning: no memory for the progressive codec; update dropped");
    return codecs->progressive != nullptr;
  }
  if (codec_id == RDPGFX_CODECID_CLEARCODEC && !codecs->clear) {
    codecs->clear = clear_context_new(FALSE);
    if (!codecs->clear) diag("Warning: no memory for ClearCodec; update dropped");
    return codecs->clear != nullptr;
  }
  return true;
}

}  // namespace korvane
