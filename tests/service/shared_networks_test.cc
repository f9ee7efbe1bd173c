#include "service/shared_networks.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

using List = std::vector<std::string>;

TEST(ResolveSharedNetworksTest, CoversFreshUpgradedAndSettledConfigurations) {
  const List detected = {"192.168.50.0/24", "192.168.60.0/24"};
  struct Case {
    const char* label;
    List shared, additional;
    List expectedShared, expectedAdditional;
    bool treatedAsAdditional, changed;
  };
  const Case cases[] = {
      {"fresh configuration", {}, {}, detected, {}, false, true},
      {"the old placeholder is replaced, not kept",
       {"192.168.1.0/24"},
       {},
       detected,
       {},
       false,
       true},
      {"an operator's network moves to the additional list",
       {"10.1.0.0/16"},
       {},
       {"192.168.50.0/24", "192.168.60.0/24", "10.1.0.0/16"},
       {"10.1.0.0/16"},
       true,
       true},
      {"already settled: nothing changes",
       {"192.168.50.0/24", "192.168.60.0/24", "10.1.0.0/16"},
       {"10.1.0.0/16"},
       {"192.168.50.0/24", "192.168.60.0/24", "10.1.0.0/16"},
       {"10.1.0.0/16"},
       false,
       false},
      {"with additional networks a stale list is simply recomputed",
       {"172.16.0.0/12"},
       {"10.1.0.0/16"},
       {"192.168.50.0/24", "192.168.60.0/24", "10.1.0.0/16"},
       {"10.1.0.0/16"},
       false,
       true},
      {"additional entries are trimmed and de-duplicated in the shared list",
       {},
       {" 10.1.0.0/16", "192.168.50.0/24"},
       {"192.168.50.0/24", "192.168.60.0/24", "10.1.0.0/16"},
       {" 10.1.0.0/16", "192.168.50.0/24"},
       false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SharedNetworkResolution result = ResolveSharedNetworks(detected, c.shared, c.additional);
    EXPECT_EQ(result.sharedNetworks, c.expectedShared);
    EXPECT_EQ(result.additionalSharedNetworks, c.expectedAdditional);
    EXPECT_EQ(result.treatedAsAdditional, c.treatedAsAdditional);
    EXPECT_EQ(result.changed, c.changed);
  }
}

}  // namespace
}  // namespace larkspire
