#pragma once

#include "devhub/device_store.h"
#include "devhub/http_message.h"
#include "devhub/server.h"

namespace larkspire {

// The device rows of the Hub contract: register, heartbeat and the device listing.
// The handlers take no socket, so tests call them directly.
void AddDeviceRoutes(DevHubServer& server, DeviceStore& store);

// POST /api/devices/register
HttpResponse HandleRegister(DeviceStore& store, const HttpRequest& request);
// POST /api/devices/{number}/heartbeat (the number percent-encoded)
HttpResponse HandleHeartbeat(DeviceStore& store, const HttpRequest& request);
// GET /api/devices
HttpResponse HandleListDevices(const DeviceStore& store, const HttpRequest& request);

}  // namespace larkspire
