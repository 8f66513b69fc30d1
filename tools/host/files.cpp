#include "host/files.hpp"

#include <algorithm>

#include "host/session.hpp"
#include "host_link/protocol.hpp"
#include "host_link/registry.hpp"

namespace korvane::host {

namespace {

constexpr size_t kDescriptorSize = 592;
constexpr size_t kNameOffset = 72;  // after flags .. the size: 4+16+8+8+4+24+8
constexpr size_t kNameUnits = 260;
constexpr uint32_t FD_ATTRIBUTES = 0x4, FD_FILESIZE = 0x40, FD_PROGRESSUI = 0x4000,
                   FD_UNICODE = 0x80000000;
constexpr uint32_t ATTRIBUTE_DIRECTORY = 0x10, ATTRIBUTE_NORMAL = 0x80;

// UTF-8 to UTF-16 code units; nullopt for bytes that are not UTF-8.
std::optional<std::u16string> utf16_of(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return std::nullopt;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<uint8_t>(text[i + k]);
      if ((d & 0xC0) != 0x80) return std::nullopt;
      cp = cp << 6 | (d & 0x3F);
    }
    i += n;
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf8_of(std::u16string_view units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    else if (cp >= 0xD800 && cp < 0xE000)
      cp = 0xFFFD;  // a lone surrogate
    append_utf8(out, cp);
  }
  return out;
}

// A name a host can create below the folder it pastes into.
bool safe_name(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos)
    return false;
  size_t start = 0;
  while (start <= name.size()) {
    const size_t end = std::min(name.find_first_of("\\/", start), name.size());
    const std::string part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// Ranges are kFetchRange-aligned: one asked again from inside (after a short answer) ends where
// it would have.
uint32_t range_length(uint64_t size, uint64_t position) {
  return static_cast<uint32_t>(std::min(size, (position / kFetchRange + 1) * kFetchRange) -
                               position);
}

}  // namespace

std::optional<std::vector<uint8_t>> encode_file_list(std::span<const ListedFile> files) {
  std::vector<uint8_t> out(4 + files.size() * kDescriptorSize);
  put_u32(out.data(), static_cast<uint32_t>(files.size()));
  for (size_t i = 0; i < files.size(); ++i) {
    uint8_t* d = out.data() + 4 + i * kDescriptorSize;
    const auto name = utf16_of(files[i].name);
    if (!name || name->empty() || name->size() >= kNameUnits) return std::nullopt;
    put_u32(d, FD_ATTRIBUTES | FD_FILESIZE | FD_PROGRESSUI | FD_UNICODE);
    put_u32(d + 36, files[i].directory ? ATTRIBUTE_DIRECTORY : ATTRIBUTE_NORMAL);
    const uint64_t size = files[i].directory ? 0 : files[i].size;
    put_u32(d + 64, static_cast<uint32_t>(size >> 32));
    put_u32(d + 68, static_cast<uint32_t>(size));
    for (size_t k = 0; k < name->size(); ++k) {
      d[kNameOffset + 2 * k] = static_cast<uint8_t>((*name)[k]);
      d[kNameOffset + 2 * k + 1] = static_cast<uint8_t>((*name)[k] >> 8);
    }
  }
  return out;
}

std::optional<std::vector<ListedFile>> parse_file_list(std::span<const uint8_t> bytes,
                                                       std::string& error) {
  if (bytes.size() < 4) {
    error = "a file list shorter than its count";
    return std::nullopt;
  }
  const uint32_t count = get_u32(bytes.data());
  if (count > (bytes.size() - 4) / kDescriptorSize) {
    error = "a file list of " + std::to_string(count) + " files in " +
            std::to_string(bytes.size()) + " bytes";
    return std::nullopt;
  }
  std::vector<ListedFile> out(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* d = bytes.data() + 4 + i * kDescriptorSize;
    std::u16string name;
    for (size_t k = 0; k < kNameUnits && (d[kNameOffset + 2 * k] || d[kNameOffset + 2 * k + 1]);
         ++k)
      name.push_back(
          static_cast<char16_t>(d[kNameOffset + 2 * k] | d[kNameOffset + 2 * k + 1] << 8));
    out[i].name = utf8_of(name);
    out[i].directory = (get_u32(d + 36) & ATTRIBUTE_DIRECTORY) != 0;
    out[i].size = out[i].directory ? 0 : uint64_t{get_u32(d + 64)} << 32 | get_u32(d + 68);
    if (name.size() == kNameUnits || !safe_name(out[i].name)) {
      error = "file " + std::to_string(i) + " has a name a host must not use";
      return std::nullopt;
    }
  }
  return out;
}

std::optional<FileFetch::Piece> FileFetch::on_event(const Frame& frame, std::string& error) {
  if (frame.type == EVT_CLIP_FORMATS) {
    // A new list: what the server offered before is gone (a fetch under way keeps its lock).
    const auto list = parse_clip_formats(frame.payload, 4096);
    if (!list || listed) return std::nullopt;
    for (const auto& f : list->formats)
      if (f.name == kFileListFormat) list_format = f.id;
    if (list_format && !send(CMD_CLIP_REQUEST, clip_request_payload(*list_format)))
      error = "cannot ask korvane for the file list";
    return std::nullopt;
  }
  if (frame.type == EVT_CLIP_DATA && list_format && !listed && frame.payload.size() >= 4 &&
      get_u32(frame.payload.data()) == *list_format) {
    auto parsed = parse_file_list(std::span(frame.payload).subspan(4), error);
    if (!parsed) return std::nullopt;
    files = std::move(*parsed);
    listed = true;
    if (!send(CMD_CLIP_LOCK, encode_clip_lock({lock_id, true})) || !ask_more())
      error = "cannot ask korvane for the files";
    if (done()) send(CMD_CLIP_LOCK, encode_clip_lock({lock_id, false}));  // folders, empty files
    return std::nullopt;
  }
  if (frame.type != EVT_CLIP_FILE_DATA) return std::nullopt;
  const auto d = parse_file_data(frame.payload);
  if (!d) return std::nullopt;
  const auto it = waiting.find(d->stream_id);
  if (it == waiting.end()) return std::nullopt;
  const auto [index, position] = it->second;
  waiting.erase(it);
  const uint64_t want = range_length(files[index].size, position);
  if (d->status != FILE_OK || d->bytes.empty() || d->bytes.size() > want) {
    error = "the server gave " + std::to_string(d->bytes.size()) + " bytes of " +
            files[index].name + " at " + std::to_string(position) + " (status " +
            std::to_string(d->status) + ")";
    return std::nullopt;
  }
  received += d->bytes.size();
  // A server may give fewer bytes than asked: the rest is asked for again.
  if (d->bytes.size() < want) rest.push_back({index, position + d->bytes.size()});
  if (!ask_more()) error = "cannot ask korvane for the files";
  if (done()) send(CMD_CLIP_LOCK, encode_clip_lock({lock_id, false}));
  return Piece{index, position, d->bytes};
}

bool FileFetch::ask_more() {
  while (waiting.size() < kFetchWindow && !rest.empty()) {
    const auto [index, position] = rest.back();
    rest.pop_back();
    const FileRequest r{next_stream,
                        static_cast<uint32_t>(index),
                        FILE_ASK_RANGE,
                        position,
                        range_length(files[index].size, position),
                        lock_id};
    if (!send(CMD_CLIP_FILE_REQUEST, encode_file_request(r))) return false;
    waiting[next_stream++] = {index, position};
  }
  while (waiting.size() < kFetchWindow && next_file < files.size()) {
    const ListedFile& f = files[next_file];
    if (f.directory || next_position >= f.size) {
      ++next_file;
      next_position = 0;
      continue;
    }
    const uint32_t length = range_length(f.size, next_position);
    const FileRequest r{next_stream,    static_cast<uint32_t>(next_file),
                        FILE_ASK_RANGE, next_position,
                        length,         lock_id};
    if (!send(CMD_CLIP_FILE_REQUEST, encode_file_request(r))) return false;
    waiting[next_stream++] = {next_file, next_position};
    next_position += length;
  }
  return true;
}

std::vector<uint8_t> FileOffer::formats_payload() const {
  const ClipFormat formats[] = {{kFileListFormatId, kFileListFormat}};
  return encode_clip_formats(formats);
}

std::vector<uint8_t> FileOffer::data_payload() const {
  return clip_data_payload(kFileListFormatId,
                           encode_file_list(files).value_or(std::vector<uint8_t>{}));
}

std::optional<std::vector<uint8_t>> FileOffer::answer(std::span<const uint8_t> request) const {
  const auto r = parse_file_request(request);
  if (!r) return std::nullopt;
  std::optional<std::vector<uint8_t>> bytes;
  if (r->list_index < files.size() && !files[r->list_index].directory) {
    if (r->what == FILE_ASK_SIZE) {
      bytes.emplace();
      append_u32(*bytes, static_cast<uint32_t>(files[r->list_index].size));
      append_u32(*bytes, static_cast<uint32_t>(files[r->list_index].size >> 32));
    } else if (r->what == FILE_ASK_RANGE && read) {
      bytes = read(r->list_index, r->position, std::min(r->length, kMaxFileRange));
    }
  }
  const auto header = encode_file_data_header(r->stream_id, bytes ? FILE_OK : FILE_FAILED);
  std::vector<uint8_t> out(header.begin(), header.end());
  if (bytes) out.insert(out.end(), bytes->begin(), bytes->end());
  return out;
}

}  // namespace korvane::host
