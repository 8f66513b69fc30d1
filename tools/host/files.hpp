// Files through the clipboard, as a host does it: the file list a clipboard offers
// (FileGroupDescriptorW) built and read, a server's files fetched range by range, and the host's
// own files offered and read out as the server asks. Pure: reading and writing the files is the
// caller's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/frame_io.hpp"
#include "host_link/clip_files.hpp"

namespace korvane::host {

// The format that holds a file list goes by its name; its id is the offering side's choice among
// the registered ones (0xC000 and up).
inline constexpr char kFileListFormat[] = "FileGroupDescriptorW";
inline constexpr uint32_t kFileListFormatId = 0xC0F1;

// One entry of a list: a path below the pasted folder, "\"-separated; a folder comes before what
// it holds.
struct ListedFile {
  std::string name;  // UTF-8, at most 259 UTF-16 units
  uint64_t size = 0;
  bool directory = false;
  bool operator==(const ListedFile&) const = default;
};

// A count (u32), then 592 bytes per file (FILEDESCRIPTORW): flags (attributes, size, progress
// shown, Unicode), the attributes (0x10 a folder, 0x80 a file), the size as high and low u32,
// and the name, UTF-16LE in 260 units with a terminating zero. nullopt for a name too long.
std::optional<std::vector<uint8_t>> encode_file_list(std::span<const ListedFile> files);
// nullopt with `error` set for a list shorter than its count says, or a name that is empty,
// not terminated, absolute or climbing out of the pasted folder ("..").
std::optional<std::vector<ListedFile>> parse_file_list(std::span<const uint8_t> bytes,
                                                       std::string& error);

// Fetching the files of the server's list: the list format asked for once the server offers it,
// the list locked, then every file's ranges, at most kFetchWindow waiting at once.
inline constexpr uint32_t kFetchRange = 1u << 20;
inline constexpr size_t kFetchWindow = 4;
struct FileFetch {
  struct Piece {  // bytes to write: file `index` of `files`, at `position`
    size_t index = 0;
    uint64_t position = 0;
    std::span<const uint8_t> bytes;
  };
  std::vector<ListedFile> files;  // the list, once it came
  uint32_t lock_id = 1;
  // Sends a command to korvane; returns false when it could not.
  std::function<bool(uint8_t type, std::span<const uint8_t> payload)> send;
  // Every event; a piece to write, if the event brought one. `error` is set when the fetch
  // cannot go on (a failed range, a bad list).
  std::optional<Piece> on_event(const Frame& frame, std::string& error);
  bool done() const {
    return listed && next_file >= files.size() && waiting.empty() && rest.empty();
  }
  uint64_t received = 0;  // bytes of the files so far

 private:
  std::optional<uint32_t> list_format;  // the server's id for kFileListFormat
  bool listed = false;
  size_t next_file = 0;
  uint64_t next_position = 0;
  uint32_t next_stream = 1;
  std::map<uint32_t, std::pair<size_t, uint64_t>> waiting;  // stream: file, position
  std::vector<std::pair<size_t, uint64_t>> rest;            // what short answers left out
  bool ask_more();
};

// Offering the host's files: the format list and the list to put on the clipboard, then each of
// the server's requests answered from `read` (the file at `index`, `length` bytes at `position`;
// fewer at its end, nullopt when it cannot be read).
struct FileOffer {
  std::vector<ListedFile> files;
  std::function<std::optional<std::vector<uint8_t>>(size_t index, uint64_t position,
                                                    uint32_t length)>
      read;
  std::vector<uint8_t> formats_payload() const;  // CMD_CLIP_FORMATS
  std::vector<uint8_t> data_payload() const;     // CMD_CLIP_DATA: the list
  // The CMD_CLIP_FILE_DATA answer to an EVT_CLIP_FILE_REQUEST payload (nullopt for another).
  std::optional<std::vector<uint8_t>> answer(std::span<const uint8_t> request) const;
};

}  // namespace korvane::host
