#include "host/h264.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

#include "host/avc444.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

namespace korvane::host {

namespace {

bool starts_with_start_code(std::span<const uint8_t> d, size_t zeros) {
  if (d.size() < zeros + 1) return false;
  for (size_t i = 0; i < zeros; ++i) {
    if (d[i] != 0) return false;
  }
  return d[zeros] == 1;
}

bool is_annex_b(std::span<const uint8_t> d) {
  return starts_with_start_code(d, 3) || starts_with_start_code(d, 2);
}

// Skips the region metablock (count, rectangles, quantisation/quality pairs) of an AVC420
// stream inside an AVC444 stream. Returns false when it does not fit.
bool skip_metablock(std::span<const uint8_t>& stream) {
  if (stream.size() < 4) return false;
  const uint64_t count = get_u32(stream.data());
  const uint64_t skip = 4 + 10 * count;
  if (skip > stream.size()) return false;
  stream = stream.subspan(static_cast<size_t>(skip));
  return true;
}

std::optional<H264Parts> split_avc444(std::span<const uint8_t> d) {
  if (d.size() < 4) return std::nullopt;
  const uint32_t info = get_u32(d.data());
  const uint32_t first_size = info & 0x3FFFFFFFu;
  const uint32_t lc = info >> 30;
  std::span<const uint8_t> rest = d.subspan(4);
  H264Parts parts;
  parts.kind = H264Kind::avc444;
  switch (lc) {
    case 0: {  // main view then chroma
      if (first_size > rest.size()) return std::nullopt;
      std::span<const uint8_t> first = rest.first(first_size);
      std::span<const uint8_t> second = rest.subspan(first_size);
      if (!skip_metablock(first) || !skip_metablock(second)) return std::nullopt;
      if (!is_annex_b(first)) return std::nullopt;
      parts.main = first;
      parts.aux = second;
      return parts;
    }
    case 1: {  // main view only
      if (!skip_metablock(rest) || !is_annex_b(rest)) return std::nullopt;
      parts.main = rest;
      return parts;
    }
    case 2: {  // chroma only
      if (!skip_metablock(rest) || !is_annex_b(rest)) return std::nullopt;
      parts.aux = rest;
      return parts;
    }
    default: return std::nullopt;
  }
}

void quiet_libav() {
  static std::once_flag once;
  // A stream joined mid-way logs an error for every frame before the next key frame; the
  // counters report those, so the log would only drown the host's own output.
  std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

struct Stream {
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;
  std::vector<uint8_t> rgba;
  uint64_t last_use = 0;

  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
  }
};

// The frame names no surface, so a stream is known by its kind and where its pictures go: a
// surface's pictures all start at its origin, while the size a command covers may change
// from one command to the next within the same stream.
using StreamKey = std::tuple<int, int32_t, int32_t>;

constexpr size_t kMaxStreams = 32;

bool open_stream(Stream& s) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec) return false;
  s.codec = avcodec_alloc_context3(codec);
  s.packet = av_packet_alloc();
  s.frame = av_frame_alloc();
  if (!s.codec || !s.packet || !s.frame) return false;
  // One picture in, one picture out: frame threading would hold pictures back.
  s.codec->thread_count = 1;
  s.codec->flags |= AV_CODEC_FLAG_LOW_DELAY;
  return avcodec_open2(s.codec, codec, nullptr) == 0;
}

// Converts the decoded picture to RGBA. RDP's AVC streams are BT.709 full range whatever
// their VUI says (the encoders convert with those coefficients), so that is forced here.
// Each chroma sample stands for its 2x2 block, as in the RDP client's own decoder: smoothing
// it out would smear colour across the sharp edges desktops are made of.
bool convert_frame(Stream& s) {
  const AVFrame* f = s.frame;
  auto format = static_cast<AVPixelFormat>(f->format);
  if (format == AV_PIX_FMT_YUVJ420P) format = AV_PIX_FMT_YUV420P;
  if (format == AV_PIX_FMT_YUVJ422P) format = AV_PIX_FMT_YUV422P;
  if (format == AV_PIX_FMT_YUVJ444P) format = AV_PIX_FMT_YUV444P;
  s.sws =
      sws_getCachedContext(s.sws, f->width, f->height, format, f->width, f->height, AV_PIX_FMT_RGBA,
                           SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  if (!s.sws) return false;
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(s.sws, bt709, 1, bt709, 1, 0, 1 << 16, 1 << 16);
  s.rgba.resize(static_cast<size_t>(f->width) * static_cast<size_t>(f->height) * 4);
  uint8_t* dst[4] = {s.rgba.data(), nullptr, nullptr, nullptr};
  int dst_stride[4] = {f->width * 4, 0, 0, 0};
  return sws_scale(s.sws, f->data, f->linesize, 0, f->height, dst, dst_stride) == f->height;
}

}  // namespace

// An AVC444 stream: one decoder for both views, and the last picture of each.
struct Avc444Stream {
  Stream decoder;
  Yuv420Picture main, aux;
  bool have_main = false;
  bool have_aux = false;
  Yuv444Picture full;
  std::vector<uint8_t> rgba;
  uint64_t last_use = 0;
};

struct H264Streams {
  std::map<StreamKey, std::unique_ptr<Stream>> streams;
  std::map<StreamKey, std::unique_ptr<Avc444Stream>> avc444;
  uint64_t uses = 0;
};

void free_h264_streams(H264Streams* streams) { delete streams; }

H264Parts split_h264(std::span<const uint8_t> codec_data) {
  // A 4-byte start code read as an AVC444 info word would announce a 16 MiB first stream, so
  // it settles the question; a 3-byte one could still begin an AVC444 stream, which is tried
  // first.
  if (starts_with_start_code(codec_data, 3)) {
    return H264Parts{H264Kind::avc420, codec_data, {}};
  }
  if (auto parts = split_avc444(codec_data)) return *parts;
  if (starts_with_start_code(codec_data, 2)) {
    return H264Parts{H264Kind::avc420, codec_data, {}};
  }
  return H264Parts{};
}

namespace {

// Kinds of stream, part of a stream's key.
enum StreamKind : int {
  kEventAvc420 = 0,  // EVT_H264, plain bitstream
  kEventAvc444 = 1,  // EVT_H264, main view of an AVC444 stream
  kCodecAvc420 = 2,  // EVT_H264_CODEC
  kCodecAvc444 = 3,
  kCodecAvc444v2 = 4,
};

template <typename T>
T* find_or_evict(std::map<StreamKey, std::unique_ptr<T>>& all, const StreamKey& key, uint64_t& uses,
                 bool& created) {
  created = false;
  auto it = all.find(key);
  if (it == all.end()) {
    if (all.size() >= kMaxStreams) {
      auto oldest = all.begin();
      for (auto i = all.begin(); i != all.end(); ++i) {
        if (i->second->last_use < oldest->second->last_use) oldest = i;
      }
      all.erase(oldest);
    }
    it = all.emplace(key, std::make_unique<T>()).first;
    created = true;
  }
  it->second->last_use = ++uses;
  return it->second.get();
}

Stream* stream_for(H264Streams& all, const StreamKey& key, std::string& problem) {
  bool created = false;
  Stream* s = find_or_evict(all.streams, key, all.uses, created);
  if (created && !open_stream(*s)) {
    all.streams.erase(key);
    problem = "H264: cannot open the libavcodec decoder";
    return nullptr;
  }
  return s;
}

Avc444Stream* avc444_stream_for(H264Streams& all, const StreamKey& key, std::string& problem) {
  bool created = false;
  Avc444Stream* s = find_or_evict(all.avc444, key, all.uses, created);
  if (created && !open_stream(s->decoder)) {
    all.avc444.erase(key);
    problem = "H264: cannot open the libavcodec decoder";
    return nullptr;
  }
  return s;
}

// Hands one access unit to the decoder and every picture it yields to on_picture, which
// returns "" or a problem. Returns "" or the first problem.
template <typename OnPicture>
std::string decode_unit(Stream& s, H264Stats& stats, std::span<const uint8_t> data,
                        OnPicture&& on_picture) {
  if (data.size() > static_cast<size_t>(std::numeric_limits<int>::max() - 64)) {
    stats.errors++;
    return "H264: access unit too large";
  }
  av_packet_unref(s.packet);
  if (av_new_packet(s.packet, static_cast<int>(data.size())) != 0) {
    stats.errors++;
    return "H264: out of memory";
  }
  std::copy(data.begin(), data.end(), s.packet->data);
  const int sent = avcodec_send_packet(s.codec, s.packet);
  av_packet_unref(s.packet);
  if (sent < 0 && sent != AVERROR(EAGAIN)) {
    stats.errors++;
    return "H264: the decoder rejected " + std::to_string(data.size()) + " bytes";
  }
  std::string problem;
  // Bounded: a packet yields at most a few pictures.
  for (int i = 0; i < 16; ++i) {
    if (avcodec_receive_frame(s.codec, s.frame) != 0) break;
    std::string p = on_picture(*s.frame);
    if (!p.empty()) {
      stats.errors++;
      if (problem.empty()) problem = std::move(p);
    }
  }
  return problem;
}

H264Streams& streams_of(H264Decoder& decoder) {
  quiet_libav();
  if (!decoder.streams) decoder.streams.reset(new H264Streams);
  return *decoder.streams;
}

// Decodes data as a plain 4:2:0 stream and paints each picture.
std::string paint_annexb(H264Decoder& decoder, Canvas& canvas, StreamKind kind, int32_t left,
                         int32_t top, uint32_t width, uint32_t height,
                         std::span<const uint8_t> data) {
  std::string problem;
  Stream* s = stream_for(streams_of(decoder), StreamKey{kind, left, top}, problem);
  if (!s) {
    decoder.stats.errors++;
    return problem;
  }
  return decode_unit(*s, decoder.stats, data, [&](const AVFrame& f) -> std::string {
    if (!convert_frame(*s)) return "H264: cannot convert a decoded picture to RGBA";
    const auto w = static_cast<uint32_t>(f.width);
    const auto h = static_cast<uint32_t>(f.height);
    blit(canvas, left, top, std::min(w, width), std::min(h, height), s->rgba.data(),
         static_cast<size_t>(w) * 4);
    decoder.stats.pictures++;
    return {};
  });
}

// Copies an 8-bit 4:2:0 picture out of the decoder's frame.
bool take_yuv420(const AVFrame& f, Yuv420Picture& out) {
  const auto format = static_cast<AVPixelFormat>(f.format);
  if ((format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) || f.width <= 0 ||
      f.height <= 0)
    return false;
  out.resize(static_cast<uint32_t>(f.width), static_cast<uint32_t>(f.height));
  auto copy_plane = [](const uint8_t* src, int stride, uint32_t w, uint32_t h, uint8_t* dst) {
    for (uint32_t row = 0; row < h; ++row) {
      std::copy_n(src + static_cast<ptrdiff_t>(row) * stride, w, dst + size_t{row} * w);
    }
  };
  copy_plane(f.data[0], f.linesize[0], out.width, out.height, out.y.data());
  copy_plane(f.data[1], f.linesize[1], out.chroma_width(), out.chroma_height(), out.u.data());
  copy_plane(f.data[2], f.linesize[2], out.chroma_width(), out.chroma_height(), out.v.data());
  return true;
}

std::string paint_avc444(H264Decoder& decoder, Canvas& canvas, ChromaLayout layout,
                         const H264CodecHeader& h, std::span<const uint8_t> main,
                         std::span<const uint8_t> aux) {
  std::string problem;
  const StreamKind kind = layout == ChromaLayout::avc444 ? kCodecAvc444 : kCodecAvc444v2;
  const auto left = static_cast<int32_t>(h.left);
  const auto top = static_cast<int32_t>(h.top);
  Avc444Stream* s = avc444_stream_for(streams_of(decoder), StreamKey{kind, left, top}, problem);
  if (!s) {
    decoder.stats.errors++;
    return problem;
  }
  bool fresh = false;
  auto keep = [&fresh](Yuv420Picture& into, bool& have) {
    return [&fresh, &into, &have](const AVFrame& f) -> std::string {
      have = take_yuv420(f, into);
      if (!have) return "H264: decoded picture is not 8-bit 4:2:0";
      fresh = true;
      return {};
    };
  };
  // The main view first: when both come, the chroma view is predicted from it.
  if (!main.empty()) {
    problem = decode_unit(s->decoder, decoder.stats, main, keep(s->main, s->have_main));
  }
  if (!aux.empty()) {
    std::string p = decode_unit(s->decoder, decoder.stats, aux, keep(s->aux, s->have_aux));
    if (problem.empty()) problem = std::move(p);
  }
  if (!fresh || !s->have_main) return problem;
  if (!combine_avc444(layout, s->main, s->have_aux ? &s->aux : nullptr, s->full)) return problem;
  yuv444_to_rgba(s->full, s->rgba);
  blit(canvas, left, top, std::min(s->full.width, h.width), std::min(s->full.height, h.height),
       s->rgba.data(), size_t{s->full.width} * 4);
  decoder.stats.pictures++;
  return problem;
}

}  // namespace

std::string paint_h264(H264Decoder& decoder, Canvas& canvas, std::span<const uint8_t> payload) {
  H264Stats& stats = decoder.stats;
  stats.payloads++;
  const auto h = parse_h264(payload);
  if (!h) {
    stats.undecoded++;
    return "H264 payload of " + std::to_string(payload.size()) +
           " bytes is shorter than its header";
  }
  const auto left = static_cast<int32_t>(h->left);
  const auto top = static_cast<int32_t>(h->top);
  const uint32_t width = h->width;
  const uint32_t height = h->height;
  const H264Parts parts = split_h264(h->stream);
  switch (parts.kind) {
    case H264Kind::avc420: stats.avc420++; break;
    case H264Kind::avc444: stats.avc444++; break;
    case H264Kind::unknown: stats.undecoded++; return {};
  }
  if (!parts.aux.empty()) stats.undecoded++;
  if (parts.main.empty()) return {};
  return paint_annexb(decoder, canvas, parts.kind == H264Kind::avc420 ? kEventAvc420 : kEventAvc444,
                      left, top, width, height, parts.main);
}

std::string paint_h264_codec(H264Decoder& decoder, Canvas& canvas,
                             std::span<const uint8_t> payload) {
  H264Stats& stats = decoder.stats;
  const auto header = parse_h264_codec_header(payload);
  if (!header) {
    stats.codec_unknown++;
    return "H264_CODEC payload of " + std::to_string(payload.size()) +
           " bytes: header short or lengths not matching it";
  }
  const auto body = payload.subspan(kH264CodecHeaderSize);
  const auto main = body.first(header->main_length);
  const auto aux = body.subspan(header->main_length);
  switch (header->codec) {
    case CODEC_ID_AVC420:
      stats.codec_avc420++;
      if (main.empty()) return {};
      return paint_annexb(decoder, canvas, kCodecAvc420, static_cast<int32_t>(header->left),
                          static_cast<int32_t>(header->top), header->width, header->height, main);
    case CODEC_ID_AVC444:
      stats.codec_avc444++;
      return paint_avc444(decoder, canvas, ChromaLayout::avc444, *header, main, aux);
    case CODEC_ID_AVC444V2:
      stats.codec_avc444v2++;
      return paint_avc444(decoder, canvas, ChromaLayout::avc444v2, *header, main, aux);
    default:
      stats.codec_unknown++;
      return "H264_CODEC with unknown codec id " + std::to_string(header->codec);
  }
}

}  // namespace korvane::host
