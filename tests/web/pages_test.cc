#include "web/pages.h"

#include <gtest/gtest.h>

#include <regex>

namespace larkspire {
namespace {

// Nothing is fetched from elsewhere (the page must work without internet), and no script
// is inline: the security policy allows only /app.js and /login.js.
TEST(PagesTest, PagesAreSelfContainedWithTheirScriptsServedApart) {
  struct Case {
    const std::string& page;
    const std::string& script;
    const char* scriptTag;
  } cases[] = {
      {StableLoginHtml(), StableLoginScript(), "<script src=\"/login.js\"></script>"},
      {StableAppHtml(), StableAppScript(), "<script src=\"/app.js\"></script>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.page.rfind("<!doctype html>\n", 0), 0u);
    EXPECT_TRUE(c.page.ends_with("</html>\n"));
    EXPECT_NE(c.page.find(c.scriptTag), std::string::npos);
    EXPECT_EQ(c.page.find("<script>"), std::string::npos);
    EXPECT_FALSE(std::regex_search(c.page, std::regex(" on[a-z]+="))) << "inline handler";
    for (const char* outside : {"href=", "url(", "@import", "http://", "https://", "<link"}) {
      EXPECT_EQ(c.page.find(outside), std::string::npos) << outside;
      EXPECT_EQ(c.script.find(outside), std::string::npos) << outside;
    }
    EXPECT_EQ(c.script.find("<script"), std::string::npos);
  }
  // The login page gives away no account: no user name, no password.
  EXPECT_EQ(StableLoginHtml().find("admin"), std::string::npos);
  EXPECT_EQ(StableLoginScript().find("\"admin\""), std::string::npos);
}

}  // namespace
}  // namespace larkspire
