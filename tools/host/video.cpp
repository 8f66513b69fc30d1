#include "host/video.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <tuple>
#include <vector>

#include "host/audio.hpp"
#include "host/desktop.hpp"
#include "host/h264.hpp"
#include "host/recorder.hpp"
#include "host_link/audio_wire.hpp"
#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"

namespace korvane::host {

std::optional<uint64_t> FramePacer::before(uint64_t now) {
  if (!changed_since) return std::nullopt;
  const uint64_t due =
      last_frame ? std::max(*changed_since, *last_frame + interval_us) : *changed_since;
  if (now < due) return std::nullopt;
  last_frame = due;
  changed_since.reset();
  return due;
}

void FramePacer::changed(uint64_t at) {
  if (!changed_since) changed_since = at;
}

std::optional<uint64_t> FramePacer::finish() {
  return before(std::numeric_limits<uint64_t>::max());
}

namespace {

std::string av_text(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return text;
}

// Every record of the file, in order; what ended the reading.
RecordingProblem each_record(const std::string& path, const std::function<void(const Record&)>& on,
                             std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return RecordingProblem::none;
  }
  RecordingHeader header;
  const RecordingProblem problem = read_recording(
      [f](uint8_t* into, size_t n) { return std::fread(into, 1, n, f); }, header, on);
  std::fclose(f);
  return problem;
}

// The NAL units of an Annex-B access unit, start codes left out.
template <typename On>
void each_nal(std::span<const uint8_t> au, On&& on) {
  size_t i = 0, start = SIZE_MAX;
  while (i + 3 <= au.size()) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && au[end - 1] == 0) --end;  // a 4-byte start code's zero
        on(au.subspan(start, end - start));
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != SIZE_MAX && start < au.size()) on(au.subspan(start));
}

bool has_idr(std::span<const uint8_t> au) {
  bool idr = false;
  each_nal(au, [&](std::span<const uint8_t> nal) { idr |= !nal.empty() && (nal[0] & 0x1F) == 5; });
  return idr;
}

// The sequence and picture parameter sets, Annex-B, as a container's extradata.
std::vector<uint8_t> parameter_sets(std::span<const uint8_t> au) {
  std::vector<uint8_t> out;
  each_nal(au, [&](std::span<const uint8_t> nal) {
    if (nal.empty() || ((nal[0] & 0x1F) != 7 && (nal[0] & 0x1F) != 8)) return;
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
  });
  return out;
}

// Which H.264 stream a picture belongs to: event type, left, top, width, height.
using StreamId = std::tuple<uint8_t, uint32_t, uint32_t, uint32_t, uint32_t>;

enum class Picture { none, rect, avc420, other_h264, resize };

// What a record does to the picture; for AVC420, its stream and access unit.
Picture picture_of(const Record& r, StreamId& id, std::span<const uint8_t>& au) {
  if (r.from_host) return Picture::none;
  switch (r.type) {
    case EVT_RECT:
    case EVT_RECT_DEFLATE: return Picture::rect;
    case EVT_RESIZE: return Picture::resize;
    case EVT_H264: {
      const auto h = parse_h264(r.payload);
      if (!h) return Picture::none;
      const H264Parts parts = split_h264(h->stream);
      if (parts.kind == H264Kind::avc444) return Picture::other_h264;
      if (parts.kind != H264Kind::avc420) return Picture::none;
      id = {EVT_H264, h->left, h->top, h->width, h->height};
      au = parts.main;
      return Picture::avc420;
    }
    case EVT_H264_CODEC: {
      const auto h = parse_h264_codec_header(r.payload);
      if (!h) return Picture::none;
      if (h->codec != CODEC_ID_AVC420) return Picture::other_h264;
      id = {EVT_H264_CODEC, h->left, h->top, h->width, h->height};
      au = r.payload.subspan(kH264CodecHeaderSize, h->main_length);
      return Picture::avc420;
    }
    default: return Picture::none;
  }
}

// The libavcodec decoder of a compressed format korvane passes on; none for the others.
AVCodecID decoder_of(uint16_t tag) {
  switch (tag) {
    case AUDIO_TAG_AAC: return AV_CODEC_ID_AAC;
    case AUDIO_TAG_OPUS:
    case AUDIO_TAG_XRDP_OPUS: return AV_CODEC_ID_OPUS;
    case AUDIO_TAG_MP3: return AV_CODEC_ID_MP3;
    default: return AV_CODEC_ID_NONE;
  }
}

// What the first pass learns.
struct Scan {
  std::optional<StreamId> stream;
  std::vector<uint8_t> first_key;  // the first AVC420 access unit with an IDR picture
  bool several_streams = false, other_h264 = false, painted_after = false, any_picture = false;
  uint32_t width = 0, height = 0;  // the desktop's size at its first picture
  uint32_t desktop_width = 0, desktop_height = 0;
  std::optional<AudioFormat> first_sound;  // the track's rate and channels
  uint64_t last_us = 0;

  std::string why_not_remux() const {
    if (!stream || first_key.empty()) return "the recording holds no AVC420 key frame";
    if (other_h264) return "AVC444 pictures: both views are decoded, combined and encoded";
    if (several_streams) return "more than one H.264 stream (several surfaces, or a resize)";
    if (painted_after) return "rectangles are painted besides the H.264 stream";
    return "";
  }
};

Scan scan(const std::string& path, RecordingProblem& problem, std::string& error) {
  Scan s;
  problem = each_record(
      path,
      [&](const Record& r) {
        s.last_us = r.time_us;
        if (!r.from_host && (r.type == EVT_CONNECTED || r.type == EVT_RESIZE)) {
          if (const auto size = parse_size(r.payload)) {
            s.desktop_width = size->width;
            s.desktop_height = size->height;
          }
        }
        if (!r.from_host && r.type == EVT_AUDIO_FORMAT && !s.first_sound) {
          const auto f = parse_audio_format(r.payload);
          if (f && f->channels && f->samples_per_sec &&
              (is_pcm16(*f) || avcodec_find_decoder(decoder_of(f->tag))))
            s.first_sound = f;
        }
        StreamId id;
        std::span<const uint8_t> au;
        const Picture p = picture_of(r, id, au);
        if (p == Picture::none) return;
        if (!s.any_picture && p != Picture::resize) {
          s.any_picture = true;
          s.width = s.desktop_width;
          s.height = s.desktop_height;
        }
        switch (p) {
          case Picture::avc420:
            if (s.stream && *s.stream != id) s.several_streams = true;
            if (!s.stream) s.stream = id;
            if (s.first_key.empty() && has_idr(au)) s.first_key.assign(au.begin(), au.end());
            break;
          case Picture::other_h264: s.other_h264 = true; break;
          case Picture::rect:
          case Picture::resize:
            if (s.stream) s.painted_after = true;
            break;
          case Picture::none: break;
        }
      },
      error);
  return s;
}

// The size of the first picture an access unit decodes to.
std::optional<std::pair<int, int>> decoded_size(std::span<const uint8_t> au) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec) return std::nullopt;
  AVCodecContext* c = avcodec_alloc_context3(codec);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::optional<std::pair<int, int>> size;
  if (c && pkt && frame && avcodec_open2(c, codec, nullptr) == 0 &&
      av_new_packet(pkt, static_cast<int>(au.size())) == 0) {
    std::copy(au.begin(), au.end(), pkt->data);
    if (avcodec_send_packet(c, pkt) == 0 && avcodec_send_packet(c, nullptr) == 0 &&
        avcodec_receive_frame(c, frame) == 0)
      size = std::make_pair(frame->width, frame->height);
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&c);
  return size;
}

// The output file and its encoders; everything freed with it.
struct Output {
  AVFormatContext* format = nullptr;
  AVStream* video = nullptr;
  AVCodecContext* video_encoder = nullptr;
  SwsContext* sws = nullptr;
  AVFrame* picture = nullptr;
  int64_t last_video_pts = -1;
  // The sound track.
  AVStream* sound = nullptr;
  AVCodecContext* sound_encoder = nullptr;
  SwrContext* swr = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVFrame* samples = nullptr;
  int frame_samples = 1024;
  std::optional<AudioFormat> source;        // what the server sends now; none: nothing to put in
  AVCodecContext* sound_decoder = nullptr;  // for a compressed source
  AVFrame* decoded = nullptr;
  AVSampleFormat swr_format = AV_SAMPLE_FMT_NONE;  // what swr converts from
  int swr_rate = 0;
  AVChannelLayout swr_layout{};
  int64_t queued = 0;  // samples put in the track so far, at its rate
  int64_t sound_pts = 0;
  AVPacket* packet = nullptr;
  AVPacket held{};  // remuxing: the last access unit, written once the next one's time is known
  bool header_written = false;
  std::string error;

  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() {
    av_packet_unref(&held);
    if (format && header_written) av_write_trailer(format);
    if (format && !(format->oformat->flags & AVFMT_NOFILE)) avio_closep(&format->pb);
    avformat_free_context(format);
    avcodec_free_context(&video_encoder);
    avcodec_free_context(&sound_encoder);
    avcodec_free_context(&sound_decoder);
    av_frame_free(&decoded);
    av_channel_layout_uninit(&swr_layout);
    sws_freeContext(sws);
    swr_free(&swr);
    if (fifo) av_audio_fifo_free(fifo);
    av_frame_free(&picture);
    av_frame_free(&samples);
    av_packet_free(&packet);
  }

  bool fail(const std::string& what, int err = 0) {
    if (error.empty()) error = err ? what + ": " + av_text(err) : what;
    return false;
  }
};

bool wants_global_header(const Output& o) {
  return (o.format->oformat->flags & AVFMT_GLOBALHEADER) != 0;
}

// Every packet the encoder has ready, into the file.
bool drain(Output& o, AVCodecContext* encoder, AVStream* stream) {
  for (;;) {
    const int got = avcodec_receive_packet(encoder, o.packet);
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
    if (got < 0) return o.fail("encoding", got);
    av_packet_rescale_ts(o.packet, encoder->time_base, stream->time_base);
    o.packet->stream_index = stream->index;
    const int written = av_interleaved_write_frame(o.format, o.packet);
    if (written < 0) return o.fail("writing", written);
  }
}

// --- The sound track -----------------------------------------------------------------------

bool open_sound(Output& o, const AudioFormat& first) {
  // Matroska takes PCM as it is; MP4 gets AAC.
  const bool pcm =
      avformat_query_codec(o.format->oformat, AV_CODEC_ID_PCM_S16LE, FF_COMPLIANCE_NORMAL) == 1;
  const AVCodec* codec = avcodec_find_encoder(pcm ? AV_CODEC_ID_PCM_S16LE : AV_CODEC_ID_AAC);
  if (!codec) return o.fail("no sound encoder");
  o.sound = avformat_new_stream(o.format, nullptr);
  o.sound_encoder = avcodec_alloc_context3(codec);
  if (!o.sound || !o.sound_encoder) return o.fail("out of memory");
  AVCodecContext* c = o.sound_encoder;
  c->sample_rate = static_cast<int>(first.samples_per_sec);
  av_channel_layout_default(&c->ch_layout, first.channels);
  c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  c->time_base = AVRational{1, c->sample_rate};
  if (!pcm) c->bit_rate = 128000;
  if (wants_global_header(o)) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (const int e = avcodec_open2(c, codec, nullptr); e < 0) return o.fail("sound encoder", e);
  if (const int e = avcodec_parameters_from_context(o.sound->codecpar, c); e < 0)
    return o.fail("sound stream", e);
  o.sound->time_base = c->time_base;
  if (c->frame_size > 0) o.frame_samples = c->frame_size;
  o.fifo = av_audio_fifo_alloc(c->sample_fmt, c->ch_layout.nb_channels, o.frame_samples * 4);
  o.samples = av_frame_alloc();
  o.decoded = av_frame_alloc();
  if (!o.fifo || !o.samples || !o.decoded) return o.fail("out of memory");
  return true;
}

// Encodes what the queue holds in whole frames, or all of it at the end.
bool encode_sound(Output& o, bool at_end) {
  AVCodecContext* c = o.sound_encoder;
  while (av_audio_fifo_size(o.fifo) >= (at_end ? 1 : o.frame_samples)) {
    const int n = std::min(av_audio_fifo_size(o.fifo), o.frame_samples);
    av_frame_unref(o.samples);
    o.samples->nb_samples = n;
    o.samples->format = c->sample_fmt;
    o.samples->sample_rate = c->sample_rate;
    if (av_channel_layout_copy(&o.samples->ch_layout, &c->ch_layout) < 0 ||
        av_frame_get_buffer(o.samples, 0) < 0)
      return o.fail("out of memory");
    if (av_audio_fifo_read(o.fifo, reinterpret_cast<void**>(o.samples->data), n) != n)
      return o.fail("sound queue");
    o.samples->pts = o.sound_pts;
    o.sound_pts += n;
    if (const int e = avcodec_send_frame(c, o.samples); e < 0) return o.fail("sound encoder", e);
    if (!drain(o, c, o.sound)) return false;
  }
  return true;
}

// Silence up to `position` samples, when the track is over 200 ms behind the recording: the
// server sends nothing while nothing plays, and the track must stay on the recording's clock.
bool catch_up(Output& o, int64_t position) {
  AVCodecContext* c = o.sound_encoder;
  if (position - o.queued <= c->sample_rate / 5) return true;
  while (o.queued < position) {
    const int n = static_cast<int>(std::min<int64_t>(position - o.queued, o.frame_samples));
    uint8_t** silence = nullptr;
    if (av_samples_alloc_array_and_samples(&silence, nullptr, c->ch_layout.nb_channels, n,
                                           c->sample_fmt, 0) < 0)
      return o.fail("out of memory");
    av_samples_set_silence(silence, 0, n, c->ch_layout.nb_channels, c->sample_fmt);
    const int put = av_audio_fifo_write(o.fifo, reinterpret_cast<void**>(silence), n);
    av_freep(&silence[0]);
    av_freep(&silence);
    if (put != n) return o.fail("sound queue");
    o.queued += n;
    if (!encode_sound(o, false)) return false;
  }
  return true;
}

// The track's converter from `format` at `rate` with `channels`, made anew when they change.
bool convert_from(Output& o, AVSampleFormat format, int rate, const AVChannelLayout& layout) {
  if (o.swr && o.swr_format == format && o.swr_rate == rate &&
      av_channel_layout_compare(&o.swr_layout, &layout) == 0)
    return true;
  swr_free(&o.swr);
  AVCodecContext* c = o.sound_encoder;
  // The layouts are only read (this libswresample's prototype wants them writable).
  const int e =
      swr_alloc_set_opts2(&o.swr, &c->ch_layout, c->sample_fmt, c->sample_rate,
                          const_cast<AVChannelLayout*>(&layout), format, rate, 0, nullptr);
  if (e < 0 || swr_init(o.swr) < 0) return o.fail("sound conversion", e);
  o.swr_format = format;
  o.swr_rate = rate;
  av_channel_layout_uninit(&o.swr_layout);
  return av_channel_layout_copy(&o.swr_layout, &layout) == 0;
}

// Converts `samples` samples to the track's format and queues them.
bool put_samples(Output& o, const uint8_t** in, int samples) {
  AVCodecContext* c = o.sound_encoder;
  const int room = swr_get_out_samples(o.swr, samples);
  if (room < 0) return o.fail("sound conversion");
  uint8_t** out = nullptr;
  if (av_samples_alloc_array_and_samples(&out, nullptr, c->ch_layout.nb_channels, std::max(room, 1),
                                         c->sample_fmt, 0) < 0)
    return o.fail("out of memory");
  const int got = swr_convert(o.swr, out, room, in, samples);
  const int put = got > 0 ? av_audio_fifo_write(o.fifo, reinterpret_cast<void**>(out), got) : 0;
  av_freep(&out[0]);
  av_freep(&out);
  if (got < 0 || put != std::max(got, 0)) return o.fail("sound conversion");
  o.queued += got;
  return encode_sound(o, false);
}

bool on_sound_format(Output& o, const AudioFormat& f) {
  avcodec_free_context(&o.sound_decoder);
  o.source.reset();
  if (is_pcm16(f)) {
    AVChannelLayout in{};
    av_channel_layout_default(&in, f.channels);
    const bool ok = convert_from(o, AV_SAMPLE_FMT_S16, static_cast<int>(f.samples_per_sec), in);
    av_channel_layout_uninit(&in);
    if (ok) o.source = f;
    return ok;
  }
  // A compressed format is decoded; its blocks stay out of the track when it cannot be.
  const AVCodec* codec = avcodec_find_decoder(decoder_of(f.tag));
  if (!codec || f.channels == 0 || f.samples_per_sec == 0) return true;
  o.sound_decoder = avcodec_alloc_context3(codec);
  if (!o.sound_decoder) return o.fail("out of memory");
  o.sound_decoder->sample_rate = static_cast<int>(f.samples_per_sec);
  av_channel_layout_default(&o.sound_decoder->ch_layout, f.channels);
  if (!f.codec_data.empty()) {
    // AAC's AudioSpecificConfig, as the page's AudioDecoder is given it too.
    o.sound_decoder->extradata =
        static_cast<uint8_t*>(av_mallocz(f.codec_data.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!o.sound_decoder->extradata) return o.fail("out of memory");
    std::copy(f.codec_data.begin(), f.codec_data.end(), o.sound_decoder->extradata);
    o.sound_decoder->extradata_size = static_cast<int>(f.codec_data.size());
  }
  if (avcodec_open2(o.sound_decoder, codec, nullptr) < 0) {
    avcodec_free_context(&o.sound_decoder);
    return true;
  }
  o.source = f;
  return true;
}

bool on_sound_data(Output& o, uint64_t time_us, std::span<const uint8_t> bytes,
                   VideoReport& report) {
  if (!o.source) {
    report.sound_skipped++;
    return true;
  }
  AVCodecContext* c = o.sound_encoder;
  if (!catch_up(o, static_cast<int64_t>(time_us * static_cast<uint64_t>(c->sample_rate) / 1000000)))
    return false;
  report.sound_blocks++;
  if (!o.sound_decoder) {
    const uint8_t* in[1] = {bytes.data()};
    return put_samples(o, in, static_cast<int>(bytes.size() / o.source->block_align));
  }
  // A block the decoder refuses is lost to the track, not to the video.
  av_packet_unref(o.packet);
  if (av_new_packet(o.packet, static_cast<int>(bytes.size())) < 0) return o.fail("out of memory");
  std::copy(bytes.begin(), bytes.end(), o.packet->data);
  const int sent = avcodec_send_packet(o.sound_decoder, o.packet);
  av_packet_unref(o.packet);
  if (sent < 0) {
    report.sound_undecoded++;
    return true;
  }
  while (avcodec_receive_frame(o.sound_decoder, o.decoded) == 0) {
    const AVFrame* f = o.decoded;
    if (!convert_from(o, static_cast<AVSampleFormat>(f->format), f->sample_rate, f->ch_layout) ||
        !put_samples(o, const_cast<const uint8_t**>(f->extended_data), f->nb_samples))
      return false;
  }
  return true;
}

// --- The picture ---------------------------------------------------------------------------

bool open_output(Output& o, const std::string& out) {
  const int e = avformat_alloc_output_context2(&o.format, nullptr, nullptr, out.c_str());
  if (e < 0 || !o.format) return o.fail("no container for " + out + " (use .mp4 or .mkv)", e);
  o.packet = av_packet_alloc();
  if (!o.packet) return o.fail("out of memory");
  return true;
}

bool start_file(Output& o, const std::string& out) {
  if (!(o.format->oformat->flags & AVFMT_NOFILE)) {
    if (const int e = avio_open(&o.format->pb, out.c_str(), AVIO_FLAG_WRITE); e < 0)
      return o.fail("cannot create " + out, e);
  }
  if (const int e = avformat_write_header(o.format, nullptr); e < 0)
    return o.fail("writing the header", e);
  o.header_written = true;
  return true;
}

bool open_encoder(Output& o, uint32_t width, uint32_t height, std::string& name) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder_by_name("libopenh264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) return o.fail("no H.264 encoder in this libavcodec");
  name = codec->name;
  o.video = avformat_new_stream(o.format, nullptr);
  o.video_encoder = avcodec_alloc_context3(codec);
  o.picture = av_frame_alloc();
  if (!o.video || !o.video_encoder || !o.picture) return o.fail("out of memory");
  AVCodecContext* c = o.video_encoder;
  // 4:2:0 wants even sizes: an odd last row or column is left out.
  c->width = static_cast<int>(std::max<uint32_t>(width & ~1u, 2));
  c->height = static_cast<int>(std::max<uint32_t>(height & ~1u, 2));
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  // The recording's own timing: a frame when the picture changed, in milliseconds.
  c->time_base = AVRational{1, 1000};
  c->framerate = AVRational{30, 1};
  c->gop_size = 300;
  c->max_b_frames = 0;
  if (wants_global_header(o)) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(c->priv_data, "preset", "veryfast", 0);
  av_opt_set(c->priv_data, "crf", "23", 0);
  if (const int e = avcodec_open2(c, codec, nullptr); e < 0) return o.fail("H.264 encoder", e);
  if (const int e = avcodec_parameters_from_context(o.video->codecpar, c); e < 0)
    return o.fail("video stream", e);
  o.video->time_base = c->time_base;
  o.picture->format = c->pix_fmt;
  o.picture->width = c->width;
  o.picture->height = c->height;
  if (av_frame_get_buffer(o.picture, 0) < 0) return o.fail("out of memory");
  return true;
}

bool encode_picture(Output& o, const Canvas& canvas, uint64_t time_us) {
  if (canvas.width == 0 || canvas.height == 0) return true;
  AVCodecContext* c = o.video_encoder;
  // A desktop resized since the start is scaled to the video's size.
  o.sws = sws_getCachedContext(o.sws, static_cast<int>(canvas.width),
                               static_cast<int>(canvas.height), AV_PIX_FMT_RGBA, c->width,
                               c->height, c->pix_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!o.sws) return o.fail("picture conversion");
  if (av_frame_make_writable(o.picture) < 0) return o.fail("out of memory");
  const uint8_t* src[1] = {canvas.rgba.data()};
  const int stride[1] = {static_cast<int>(canvas.width * 4)};
  sws_scale(o.sws, src, stride, 0, static_cast<int>(canvas.height), o.picture->data,
            o.picture->linesize);
  o.picture->pts = std::max(static_cast<int64_t>(time_us / 1000), o.last_video_pts + 1);
  o.last_video_pts = o.picture->pts;
  if (const int e = avcodec_send_frame(c, o.picture); e < 0) return o.fail("H.264 encoder", e);
  return drain(o, c, o.video);
}

bool open_remuxed(Output& o, const Scan& s) {
  const auto size = decoded_size(s.first_key);
  if (!size) return o.fail("the first key frame does not decode");
  const std::vector<uint8_t> sets = parameter_sets(s.first_key);
  o.video = avformat_new_stream(o.format, nullptr);
  if (!o.video) return o.fail("out of memory");
  AVCodecParameters* p = o.video->codecpar;
  p->codec_type = AVMEDIA_TYPE_VIDEO;
  p->codec_id = AV_CODEC_ID_H264;
  p->width = size->first;
  p->height = size->second;
  p->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!p->extradata) return o.fail("out of memory");
  std::copy(sets.begin(), sets.end(), p->extradata);
  p->extradata_size = static_cast<int>(sets.size());
  o.video->time_base = AVRational{1, 1000};
  return true;
}

// Writes the access unit held back, lasting until `until_ms`: a container takes a sample's
// length from the next one's start, and the last one's (which MP4 would otherwise cut off) from
// the recording's end.
bool write_held(Output& o, int64_t until_ms) {
  if (!o.held.data) return true;
  o.held.duration = std::max<int64_t>(until_ms - o.held.pts, 1);
  av_packet_rescale_ts(&o.held, AVRational{1, 1000}, o.video->time_base);
  const int e = av_interleaved_write_frame(o.format, &o.held);
  av_packet_unref(&o.held);
  return e < 0 ? o.fail("writing", e) : true;
}

bool write_unit(Output& o, std::span<const uint8_t> au, uint64_t time_us) {
  const int64_t pts = std::max(static_cast<int64_t>(time_us / 1000), o.last_video_pts + 1);
  if (!write_held(o, pts)) return false;
  if (av_new_packet(&o.held, static_cast<int>(au.size())) < 0) return o.fail("out of memory");
  std::copy(au.begin(), au.end(), o.held.data);
  o.last_video_pts = pts;
  o.held.pts = o.held.dts = pts;
  if (has_idr(au)) o.held.flags |= AV_PKT_FLAG_KEY;
  o.held.stream_index = o.video->index;
  return true;
}

bool finish_sound(Output& o) {
  if (!o.sound_encoder) return true;
  if (!encode_sound(o, true)) return false;
  if (const int e = avcodec_send_frame(o.sound_encoder, nullptr); e < 0 && e != AVERROR_EOF)
    return o.fail("sound encoder", e);
  return drain(o, o.sound_encoder, o.sound);
}

}  // namespace

std::string export_video(const std::string& recording, const std::string& out, VideoMode mode,
                         VideoReport& report) {
  // libx264 and libav's muxers would talk on standard error; their errors come back here.
  av_log_set_level(AV_LOG_FATAL);
  std::string error;
  RecordingProblem problem = RecordingProblem::none;
  const Scan s = scan(recording, problem, error);
  if (!error.empty()) return error;
  if (problem != RecordingProblem::none && problem != RecordingProblem::cut)
    return std::string("the recording cannot be read: ") + to_string(problem);
  report.recording_end = problem == RecordingProblem::none ? "whole" : to_string(problem);
  report.recording_seconds = static_cast<double>(s.last_us) / 1e6;
  if (!s.any_picture) return "the recording holds no picture";
  const std::string why = s.why_not_remux();
  if (mode == VideoMode::remux && !why.empty()) return "cannot remux: " + why;
  const bool remux = mode != VideoMode::encode && why.empty();
  report.mode = remux ? "remux" : "encode";
  report.why = remux ? "" : (mode == VideoMode::encode ? "asked for" : why);

  Output o;
  if (!open_output(o, out)) return o.error;
  if (remux ? !open_remuxed(o, s) : !open_encoder(o, s.width, s.height, report.encoder))
    return o.error;
  if (s.first_sound && !open_sound(o, *s.first_sound)) return o.error;
  if (!start_file(o, out)) return o.error;
  report.width = static_cast<uint32_t>(o.video->codecpar->width);
  report.height = static_cast<uint32_t>(o.video->codecpar->height);

  Desktop desktop;
  FramePacer pacer;
  bool keyed = false;
  auto picture = [&](uint64_t at) {
    report.frames++;
    report.video_seconds = static_cast<double>(at) / 1e6;
    return encode_picture(o, desktop.canvas, at);
  };
  each_record(
      recording,
      [&](const Record& r) {
        if (!o.error.empty()) return;
        if (!remux) {
          if (const auto due = pacer.before(r.time_us); due && !picture(*due)) return;
        }
        if (r.from_host) return;
        if (o.sound_encoder && r.type == EVT_AUDIO_FORMAT) {
          if (const auto f = parse_audio_format(r.payload)) on_sound_format(o, *f);
          return;
        }
        if (o.sound_encoder && r.type == EVT_AUDIO_DATA) {
          if (const auto d = parse_audio_data(r.payload))
            on_sound_data(o, r.time_us, d->bytes, report);
          return;
        }
        StreamId id;
        std::span<const uint8_t> au;
        const Picture p = picture_of(r, id, au);
        if (remux) {
          // The video starts at the stream's first key frame.
          if (p != Picture::avc420 || id != *s.stream || (!keyed && !(keyed = has_idr(au)))) return;
          if (write_unit(o, au, r.time_us)) {
            report.frames++;
            report.video_seconds = static_cast<double>(r.time_us) / 1e6;
          }
          return;
        }
        if (r.type == EVT_CONNECTED || p != Picture::none) {
          apply_event(desktop, Frame{r.type, {r.payload.begin(), r.payload.end()}});
          if (p != Picture::none) pacer.changed(r.time_us);
        }
      },
      error);
  if (!error.empty()) return error;
  const auto end_ms = static_cast<int64_t>(s.last_us / 1000);
  if (remux) write_held(o, end_ms);
  if (!remux && o.error.empty()) {
    if (const auto due = pacer.finish()) picture(*due);
    // The picture again at the recording's end, so that the video lasts as long as it.
    if (o.error.empty() && end_ms > o.last_video_pts) encode_picture(o, desktop.canvas, s.last_us);
    if (o.error.empty()) {
      avcodec_send_frame(o.video_encoder, nullptr);
      drain(o, o.video_encoder, o.video);
    }
  }
  if (o.error.empty()) finish_sound(o);
  if (o.sound_encoder)
    report.sound_seconds = static_cast<double>(o.queued) / o.sound_encoder->sample_rate;
  return o.error;
}

}  // namespace korvane::host
