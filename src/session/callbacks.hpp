// What the RDP library calls back while the session is created, connects and runs.
#pragma once

#include <freerdp/freerdp.h>
#include <winpr/collections.h>

namespace korvane {

BOOL client_new(freerdp* instance, rdpContext* context);
BOOL pre_connect(freerdp* instance);
BOOL post_connect(freerdp* instance);
void on_channel_connected(void* context, const wEventArgs* event);
void on_channel_disconnected(void* context, const wEventArgs* event);

}  // namespace korvane
