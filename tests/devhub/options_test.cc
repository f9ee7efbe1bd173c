#include "devhub/options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace larkspire {
namespace {

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
    EXPECT_THAT([&] { ParseOptions(DevHubOptionTable(options), c.args); },
                ::testing::ThrowsMessage<std::invalid_argument>(c.message));
  }
}

}  // namespace
}  // namespace larkspire
