#include "devhub/devhub_relay.h"

#include "devhub/device_store.h"
#include "devhub/hub_tun.h"
#include "devhub/options.h"
#include "devhub/relay_upgrade.h"
#include "devhub/server.h"
#include "util/logger.h"

namespace larkspire {

DevHubRelay::DevHubRelay(const DevHubOptions& options, DeviceStore& store) : udp_(options.udp) {
  if (options.tun) {
    tun_.Open(options.tunName);
  }
  RelayHubOptions relay;
  relay.packetFd = tun_.fd();
  relay.packetOffloadHeader = tun_.offloadHeader();
  relay.packetUdpSegmentation = tun_.device().udpSegmentation;
  relay.packetReadOffload = tun_.device().readOffload;
  relay.authorize = [&store](const std::string& number, const std::string& secret) {
    return store.Check(number, secret) == DeviceCheck::kOk;
  };
  relay.sharedNetworks = [&store](const std::string& number) {
    std::optional<Device> device = store.Find(number);
    return device ? device->sharedNetworks : std::vector<std::string>();
  };
  if (options.tun) {
    relay.networkAnnounced = [this](const Ipv4Network& network) { tun_.AddRoute(network); };
  }
  hub_ = std::make_unique<RelayHub>(std::move(relay));
}

void DevHubRelay::AddRoutes(DevHubServer& server) {
  AddRelayRoutes(server, *hub_);
}

void DevHubRelay::Start(const DevHubServer& server) {
  if (udp_) {
    hub_->EnableUdp(server.Address(), server.Port());
  }
  hub_->Start();
  g_log.Write("INFO", std::string("Relay ready: TUN ") +
                          (tun_.fd() >= 0 ? tun_.name() + " " + kHubOverlayAddress : "off") +
                          ", UDP " + (udp_ ? "on port " + std::to_string(server.Port()) : "off") +
                          ".");
}

void DevHubRelay::Stop() {
  hub_->Stop();
  tun_.Close();
}

std::string DevHubRelay::ListingMembers(const std::string& number) const {
  return "\"relay\":" + hub_->StatusJson(number);
}

}  // namespace larkspire
