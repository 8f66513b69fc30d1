// What korvane asks of the RDP library for one session, decided from the connect request alone:
// the command line the library parses, then each setting written after it. Pure (the standard
// library only); session/settings.cpp is what writes it into the library's settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_link/extensions.hpp"
#include "host_link/protocol.hpp"

namespace korvane {

// The library's values for a Windows NT client (its constants.h, checked where they are written).
inline constexpr uint32_t kOsMajorWindows = 0x0001;
inline constexpr uint32_t kOsMinorWindowsNt = 0x0003;
// 96x96 and 384x384 pointers.
inline constexpr uint32_t kLargePointers = 0x0003;

// nullopt leaves a setting as the library and the command line made it.
struct SettingsPlan {
  // Parsed by the library first: build_connect_args, then korvane's sound device when granted.
  std::vector<std::string> args;

  // Written after the command line, before connecting: the password, then the profile (its
  // .rdp text through the library's parser, then its explicit fields), then what follows.
  std::optional<std::string> password;  // never in args: the library logs its command line
  std::optional<Profile> profile;       // a host granted the profile extension
  // A host granted the gateway extension: written after the profile, so that the host's own
  // fields beat a .rdp text's gateway keys.
  std::optional<Gateway> gateway;
  // A host granted monitors: its layout, whose bounding box is the desktop (its size beats the
  // connect request's); or a host granted resize: its one monitor's scale.
  std::optional<MonitorLayout> monitors;
  std::optional<Scale> scale;
  // The sound the host was granted is the only sound: a .rdp text does not play it on this
  // machine, nor record from its microphone.
  bool sound = false;
  bool microphone = false;  // korvane's microphone, for a host granted it
  uint32_t tcp_ack_timeout_ms = 30000;
  bool software_gdi = true;
  bool gfx_h264 = true;
  bool gfx_avc444 = true;
  bool gfx_avc444v2 = true;
  std::optional<bool> display_control;
  std::optional<uint32_t> large_pointer_flag;
  std::optional<bool> grab_mouse;

  // Written as the connection starts (the library's pre-connect callback, at every connection).
  uint32_t os_major_type = kOsMajorWindows;
  uint32_t os_minor_type = kOsMinorWindowsNt;
  bool redirect_clipboard = true;
  // The connect request's drive, and no other drive or device of this machine (a .rdp text's
  // printers, ports, smart cards): written for a profile host, whose .rdp text may name them.
  std::optional<bool> redirect_drives;
  bool local_devices_off = false;
  // The library's configuration folder is a private one of this process's (certificate.hpp).
  bool private_config_dir = false;
  // Every certificate comes to korvane (certificate_verify), even one the library would take.
  bool verify_certificates = false;
  std::optional<bool> unicode_input;
  // The host's layout; nullopt: the machine's, unless the command line chose one.
  std::optional<uint32_t> keyboard_layout;

  bool operator==(const SettingsPlan&) const = default;
};

// sound_argument and microphone_argument name korvane's devices on the command line
// (audio_sound_argument(), audio_microphone_argument()); each is added only for a host granted it.
SettingsPlan plan_settings(const ConnectParams& params, const Grant& grant, const Extensions& ext,
                           std::string_view sound_argument,
                           std::string_view microphone_argument = {});

}  // namespace korvane
