// The graphics pipeline ("Microsoft::Windows::RDS::Graphics"), driven through FreeRDP's
// server-side context. Nothing of it runs unless a script uses a gfx step: the channel is opened
// by gfx-open only.
//
// Every step that sends a frame waits (up to 10 s) for the client to acknowledge it. A client
// acknowledges a frame after it has handled the whole frame, so once a step's line is logged,
// everything the client did with that frame is done.
//
//   gfx-open                     open the channel (after the dynamic channels are up), confirm the
//                                newest capability set the client advertises with H.264 allowed,
//                                reset the graphics to the desktop size, and send an empty frame.
//                                Logs GFX-CAPS advertised=.. confirmed=.. and
//                                GFX-OPEN version=0x.. flags=0x.. width=W height=H
//   gfx-close                    close the channel. Logs GFX-CLOSED
//   gfx-reopen                   gfx-close then gfx-open
//   gfx-surface ID W H           create a 32-bit surface without alpha
//   gfx-map ID X Y               place it on the desktop
//   gfx-delete ID                delete it
//   gfx-avc420 ID L T R B SEED   AVC420 command over L,T,R,B (right and bottom exclusive): the
//                                picture smooth_picture(SEED) of that size, encoded for real. One
//                                encoder per surface and size, so later commands are predicted from
//                                earlier ones as in a real stream.
//   gfx-avc444 ID L T R B SEED   the same as an AVC444 command
//   gfx-avc444v2 ID SEED         AVC444v2 over the whole surface. The client's renderer decodes it;
//                                the server decodes it too, with the same library, to know what
//                                the client shows.
//   gfx-planar ID X Y W H SEED   planar command carrying picture_pattern(SEED)
//   gfx-uncompressed ID X Y W H SEED
//   gfx-fill ID X Y W H RRGGBB   solid fill. Logs GFX-FILL step=N frame=F surface=S rect=L,T,R,B
//                                shows=X,Y,W,H
//   gfx-empty                    a frame without commands. Logs GFX-EMPTY step=N frame=F
//   gfx-frame-begin              the commands of the steps up to gfx-frame-end go into one frame
//                                (those steps then do not wait; gfx-frame-end does)
//   gfx-frame-end                Logs GFX-FRAME step=N frame=F
//   gfx-stream N ID [MODE]       N AVC420 frames of the whole surface ID (a moving picture), all
//                                encoded first, then sent with at most 3 frames unacknowledged.
//                                MODE avc444v2-main sends the very same bitstreams and region
//                                metablocks as the main view of AVC444v2 commands (which a client
//                                decodes itself). Logs GFX-STREAM-START frames=N bytes=B before
//                                the first and GFX-STREAM frames=N bytes=B ms=T after the last
//                                acknowledgement; B counts the commands' bitmap data.
//   gfx-raw-bad ID X Y SEED      with the FreeRDP context closed, opens the channel by hand (a
//                                64x64 surface ID mapped at X,Y) to write PDUs FreeRDP's server
//                                API cannot build: commands whose declared sizes run past their
//                                data, empty ones, an unknown codec. A client closes the channel
//                                on a PDU it cannot parse, so each case gets a channel of its own;
//                                logged GFX-RAW case=NAME outcome=acked|closed bytes=B hex=H.
//                                Then a valid 64x64 AVC420 command of SEED on one more channel
//                                (logged like gfx-avc420), and GFX-RAW-CLOSED.
//
// Each command is logged as
//   GFX-CMD step=N frame=F codec=C surface=S rect=L,T,R,B meta=M bytes=B sha256=H [shows=X,Y,W,H]
// where bytes and sha256 describe the command's bitmap data as sent, meta is the size of the
// AVC420 region metablock at its start (0 for other codecs) and shows is the desktop area the
// client's renderer repaints for it. With --dump-dir, the bitmap data is written to
// gfx-N.data and, for H.264 commands, the encoded picture to gfx-N.rgba (RGBA rows).
//
// The session's picture follows what the client's renderer shows: the commands it decodes are
// drawn into it (the H.264 ones korvane passes on are not), so `dump` can be compared with the
// client's frame buffer.
#include "gfx.hpp"
#include "peer.hpp"

#include <freerdp/channels/rdpgfx.h>
#include <freerdp/codec/color.h>
#include <freerdp/codec/h264.h>
#include <freerdp/codec/planar.h>
#include <freerdp/codec/zgfx.h>
#include <freerdp/server/rdpgfx.h>
#include <winpr/stream.h>
#include <winpr/wtsapi.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

namespace kts {
namespace {

constexpr std::chrono::milliseconds open_timeout{10000};
constexpr std::chrono::milliseconds ack_timeout{10000};
constexpr std::uint32_t encoder_qp = 18;
constexpr std::size_t stream_window = 3;
constexpr std::uint32_t max_stream_frames = 100000;

// ---------------------------------------------------------------- helpers

bool parse_u16(const std::string& text, std::uint16_t& out) {
  std::uint32_t v = 0;
  if (!parse_u32(text, v) || v > 0xFFFF) return false;
  out = static_cast<std::uint16_t>(v);
  return true;
}

std::string sha256_hex(const std::vector<std::uint8_t>& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!EVP_Digest(data.data(), data.size(), md, &size, EVP_sha256(), nullptr)) return "none";
  return to_hex(md, size);
}

std::string rect_text(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," +
         std::to_string(d);
}

std::string hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A picture H.264 carries well: triangle waves across and down whose slopes and phases come from
// the seed, and a block of flat colour whose place does, so that consecutive seeds make a moving
// picture.
//   tri(v) = v mod 512 if that is below 256, else 511 - v mod 512
//   R = tri(x * (1 + seed mod 2) + 11 seed), G = tri(y * (1 + (seed / 2) mod 2) + 7 seed),
//   B = tri((x + y) / 2 + 5 seed), A = 255;
//   inside the block (bw x bh = w/4 x h/4 at ((13 seed) mod (w - bw), (7 seed) mod (h - bh)),
//   all four rounded down to even numbers): R = 40, G = 200, B = 120.
std::vector<std::uint8_t> smooth_picture(std::uint32_t w, std::uint32_t h, std::uint32_t seed) {
  auto tri = [](std::uint64_t v) {
    const std::uint64_t m = v % 512;
    return static_cast<std::uint8_t>(m < 256 ? m : 511 - m);
  };
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(w) * h * 4);
  // Even edges: the encoder takes one chroma sample for each 2x2 block, so an edge through a
  // block would colour a whole line of pixels wrongly, as it would on any such stream.
  const std::uint32_t bw = w / 4 & ~1U, bh = h / 4 & ~1U;
  const std::uint32_t bx = w > bw ? (13 * seed) % (w - bw) & ~1U : 0;
  const std::uint32_t by = h > bh ? (7 * seed) % (h - bh) & ~1U : 0;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * w + x) * 4];
      if (x >= bx && x < bx + bw && y >= by && y < by + bh) {
        p[0] = 40;
        p[1] = 200;
        p[2] = 120;
      } else {
        p[0] = tri(static_cast<std::uint64_t>(x) * (1 + seed % 2) + 11ULL * seed);
        p[1] = tri(static_cast<std::uint64_t>(y) * (1 + (seed / 2) % 2) + 7ULL * seed);
        p[2] = tri((static_cast<std::uint64_t>(x) + y) / 2 + 5ULL * seed);
      }
      p[3] = 255;
    }
  }
  return rgba;
}

std::vector<std::uint8_t> noise_picture(std::uint32_t w, std::uint32_t h, std::uint32_t seed) {
  Picture tmp;
  picture_reset(tmp, w, h);
  picture_pattern(tmp, {0, 0, w, h}, seed);
  return tmp.rgba;
}

struct H264Free {
  void operator()(H264_CONTEXT* c) const { h264_context_free(c); }
};
using H264Ptr = std::unique_ptr<H264_CONTEXT, H264Free>;

struct PlanarFree {
  void operator()(BITMAP_PLANAR_CONTEXT* c) const { freerdp_bitmap_planar_context_free(c); }
};

struct ZgfxFree {
  void operator()(ZGFX_CONTEXT* c) const { zgfx_context_free(c); }
};

// A region metablock the encoder filled in; freed with it.
struct Meta {
  RDPGFX_H264_METABLOCK m{};
  Meta() = default;
  Meta(const Meta&) = delete;
  Meta& operator=(const Meta&) = delete;
  Meta(Meta&& other) noexcept : m(other.m) { other.m = {}; }
  Meta& operator=(Meta&& other) noexcept {
    if (this != &other) {
      free_h264_metablock(&m);
      m = other.m;
      other.m = {};
    }
    return *this;
  }
  ~Meta() { free_h264_metablock(&m); }
};

// The metablock as FreeRDP's server writes it: count, rectangles, then qp|r<<6|p<<7 and quality.
void append_metablock(std::vector<std::uint8_t>& out, const RDPGFX_H264_METABLOCK& meta) {
  put32(out, meta.numRegionRects);
  for (UINT32 i = 0; i < meta.numRegionRects; ++i) {
    put16(out, meta.regionRects[i].left);
    put16(out, meta.regionRects[i].top);
    put16(out, meta.regionRects[i].right);
    put16(out, meta.regionRects[i].bottom);
  }
  for (UINT32 i = 0; i < meta.numRegionRects; ++i) {
    const RDPGFX_H264_QUANT_QUALITY& q = meta.quantQualityVals[i];
    out.push_back(static_cast<std::uint8_t>(q.qp | (q.r << 6) | (q.p << 7)));
    out.push_back(q.qualityVal);
  }
}

std::size_t metablock_size(const RDPGFX_H264_METABLOCK& meta) {
  return 4 + 10 * static_cast<std::size_t>(meta.numRegionRects);
}

H264Ptr new_encoder(std::uint32_t w, std::uint32_t h) {
  H264Ptr enc(h264_context_new(TRUE));
  if (!enc || !h264_context_reset(enc.get(), w, h)) return {};
  if (!h264_context_set_option(enc.get(), H264_CONTEXT_OPTION_RATECONTROL, H264_RATECONTROL_CQP) ||
      !h264_context_set_option(enc.get(), H264_CONTEXT_OPTION_QP, encoder_qp))
    return {};
  return enc;
}

// ---------------------------------------------------------------- state

struct Encoder {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  H264Ptr h264;
};

struct Surface {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool mapped = false;
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::vector<std::uint8_t> rgba;           // what the client's renderer holds for it
  std::map<std::string, Encoder> encoders;  // by codec
  H264Ptr reference;                        // decodes as the client's renderer does
};

struct GfxState {
  std::mutex mutex;
  std::condition_variable cv;
  // Guarded by mutex.
  bool dynamic_ready = false;
  RdpgfxServerContext* context = nullptr;  // owned; freed in close_context
  bool open = false;
  std::optional<RDPGFX_CAPSET> confirmed;
  std::string caps_error;
  std::uint32_t acked = 0;  // the newest frame the client acknowledged

  // Scenario thread only.
  std::uint32_t next_frame = 0;
  std::optional<std::uint32_t> batch;  // the frame gfx-frame-begin opened
  std::map<std::uint16_t, Surface> surfaces;

  GfxState() = default;
  GfxState(const GfxState&) = delete;
  GfxState& operator=(const GfxState&) = delete;
  ~GfxState() {
    if (context) rdpgfx_server_context_free(context);
  }
};

std::shared_ptr<GfxState> gfx_state(Session& s) { return session_slot<GfxState>(s, "gfx"); }

Session& session_of_gfx(RdpgfxServerContext* context) {
  return *static_cast<Session*>(context->custom);
}

// ---------------------------------------------------------------- the client's messages
// These run on the thread FreeRDP's context reads the channel with.

UINT on_caps_advertise(RdpgfxServerContext* context, const RDPGFX_CAPS_ADVERTISE_PDU* pdu) {
  Session& s = session_of_gfx(context);
  auto st = gfx_state(s);
  RDPGFX_CAPSET best{};
  std::string advertised;
  for (UINT16 i = 0; i < pdu->capsSetCount; ++i) {
    const RDPGFX_CAPSET& c = pdu->capsSets[i];
    advertised += (advertised.empty() ? "" : ",") + hex32(c.version) + "/" + hex32(c.flags);
    if (c.version > best.version) best = c;
  }
  if (best.version == 0) {
    std::scoped_lock lock(st->mutex);
    st->caps_error = "the client advertised no capability set";
    st->cv.notify_all();
    return ERROR_INVALID_DATA;
  }
  best.flags &= ~RDPGFX_CAPS_FLAG_AVC_DISABLED;
  if (best.version == RDPGFX_CAPVERSION_81) best.flags |= RDPGFX_CAPS_FLAG_AVC420_ENABLED;
  RDPGFX_CAPS_CONFIRM_PDU confirm{&best};
  const UINT rc = context->CapsConfirm(context, &confirm);
  log_line("GFX-CAPS advertised=" + advertised + " confirmed=" + hex32(best.version) + "/" +
           hex32(best.flags));
  std::scoped_lock lock(st->mutex);
  if (rc == CHANNEL_RC_OK)
    st->confirmed = best;
  else
    st->caps_error = "CapsConfirm failed: " + std::to_string(rc);
  st->cv.notify_all();
  return rc;
}

UINT on_frame_ack(RdpgfxServerContext* context, const RDPGFX_FRAME_ACKNOWLEDGE_PDU* pdu) {
  auto st = gfx_state(session_of_gfx(context));
  std::scoped_lock lock(st->mutex);
  st->acked = std::max(st->acked, pdu->frameId);
  st->cv.notify_all();
  return CHANNEL_RC_OK;
}

// ---------------------------------------------------------------- frames

bool wait_ack(Session& s, GfxState& st, std::uint32_t frame) {
  std::unique_lock lock(st.mutex);
  return st.cv.wait_for(lock, ack_timeout, [&] {
    return st.acked >= frame || s.stop.load() || !st.context;
  }) && st.acked >= frame;
}

std::uint32_t timestamp_now() { return static_cast<std::uint32_t>(monotonic_ns() / 1000000ULL); }

// Sends StartFrame, what `body` sends, EndFrame, and waits for the acknowledgement.
std::string send_frame(Session& s, GfxState& st, RdpgfxServerContext* context,
                       const std::function<std::string(std::uint32_t)>& body,
                       std::uint32_t* frame_out = nullptr) {
  if (st.batch) {
    if (frame_out) *frame_out = *st.batch;
    return body(*st.batch);
  }
  const std::uint32_t frame = ++st.next_frame;
  const RDPGFX_START_FRAME_PDU start{timestamp_now(), frame};
  if (const UINT rc = context->StartFrame(context, &start); rc != CHANNEL_RC_OK)
    return "StartFrame failed: " + std::to_string(rc);
  if (std::string e = body(frame); !e.empty()) return e;
  const RDPGFX_END_FRAME_PDU end{frame};
  if (const UINT rc = context->EndFrame(context, &end); rc != CHANNEL_RC_OK)
    return "EndFrame failed: " + std::to_string(rc);
  if (frame_out) *frame_out = frame;
  if (!wait_ack(s, st, frame))
    return "frame " + std::to_string(frame) + " not acknowledged within 10 s";
  return {};
}

// ---------------------------------------------------------------- channel life

std::string on_dynamic_ready(Session& s) {
  auto st = gfx_state(s);
  std::scoped_lock lock(st->mutex);
  st->dynamic_ready = true;
  st->cv.notify_all();
  return {};
}

// Stops the context's thread and frees it. The thread takes st->mutex in its callbacks, so the
// mutex is not held while it is joined.
void close_context(GfxState& st) {
  RdpgfxServerContext* context = nullptr;
  {
    std::scoped_lock lock(st.mutex);
    context = st.context;
    st.context = nullptr;
    st.open = false;
    st.confirmed.reset();
    st.cv.notify_all();
  }
  if (context) rdpgfx_server_context_free(context);
  st.surfaces.clear();
  st.batch.reset();
}

void on_close(Session& s) { close_context(*gfx_state(s)); }

bool wait_dynamic_ready(Session& s, GfxState& st) {
  std::unique_lock lock(st.mutex);
  return st.cv.wait_for(lock, open_timeout, [&] { return st.dynamic_ready || s.stop.load(); }) &&
         st.dynamic_ready;
}

std::string desktop_size(Session& s, std::uint32_t& w, std::uint32_t& h) {
  std::scoped_lock lock(s.picture_mutex);
  w = s.picture.width;
  h = s.picture.height;
  return w && h ? std::string{} : "no desktop";
}

std::string run_open(Session& s, const Step&) {
  if (!wait_active(s, open_timeout)) return "peer not active";
  auto st = gfx_state(s);
  if (!wait_dynamic_ready(s, *st)) return "the dynamic channels did not come up within 10 s";
  {
    std::scoped_lock lock(st->mutex);
    if (st->open) return "the graphics pipeline is already open";
    st->confirmed.reset();
    st->caps_error.clear();
  }
  RdpgfxServerContext* context = rdpgfx_server_context_new(s.vcm);
  if (!context) return "rdpgfx_server_context_new failed";
  context->custom = &s;
  context->rdpcontext = s.peer->context;
  context->CapsAdvertise = on_caps_advertise;
  context->FrameAcknowledge = on_frame_ack;
  {
    std::scoped_lock lock(st->mutex);
    st->context = context;
  }
  bool opened = false;
  {
    // Opening registers a channel with the manager the peer thread works on.
    auto io = lock_io(s);
    opened = context->Open(context) != FALSE;
  }
  std::optional<RDPGFX_CAPSET> caps;
  std::string error = opened ? std::string{} : "the graphics channel did not open";
  if (opened) {
    std::unique_lock lock(st->mutex);
    st->cv.wait_for(lock, open_timeout,
                    [&] { return st->confirmed || !st->caps_error.empty() || s.stop.load(); });
    if (!st->caps_error.empty())
      error = st->caps_error;
    else if (!st->confirmed)
      error = "no capabilities from the client within 10 s";
    caps = st->confirmed;
    st->open = error.empty();
  }
  if (!error.empty()) {
    auto io = lock_io(s);
    close_context(*st);
    return error;
  }
  std::uint32_t w = 0, h = 0;
  if (std::string e = desktop_size(s, w, h); !e.empty()) return e;
  MONITOR_DEF monitor{0, 0, static_cast<INT32>(w) - 1, static_cast<INT32>(h) - 1, 1};
  RDPGFX_RESET_GRAPHICS_PDU reset{w, h, 1, &monitor};
  if (const UINT rc = context->ResetGraphics(context, &reset); rc != CHANNEL_RC_OK)
    return "ResetGraphics failed: " + std::to_string(rc);
  st->surfaces.clear();
  // An empty frame behind the reset: once it is acknowledged, the client has applied the reset,
  // so nothing a later step sends outside the pipeline can overtake it.
  st->batch.reset();
  if (std::string e = send_frame(s, *st, context, [](std::uint32_t) { return std::string{}; });
      !e.empty())
    return e;
  log_line("GFX-OPEN version=" + hex32(caps->version) + " flags=" + hex32(caps->flags) +
           " width=" + std::to_string(w) + " height=" + std::to_string(h));
  return {};
}

std::string run_close(Session& s, const Step&) {
  auto st = gfx_state(s);
  {
    std::scoped_lock lock(st->mutex);
    if (!st->context) return "the graphics pipeline is not open";
  }
  {
    auto io = lock_io(s);
    close_context(*st);
  }
  log_line("GFX-CLOSED");
  return {};
}

std::string run_reopen(Session& s, const Step& step) {
  if (std::string e = run_close(s, step); !e.empty()) return e;
  return run_open(s, step);
}

// The session's graphics state and its open context; the context is null, with the reason in
// `error`, when the channel is not open.
struct Open {
  std::shared_ptr<GfxState> st;
  RdpgfxServerContext* context = nullptr;
  std::string error;
};

Open open_channel(Session& s) {
  Open o;
  o.st = gfx_state(s);
  std::scoped_lock lock(o.st->mutex);
  if (o.st->context && o.st->open)
    o.context = o.st->context;
  else
    o.error = "the graphics pipeline is not open (gfx-open)";
  return o;
}

std::string dump_path(Session& s, const Step& step, const char* suffix) {
  const std::string& dir = s.options->dump_dir;
  if (dir.empty()) return {};
  return dir + "/gfx-" + std::to_string(step.index) + suffix;
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  return static_cast<bool>(out);
}

// Logs a command and writes its dump files.
std::string note_command(Session& s, const Step& step, std::uint32_t frame, std::uint32_t codec,
                         std::uint16_t surface, std::uint32_t l, std::uint32_t t, std::uint32_t r,
                         std::uint32_t b, std::size_t meta, const std::vector<std::uint8_t>& data,
                         const std::vector<std::uint8_t>* picture, const std::string& shows) {
  if (const std::string path = dump_path(s, step, ".data"); !path.empty()) {
    if (!write_file(path, data)) return "cannot write " + path;
    if (picture) {
      const std::string pic = dump_path(s, step, ".rgba");
      if (!write_file(pic, *picture)) return "cannot write " + pic;
    }
  }
  std::string line = "GFX-CMD step=" + std::to_string(step.index) +
                     " frame=" + std::to_string(frame) + " codec=" + std::to_string(codec) +
                     " surface=" + std::to_string(surface) + " rect=" + rect_text(l, t, r, b) +
                     " meta=" + std::to_string(meta) + " bytes=" + std::to_string(data.size()) +
                     " sha256=" + sha256_hex(data);
  if (!shows.empty()) line += " shows=" + shows;
  log_line(line);
  return {};
}

// ---------------------------------------------------------------- the renderer's picture

// Copies the surface area to the session's picture where the surface is mapped, as the client's
// renderer copies the areas a frame changed to its frame buffer. Returns the desktop area as
// "x,y,w,h", empty when nothing shows.
std::string show_area(Session& s, const Surface& sf, std::uint32_t l, std::uint32_t t,
                      std::uint32_t r, std::uint32_t b) {
  if (!sf.mapped) return {};
  r = std::min(r, sf.width);
  b = std::min(b, sf.height);
  if (l >= r || t >= b) return {};
  std::scoped_lock lock(s.picture_mutex);
  Picture& pic = s.picture;
  const std::uint64_t x0 = static_cast<std::uint64_t>(sf.x) + l;
  const std::uint64_t y0 = static_cast<std::uint64_t>(sf.y) + t;
  if (x0 >= pic.width || y0 >= pic.height) return {};
  const std::uint32_t w =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(r - l, pic.width - x0));
  const std::uint32_t h =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(b - t, pic.height - y0));
  for (std::uint32_t row = 0; row < h; ++row) {
    const std::uint8_t* src = &sf.rgba[(static_cast<std::size_t>(t + row) * sf.width + l) * 4];
    std::uint8_t* dst = &pic.rgba[((y0 + row) * pic.width + x0) * 4];
    std::memcpy(dst, src, static_cast<std::size_t>(w) * 4);
  }
  return rect_text(static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y0), w, h);
}

// The bounding box of several "x,y,w,h" areas, as one update's rectangle.
std::string bounding(const std::vector<std::string>& areas) {
  bool any = false;
  std::uint64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  for (const std::string& a : areas) {
    unsigned x = 0, y = 0, w = 0, h = 0;
    if (std::sscanf(a.c_str(), "%u,%u,%u,%u", &x, &y, &w, &h) != 4) continue;
    if (!any) {
      x0 = x, y0 = y, x1 = x + static_cast<std::uint64_t>(w),
      y1 = y + static_cast<std::uint64_t>(h);
      any = true;
    } else {
      x0 = std::min<std::uint64_t>(x0, x);
      y0 = std::min<std::uint64_t>(y0, y);
      x1 = std::max<std::uint64_t>(x1, x + static_cast<std::uint64_t>(w));
      y1 = std::max<std::uint64_t>(y1, y + static_cast<std::uint64_t>(h));
    }
  }
  if (!any) return {};
  return rect_text(static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y0),
                   static_cast<std::uint32_t>(x1 - x0), static_cast<std::uint32_t>(y1 - y0));
}

void put_pixels(Surface& sf, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
                const std::vector<std::uint8_t>& rgba) {
  for (std::uint32_t row = 0; row < h; ++row)
    std::memcpy(&sf.rgba[(static_cast<std::size_t>(y + row) * sf.width + x) * 4],
                &rgba[static_cast<std::size_t>(row) * w * 4], static_cast<std::size_t>(w) * 4);
}

// ---------------------------------------------------------------- surface steps

// A surface id and two numbers (a size or an origin), as gfx-surface and gfx-map take them.
struct IdPair {
  std::uint16_t id = 0;
  std::uint32_t a = 0, b = 0;
};

bool parse_id_pair(const Step& step, IdPair& out) {
  return parse_u16(step.args[0], out.id) && parse_u32(step.args[1], out.a) &&
         parse_u32(step.args[2], out.b);
}

std::string check_surface(const Step& step) {
  IdPair p;
  if (!parse_id_pair(step, p)) return "bad surface";
  if (p.a == 0 || p.b == 0 || p.a > 8192 || p.b > 8192) return "surface size out of range 1..8192";
  return {};
}

std::string run_surface(Session& s, const Step& step) {
  IdPair p;
  parse_id_pair(step, p);
  const std::uint16_t id = p.id;
  const std::uint32_t w = p.a, h = p.b;
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  const RDPGFX_CREATE_SURFACE_PDU pdu{id, static_cast<UINT16>(w), static_cast<UINT16>(h),
                                      GFX_PIXEL_FORMAT_XRGB_8888};
  if (const UINT rc = context->CreateSurface(context, &pdu); rc != CHANNEL_RC_OK)
    return "CreateSurface failed: " + std::to_string(rc);
  Surface sf;
  sf.width = w;
  sf.height = h;
  // The renderer starts a surface out white.
  sf.rgba.assign(static_cast<std::size_t>(w) * h * 4, 0xFF);
  st->surfaces[id] = std::move(sf);
  return {};
}

std::string check_map(const Step& step) {
  IdPair p;
  return parse_id_pair(step, p) ? std::string{} : "bad mapping";
}

std::string run_map(Session& s, const Step& step) {
  IdPair p;
  parse_id_pair(step, p);
  const std::uint16_t id = p.id;
  const std::uint32_t x = p.a, y = p.b;
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  const RDPGFX_MAP_SURFACE_TO_OUTPUT_PDU pdu{id, 0, x, y};
  if (const UINT rc = context->MapSurfaceToOutput(context, &pdu); rc != CHANNEL_RC_OK)
    return "MapSurfaceToOutput failed: " + std::to_string(rc);
  if (auto it = st->surfaces.find(id); it != st->surfaces.end()) {
    it->second.mapped = true;
    it->second.x = x;
    it->second.y = y;
  }
  return {};
}

std::string check_id(const Step& step) {
  std::uint16_t id = 0;
  return parse_u16(step.args[0], id) ? std::string{} : "bad surface id";
}

std::string run_delete(Session& s, const Step& step) {
  std::uint16_t id = 0;
  parse_u16(step.args[0], id);
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  const RDPGFX_DELETE_SURFACE_PDU pdu{id};
  if (const UINT rc = context->DeleteSurface(context, &pdu); rc != CHANNEL_RC_OK)
    return "DeleteSurface failed: " + std::to_string(rc);
  st->surfaces.erase(id);
  return {};
}

// ---------------------------------------------------------------- H.264 steps

// A surface id, then four numbers up to 0xFFFF into `v`.
std::string check_id_rect(const Step& step, std::uint32_t (&v)[4]) {
  std::uint16_t id = 0;
  if (!parse_u16(step.args[0], id)) return "bad surface id";
  for (std::size_t i = 0; i < 4; ++i)
    if (!parse_u32(step.args[1 + i], v[i]) || v[i] > 0xFFFF) return "bad rectangle";
  return {};
}

std::string check_h264_rect(const Step& step) {
  std::uint32_t v[4] = {};
  std::uint32_t seed = 0;
  if (std::string e = check_id_rect(step, v); !e.empty()) return e;
  if (v[2] <= v[0] || v[3] <= v[1]) return "empty rectangle";
  if ((v[2] - v[0]) % 2 || (v[3] - v[1]) % 2) return "H.264 pictures need even sizes";
  if (!parse_seed(step.args[5], seed)) return "bad seed";
  return {};
}

struct H264Rect {
  std::uint16_t id = 0;
  std::uint32_t l = 0, t = 0, r = 0, b = 0;
  std::uint32_t seed = 0;
};

H264Rect h264_rect(const Step& step) {
  H264Rect a;
  parse_u16(step.args[0], a.id);
  parse_u32(step.args[1], a.l);
  parse_u32(step.args[2], a.t);
  parse_u32(step.args[3], a.r);
  parse_u32(step.args[4], a.b);
  parse_seed(step.args[5], a.seed);
  return a;
}

// The surface's encoder for `codec` at w x h, made anew when the size changes.
H264_CONTEXT* encoder_for(Surface& sf, const std::string& codec, std::uint32_t w, std::uint32_t h) {
  Encoder& e = sf.encoders[codec];
  if (!e.h264 || e.width != w || e.height != h) {
    e.h264 = new_encoder(w, h);
    e.width = w;
    e.height = h;
  }
  return e.h264.get();
}

RDPGFX_SURFACE_COMMAND surface_command(std::uint16_t id, std::uint32_t codec, std::uint32_t l,
                                       std::uint32_t t, std::uint32_t r, std::uint32_t b) {
  RDPGFX_SURFACE_COMMAND cmd{};
  cmd.surfaceId = id;
  cmd.codecId = codec;
  cmd.format = PIXEL_FORMAT_BGRX32;
  cmd.left = l;
  cmd.top = t;
  cmd.right = r;
  cmd.bottom = b;
  cmd.width = r - l;
  cmd.height = b - t;
  return cmd;
}

// One AVC420 picture, encoded.
struct Avc420 {
  Meta meta;
  std::vector<std::uint8_t> bitstream;
};

std::string encode_avc420(H264_CONTEXT* enc, const std::vector<std::uint8_t>& rgba, std::uint32_t w,
                          std::uint32_t h, Avc420& out) {
  const RECTANGLE_16 region{0, 0, static_cast<UINT16>(w), static_cast<UINT16>(h)};
  BYTE* data = nullptr;
  UINT32 size = 0;
  const INT32 rc = avc420_compress(enc, rgba.data(), PIXEL_FORMAT_RGBA32, w * 4, w, h, &region,
                                   &data, &size, &out.meta.m);
  if (rc < 0) return "avc420_compress failed: " + std::to_string(rc);
  if (rc == 0 || !data || size == 0)
    return "the encoder found nothing new to send (repeat a seed?)";
  out.bitstream.assign(data, data + size);
  return {};
}

std::vector<std::uint8_t> avc420_wire(const Avc420& a) {
  std::vector<std::uint8_t> wire;
  append_metablock(wire, a.meta.m);
  wire.insert(wire.end(), a.bitstream.begin(), a.bitstream.end());
  return wire;
}

Surface* find_surface(GfxState& st, std::uint16_t id, std::string& error) {
  auto it = st.surfaces.find(id);
  if (it == st.surfaces.end()) {
    error = "no surface " + std::to_string(id) + " (gfx-surface)";
    return nullptr;
  }
  return &it->second;
}

// What an AVC420 or AVC444 step needs before it encodes: the open channel, the surface, the
// surface's encoder for the command's size, and the picture to encode.
struct H264Setup {
  std::shared_ptr<GfxState> st;
  RdpgfxServerContext* context = nullptr;
  H264_CONTEXT* enc = nullptr;
  std::uint32_t w = 0, h = 0;
  std::vector<std::uint8_t> picture;
};

std::string prepare_h264(Session& s, const H264Rect& a, const char* codec, H264Setup& out) {
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  out.st = st;
  out.context = context;
  Surface* sf = find_surface(*out.st, a.id, error);
  if (!sf) return error;
  out.w = a.r - a.l;
  out.h = a.b - a.t;
  out.enc = encoder_for(*sf, codec, out.w, out.h);
  if (!out.enc) return "cannot make an H.264 encoder";
  out.picture = smooth_picture(out.w, out.h, a.seed);
  return {};
}

// One surface command in a frame of its own, acknowledged.
std::string send_surface_command(Session& s, GfxState& st, RdpgfxServerContext* context,
                                 const RDPGFX_SURFACE_COMMAND& cmd, std::uint32_t& frame) {
  return send_frame(
      s, st, context,
      [&](std::uint32_t) {
        const UINT rc = context->SurfaceCommand(context, &cmd);
        return rc == CHANNEL_RC_OK ? std::string{} : "SurfaceCommand failed: " + std::to_string(rc);
      },
      &frame);
}

std::string run_avc420(Session& s, const Step& step) {
  const H264Rect a = h264_rect(step);
  H264Setup set;
  if (std::string e = prepare_h264(s, a, "avc420", set); !e.empty()) return e;
  Avc420 coded;
  if (std::string e = encode_avc420(set.enc, set.picture, set.w, set.h, coded); !e.empty())
    return e;
  RDPGFX_AVC420_BITMAP_STREAM bs{};
  bs.meta = coded.meta.m;
  bs.data = coded.bitstream.data();
  bs.length = static_cast<UINT32>(coded.bitstream.size());
  RDPGFX_SURFACE_COMMAND cmd = surface_command(a.id, RDPGFX_CODECID_AVC420, a.l, a.t, a.r, a.b);
  cmd.extra = &bs;
  std::uint32_t frame = 0;
  if (std::string e = send_surface_command(s, *set.st, set.context, cmd, frame); !e.empty())
    return e;
  return note_command(s, step, frame, RDPGFX_CODECID_AVC420, a.id, a.l, a.t, a.r, a.b,
                      metablock_size(coded.meta.m), avc420_wire(coded), &set.picture, {});
}

// One AVC444 picture, encoded; `stream` is the command's bitmap data as it goes on the wire.
struct Avc444 {
  RDPGFX_AVC444_BITMAP_STREAM bs{};
  Meta meta[2];
  std::vector<std::uint8_t> streams[2];
  std::vector<std::uint8_t> wire;
};

std::string encode_avc444(H264_CONTEXT* enc, BYTE version, const std::vector<std::uint8_t>& rgba,
                          std::uint32_t w, std::uint32_t h, Avc444& out) {
  const RECTANGLE_16 region{0, 0, static_cast<UINT16>(w), static_cast<UINT16>(h)};
  BYTE op = 0;
  BYTE* main_data = nullptr;
  UINT32 main_size = 0;
  BYTE* aux_data = nullptr;
  UINT32 aux_size = 0;
  const INT32 rc =
      avc444_compress(enc, rgba.data(), PIXEL_FORMAT_RGBA32, w * 4, w, h, version, &region, &op,
                      &main_data, &main_size, &aux_data, &aux_size, &out.meta[0].m, &out.meta[1].m);
  if (rc < 0) return "avc444_compress failed: " + std::to_string(rc);
  if (rc == 0) return "the encoder found nothing new to send (repeat a seed?)";
  if (op == 0 || op == 1) out.streams[0].assign(main_data, main_data + main_size);
  if (op == 0 || op == 2) out.streams[1].assign(aux_data, aux_data + aux_size);
  // With only the chroma view, it is the one stream the command carries.
  if (op == 2) {
    std::swap(out.streams[0], out.streams[1]);
    std::swap(out.meta[0].m, out.meta[1].m);
  }
  out.bs.LC = op;
  for (int i = 0; i < 2; ++i) {
    out.bs.bitstream[i].meta = out.meta[i].m;
    out.bs.bitstream[i].data = out.streams[i].data();
    out.bs.bitstream[i].length = static_cast<UINT32>(out.streams[i].size());
  }
  out.bs.cbAvc420EncodedBitstream1 =
      static_cast<UINT32>(metablock_size(out.meta[0].m) + out.streams[0].size());
  put32(out.wire, out.bs.cbAvc420EncodedBitstream1 | (static_cast<std::uint32_t>(op) << 30));
  append_metablock(out.wire, out.meta[0].m);
  out.wire.insert(out.wire.end(), out.streams[0].begin(), out.streams[0].end());
  if (op == 0) {
    append_metablock(out.wire, out.meta[1].m);
    out.wire.insert(out.wire.end(), out.streams[1].begin(), out.streams[1].end());
  }
  return {};
}

std::string send_avc444(Session& s, GfxState& st, RdpgfxServerContext* context, std::uint16_t id,
                        std::uint32_t codec, std::uint32_t l, std::uint32_t t, std::uint32_t r,
                        std::uint32_t b, Avc444& coded, std::uint32_t& frame) {
  RDPGFX_SURFACE_COMMAND cmd = surface_command(id, codec, l, t, r, b);
  cmd.extra = &coded.bs;
  return send_surface_command(s, st, context, cmd, frame);
}

std::string run_avc444(Session& s, const Step& step) {
  const H264Rect a = h264_rect(step);
  H264Setup set;
  if (std::string e = prepare_h264(s, a, "avc444", set); !e.empty()) return e;
  Avc444 coded;
  if (std::string e = encode_avc444(set.enc, 1, set.picture, set.w, set.h, coded); !e.empty())
    return e;
  std::uint32_t frame = 0;
  if (std::string e = send_avc444(s, *set.st, set.context, a.id, RDPGFX_CODECID_AVC444, a.l, a.t,
                                  a.r, a.b, coded, frame);
      !e.empty())
    return e;
  return note_command(s, step, frame, RDPGFX_CODECID_AVC444, a.id, a.l, a.t, a.r, a.b, 0,
                      coded.wire, &set.picture, {});
}

std::string check_avc444v2(const Step& step) {
  std::uint16_t id = 0;
  std::uint32_t seed = 0;
  if (!parse_u16(step.args[0], id)) return "bad surface id";
  if (!parse_seed(step.args[1], seed)) return "bad seed";
  return {};
}

std::uint32_t align16(std::uint32_t v) { return (v + 15) / 16 * 16; }

std::string run_avc444v2(Session& s, const Step& step) {
  std::uint16_t id = 0;
  std::uint32_t seed = 0;
  parse_u16(step.args[0], id);
  parse_seed(step.args[1], seed);
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  Surface* sf = find_surface(*st, id, error);
  if (!sf) return error;
  const std::uint32_t w = sf->width, h = sf->height;
  if (w % 2 || h % 2) return "H.264 pictures need even sizes";
  H264_CONTEXT* enc = encoder_for(*sf, "avc444v2", w, h);
  if (!enc) return "cannot make an H.264 encoder";
  const std::vector<std::uint8_t> picture = smooth_picture(w, h, seed);
  Avc444 coded;
  if (std::string e = encode_avc444(enc, 2, picture, w, h, coded); !e.empty()) return e;

  // The renderer decodes into a surface whose sides it rounds up to 16, starting white, with
  // a decoder of that size; the same here gives the same pixels.
  const std::uint32_t aw = align16(w), ah = align16(h);
  if (!sf->reference) {
    sf->reference.reset(h264_context_new(FALSE));
    if (!sf->reference || !h264_context_reset(sf->reference.get(), aw, ah))
      return "cannot make an H.264 decoder";
  }
  std::vector<std::uint8_t> decoded(static_cast<std::size_t>(aw) * ah * 4, 0xFF);
  (void)freerdp_image_copy_no_overlap(decoded.data(), PIXEL_FORMAT_BGRX32, aw * 4, 0, 0, w, h,
                                      sf->rgba.data(), PIXEL_FORMAT_RGBA32, w * 4, 0, 0, nullptr,
                                      FREERDP_FLIP_NONE);
  const RDPGFX_H264_METABLOCK& m1 = coded.bs.bitstream[0].meta;
  const RDPGFX_H264_METABLOCK& m2 = coded.bs.bitstream[1].meta;
  const INT32 rc = avc444_decompress(
      sf->reference.get(), coded.bs.LC, m1.regionRects, m1.numRegionRects,
      coded.bs.bitstream[0].data, coded.bs.bitstream[0].length, m2.regionRects, m2.numRegionRects,
      coded.bs.bitstream[1].data, coded.bs.bitstream[1].length, decoded.data(), PIXEL_FORMAT_BGRX32,
      aw * 4, aw, ah, RDPGFX_CODECID_AVC444v2);
  if (rc < 0) return "avc444_decompress failed: " + std::to_string(rc);

  std::uint32_t frame = 0;
  if (std::string e =
          send_avc444(s, *st, context, id, RDPGFX_CODECID_AVC444v2, 0, 0, w, h, coded, frame);
      !e.empty())
    return e;

  (void)freerdp_image_copy_no_overlap(sf->rgba.data(), PIXEL_FORMAT_RGBA32, w * 4, 0, 0, w, h,
                                      decoded.data(), PIXEL_FORMAT_BGRX32, aw * 4, 0, 0, nullptr,
                                      FREERDP_FLIP_NONE);
  std::vector<std::string> shown;
  for (const RDPGFX_H264_METABLOCK* m : {&m1, &m2})
    for (UINT32 i = 0; i < m->numRegionRects; ++i) {
      const RECTANGLE_16& r = m->regionRects[i];
      shown.push_back(show_area(s, *sf, r.left, r.top, r.right, r.bottom));
    }
  return note_command(s, step, frame, RDPGFX_CODECID_AVC444v2, id, 0, 0, w, h, 0, coded.wire,
                      &picture, bounding(shown));
}

// ---------------------------------------------------------------- pictures the renderer decodes

std::string check_area_seed(const Step& step) {
  std::uint32_t v[4] = {};
  std::uint32_t seed = 0;
  if (std::string e = check_id_rect(step, v); !e.empty()) return e;
  if (v[2] == 0 || v[3] == 0) return "empty rectangle";
  if (!parse_seed(step.args[5], seed)) return "bad seed";
  return {};
}

struct Area {
  std::uint16_t id = 0;
  std::uint32_t x = 0, y = 0, w = 0, h = 0;
};

Area area_of(const Step& step) {
  Area a;
  parse_u16(step.args[0], a.id);
  parse_u32(step.args[1], a.x);
  parse_u32(step.args[2], a.y);
  parse_u32(step.args[3], a.w);
  parse_u32(step.args[4], a.h);
  return a;
}

bool inside(const Surface& sf, const Area& a) {
  return static_cast<std::uint64_t>(a.x) + a.w <= sf.width &&
         static_cast<std::uint64_t>(a.y) + a.h <= sf.height;
}

// Sends `data` as a command the renderer decodes to `pixels` over the area, and draws them.
std::string send_decoded(Session& s, const Step& step, std::uint32_t codec, const Area& a,
                         const std::vector<std::uint8_t>& data,
                         const std::vector<std::uint8_t>& pixels) {
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  Surface* sf = find_surface(*st, a.id, error);
  if (!sf) return error;
  if (!inside(*sf, a)) return "area outside the surface";
  RDPGFX_SURFACE_COMMAND cmd = surface_command(a.id, codec, a.x, a.y, a.x + a.w, a.y + a.h);
  cmd.data = const_cast<BYTE*>(data.data());
  cmd.length = static_cast<UINT32>(data.size());
  std::uint32_t frame = 0;
  if (std::string e = send_surface_command(s, *st, context, cmd, frame); !e.empty()) return e;
  put_pixels(*sf, a.x, a.y, a.w, a.h, pixels);
  const std::string shows = show_area(s, *sf, a.x, a.y, a.x + a.w, a.y + a.h);
  return note_command(s, step, frame, codec, a.id, a.x, a.y, a.x + a.w, a.y + a.h, 0, data, nullptr,
                      shows);
}

std::string run_planar(Session& s, const Step& step) {
  const Area a = area_of(step);
  std::uint32_t seed = 0;
  parse_seed(step.args[5], seed);
  const std::vector<std::uint8_t> pixels = noise_picture(a.w, a.h, seed);
  std::unique_ptr<BITMAP_PLANAR_CONTEXT, PlanarFree> planar(freerdp_bitmap_planar_context_new(
      PLANAR_FORMAT_HEADER_RLE | PLANAR_FORMAT_HEADER_NA, a.w, a.h));
  if (!planar) return "cannot make a planar encoder";
  // Rows go top to bottom in the pipeline, unlike in classic bitmaps.
  freerdp_planar_topdown_image(planar.get(), TRUE);
  UINT32 size = 0;
  BYTE* out = freerdp_bitmap_compress_planar(planar.get(), pixels.data(), PIXEL_FORMAT_RGBA32, a.w,
                                             a.h, a.w * 4, nullptr, &size);
  if (!out || size == 0) return "planar compression failed";
  std::vector<std::uint8_t> data(out, out + size);
  free(out);
  return send_decoded(s, step, RDPGFX_CODECID_PLANAR, a, data, pixels);
}

std::string run_uncompressed(Session& s, const Step& step) {
  const Area a = area_of(step);
  std::uint32_t seed = 0;
  parse_seed(step.args[5], seed);
  const std::vector<std::uint8_t> pixels = noise_picture(a.w, a.h, seed);
  // The command carries the surface's own layout: B, G, R, X.
  std::vector<std::uint8_t> data(pixels.size());
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    data[i] = pixels[i + 2];
    data[i + 1] = pixels[i + 1];
    data[i + 2] = pixels[i];
    data[i + 3] = 0xFF;
  }
  return send_decoded(s, step, RDPGFX_CODECID_UNCOMPRESSED, a, data, pixels);
}

std::string check_fill(const Step& step) {
  std::uint32_t v[4] = {};
  std::uint32_t colour = 0;
  if (std::string e = check_id_rect(step, v); !e.empty()) return e;
  if (v[2] == 0 || v[3] == 0) return "empty rectangle";
  if (step.args[5].size() != 6 ||
      step.args[5].find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
      !parse_u32(step.args[5], colour, 16))
    return "bad colour, want RRGGBB";
  return {};
}

std::string run_fill(Session& s, const Step& step) {
  const Area a = area_of(step);
  std::uint32_t colour = 0;
  parse_u32(step.args[5], colour, 16);
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  Surface* sf = find_surface(*st, a.id, error);
  if (!sf) return error;
  if (!inside(*sf, a)) return "area outside the surface";
  RECTANGLE_16 rect{static_cast<UINT16>(a.x), static_cast<UINT16>(a.y),
                    static_cast<UINT16>(a.x + a.w), static_cast<UINT16>(a.y + a.h)};
  RDPGFX_SOLID_FILL_PDU pdu{};
  pdu.surfaceId = a.id;
  pdu.fillPixel.R = static_cast<BYTE>(colour >> 16);
  pdu.fillPixel.G = static_cast<BYTE>(colour >> 8);
  pdu.fillPixel.B = static_cast<BYTE>(colour);
  pdu.fillPixel.XA = 0xFF;
  pdu.fillRectCount = 1;
  pdu.fillRects = &rect;
  std::uint32_t frame = 0;
  if (std::string e = send_frame(
          s, *st, context,
          [&, ctx = context](std::uint32_t) {
            const UINT rc = ctx->SolidFill(ctx, &pdu);
            return rc == CHANNEL_RC_OK ? std::string{} : "SolidFill failed: " + std::to_string(rc);
          },
          &frame);
      !e.empty())
    return e;
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(a.w) * a.h * 4);
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = pdu.fillPixel.R;
    pixels[i + 1] = pdu.fillPixel.G;
    pixels[i + 2] = pdu.fillPixel.B;
    pixels[i + 3] = 0xFF;
  }
  put_pixels(*sf, a.x, a.y, a.w, a.h, pixels);
  const std::string shows = show_area(s, *sf, a.x, a.y, a.x + a.w, a.y + a.h);
  log_line("GFX-FILL step=" + std::to_string(step.index) + " frame=" + std::to_string(frame) +
           " surface=" + std::to_string(a.id) +
           " rect=" + rect_text(a.x, a.y, a.x + a.w, a.y + a.h) + " shows=" + shows);
  return {};
}

std::string run_empty(Session& s, const Step& step) {
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  std::uint32_t frame = 0;
  if (std::string e = send_frame(
          s, *st, context, [](std::uint32_t) { return std::string{}; }, &frame);
      !e.empty())
    return e;
  log_line("GFX-EMPTY step=" + std::to_string(step.index) + " frame=" + std::to_string(frame));
  return {};
}

std::string run_frame_begin(Session& s, const Step&) {
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  if (st->batch) return "a frame is open already";
  const std::uint32_t frame = ++st->next_frame;
  const RDPGFX_START_FRAME_PDU start{timestamp_now(), frame};
  if (const UINT rc = context->StartFrame(context, &start); rc != CHANNEL_RC_OK)
    return "StartFrame failed: " + std::to_string(rc);
  st->batch = frame;
  return {};
}

std::string run_frame_end(Session& s, const Step& step) {
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  if (!st->batch) return "no frame is open (gfx-frame-begin)";
  const std::uint32_t frame = *st->batch;
  st->batch.reset();
  const RDPGFX_END_FRAME_PDU end{frame};
  if (const UINT rc = context->EndFrame(context, &end); rc != CHANNEL_RC_OK)
    return "EndFrame failed: " + std::to_string(rc);
  if (!wait_ack(s, *st, frame))
    return "frame " + std::to_string(frame) + " not acknowledged within 10 s";
  log_line("GFX-FRAME step=" + std::to_string(step.index) + " frame=" + std::to_string(frame));
  return {};
}

// ---------------------------------------------------------------- the stream

std::string check_stream(const Step& step) {
  std::uint32_t n = 0;
  std::uint16_t id = 0;
  if (!parse_u32(step.args[0], n) || n == 0 || n > max_stream_frames)
    return "bad frame count (1.." + std::to_string(max_stream_frames) + ")";
  if (!parse_u16(step.args[1], id)) return "bad surface id";
  if (step.args.size() > 2 && step.args[2] != "avc420" && step.args[2] != "avc444v2-main")
    return "bad mode, want avc420 or avc444v2-main";
  return {};
}

std::string run_stream(Session& s, const Step& step) {
  std::uint32_t n = 0;
  std::uint16_t id = 0;
  parse_u32(step.args[0], n);
  parse_u16(step.args[1], id);
  const bool main_view = step.args.size() > 2 && step.args[2] == "avc444v2-main";
  auto [st, context, error] = open_channel(s);
  if (!context) return error;
  Surface* sf = find_surface(*st, id, error);
  if (!sf) return error;
  if (st->batch) return "a stream cannot go into one frame";
  const std::uint32_t w = sf->width, h = sf->height;
  if (w % 2 || h % 2) return "H.264 pictures need even sizes";
  H264Ptr enc = new_encoder(w, h);
  if (!enc) return "cannot make an H.264 encoder";

  // Encoded first, so that the stream is limited by the client alone.
  std::vector<Avc420> frames(n);
  std::uint64_t bytes = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (session_stopping(s)) return "session ended while encoding";
    const std::vector<std::uint8_t> picture = smooth_picture(w, h, i + 1);
    if (std::string e = encode_avc420(enc.get(), picture, w, h, frames[i]); !e.empty())
      return "frame " + std::to_string(i) + ": " + e;
    bytes += metablock_size(frames[i].meta.m) + frames[i].bitstream.size() + (main_view ? 4 : 0);
  }
  log_line("GFX-STREAM-START frames=" + std::to_string(n) + " bytes=" + std::to_string(bytes));

  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (session_stopping(s)) return "session ended while streaming";
    const std::uint32_t frame = ++st->next_frame;
    const auto window = static_cast<std::uint32_t>(stream_window);
    if (frame > window && !wait_ack(s, *st, frame - window))
      return "frame " + std::to_string(frame - window) + " not acknowledged within 10 s";
    RDPGFX_AVC420_BITMAP_STREAM bs{};
    bs.meta = frames[i].meta.m;
    bs.data = frames[i].bitstream.data();
    bs.length = static_cast<UINT32>(frames[i].bitstream.size());
    RDPGFX_AVC444_BITMAP_STREAM v2{};
    RDPGFX_SURFACE_COMMAND cmd = surface_command(id, RDPGFX_CODECID_AVC420, 0, 0, w, h);
    cmd.extra = &bs;
    if (main_view) {
      v2.LC = 1;
      v2.bitstream[0] = bs;
      v2.cbAvc420EncodedBitstream1 =
          static_cast<UINT32>(metablock_size(bs.meta) + frames[i].bitstream.size());
      cmd.codecId = RDPGFX_CODECID_AVC444v2;
      cmd.extra = &v2;
    }
    const RDPGFX_START_FRAME_PDU fs{timestamp_now(), frame};
    const RDPGFX_END_FRAME_PDU fe{frame};
    if (const UINT rc = context->SurfaceFrameCommand(context, &cmd, &fs, &fe); rc != CHANNEL_RC_OK)
      return "SurfaceFrameCommand failed: " + std::to_string(rc);
    // Sent: the metablock and bitstream are not needed again.
    frames[i].meta = Meta{};
    frames[i].bitstream = {};
  }
  if (!wait_ack(s, *st, st->next_frame)) return "the last frame was not acknowledged within 10 s";
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  log_line("GFX-STREAM frames=" + std::to_string(n) + " bytes=" + std::to_string(bytes) +
           " ms=" + std::to_string(ms));
  return {};
}

// ---------------------------------------------------------------- the channel by hand

struct RawChannel {
  HANDLE handle = nullptr;
  std::unique_ptr<ZGFX_CONTEXT, ZgfxFree> zgfx;
  std::deque<std::vector<std::uint8_t>> received;  // client PDUs not looked at yet
};

std::vector<std::uint8_t> pdu(std::uint16_t cmd, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> out;
  put16(out, cmd);
  put16(out, 0);
  put32(out, static_cast<std::uint32_t>(8 + body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// One channel message: the PDU wrapped as the bulk compressor's output, as the client expects.
std::string raw_send(RawChannel& ch, const std::vector<std::uint8_t>& bytes) {
  const std::size_t capacity = bytes.size() + 64 + (bytes.size() / 65535 + 1) * 4;
  wStream* out = Stream_New(nullptr, capacity);
  if (!out) return "out of memory";
  UINT32 flags = 0;
  std::string error;
  if (zgfx_compress_to_stream(ch.zgfx.get(), out, bytes.data(), static_cast<UINT32>(bytes.size()),
                              &flags) < 0) {
    error = "zgfx_compress_to_stream failed";
  } else {
    ULONG written = 0;
    if (!WTSVirtualChannelWrite(ch.handle, reinterpret_cast<char*>(Stream_Buffer(out)),
                                static_cast<ULONG>(Stream_GetPosition(out)), &written))
      error = "WTSVirtualChannelWrite failed";
  }
  Stream_Free(out, TRUE);
  return error;
}

// Moves what the client sent into ch.received, PDU by PDU.
void raw_poll(RawChannel& ch) {
  for (int i = 0; i < 64; ++i) {
    ULONG size = 0;
    if (!WTSVirtualChannelRead(ch.handle, 0, nullptr, 0, &size) || size == 0) return;
    std::vector<std::uint8_t> message(size);
    ULONG got = 0;
    if (!WTSVirtualChannelRead(ch.handle, 0, reinterpret_cast<PCHAR>(message.data()), size, &got))
      return;
    message.resize(got);
    std::size_t at = 0;
    while (at + 8 <= message.size()) {
      const std::uint32_t length = static_cast<std::uint32_t>(message[at + 4]) |
                                   (static_cast<std::uint32_t>(message[at + 5]) << 8) |
                                   (static_cast<std::uint32_t>(message[at + 6]) << 16) |
                                   (static_cast<std::uint32_t>(message[at + 7]) << 24);
      if (length < 8 || at + length > message.size()) break;
      ch.received.emplace_back(message.begin() + static_cast<std::ptrdiff_t>(at),
                               message.begin() + static_cast<std::ptrdiff_t>(at + length));
      at += length;
    }
  }
}

std::uint16_t cmd_of(const std::vector<std::uint8_t>& p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& p, std::size_t at) {
  return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
         (static_cast<std::uint32_t>(p[at + 2]) << 16) |
         (static_cast<std::uint32_t>(p[at + 3]) << 24);
}

// Waits (bounded) for a client PDU with the command id that `accept` takes; consumes PDUs up to it.
std::optional<std::vector<std::uint8_t>> raw_wait(
    Session& s, RawChannel& ch, std::uint16_t cmd,
    const std::function<bool(const std::vector<std::uint8_t>&)>& accept) {
  const auto deadline = std::chrono::steady_clock::now() + ack_timeout;
  while (std::chrono::steady_clock::now() < deadline && !session_stopping(s)) {
    raw_poll(ch);
    while (!ch.received.empty()) {
      std::vector<std::uint8_t> p = std::move(ch.received.front());
      ch.received.pop_front();
      if (cmd_of(p) == cmd && accept(p)) return p;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return std::nullopt;
}

void raw_close(Session& s, RawChannel& ch) {
  if (!ch.handle) return;
  auto io = lock_io(s);
  WTSVirtualChannelClose(ch.handle);
  ch.handle = nullptr;
}

struct RawChannelOwner {
  Session& s;
  RawChannel& ch;
  ~RawChannelOwner() { raw_close(s, ch); }
};

// Whether the client has the channel ready; it closes it on a PDU it cannot parse.
bool raw_alive(RawChannel& ch) {
  void* buffer = nullptr;
  DWORD bytes = 0;
  if (!WTSVirtualChannelQuery(ch.handle, WTSVirtualChannelReady, &buffer, &bytes) || !buffer)
    return false;
  const bool ready = *static_cast<BOOL*>(buffer) != FALSE;
  WTSFreeMemory(buffer);
  return ready;
}

std::string raw_open(Session& s, RawChannel& ch) {
  ch.zgfx.reset(zgfx_context_new(TRUE));
  if (!ch.zgfx) return "zgfx_context_new failed";
  {
    auto io = lock_io(s);
    DWORD* session_id = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationA(s.vcm, WTS_CURRENT_SESSION, WTSSessionId,
                                     reinterpret_cast<LPSTR*>(&session_id), &bytes) ||
        !session_id)
      return "WTSQuerySessionInformationA failed";
    const DWORD id = *session_id;
    WTSFreeMemory(session_id);
    ch.handle = WTSVirtualChannelOpenEx(id, const_cast<LPSTR>(RDPGFX_DVC_CHANNEL_NAME),
                                        WTS_CHANNEL_OPTION_DYNAMIC);
    if (!ch.handle) return "WTSVirtualChannelOpenEx failed";
  }
  const auto deadline = std::chrono::steady_clock::now() + open_timeout;
  for (;;) {
    if (raw_alive(ch)) return {};
    if (std::chrono::steady_clock::now() >= deadline || session_stopping(s))
      return "the client did not take the graphics channel within 10 s";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// One frame holding `command` (a whole PDU), each PDU its own channel message. Returns
// "acked" when the client acknowledged the frame, "closed" when it closed the channel instead.
std::string raw_frame(Session& s, RawChannel& ch, std::uint32_t frame,
                      const std::vector<std::uint8_t>& command, std::string& outcome) {
  std::vector<std::uint8_t> start;
  put32(start, timestamp_now());
  put32(start, frame);
  std::vector<std::uint8_t> end;
  put32(end, frame);
  if (std::string e = raw_send(ch, pdu(RDPGFX_CMDID_STARTFRAME, start)); !e.empty()) return e;
  if (std::string e = raw_send(ch, command); !e.empty()) return e;
  if (std::string e = raw_send(ch, pdu(RDPGFX_CMDID_ENDFRAME, end)); !e.empty()) return e;
  const auto deadline = std::chrono::steady_clock::now() + ack_timeout;
  while (std::chrono::steady_clock::now() < deadline && !session_stopping(s)) {
    raw_poll(ch);
    while (!ch.received.empty()) {
      const std::vector<std::uint8_t> p = std::move(ch.received.front());
      ch.received.pop_front();
      if (cmd_of(p) == RDPGFX_CMDID_FRAMEACKNOWLEDGE && p.size() >= 20 && u32_at(p, 12) >= frame) {
        outcome = "acked";
        return {};
      }
    }
    if (!raw_alive(ch)) {
      outcome = "closed";
      return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return "frame " + std::to_string(frame) + " neither acknowledged nor refused within 10 s";
}

// A WireToSurface1 PDU whose bitmapDataLength field says `declared` while `data` follows.
std::vector<std::uint8_t> wire_to_surface(std::uint16_t surface, std::uint16_t codec,
                                          std::uint16_t l, std::uint16_t t, std::uint16_t r,
                                          std::uint16_t b, std::uint32_t declared,
                                          const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> body;
  put16(body, surface);
  put16(body, codec);
  body.push_back(GFX_PIXEL_FORMAT_XRGB_8888);
  put16(body, l);
  put16(body, t);
  put16(body, r);
  put16(body, b);
  put32(body, declared);
  body.insert(body.end(), data.begin(), data.end());
  return pdu(RDPGFX_CMDID_WIRETOSURFACE_1, body);
}

// Opens the channel by hand and brings it to where commands can follow: capabilities confirmed
// (the newest set, as gfx-open does), graphics reset to the desktop, a 64x64 surface mapped.
std::string raw_start(Session& s, RawChannel& ch, std::uint16_t id, std::uint32_t x,
                      std::uint32_t y) {
  if (std::string e = raw_open(s, ch); !e.empty()) return e;
  const auto caps =
      raw_wait(s, ch, RDPGFX_CMDID_CAPSADVERTISE, [](const auto& p) { return p.size() >= 10; });
  if (!caps) return "no capabilities from the client within 10 s";
  std::uint32_t version = 0, flags = 0, length = 0;
  {
    const std::vector<std::uint8_t>& p = *caps;
    const std::size_t count = static_cast<std::size_t>(p[8] | (p[9] << 8));
    std::size_t at = 10;
    for (std::size_t i = 0; i < count && at + 8 <= p.size(); ++i) {
      const std::uint32_t v = u32_at(p, at);
      const std::uint32_t len = u32_at(p, at + 4);
      if (at + 8 + len > p.size()) break;
      if (v > version) {
        version = v;
        length = len;
        flags = len >= 4 ? u32_at(p, at + 8) : 0;
      }
      at += 8 + len;
    }
  }
  if (version == 0) return "no usable capability set";
  flags &= ~RDPGFX_CAPS_FLAG_AVC_DISABLED;
  if (version == RDPGFX_CAPVERSION_81) flags |= RDPGFX_CAPS_FLAG_AVC420_ENABLED;
  std::vector<std::uint8_t> confirm;
  put32(confirm, version);
  put32(confirm, length);
  if (length >= 4) put32(confirm, flags);
  confirm.resize(8 + length, 0);
  if (std::string e = raw_send(ch, pdu(RDPGFX_CMDID_CAPSCONFIRM, confirm)); !e.empty()) return e;

  std::uint32_t dw = 0, dh = 0;
  if (std::string e = desktop_size(s, dw, dh); !e.empty()) return e;
  std::vector<std::uint8_t> reset;
  put32(reset, dw);
  put32(reset, dh);
  put32(reset, 1);
  put32(reset, 0);
  put32(reset, 0);
  put32(reset, dw - 1);
  put32(reset, dh - 1);
  put32(reset, 1);
  reset.resize(340 - 8, 0);
  if (std::string e = raw_send(ch, pdu(RDPGFX_CMDID_RESETGRAPHICS, reset)); !e.empty()) return e;
  std::vector<std::uint8_t> create;
  put16(create, id);
  put16(create, 64);
  put16(create, 64);
  create.push_back(GFX_PIXEL_FORMAT_XRGB_8888);
  if (std::string e = raw_send(ch, pdu(RDPGFX_CMDID_CREATESURFACE, create)); !e.empty()) return e;
  std::vector<std::uint8_t> mapping;
  put16(mapping, id);
  put16(mapping, 0);
  put32(mapping, x);
  put32(mapping, y);
  return raw_send(ch, pdu(RDPGFX_CMDID_MAPSURFACETOOUTPUT, mapping));
}

std::string check_raw(const Step& step) {
  std::uint16_t id = 0;
  std::uint32_t x = 0, y = 0, seed = 0;
  if (!parse_u16(step.args[0], id) || !parse_u32(step.args[1], x) || !parse_u32(step.args[2], y) ||
      !parse_seed(step.args[3], seed))
    return "want ID X Y SEED";
  return {};
}

struct BadCase {
  const char* name;
  std::uint16_t codec;
  std::uint16_t left;
  std::uint16_t right;
  std::uint32_t declared;  // the bitmapDataLength field
  std::vector<std::uint8_t> data;
};

std::vector<BadCase> bad_cases() {
  std::vector<BadCase> cases;
  {
    std::vector<std::uint8_t> d;
    put32(d, 1000);  // 10 000 bytes of regions declared, 16 there
    d.resize(20, 0xAB);
    cases.push_back({"region-count-past-data", RDPGFX_CODECID_AVC420, 0, 64, 20, d});
  }
  {
    std::vector<std::uint8_t> d;
    put32(d, 0x1999999A);  // 4 + 10 n wraps to 8 in 32 bits
    d.resize(16, 0xCD);
    cases.push_back({"region-count-wraps", RDPGFX_CODECID_AVC420, 0, 64, 16, d});
  }
  cases.push_back({"avc420-empty", RDPGFX_CODECID_AVC420, 0, 64, 0, {}});
  cases.push_back({"avc444-empty", RDPGFX_CODECID_AVC444, 0, 64, 0, {}});
  {
    std::vector<std::uint8_t> d;
    put32(d, 0x3FFFFFFF);  // both views, the first one a gigabyte long
    put32(d, 0);
    d.resize(16, 0x11);
    cases.push_back({"avc444-size-past-data", RDPGFX_CODECID_AVC444, 0, 64, 16, d});
  }
  cases.push_back({"unknown-codec", 0x0042, 0, 64, 32, std::vector<std::uint8_t>(32, 0x5A)});
  cases.push_back({"unknown-codec-empty", 0x0042, 0, 64, 0, {}});
  {
    std::vector<std::uint8_t> d;
    put32(d, 0);
    d.resize(20, 0x77);
    cases.push_back({"data-length-past-pdu", RDPGFX_CODECID_AVC420, 0, 64, 5000, d});
  }
  cases.push_back({"planar-empty", RDPGFX_CODECID_PLANAR, 0, 64, 0, {}});
  {
    std::vector<std::uint8_t> d;
    put32(d, 0);
    d.resize(12, 0x33);
    cases.push_back({"right-before-left", RDPGFX_CODECID_AVC420, 8, 0, 12, d});
  }
  {
    std::vector<std::uint8_t> d;
    put32(d, 0);  // no regions and no bitstream: the metablock is all there is
    cases.push_back({"metablock-only", RDPGFX_CODECID_AVC420, 0, 64, 4, d});
  }
  return cases;
}

std::string run_raw_bad(Session& s, const Step& step) {
  std::uint16_t id = 0;
  std::uint32_t x = 0, y = 0, seed = 0;
  parse_u16(step.args[0], id);
  parse_u32(step.args[1], x);
  parse_u32(step.args[2], y);
  parse_seed(step.args[3], seed);
  if (!wait_active(s, open_timeout)) return "peer not active";
  auto st = gfx_state(s);
  if (!wait_dynamic_ready(s, *st)) return "the dynamic channels did not come up within 10 s";
  {
    std::scoped_lock lock(st->mutex);
    if (st->context) return "close the graphics pipeline first (gfx-close)";
  }
  // A client closes the channel on a PDU it cannot parse, so every case gets a channel of its
  // own, as does the valid command at the end.
  for (const BadCase& c : bad_cases()) {
    RawChannel ch;
    RawChannelOwner owner{s, ch};
    if (std::string e = raw_start(s, ch, id, x, y); !e.empty())
      return std::string(c.name) + ": " + e;
    std::string outcome;
    if (std::string e = raw_frame(
            s, ch, 1, wire_to_surface(id, c.codec, c.left, 0, c.right, 64, c.declared, c.data),
            outcome);
        !e.empty())
      return std::string(c.name) + ": " + e;
    raw_close(s, ch);
    log_line(std::string("GFX-RAW case=") + c.name + " outcome=" + outcome + " bytes=" +
             std::to_string(c.data.size()) + " hex=" + to_hex(c.data.data(), c.data.size()));
  }

  RawChannel ch;
  RawChannelOwner owner{s, ch};
  if (std::string e = raw_start(s, ch, id, x, y); !e.empty()) return "valid command: " + e;
  H264Ptr enc = new_encoder(64, 64);
  if (!enc) return "cannot make an H.264 encoder";
  const std::vector<std::uint8_t> picture = smooth_picture(64, 64, seed);
  Avc420 coded;
  if (std::string e = encode_avc420(enc.get(), picture, 64, 64, coded); !e.empty()) return e;
  const std::vector<std::uint8_t> wire = avc420_wire(coded);
  std::string outcome;
  if (std::string e = raw_frame(s, ch, 1,
                                wire_to_surface(id, RDPGFX_CODECID_AVC420, 0, 0, 64, 64,
                                                static_cast<std::uint32_t>(wire.size()), wire),
                                outcome);
      !e.empty())
    return "valid command: " + e;
  if (outcome != "acked") return "valid command: the client closed the channel";
  if (std::string e = note_command(s, step, 1, RDPGFX_CODECID_AVC420, id, 0, 0, 64, 64,
                                   metablock_size(coded.meta.m), wire, &picture, {});
      !e.empty())
    return e;
  raw_close(s, ch);
  log_line("GFX-RAW-CLOSED");
  return {};
}

[[maybe_unused]] const bool gfx_registered = [] {
  register_step({"gfx-open", 0, 0, {}, run_open});
  register_step({"gfx-close", 0, 0, {}, run_close});
  register_step({"gfx-reopen", 0, 0, {}, run_reopen});
  register_step({"gfx-surface", 3, 3, check_surface, run_surface});
  register_step({"gfx-map", 3, 3, check_map, run_map});
  register_step({"gfx-delete", 1, 1, check_id, run_delete});
  register_step({"gfx-avc420", 6, 6, check_h264_rect, run_avc420});
  register_step({"gfx-avc444", 6, 6, check_h264_rect, run_avc444});
  register_step({"gfx-avc444v2", 2, 2, check_avc444v2, run_avc444v2});
  register_step({"gfx-planar", 6, 6, check_area_seed, run_planar});
  register_step({"gfx-uncompressed", 6, 6, check_area_seed, run_uncompressed});
  register_step({"gfx-fill", 6, 6, check_fill, run_fill});
  register_step({"gfx-empty", 0, 0, {}, run_empty});
  register_step({"gfx-frame-begin", 0, 0, {}, run_frame_begin});
  register_step({"gfx-frame-end", 0, 0, {}, run_frame_end});
  register_step({"gfx-stream", 2, 3, check_stream, run_stream});
  register_step({"gfx-raw-bad", 4, 4, check_raw, run_raw_bad});
  register_hook({"gfx", {}, on_dynamic_ready, {}, on_close});
  return true;
}();

}  // namespace

bool gfx_pipeline_open(Session& s) {
  auto st = gfx_state(s);
  std::scoped_lock lock(st->mutex);
  return st->context && st->open;
}

std::string gfx_pipeline_close(Session& s) { return run_close(s, Step{}); }

std::string gfx_pipeline_reopen(Session& s) { return run_open(s, Step{}); }

}  // namespace kts
