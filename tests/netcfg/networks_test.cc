#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "netcfg/interfaces.h"
#include "netcfg/merge.h"

namespace larkspire {
namespace {

std::uint32_t Ip(const char* text) {
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
  return address.s_addr;
}

TEST(Networks, CidrOfAnAddressAndItsMask) {
  const char* cases[][3] = {
      {"172.20.5.1", "255.240.0.0", "172.16.0.0/12"},
      {"10.0.0.1", "255.255.255.254", "10.0.0.0/31"},
      {"10.0.0.1", "128.0.0.0", "0.0.0.0/1"},
      {"10.0.0.1", "0.0.0.0", "0.0.0.0/0"},
      // A non-contiguous mask: only its leading run counts for the length, while the network
      // address is still the plain AND.
      {"10.255.255.255", "255.0.255.0", "10.0.255.0/8"},
  };
  for (const auto& [address, mask, expected] : cases) {
    EXPECT_EQ(NetworkCidr(Ip(address), Ip(mask)), expected) << address << " " << mask;
  }
}

// Detected networks first, then the operator's: trimmed, blanks and textual duplicates dropped,
// but no normalisation, so the same network written differently stays twice.
TEST(Networks, MergeKeepsFirstSeenOrder) {
  EXPECT_EQ(MergeNetworks({"192.168.1.0/24", " ", "10.0.0.0/8", "10.0.0.0/8"},
                          {"\t", "10.0.0.0/08", "192.168.1.0/24 ", "fe80::/10"}),
            (std::vector<std::string>{"192.168.1.0/24", "10.0.0.0/8", "10.0.0.0/08", "fe80::/10"}));
}

}  // namespace
}  // namespace larkspire
