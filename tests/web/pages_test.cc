#include "web/pages.h"

#include <gtest/gtest.h>

#include "config/settings.h"

namespace larkspire {
namespace {

void ExpectSelfContainedDocument(const std::string& page) {
  EXPECT_EQ(page.rfind("<!doctype html>\n", 0), 0u);
  EXPECT_TRUE(page.ends_with("</html>\n"));
  EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(page.find(R"(<meta name="viewport" content="width=device-width,initial-scale=1">)"),
            std::string::npos);
  // Nothing may be fetched from elsewhere: the page must work on a machine without internet.
  for (const char* outside : {"src=", "href=", "url(", "@import", "http://", "https://", "<link"}) {
    SCOPED_TRACE(outside);
    EXPECT_EQ(page.find(outside), std::string::npos);
  }
}

void ExpectContainsAll(const std::string& page, std::initializer_list<const char*> needles) {
  for (const char* needle : needles) {
    EXPECT_NE(page.find(needle), std::string::npos) << needle;
  }
}

TEST(PagesTest, LoginPageIsPrefilledAndBilingual) {
  const std::string& page = StableLoginHtml();
  ExpectSelfContainedDocument(page);
  ExpectContainsAll(page, {"<title>LarkSpire Edge</title>", "id=\"langBtn\"", "id=\"sub\"",
                           "id=\"userLabel\"", "id=\"passLabel\"", "id=\"loginBtn\"", "id=\"m\"",
                           "<input id=\"u\" value=\"admin\"", "现场端 Web 管理",
                           "Local service administration", "登录失败", "Login failed", "Sign in"});
  EXPECT_NE(page.find(std::string("type=\"password\" value=\"") + kDefaultWebPassword + "\""),
            std::string::npos);
  EXPECT_EQ(page.find("<form"), std::string::npos);
}

// The elements the page's script fills in or reads, and the texts in both languages.
TEST(PagesTest, ManagementPageHasEveryViewControlAndText) {
  const std::string& page = StableAppHtml();
  ExpectSelfContainedDocument(page);
  for (const char* id :
       {"overview",     "network",   "diagnostics", "account",     "logs",        "pageTitle",
        "langBtn",      "refresh",   "ovDevice",    "ovName",      "ovNic",       "ovHeartbeat",
        "deviceSecret", "serverUrl", "deviceName",  "msg",         "nic",         "autoNets",
        "extra",        "ifaceRows", "testOut",     "oldPassword", "newPassword", "pwdMsg",
        "logPath",      "logText"}) {
    EXPECT_NE(page.find("id=\"" + std::string(id) + "\""), std::string::npos) << id;
  }
  ExpectContainsAll(
      page,
      {"<title>LarkSpire Edge 管理</title>", "id=\"testIp\" value=\"10.0.4.11\"",
       "172.16.0.0/16&#10;192.168.50.0/24", "/api/logs?bytes=32768", "额外共享网段，每行一个 CIDR",
       "Additional shared networks, one CIDR per line", "已保存。重启服务后，隧道和路由配置生效。",
       "Saved. Restart the service to apply tunnel/routing changes.", "正在重启，稍后自动刷新...",
       "Restarting. Refreshing soon...", "\"正常\"", "ok: \"OK\"", "待确认", "Pending"});
}

}  // namespace
}  // namespace larkspire
