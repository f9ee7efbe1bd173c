#include "service/edge_service.h"

#include <chrono>
#include <thread>

#include "config/settings.h"
#include "util/run_flag.h"

// Placeholder until the start-up sequence lands: loads the configuration and idles.
namespace larkspire {

EdgeService::EdgeService(std::string configPath, std::string workDir)
    : configPath_(std::move(configPath)), workDir_(std::move(workDir)) {}

EdgeService::~EdgeService() = default;

void EdgeService::Run() {
  settings_ = LoadSettings(configPath_);
  while (g_running.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void EdgeService::RelayLoop() {}

}  // namespace larkspire
