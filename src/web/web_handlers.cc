// The JSON endpoints behind the pages. Every handler that needs settings loads them afresh
// from the configuration file; the file is the only thing shared with the edge service.

#include <cstdio>
#include <fstream>
#include <mutex>

#include "util/file.h"
#include "util/json.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "util/text.h"
#include "config/config_lock.h"
#include "web/http_request.h"
#include "web/session_token.h"
#include "web/web_server.h"

namespace larkspire {
namespace {

constexpr size_t kMaxTestOutputBytes = 8192;
constexpr size_t kMinPasswordBytes = 4;

// A ping target must be one shell-safe word that ping cannot take for an option.
bool IsValidTestTarget(const std::string& target) {
  return IsSafeShellToken(target) && target.front() != '-';
}

std::string RunPing(const std::string& target) {
  std::string command = "ping -c 2 -W 2 " + ShellQuote(target) + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
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
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    return "";
  }
  std::streamoff size = in.tellg();
  std::streamoff start = size > static_cast<std::streamoff>(count) ? size - count : 0;
  in.seekg(start);
  std::string text(static_cast<size_t>(size - start), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
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

std::string SettingsJson(const Settings& settings) {
  return "{\"serverUrl\":" + JsonString(settings.serverUrl) +
         ",\"deviceNumber\":" + JsonString(settings.deviceNumber) +
         ",\"deviceSecret\":" + JsonString(settings.deviceSecret) +
         ",\"deviceName\":" + JsonString(settings.deviceName) +
         ",\"networkInterfaceName\":" + JsonString(settings.networkInterfaceName) +
         ",\"sharedNetworks\":" + JsonArray(settings.sharedNetworks) +
         ",\"additionalSharedNetworks\":" + JsonArray(settings.additionalSharedNetworks) + "}";
}

}  // namespace

void WebConfigServer::HandleLogin(int fd, const std::string& body) {
  Settings current = LoadSettings(configPath_);
  std::string username = JsonStringValue(body, "username", "");
  std::string password = JsonStringValue(body, "password", "");
  bool userMatches = ConstantTimeEquals(username, current.webUsername);
  bool passwordMatches = ConstantTimeEquals(password, current.webPassword);
  if (!userMatches || !passwordMatches) {
    SendJson(fd, 403, "{\"success\":false,\"message\":\"账号或密码错误\"}");
    return;
  }
  SendJson(fd, 200, "{\"success\":true}",
           "Set-Cookie: larkspire_edge=" + SessionToken() + "; Path=/; HttpOnly; SameSite=Lax\r\n");
}

void WebConfigServer::HandleStatus(int fd) {
  Settings current = LoadSettings(configPath_);
  std::vector<InterfaceNetwork> interfaces = detectInterfaces();
  std::string state = ReadFile(statePath);
  if (state.empty()) {
    state = "{}";
  }
  SendJson(fd, 200,
           "{\"success\":true,\"data\":{\"settings\":" + SettingsJson(current) +
               ",\"interfaces\":" + InterfacesJson(interfaces) + ",\"state\":" + state + "}}");
}

void WebConfigServer::HandleLogs(int fd, const std::string& target) {
  std::string path = logPath();
  std::string logs = ReadTail(path, LogByteCount(target));
  SendJson(
      fd, 200,
      "{\"success\":true,\"path\":" + JsonString(path) + ",\"logs\":" + JsonString(logs) + "}");
}

void WebConfigServer::HandleSaveConfig(int fd, const std::string& body) {
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
  SendJson(fd, 200, "{\"success\":true,\"message\":\"saved\"}");
}

void WebConfigServer::HandlePassword(int fd, const std::string& body) {
  std::string oldPassword = JsonStringValue(body, "oldPassword", "");
  std::string newPassword = JsonStringValue(body, "newPassword", "");
  int status = 200;
  std::string reply = "{\"success\":true,\"message\":\"password changed\"}";
  {
    std::lock_guard<std::mutex> lock(ConfigFileMutex());
    Settings current = LoadSettings(configPath_);
    if (!ConstantTimeEquals(oldPassword, current.webPassword)) {
      status = 403;
      reply = "{\"success\":false,\"message\":\"旧密码不正确\"}";
    } else if (newPassword.size() < kMinPasswordBytes) {
      status = 400;
      reply = "{\"success\":false,\"message\":\"新密码至少 4 位\"}";
    } else {
      current.webPassword = newPassword;
      SaveSettings(configPath_, current);
    }
  }
  // Sent after the lock is released: a slow reader must not hold up other saves.
  SendJson(fd, status, reply);
}

void WebConfigServer::HandleTest(int fd, const std::string& body) {
  std::string target = JsonStringValue(body, "ip", "");
  if (!IsValidTestTarget(target)) {
    SendJson(fd, 400, "{\"success\":false,\"message\":\"invalid ip\"}");
    return;
  }
  SendJson(fd, 200, "{\"success\":true,\"output\":" + JsonString(RunPing(target)) + "}");
}

void WebConfigServer::HandleRestart(int fd) {
  // The reply goes out first: the process begins to stop once the flag is cleared.
  SendJson(fd, 200, "{\"success\":true,\"message\":\"restarting\"}");
  g_log.Write("INFO", "Restart requested from web config page.");
  g_running.store(false);
}

}  // namespace larkspire
