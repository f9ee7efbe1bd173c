#include "service/update_integrity.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "util/file.h"

namespace larkspire {
namespace {

TEST(PackageMatchesSha256Test, AcceptsOnlyTheExactDigest) {
  TempDir dir;
  const std::string package = dir / "package.tar.gz";
  WriteFileAtomic(package, "abc", 0644);
  const std::string digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  struct Case {
    std::string offered;
    bool matches;
  } cases[] = {
      {digest, true},
      {" BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\n", true},
      {"ca7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", false},
      {digest.substr(0, 63), false},
      {digest + "0", false},
      {"zz" + digest.substr(2), false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offered);
    EXPECT_EQ(PackageMatchesSha256(package, c.offered), c.matches);
  }
  EXPECT_FALSE(PackageMatchesSha256(dir / "missing.tar.gz", digest));
}

}  // namespace
}  // namespace larkspire
