// Program entry: command line, log file, update check, web server and the edge service.

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/settings.h"
#include "service/edge_service.h"
#include "service/update.h"
#include "util/file.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "web/web_server.h"

namespace larkspire {
namespace {

constexpr const char* kUsage =
    "Usage: larkspire-edge --config /etc/larkspire/edge.json --workdir /opt/larkspire/edge\n";

struct CommandLine {
  std::string configPath = kDefaultConfigPath;
  std::string workDir = "/opt/larkspire/edge";
  // Troubleshooting: every packet from the Hub is written to the TUN device on its own.
  bool tunOffload = true;
  bool help = false;
};

void OnSignal(int) { g_running.store(false); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// Reads the arguments left to right; --help stops at once, an unknown word throws.
CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool hasValue = i + 1 < args.size();
    if (arg == "--config" && hasValue) {
      line.configPath = args[++i];
    } else if (arg == "--workdir" && hasValue) {
      line.workDir = args[++i];
    } else if (arg == "--no-tun-offload") {
      line.tunOffload = false;
    } else if (arg == "--help" || arg == "-h") {
      line.help = true;
      return line;
    } else {
      throw std::runtime_error("Unknown argument: " + arg);
    }
  }
  return line;
}

void ReportFatal(const std::string& text) {
  try {
    g_log.Write("ERROR", text);
  } catch (...) {
    std::fprintf(stderr, "ERROR %s\n", text.c_str());
  }
}

int Main(const std::vector<std::string>& args) {
  InstallSignalHandlers();
  // Declared before the handler so that the error path destroys the service first, then the
  // web server (whose destructor stops and joins its thread).
  std::unique_ptr<WebConfigServer> web;
  std::unique_ptr<EdgeService> service;
  try {
    CommandLine line = ParseCommandLine(args);
    if (line.help) {
      std::cout << kUsage << std::flush;
      return 0;
    }
    EnsureDirectory(line.workDir);
    g_log.Open(line.workDir);
    g_log.Write("INFO", "LarkSpire Edge Linux starting. Log file: " + g_log.Path());
    g_log.Write("INFO", "Config: " + line.configPath);
    try {
      RunUpdateCheck(line.configPath);
    } catch (const std::exception& error) {
      g_log.Write("WARN", std::string("Update check exception: ") + error.what());
    }
    if (!g_running.load()) {
      return 0;
    }
    web = std::make_unique<WebConfigServer>(line.configPath);
    web->settings = LoadSettings(line.configPath);
    web->Start();
    service = std::make_unique<EdgeService>(line.configPath, line.workDir, line.tunOffload);
    service->Run();
    web->Stop();
    g_log.Write("INFO", "LarkSpire Edge Linux stopped.");
    service.reset();
    web.reset();
    return 0;
  } catch (const std::exception& error) {
    service.reset();
    web.reset();
    ReportFatal(error.what());
    return 1;
  } catch (...) {
    // Nothing of ours throws anything else, but an ERROR line beats std::terminate.
    service.reset();
    web.reset();
    ReportFatal("Unknown error");
    return 1;
  }
}

}  // namespace
}  // namespace larkspire

int main(int argc, char** argv) {
  return larkspire::Main(std::vector<std::string>(argv + 1, argv + argc));
}
