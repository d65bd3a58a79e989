// The device-connect task: takes a freshly plugged module from "no port found"
// to "ready to download" — find its ports, probe its mode, read its identity,
// narrow and check the image folder.
#pragma once

#include "records/window_notifications.h"

namespace vek {

// The thread's body; its three waiting loops end only on success or on a stop request.
int DeviceConnectTask(WindowNotifications& window);

}  // namespace vek
