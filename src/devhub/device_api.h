#pragma once

#include <functional>
#include <string>

#include "devhub/device_store.h"
#include "devhub/http_message.h"
#include "devhub/server.h"

namespace larkspire {

// Extra members of one device in the listing (the relay's state, say): "\"name\":value" text.
using DeviceListingExtra = std::function<std::string(const std::string& number)>;

// The device rows of the Hub contract: register, heartbeat and the device listing.
// The handlers take no socket, so tests call them directly.
void AddDeviceRoutes(DevHubServer& server, DeviceStore& store, DeviceListingExtra extra = {});

// POST /api/devices/register
HttpResponse HandleRegister(DeviceStore& store, const HttpRequest& request);
// POST /api/devices/{number}/heartbeat (the number percent-encoded)
HttpResponse HandleHeartbeat(DeviceStore& store, const HttpRequest& request);
// GET /api/devices
HttpResponse HandleListDevices(const DeviceStore& store, const HttpRequest& request,
                               const DeviceListingExtra& extra = {});

}  // namespace larkspire
