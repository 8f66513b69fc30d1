// The host-command dispatcher: the input thread reads every host frame after the connect request
// and hands each command to the subsystem that serves it.
#pragma once

#include <cstdint>
#include <span>

#include <freerdp/freerdp.h>

namespace korvane {

// Reads frames until CMD_DISCONNECT, a failed read (end of input, cancelled by teardown) or
// the stop flag; always returns 0. Closing the host's end of standard input ends this thread
// but not the session.
int dispatcher_main();

// The library's input the commands go to. Main thread: before the input thread starts, and
// nullptr after it ended. Until then input is dropped.
void dispatcher_attach_input(rdpInput* input);

// Called by the main thread once the connection is up: sends the input the host gave while
// it was being made (the library drops input before that), then lets input through directly.
void input_connection_up(rdpContext* context);

// Called by the main thread before it takes the connection down to make it again: input waits
// (bounded) until input_connection_up, and none is in the library's hands meanwhile.
void input_connection_down();

// One host command (everything but CMD_CONNECT). Returns false for CMD_DISCONNECT.
bool handle_host_command(uint8_t type, std::span<const uint8_t> payload);

}  // namespace korvane
