// The JSON endpoints behind the pages. Every handler that needs settings loads them afresh
// from the configuration file; the file is the only thing shared with the edge service.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "config/config_lock.h"
#include "util/fd.h"
#include "util/file.h"
#include "util/json.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "util/text.h"
#include "web/http_request.h"
#include "web/web_server.h"

namespace larkspire {
namespace {

constexpr size_t kMaxTestOutputBytes = 8192;
constexpr size_t kMinPasswordCharacters = 8;
constexpr const char* kCookieAttributes = "; Path=/; HttpOnly; SameSite=Strict\r\n";

// A ping target must be one shell-safe word that ping cannot take for an option.
bool IsValidTestTarget(const std::string& target) {
  return IsSafeShellToken(target) && target.front() != '-';
}

// Characters, not bytes: UTF-8 continuation bytes do not count.
size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (unsigned char byte : text) {
    count += (byte & 0xC0) != 0x80 ? 1 : 0;
  }
  return count;
}

std::string RunPing(const std::string& target) {
  std::string command = "ping -c 2 -W 2 " + ShellQuote(target) + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "re");
  if (pipe == nullptr) {
    return "failed to run command";
  }
  std::string output;
  char line[512];
  while (output.size() <= kMaxTestOutputBytes && std::fgets(line, sizeof(line), pipe) != nullptr) {
    output += line;
  }
  int status = ::pclose(pipe);
  return output + "\nexit=" + std::to_string(status);
}

// The last `count` bytes of the file (all of it when shorter); empty when it cannot be read.
std::string ReadTail(const std::string& path, size_t count) {
  // Opened close-on-exec: a ping started by another request must not inherit the log.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
    return "";
  }
  const off_t size = info.st_size;
  const off_t start = size > static_cast<off_t>(count) ? size - static_cast<off_t>(count) : 0;
  std::string text(static_cast<size_t>(size - start), '\0');
  ssize_t n = ::pread(fd.get(), text.data(), text.size(), start);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

std::string InterfacesJson(const std::vector<InterfaceNetwork>& interfaces) {
  std::string json = "[";
  for (const InterfaceNetwork& network : interfaces) {
    if (json.size() > 1) {
      json += ",";
    }
    json += "{\"name\":" + JsonString(network.name) + ",\"cidr\":" + JsonString(network.cidr) + "}";
  }
  return json + "]";
}

// The Hub's TLS settings are shown but not editable here: whoever can change the trust
// anchors or the pin can send the edge to a Hub of their own.
std::string SettingsJson(const Settings& settings) {
  return "{\"serverUrl\":" + JsonString(settings.serverUrl) +
         ",\"deviceNumber\":" + JsonString(settings.deviceNumber) +
         ",\"deviceSecret\":" + JsonString(settings.deviceSecret) +
         ",\"deviceName\":" + JsonString(settings.deviceName) +
         ",\"networkInterfaceName\":" + JsonString(settings.networkInterfaceName) +
         ",\"sharedNetworks\":" + JsonArray(settings.sharedNetworks) +
         ",\"additionalSharedNetworks\":" + JsonArray(settings.additionalSharedNetworks) +
         ",\"hubCaFile\":" + JsonString(settings.hubCaFile) +
         ",\"hubCertSha256\":" + JsonString(settings.hubCertSha256) + "}";
}

}  // namespace

std::unique_ptr<WebReply> WebConfigServer::LoginWaitLocked(const std::string& peer) {
  int seconds = throttle_.SecondsToWaitLocked(peer);
  if (seconds == 0) {
    return nullptr;
  }
  return std::make_unique<WebReply>(
      JsonReply(429, R"({"success":false,"message":"登录失败次数过多，请稍后再试"})",
                "Retry-After: " + std::to_string(seconds) + "\r\n"));
}

WebReply WebConfigServer::HandleLogin(const WebCall& call) {
  // One attempt at a time: parallel guesses must not slip past the count.
  auto lock = throttle_.Lock();
  if (auto wait = LoginWaitLocked(call.peer)) {
    return std::move(*wait);
  }
  Settings current = LoadSettings(configPath_);
  std::string username = JsonStringValue(call.request.body, "username", "");
  std::string password = JsonStringValue(call.request.body, "password", "");
  bool userMatches = ConstantTimeEquals(username, current.webUsername);
  bool passwordMatches = ConstantTimeEquals(password, current.webPassword);
  if (!userMatches || !passwordMatches) {
    throttle_.FailedLocked(call.peer);
    return JsonReply(403, R"({"success":false,"message":"账号或密码错误"})");
  }
  throttle_.SucceededLocked(call.peer);
  return JsonReply(200, R"({"success":true})",
                   "Set-Cookie: larkspire_edge=" + sessions_.Create() + kCookieAttributes);
}

WebReply WebConfigServer::HandleLogout(const WebCall& call) {
  sessions_.End(call.session);
  return JsonReply(200, R"({"success":true})",
                   std::string("Set-Cookie: larkspire_edge=; Max-Age=0") + kCookieAttributes);
}

WebReply WebConfigServer::HandleStatus(const WebCall&) {
  Settings current = LoadSettings(configPath_);
  std::vector<InterfaceNetwork> interfaces = detectInterfaces();
  std::string state = ReadFile(statePath);
  if (state.empty()) {
    state = "{}";
  }
  return JsonReply(200, "{\"success\":true,\"data\":{\"settings\":" + SettingsJson(current) +
                            ",\"interfaces\":" + InterfacesJson(interfaces) +
                            ",\"state\":" + state + "}}");
}

WebReply WebConfigServer::HandleLogs(const WebCall& call) {
  std::string path = logPath();
  std::string logs = ReadTail(path, LogByteCount(call.request.target));
  return JsonReply(200, "{\"success\":true,\"path\":" + JsonString(path) +
                            ",\"logs\":" + JsonString(logs) + "}");
}

WebReply WebConfigServer::HandleSaveConfig(const WebCall& call) {
  const std::string& body = call.request.body;
  Settings current;
  {
    std::lock_guard<std::mutex> lock(ConfigFileMutex());
    current = LoadSettings(configPath_);
    current.serverUrl = JsonStringValue(body, "serverUrl", current.serverUrl);
    current.deviceName = JsonStringValue(body, "deviceName", current.deviceName);
    current.networkInterfaceName =
        JsonStringValue(body, "networkInterfaceName", current.networkInterfaceName);
    current.additionalSharedNetworks = JsonStringArrayValue(body, "additionalSharedNetworks");
    SaveSettings(configPath_, current);
  }
  g_log.Write("INFO", "Config updated from web page. deviceName=" + current.deviceName +
                          ", networkInterfaceName=" + current.networkInterfaceName +
                          ", additionalSharedNetworks=" +
                          JoinStrings(current.additionalSharedNetworks, ", "));
  return JsonReply(200, R"({"success":true,"message":"saved"})");
}

WebReply WebConfigServer::HandlePassword(const WebCall& call) {
  std::string oldPassword = JsonStringValue(call.request.body, "oldPassword", "");
  std::string newPassword = JsonStringValue(call.request.body, "newPassword", "");
  std::lock_guard<std::mutex> lock(ConfigFileMutex());
  Settings current = LoadSettings(configPath_);
  if (!ConstantTimeEquals(oldPassword, current.webPassword)) {
    return JsonReply(403, R"({"success":false,"message":"旧密码不正确"})");
  }
  if (CharacterCount(newPassword) < kMinPasswordCharacters) {
    return JsonReply(400, R"({"success":false,"message":"新密码至少 8 位"})");
  }
  current.webPassword = newPassword;
  SaveSettings(configPath_, current);
  // Whoever else was logged in may have learnt the old password: only this browser stays.
  sessions_.EndAllBut(call.session);
  g_log.Write("INFO", "Web password changed from " + call.peer + "; other sessions ended.");
  return JsonReply(200, R"({"success":true,"message":"password changed"})");
}

WebReply WebConfigServer::HandleTest(const WebCall& call) {
  std::string target = JsonStringValue(call.request.body, "ip", "");
  if (!IsValidTestTarget(target)) {
    return JsonReply(400, R"({"success":false,"message":"invalid ip"})");
  }
  return JsonReply(200, "{\"success\":true,\"output\":" + JsonString(RunPing(target)) + "}");
}

WebReply WebConfigServer::HandleRestart(const WebCall&) {
  WebReply reply = JsonReply(200, R"({"success":true,"message":"restarting"})");
  // The process begins to stop only once the browser has its answer.
  reply.afterSent = [] {
    g_log.Write("INFO", "Restart requested from web config page.");
    g_running.store(false);
  };
  return reply;
}

}  // namespace larkspire
