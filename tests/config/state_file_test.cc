#include "config/state_file.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"

namespace larkspire {
namespace {

TEST(StateFileTest, SavedFileIsReadableByAllWithAFixedLayout) {
  TempDir dir;
  const std::string path = dir / "var/lib/larkspire/edge.state.json";
  std::time_t before = std::time(nullptr);
  SaveStateTo(path, "Hub said \"no\"\\\tline\nnext \x01", false);
  std::time_t after = std::time(nullptr);

  EXPECT_EQ(FileMode(path), 0644);
  const std::string text = ReadFile(path);
  long long stamp = std::stoll(JsonFindRaw(text, "updatedAtUnix"));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(text,
            "{\n"
            "  \"heartbeatAccepted\": false,\n"
            "  \"message\": \"Hub said \\\"no\\\"\\\\\\tline\\nnext \\u0001\",\n"
            "  \"updatedAtUnix\": " + std::to_string(stamp) + "\n"
            "}\n");
  EXPECT_EQ(FormatState("Heartbeat ok", true, 1700000000),
            "{\n"
            "  \"heartbeatAccepted\": true,\n"
            "  \"message\": \"Heartbeat ok\",\n"
            "  \"updatedAtUnix\": 1700000000\n"
            "}\n");
}

}  // namespace
}  // namespace larkspire
