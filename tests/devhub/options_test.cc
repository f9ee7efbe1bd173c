#include "devhub/options.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace larkspire {
namespace {

TEST(DevHubOptions, AppliesValuesInBothSpellings) {
  DevHubOptions options;
  const auto table = DevHubOptionTable(options);
  ASSERT_TRUE(ParseOptions(table, {"--listen", "0.0.0.0", "--port=0", "--data", "/tmp/d.json"}));
  EXPECT_EQ(options.listenAddress, "0.0.0.0");
  EXPECT_EQ(options.port, 0);
  EXPECT_EQ(options.dataFile, "/tmp/d.json");

  DevHubOptions defaults;
  ASSERT_TRUE(ParseOptions(DevHubOptionTable(defaults), {}));
  EXPECT_EQ(defaults.listenAddress, "127.0.0.1");
  EXPECT_EQ(defaults.port, 31080);
}

TEST(DevHubOptions, HelpStopsParsing) {
  DevHubOptions options;
  const auto table = DevHubOptionTable(options);
  EXPECT_FALSE(ParseOptions(table, {"--port", "1", "-h", "--bogus"}));
  EXPECT_NE(Usage(table).find("--data FILE"), std::string::npos);
}

TEST(DevHubOptions, RefusesBadInput) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--bogus"}, "Unknown option: --bogus"},
      {{"--port"}, "Missing value for --port"},
      {{"--port", "65536"}, "Invalid port: 65536"},
      {{"--port", "-1"}, "Invalid port: -1"},
      {{"--port", "80x"}, "Invalid port: 80x"},
      {{"--data="}, "The data file path must not be empty."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    DevHubOptions options;
    try {
      ParseOptions(DevHubOptionTable(options), c.args);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace larkspire
