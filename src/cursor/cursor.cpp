#include "cursor/cursor.hpp"

#include <map>
#include <mutex>
#include <vector>

#include <freerdp/codec/color.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/graphics.h>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/transport.hpp"
#include "platform/diag.hpp"

namespace korvane {

namespace {

// The library allocates pointers at the prototype's size: the id rides along with each one.
struct KorvanePointer {
  rdpPointer base;
  uint32_t id;
};

struct Shape {
  CursorShapeHeader header;
  std::vector<uint8_t> rgba;
};

enum class CursorKind { unset, shape, hidden, system_default };

// Guarded by cursor_lock: written by the pointer callbacks (main thread), read by
// CMD_CURSOR_STATE (input thread). The lock is held while the events go out, so that a resent
// state can never overtake a newer one on the wire; it is taken before the write lock, never
// after.
std::mutex cursor_lock;
std::map<uint32_t, Shape> shapes;
uint32_t next_id = 1;
CursorKind kind = CursorKind::unset;
uint32_t current = 0;
bool current_freed = false;  // the library freed the shape in use: dropped once it is replaced
bool has_position = false;
uint32_t pos_x = 0, pos_y = 0;

void send_shape(const Shape& s) {
  const auto head = encode_cursor_shape_header(s.header);
  const std::span<const uint8_t> parts[] = {head, s.rgba};
  send_frame_parts(EVT_CURSOR_SHAPE, parts);
}

void send_use(uint32_t id) { send_frame(EVT_CURSOR_USE, encode_cursor_use(id)); }

void leave_shape_locked(CursorKind next) {
  if (kind == CursorKind::shape && current_freed) shapes.erase(current);
  current_freed = false;
  kind = next;
}

BOOL pointer_new(rdpContext* context, rdpPointer* pointer) {
  auto* kp = reinterpret_cast<KorvanePointer*>(pointer);
  Shape s;
  s.header.hotspot_x = pointer->xPos;
  s.header.hotspot_y = pointer->yPos;
  s.header.width = pointer->width;
  s.header.height = pointer->height;
  const uint64_t bytes = uint64_t{pointer->width} * pointer->height * 4;
  // The protocol allows 384x384 at most; anything larger is not a pointer the server can mean.
  if (pointer->width > 384 || pointer->height > 384) {
    diag("Warning: pointer of %ux%u ignored", pointer->width, pointer->height);
    s.header.width = s.header.height = 0;
  } else if (bytes) {
    s.rgba.resize(static_cast<size_t>(bytes));
    const gdiPalette* palette = context->gdi ? &context->gdi->palette : nullptr;
    if (!freerdp_image_copy_from_pointer_data(
            s.rgba.data(), PIXEL_FORMAT_RGBA32, pointer->width * 4, 0, 0, pointer->width,
            pointer->height, pointer->xorMaskData, pointer->lengthXorMask, pointer->andMaskData,
            pointer->lengthAndMask, pointer->xorBpp, palette)) {
      diag("Warning: a pointer shape could not be converted; sent fully transparent");
      std::fill(s.rgba.begin(), s.rgba.end(), uint8_t{0});
    }
  }
  std::lock_guard<std::mutex> lock(cursor_lock);
  kp->id = next_id++;
  s.header.id = kp->id;
  send_shape(s);
  shapes[kp->id] = std::move(s);
  return TRUE;
}

void pointer_free(rdpContext*, rdpPointer* pointer) {
  auto* kp = reinterpret_cast<KorvanePointer*>(pointer);
  std::lock_guard<std::mutex> lock(cursor_lock);
  // The shape in use stays: the host may ask for it again until the server sets another.
  if (kind == CursorKind::shape && current == kp->id)
    current_freed = true;
  else
    shapes.erase(kp->id);
}

BOOL pointer_set(rdpContext*, rdpPointer* pointer) {
  const uint32_t id = reinterpret_cast<KorvanePointer*>(pointer)->id;
  std::lock_guard<std::mutex> lock(cursor_lock);
  if (!(kind == CursorKind::shape && current == id)) leave_shape_locked(CursorKind::shape);
  current = id;
  send_use(id);
  return TRUE;
}

BOOL pointer_set_null(rdpContext*) {
  std::lock_guard<std::mutex> lock(cursor_lock);
  leave_shape_locked(CursorKind::hidden);
  send_frame(EVT_CURSOR_HIDDEN);
  return TRUE;
}

BOOL pointer_set_default(rdpContext*) {
  std::lock_guard<std::mutex> lock(cursor_lock);
  leave_shape_locked(CursorKind::system_default);
  send_frame(EVT_CURSOR_DEFAULT);
  return TRUE;
}

BOOL pointer_set_position(rdpContext*, UINT32 x, UINT32 y) {
  std::lock_guard<std::mutex> lock(cursor_lock);
  has_position = true;
  pos_x = x;
  pos_y = y;
  send_frame(EVT_CURSOR_POSITION, encode_size(x, y));
  return TRUE;
}

}  // namespace

void cursor_register(rdpContext* context) {
  rdpPointer prototype{};
  prototype.size = sizeof(KorvanePointer);
  prototype.New = pointer_new;
  prototype.Free = pointer_free;
  prototype.Set = pointer_set;
  prototype.SetNull = pointer_set_null;
  prototype.SetDefault = pointer_set_default;
  prototype.SetPosition = pointer_set_position;
  graphics_register_pointer(context->graphics, &prototype);
}

void cursor_resend() {
  std::lock_guard<std::mutex> lock(cursor_lock);
  switch (kind) {
    case CursorKind::shape: {
      const auto it = shapes.find(current);
      if (it != shapes.end()) send_shape(it->second);
      send_use(current);
      break;
    }
    case CursorKind::hidden: send_frame(EVT_CURSOR_HIDDEN); break;
    case CursorKind::unset:
    case CursorKind::system_default: send_frame(EVT_CURSOR_DEFAULT); break;
  }
  if (has_position) send_frame(EVT_CURSOR_POSITION, encode_size(pos_x, pos_y));
}

void cursor_reset() {
  std::lock_guard<std::mutex> lock(cursor_lock);
  shapes.clear();
  next_id = 1;
  kind = CursorKind::unset;
  current = 0;
  current_freed = false;
  has_position = false;
}

}  // namespace korvane
