#include "service/uplink.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

const char kHeader[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string RouteLine(const std::string& iface, const std::string& destination) {
  return iface + "\t" + destination + "\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0   \n";
}

// Without a present configured choice the first default route wins, and without one the
// first detected interface (eth0 here, so a route-table case must expect another name to show
// that its route was taken).
TEST(ChooseUplinkInterfaceTest, KeepsAPresentChoiceAndOtherwiseTakesTheDefaultRoute) {
  const std::vector<std::string> detected = {"eth0", "eth1"};
  const std::string viaEth1 = kHeader + RouteLine("eth1", "00000000");
  struct Case {
    const char* label;
    std::string configured;
    std::string table;
    std::string name;
    bool autoSelected;
  };
  const Case cases[] = {
      {"configured and present", "eth0", viaEth1, "eth0", false},
      {"configured but gone", "enp9s0", viaEth1, "eth1", true},
      {"the first default route after a network route", "",
       kHeader + RouteLine("eth0", "0032A8C0") + RouteLine("eth1", "00000000") +
           RouteLine("wlan0", "00000000"),
       "eth1", true},
      {"a default route over an excluded interface still wins", "",
       kHeader + RouteLine("wg0", "00000000"), "wg0", true},
      {"no default route takes the first detected", "", kHeader + RouteLine("eth1", "0032A8C0"),
       "eth0", true},
      {"the header line is never taken", "", "eth9\t00000000\n", "eth0", true},
      {"a destination that only starts with zeros", "", kHeader + RouteLine("eth1", "000000001"),
       "eth0", true},
      {"unreadable route table takes the first detected", "gone0", "", "eth0", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    UplinkChoice choice = ChooseUplinkInterface(c.configured, detected, c.table);
    EXPECT_EQ(choice.name, c.name);
    EXPECT_EQ(choice.autoSelected, c.autoSelected);
  }
}

}  // namespace
}  // namespace larkspire
