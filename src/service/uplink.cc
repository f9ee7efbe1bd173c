#include "service/uplink.h"

#include <algorithm>
#include <sstream>

namespace larkspire {

std::string DefaultRouteInterface(const std::string& routeTable) {
  std::istringstream lines(routeTable);
  std::string line;
  std::getline(lines, line);  // column header
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string interfaceName;
    std::string destination;
    fields >> interfaceName >> destination;
    if (!interfaceName.empty() && destination == "00000000") {
      return interfaceName;
    }
  }
  return "";
}

UplinkChoice ChooseUplinkInterface(const std::string& configured,
                                   const std::vector<std::string>& interfaceNames,
                                   const std::string& routeTable) {
  bool present = std::find(interfaceNames.begin(), interfaceNames.end(), configured) !=
                 interfaceNames.end();
  if (!configured.empty() && present) {
    return {configured, false};
  }
  std::string name = DefaultRouteInterface(routeTable);
  if (name.empty() && !interfaceNames.empty()) {
    name = interfaceNames.front();
  }
  return {name, true};
}

}  // namespace larkspire
