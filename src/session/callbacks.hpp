// What the RDP library calls back while the session is created, connects and runs.
#pragma once

#include <freerdp/client.h>
#include <freerdp/freerdp.h>
#include <winpr/collections.h>

#include "session/settings_plan.hpp"

namespace korvane {

// korvane's client context: the library's, then what the callbacks need that only the driver
// knows. The library makes it ContextSize bytes long and hands the same pointer back.
struct ClientContext {
  rdpClientContext common;  // first
  // Set by the main thread before connecting, for as long as the context lives; read by
  // pre_connect (main thread).
  const SettingsPlan* plan;
};

BOOL client_new(freerdp* instance, rdpContext* context);
BOOL pre_connect(freerdp* instance);
BOOL post_connect(freerdp* instance);
void on_channel_connected(void* context, const wEventArgs* event);
void on_channel_disconnected(void* context, const wEventArgs* event);

}  // namespace korvane
