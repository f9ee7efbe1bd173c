#include "relay/websocket_relay.h"

// Placeholder until the WebSocket channel lands.
namespace larkspire {

void WebSocketRelay::Close() { connected_ = false; }

}  // namespace larkspire
