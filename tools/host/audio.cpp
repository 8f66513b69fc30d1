#include "host/audio.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "host_link/mic_wire.hpp"
#include "host_link/protocol.hpp"

namespace korvane::host {

namespace {

constexpr size_t kWavHeaderSize = 44;
// RIFF sizes are 32-bit; the RIFF size counts everything after its own 8 bytes.
constexpr uint64_t kMaxWavData = 0xFFFFFFFFull - (kWavHeaderSize - 8);
// A server that keeps changing formats must not fill the disk with files.
constexpr size_t kMaxWavFiles = 1000;

std::string hex4(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

std::string fixed3(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

std::string format_text(const AudioFormat& f) {
  return "tag=" + hex4(f.tag) + " channels=" + std::to_string(f.channels) +
         " rate=" + std::to_string(f.samples_per_sec) +
         " bits=" + std::to_string(f.bits_per_sample) + " align=" + std::to_string(f.block_align) +
         " avg=" + std::to_string(f.avg_bytes_per_sec) +
         " cb=" + std::to_string(f.codec_data.size());
}

std::string errno_text() { return std::strerror(errno); }

}  // namespace

bool is_pcm16(const AudioFormat& f) {
  return f.tag == AUDIO_TAG_PCM && f.bits_per_sample == 16 && f.channels != 0 &&
         f.block_align == f.channels * 2 && f.samples_per_sec != 0;
}

std::string apply_audio_event(HostAudio& audio, const Frame& frame) {
  switch (frame.type) {
    case EVT_AUDIO_FORMAT: {
      auto f = parse_audio_format(frame.payload);
      if (!f) return describe_audio_event(frame) + ": malformed";
      audio.formats.push_back(std::move(*f));
      return {};
    }
    case EVT_AUDIO_DATA: {
      auto d = parse_audio_data(frame.payload);
      if (!d) return describe_audio_event(frame) + ": malformed";
      if (audio.formats.empty()) return describe_audio_event(frame) + ": before any format";
      std::string problem;
      if (d->sequence != audio.next_sequence) {
        problem = describe_audio_event(frame) + ": expected sequence " +
                  std::to_string(audio.next_sequence);
      }
      audio.next_sequence = d->sequence + 1;
      audio.blocks++;
      audio.bytes += d->bytes.size();
      const uint32_t rate = audio.formats.back().avg_bytes_per_sec;
      if (rate) audio.seconds += static_cast<double>(d->bytes.size()) / rate;
      return problem;
    }
    case EVT_AUDIO_VOLUME: {
      auto v = parse_audio_volume(frame.payload);
      if (!v) return describe_audio_event(frame) + ": malformed";
      audio.volume = *v;
      return {};
    }
    case EVT_MIC_OPEN:
      if (!parse_mic_open(frame.payload)) return describe_audio_event(frame) + ": malformed";
      return {};
    case EVT_MIC_CLOSED: return {};
    default: return "not an audio event";
  }
}

std::string describe_audio_event(const Frame& frame) {
  switch (frame.type) {
    case EVT_AUDIO_FORMAT: {
      const auto f = parse_audio_format(frame.payload);
      if (!f) return "AUDIO_FORMAT (malformed, " + std::to_string(frame.payload.size()) + " bytes)";
      return "AUDIO_FORMAT " + format_text(*f);
    }
    case EVT_AUDIO_DATA: {
      const auto d = parse_audio_data(frame.payload);
      if (!d) return "AUDIO_DATA (malformed, " + std::to_string(frame.payload.size()) + " bytes)";
      return "AUDIO_DATA sequence=" + std::to_string(d->sequence) +
             " time_ms=" + std::to_string(d->time_ms) + " bytes=" + std::to_string(d->bytes.size());
    }
    case EVT_AUDIO_VOLUME: {
      const auto v = parse_audio_volume(frame.payload);
      if (!v) return "AUDIO_VOLUME (malformed, " + std::to_string(frame.payload.size()) + " bytes)";
      char text[40];
      std::snprintf(text, sizeof text, "AUDIO_VOLUME value=0x%08x", *v);
      return text;
    }
    case EVT_MIC_OPEN: {
      const auto m = parse_mic_open(frame.payload);
      if (!m) return "MIC_OPEN (malformed, " + std::to_string(frame.payload.size()) + " bytes)";
      return "MIC_OPEN frames_per_packet=" + std::to_string(m->frames_per_packet) + " " +
             format_text(m->format);
    }
    case EVT_MIC_CLOSED: return "MIC_CLOSED";
    default: return "EVENT type=" + std::to_string(frame.type);
  }
}

std::string audio_summary(const HostAudio& audio) {
  return "AUDIO formats=" + std::to_string(audio.formats.size()) +
         " blocks=" + std::to_string(audio.blocks) + " bytes=" + std::to_string(audio.bytes) +
         " seconds=" + fixed3(audio.seconds);
}

WavFile::WavFile(WavFile&& other) noexcept { *this = std::move(other); }

WavFile& WavFile::operator=(WavFile&& other) noexcept {
  if (this != &other) {
    close();
    file_ = std::exchange(other.file_, nullptr);
    path_ = std::move(other.path_);
    format_ = std::move(other.format_);
    data_bytes_ = std::exchange(other.data_bytes_, 0);
  }
  return *this;
}

WavFile::~WavFile() { close(); }

std::string WavFile::open(const std::string& path, const AudioFormat& format) {
  close();
  if (!is_pcm16(format)) return "only 16-bit PCM goes into a WAV file";
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return "cannot create " + path + ": " + errno_text();
  path_ = path;
  format_ = format;
  data_bytes_ = 0;
  std::vector<uint8_t> h;
  h.reserve(kWavHeaderSize);
  auto tag = [&h](const char* four) { h.insert(h.end(), four, four + 4); };
  tag("RIFF");
  append_u32(h, 0);  // patched by close()
  tag("WAVE");
  tag("fmt ");
  append_u32(h, 16);
  append_u16(h, AUDIO_TAG_PCM);
  append_u16(h, format.channels);
  append_u32(h, format.samples_per_sec);
  // Derived rather than copied: the header must agree with the samples.
  append_u32(h, format.samples_per_sec * format.block_align);
  append_u16(h, format.block_align);
  append_u16(h, 16);
  tag("data");
  append_u32(h, 0);  // patched by close()
  if (std::fwrite(h.data(), 1, h.size(), file_) != h.size()) {
    const std::string why = "cannot write " + path + ": " + errno_text();
    std::fclose(file_);
    file_ = nullptr;
    return why;
  }
  return {};
}

std::string WavFile::write(std::span<const uint8_t> bytes) {
  if (!file_) return "no WAV file open";
  if (data_bytes_ + bytes.size() > kMaxWavData) return path_ + " is full (4 GiB)";
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
    return "cannot write " + path_ + ": " + errno_text();
  }
  data_bytes_ += bytes.size();
  return {};
}

std::string WavFile::close() {
  if (!file_) return {};
  std::string problem;
  // A chunk of odd size is followed by a pad byte that its size does not count.
  const bool pad = (data_bytes_ & 1) != 0;
  if (pad && std::fputc(0, file_) == EOF) problem = "cannot write " + path_ + ": " + errno_text();
  std::vector<uint8_t> riff, data;
  append_u32(riff, static_cast<uint32_t>(kWavHeaderSize - 8 + data_bytes_ + (pad ? 1 : 0)));
  append_u32(data, static_cast<uint32_t>(data_bytes_));
  if (problem.empty() &&
      (std::fseek(file_, 4, SEEK_SET) != 0 || std::fwrite(riff.data(), 1, 4, file_) != 4 ||
       std::fseek(file_, 40, SEEK_SET) != 0 || std::fwrite(data.data(), 1, 4, file_) != 4)) {
    problem = "cannot write the sizes into " + path_ + ": " + errno_text();
  }
  if (std::fclose(file_) != 0 && problem.empty()) {
    problem = "cannot close " + path_ + ": " + errno_text();
  }
  file_ = nullptr;
  return problem;
}

std::string wav_series_path(const std::string& base, size_t n) {
  if (n <= 1) return base;
  const size_t slash = base.rfind('/');
  const size_t dot = base.rfind('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  const std::string suffix = "-" + std::to_string(n);
  return has_ext ? base.substr(0, dot) + suffix + base.substr(dot) : base + suffix;
}

std::string WavSeries::closed_line() {
  const AudioFormat& f = current_.format();
  const double seconds =
      f.block_align && f.samples_per_sec
          ? static_cast<double>(current_.data_bytes()) / (f.block_align * f.samples_per_sec)
          : 0.0;
  return "WAV CLOSED " + current_.path() + " data=" + std::to_string(current_.data_bytes()) +
         " seconds=" + fixed3(seconds);
}

std::vector<std::string> WavSeries::on_event(const Frame& frame, std::string* problem) {
  std::vector<std::string> lines;
  if (frame.type == EVT_AUDIO_FORMAT) {
    const auto f = parse_audio_format(frame.payload);
    if (!f) return lines;
    if (current_.is_open() && current_.format() == *f) return lines;  // same stream goes on
    if (current_.is_open()) {
      lines.push_back(closed_line());
      const std::string why = current_.close();
      if (!why.empty()) *problem = why;
    }
    skipping_ = true;
    if (!is_pcm16(*f)) {
      lines.push_back("WAV SKIPPED format tag=" + hex4(f->tag) + ": not 16-bit PCM");
      return lines;
    }
    if (files_ >= kMaxWavFiles) {
      lines.push_back("WAV SKIPPED format: already " + std::to_string(files_) + " files");
      return lines;
    }
    const std::string path = wav_series_path(base_, ++files_);
    const std::string why = current_.open(path, *f);
    if (!why.empty()) {
      *problem = why;
      return lines;
    }
    skipping_ = false;
    lines.push_back("WAV OPENED " + path + " channels=" + std::to_string(f->channels) +
                    " rate=" + std::to_string(f->samples_per_sec) + " bits=16");
  } else if (frame.type == EVT_AUDIO_DATA) {
    const auto d = parse_audio_data(frame.payload);
    if (!d || skipping_ || !current_.is_open()) return lines;
    const std::string why = current_.write(d->bytes);
    if (!why.empty()) {
      *problem = why;
      // One report, not one per block: the rest of this format is dropped.
      lines.push_back(closed_line());
      current_.close();
      skipping_ = true;
    }
  }
  return lines;
}

std::vector<std::string> WavSeries::finish(std::string* problem) {
  std::vector<std::string> lines;
  if (!current_.is_open()) return lines;
  lines.push_back(closed_line());
  const std::string why = current_.close();
  if (!why.empty()) *problem = why;
  return lines;
}

std::string decode_opus(const AudioFormat& format, std::span<const std::vector<uint8_t>> blocks,
                        std::vector<float>& out) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_OPUS);
  if (!codec) return "libavcodec has no Opus decoder";
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
      avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  if (!ctx || !packet || !frame) return "out of memory";
  ctx->sample_rate = 48000;
  av_channel_layout_default(&ctx->ch_layout, format.channels ? format.channels : 1);
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return "the Opus decoder did not open";
  for (const auto& block : blocks) {
    packet->data = const_cast<uint8_t*>(block.data());
    packet->size = static_cast<int>(block.size());
    if (avcodec_send_packet(ctx.get(), packet.get()) < 0) return "a block is not an Opus packet";
    while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
      const auto fmt = static_cast<AVSampleFormat>(frame->format);
      if (fmt != AV_SAMPLE_FMT_FLTP && fmt != AV_SAMPLE_FMT_FLT)
        return "the Opus decoder gave samples other than float";
      // Planar or interleaved, the first channel's sample n is at n * step.
      const int step = fmt == AV_SAMPLE_FMT_FLT ? frame->ch_layout.nb_channels : 1;
      const auto* samples = reinterpret_cast<const float*>(frame->data[0]);
      for (int n = 0; n < frame->nb_samples; ++n) out.push_back(samples[n * step]);
    }
  }
  return {};
}

}  // namespace korvane::host
