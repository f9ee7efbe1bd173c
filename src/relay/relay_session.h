#pragma once

#include <string>

#include "hub/tls_session.h"
#include "relay/ingress_filter.h"
#include "relay/packet_device.h"

namespace larkspire {

class WebSocketRelay;
class UdpRelay;

// Where a relay connection goes and who it is.
struct RelayEndpoint {
  std::string serverUrl;
  std::string deviceNumber;
  std::string deviceSecret;
  HubTrust trust{};  // what an https Hub must prove
};

// One relay connection between the packet device and the Hub: connects both channels (the UDP
// channel only on a plain link: its datagrams are not encrypted), starts the
// two reader threads, pumps device-to-Hub on the calling thread until the WebSocket channel fails
// or a stop is requested, then tears down and joins. Packets from the Hub reach the device only
// when `filter` lets them in. Throws when the WebSocket handshake fails (no thread started
// then) and ThreadStartError when a reader cannot start (the other one joined).
void RelayOneConnection(PacketDevice device, const RelayEndpoint& endpoint,
                        const IngressFilter& filter, WebSocketRelay& webSocket, UdpRelay& udp);

}  // namespace larkspire
