#pragma once

#include <string>
#include <vector>

namespace larkspire {

// The interface of the first default route (destination 00000000) in the text of
// /proc/net/route, or empty when there is none.
std::string DefaultRouteInterface(const std::string& routeTable);

struct UplinkChoice {
  std::string name;
  bool autoSelected = false;  // true when the configured name was empty or not detected
};

// Keeps a configured uplink that is among the detected interfaces; otherwise takes the
// default-route interface (even one that detection leaves out, such as a VPN device), and
// without a default route the first detected interface.
UplinkChoice ChooseUplinkInterface(const std::string& configured,
                                   const std::vector<std::string>& interfaceNames,
                                   const std::string& routeTable);

}  // namespace larkspire
