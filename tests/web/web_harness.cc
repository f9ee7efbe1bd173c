// The browser test's web server on a free loopback port, written to --port-file. Options:
// --config FILE --workdir DIR --state FILE --port-file FILE [--health-sample 1]

#include <csignal>
#include <ctime>
#include <iostream>
#include <map>
#include <thread>

#include "config/settings.h"
#include "util/file.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "web/web_server.h"

namespace {

void OnSignal(int) {
  larkspire::g_running.store(false);
}

// One row per way the page draws a check (subject or none, red with its hint, heartbeat time).
larkspire::GatewayHealth SampleHealth() {
  larkspire::GatewayHealth health;
  health.applied = true;
  health.checks = {
      {"ipForward", "", "1", true},
      {"rpFilter", "all", "1", false},
      {"rule", "FORWARD -i larkspire0 -o eth0 -j ACCEPT", "missing", false},
      {"udp", "", "up", true, false},
      {"heartbeat", "", std::to_string(std::time(nullptr) - 12), true},
  };
  return health;
}

int Run(const std::map<std::string, std::string>& options) {
  using namespace larkspire;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  EnsureDirectory(options.at("--workdir"));
  g_log.Open(options.at("--workdir"));
  WebConfigServer server(options.at("--config"));
  server.settings = LoadSettings(options.at("--config"));
  server.settings.webBindAddress = "127.0.0.1";
  server.settings.webPort = 0;
  server.statePath = options.at("--state");
  server.detectInterfaces = [] {
    return std::vector<InterfaceNetwork>{{"eth0", "192.168.1.0/24"}, {"eth1", "10.0.4.0/24"}};
  };
  if (options.contains("--health-sample")) {
    server.checkGatewayHealth = SampleHealth;
  }
  server.Start();
  while (server.BoundPort() == 0 && g_running.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  WriteFileAtomic(options.at("--port-file"), std::to_string(server.BoundPort()) + "\n", 0644);
  while (g_running.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  server.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 1; i + 1 < argc; i += 2) {
    options[argv[i]] = argv[i + 1];
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::cerr << "ERROR " << error.what() << "\n";
    return 1;
  }
}
