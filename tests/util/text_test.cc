#include "util/text.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

TEST(ShellQuoteTest, QuotesEveryInputAndEscapesApostrophes) {
  EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
  EXPECT_EQ(ShellQuote(""), "''");
  EXPECT_EQ(ShellQuote("eth0"), "'eth0'");
}

}  // namespace
}  // namespace larkspire
