#include "relay/udp_relay.h"

// Placeholder until the UDP channel lands.
namespace larkspire {

void UdpRelay::Close() { connected_ = false; }

}  // namespace larkspire
