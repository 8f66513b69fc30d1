// The remote desktop's sound for a host that asked for it: korvane's own output device for the
// library's sound channel (rdpsnd), which plays nothing here and hands every block to the host
// as it comes (host_link/audio_wire.hpp); and its input device (microphone.hpp).
#pragma once

#include <string>

namespace korvane {

// Installs the devices ahead of the library's channel add-in provider, which the creation of the
// client context installs: call it afterwards, on the main thread, before connecting.
void audio_install_devices();
// Puts the library's provider back; main thread, after the channels are closed.
void audio_remove_devices();

// The command-line arguments that make korvane's devices the ones the sound channel and the
// audio-input channel load.
std::string audio_sound_argument();
std::string audio_microphone_argument();

}  // namespace korvane
