#include "service/uplink.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

// A present configured choice stays; otherwise the first default route wins, and without one
// the first detected interface (eth0, so a route's own choice must name another).
TEST(ChooseUplinkInterfaceTest, KeepsAPresentChoiceAndOtherwiseTakesTheDefaultRoute) {
  const std::string header = "Iface\tDestination\tGateway\tFlags\n";
  const std::string viaEth1 = header + "eth1\t00000000\t0101A8C0\t0003\n";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      // configured, routes, choice
      {"eth0", viaEth1, "eth0"},
      {"enp9s0", viaEth1, "eth1"},
      {"", header + "eth0\t0032A8C0\t0\t1\neth1\t00000000\t0\t3\nwlan0\t00000000\t0\t3\n", "eth1"},
      {"", header + "wg0\t00000000\t0\t3\n", "wg0"},
      {"", header + "eth1\t0032A8C0\t0\t1\neth2\t000000001\t0\t3\n", "eth0"},
      {"", "eth9\t00000000\n", "eth0"},  // the header line is never a route
      {"gone0", "", "eth0"},
  };
  for (const auto& [configured, routes, name] : cases) {
    SCOPED_TRACE(routes);
    UplinkChoice choice = ChooseUplinkInterface(configured, {"eth0", "eth1"}, routes);
    EXPECT_EQ(choice.name, name);
    EXPECT_EQ(choice.autoSelected, configured != "eth0");
  }
}

}  // namespace
}  // namespace larkspire
