// The host's microphone for a host that asked for it: korvane's input device for the library's
// audio-input channel (audin). The server opens and closes it (EVT_MIC_OPEN, EVT_MIC_CLOSED); the
// host's CMD_AUDIO_IN blocks go to the server as they come, paced by MicPacer (mic_wire.hpp), and
// silence fills in while the host sends nothing.
#pragma once

#include <chrono>
#include <optional>
#include <span>

#include <freerdp/addin.h>

namespace korvane {

// For the add-in provider (audio.cpp): the device's entry point.
PVIRTUALCHANNELENTRY microphone_entry();
// Main thread, before connecting: forgets a previous session's state.
void microphone_reset();

// Input thread: one CMD_AUDIO_IN payload (at least its header, which the dispatcher checked).
void microphone_block(std::span<const uint8_t> payload);

// Main thread, the deadlines: when silence is next due, and sending what is due.
std::optional<std::chrono::steady_clock::time_point> microphone_deadline();
void microphone_tick();

}  // namespace korvane
