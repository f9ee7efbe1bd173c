#include <gtest/gtest.h>

#include "config/settings.h"
#include "util/file.h"

namespace larkspire {
namespace {

// The packages install this file as the first configuration; it must be exactly what the
// agent would write for its defaults, so the first start changes nothing but what it learns.
TEST(DefaultConfigTest, ShippedTemplateMatchesTheBuiltInDefaults) {
  std::string shipped = ReadFile(std::string(LARKSPIRE_SOURCE_DIR) + "/packaging/edge.json");
  ASSERT_FALSE(shipped.empty());
  EXPECT_EQ(shipped, FormatSettings(Settings()));
}

}  // namespace
}  // namespace larkspire
