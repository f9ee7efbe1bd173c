#include "config/state_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"

namespace larkspire {
namespace {

TEST(StateFileTest, FixedLayout) {
  EXPECT_EQ(FormatState("Heartbeat ok", true, 1700000000),
            "{\n"
            "  \"heartbeatAccepted\": true,\n"
            "  \"message\": \"Heartbeat ok\",\n"
            "  \"updatedAtUnix\": 1700000000\n"
            "}\n");
  EXPECT_NE(FormatState("", false, 0).find("\"heartbeatAccepted\": false,\n  \"message\": \"\",\n"),
            std::string::npos);
}

TEST(StateFileTest, SavedFileIsReadableByAllAndHoldsTheOutcome) {
  TempDir dir;
  const std::string path = dir / "var/lib/larkspire/edge.state.json";
  const std::string message = "Hub said \"no\"\\\tline\nnext \x01";
  std::time_t before = std::time(nullptr);
  SaveStateTo(path, message, false);
  std::time_t after = std::time(nullptr);

  std::string text = ReadFile(path);
  EXPECT_EQ(FileMode(path), 0644);
  EXPECT_FALSE(JsonBoolValue(text, "heartbeatAccepted", true));
  EXPECT_EQ(JsonStringValue(text, "message", "?"), message);
  long long stamp = std::stoll(JsonFindRaw(text, "updatedAtUnix"));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  // One JSON object on five lines, nothing raw below 0x20 except the line breaks.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
  for (unsigned char c : text) {
    EXPECT_TRUE(c >= 0x20 || c == '\n');
  }
}

}  // namespace
}  // namespace larkspire
