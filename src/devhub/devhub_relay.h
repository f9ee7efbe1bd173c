#pragma once

#include <memory>
#include <string>

#include "devhub/hub_tun.h"
#include "devhub/relay_hub.h"

namespace larkspire {

class DeviceStore;
class DevHubServer;
struct DevHubOptions;

// The devhub's relay as its command line asks for it: the Hub TUN interface (unless
// --no-tun), the relay hub that authorises edges against the device store, the relay route,
// and the UDP channel on the HTTP port number (unless --no-udp). Built and driven by main.
class DevHubRelay {
 public:
  // Opens the TUN interface; throws its errors.
  DevHubRelay(const DevHubOptions& options, DeviceStore& store);

  void AddRoutes(DevHubServer& server);
  // Once the server listens: the UDP relay on its address and port number, and the threads.
  void Start(const DevHubServer& server);
  // Close frames to every edge, threads joined, TUN closed. Call before stopping the server.
  void Stop();

  // The "relay" member of a device in the listing.
  std::string ListingMembers(const std::string& number) const;

 private:
  bool udp_;
  HubTun tun_;
  std::unique_ptr<RelayHub> hub_;
};

}  // namespace larkspire
