#include "service/shared_networks.h"

#include <gtest/gtest.h>

#include <sstream>

#include "service/uplink.h"

namespace larkspire {
namespace {

// "a b c" -> {"a", "b", "c"}; "|" stands for an entry with a leading blank.
std::vector<std::string> List(const std::string& words) {
  std::vector<std::string> list;
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    list.push_back(word[0] == '|' ? " " + word.substr(1) : word);
  }
  return list;
}

TEST(ResolveSharedNetworksTest, CoversFreshUpgradedAndSettledConfigurations) {
  const std::string detected = "192.168.50.0/24 192.168.60.0/24";
  const std::string merged = detected + " 10.1.0.0/16";
  const struct {
    const char* label;
    std::string shared, additional, expectedShared, expectedAdditional;
    bool treatedAsAdditional, changed;
  } cases[] = {
      {"fresh", "", "", detected, "", false, true},
      {"the old placeholder is replaced", "192.168.1.0/24", "", detected, "", false, true},
      {"an operator's network moves to the additional list", "10.1.0.0/16", "", merged,
       "10.1.0.0/16", true, true},
      {"settled", merged, "10.1.0.0/16", merged, "10.1.0.0/16", false, false},
      {"a stale list is recomputed", "172.16.0.0/12", "10.1.0.0/16", merged, "10.1.0.0/16", false,
       true},
      {"additional entries trimmed and de-duplicated", "", "|10.1.0.0/16 192.168.50.0/24", merged,
       "|10.1.0.0/16 192.168.50.0/24", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SharedNetworkResolution result =
        ResolveSharedNetworks(List(detected), List(c.shared), List(c.additional));
    EXPECT_EQ(result.sharedNetworks, List(c.expectedShared));
    EXPECT_EQ(result.additionalSharedNetworks, List(c.expectedAdditional));
    EXPECT_EQ(result.treatedAsAdditional, c.treatedAsAdditional);
    EXPECT_EQ(result.changed, c.changed);
  }
}

// A present choice stays, else the first default route, else the first interface (eth0).
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
