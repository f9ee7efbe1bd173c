#include "netcfg/merge.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

using Networks = std::vector<std::string>;

TEST(MergeNetworksTest, KeepsFirstSeenOrderAndDropsBlanksAndDuplicates) {
  struct Case {
    const char* what;
    Networks first;
    Networks second;
    Networks expected;
  };
  const Case cases[] = {
      {"detected first, trimmed duplicate from the operator dropped",
       {"192.168.1.0/24"},
       {"10.0.0.0/8", "192.168.1.0/24 "},
       {"192.168.1.0/24", "10.0.0.0/8"}},
      {"white space only entries vanish", {" ", "\t\r\n"}, {"", "10.0.0.0/8"}, {"10.0.0.0/8"}},
      {"two empty lists", {}, {}, {}},
      {"duplicate inside the first list", {"a", "a", "b"}, {}, {"a", "b"}},
      {"second list alone", {}, {" b ", "a", "b"}, {"b", "a"}},
      // Purely textual: the same network written differently is kept twice.
      {"no CIDR normalisation",
       {"10.0.0.0/8", "10.0.0.1/8"},
       {"10.0.0.0/08", "fe80::/10", "FE80::/10"},
       {"10.0.0.0/8", "10.0.0.1/8", "10.0.0.0/08", "fe80::/10", "FE80::/10"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(MergeNetworks(c.first, c.second), c.expected);
  }
}

}  // namespace
}  // namespace larkspire
