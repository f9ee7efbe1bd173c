#include "service/edge_service.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <thread>

#include "config/settings_changes.h"
#include "hub/url.h"
#include "netcfg/interfaces.h"
#include "netcfg/rule_watcher.h"
#include "relay/relay_session.h"
#include "service/heartbeat.h"
#include "service/hub_client.h"
#include "service/registration.h"
#include "service/shared_networks.h"
#include "service/uplink.h"
#include "util/defaults.h"
#include "util/file.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "util/text.h"
#include "util/thread_start.h"

namespace larkspire {
namespace {

constexpr const char* kRouteTablePath = "/proc/net/route";
constexpr std::chrono::seconds kRelayRetryPause{3};

void LogInfo(const std::string& message) {
  g_log.Write("INFO", message);
}

std::string OrEmptyMarker(const std::string& value) {
  return value.empty() ? "<empty>" : value;
}

std::string JoinNetworks(const std::vector<std::string>& networks) {
  return JoinStrings(networks, ", ");
}

}  // namespace

EdgeService::EdgeService(std::string configPath, std::string workDir, bool tunOffload)
    : configPath_(std::move(configPath)), workDir_(std::move(workDir)), tunOffload_(tunOffload) {}

EdgeService::~EdgeService() {
  TearDown();
}

void EdgeService::Run() {
  std::vector<std::string> interfaceNames = PrepareSettings();
  Register();
  SendHeartbeat(settings_);
  // Offload headers let the relay hand the kernel whole bursts of one flow at once.
  tun_.Open(kTunnelName, tunOffload_);
  networkConfigurator_.Apply({tun_.name(), interfaceNames, settings_.overlayCanReachEdge});
  // Joined by its destructor at the end of Run, after the kernel configuration is gone; the
  // loop sees the cleared run flag within a second.
  std::jthread heartbeatThread = StartThread(
      "heartbeat", [this] { return std::jthread([this] { RunHeartbeatLoop(settings_); }); });
  try {
    // Puts back a rule that another tool removes; stopped before the rules are removed on
    // purpose, so the teardown is not undone.
    GatewayRuleWatcher ruleWatcher;
    StartThread("gateway rule watcher", [&ruleWatcher] { ruleWatcher.Start(); });
    RelayUntilStopped();
    ruleWatcher.Stop();
  } catch (...) {
    // A thread that could not start ends the service. The ones already running watch the run
    // flag: cleared, they end, so they can be joined before the error leaves.
    g_running = false;
    throw;
  }
  TearDown();
}

std::vector<std::string> EdgeService::PrepareSettings() {
  settings_ = LoadSettings(configPath_);
  stored_ = settings_;
  settings_.serverUrl = NormalizeServerUrl(settings_.serverUrl);

  std::vector<InterfaceNetwork> detected = DetectHardwareInterfaceNetworks();
  if (detected.empty()) {
    throw std::runtime_error("No physical IPv4 network interfaces were detected.");
  }
  std::vector<std::string> interfaceNames;
  std::vector<std::string> detectedNetworks;
  for (const InterfaceNetwork& network : detected) {
    LogInfo("Detected hardware interface: " + network.name + " -> " + network.cidr);
    if (std::find(interfaceNames.begin(), interfaceNames.end(), network.name) ==
        interfaceNames.end()) {
      interfaceNames.push_back(network.name);
    }
    detectedNetworks.push_back(network.cidr);
  }

  UplinkChoice uplink = ChooseUplinkInterface(settings_.networkInterfaceName, interfaceNames,
                                              ReadFile(kRouteTablePath));
  if (uplink.autoSelected) {
    settings_.networkInterfaceName = uplink.name;
    LogInfo("networkInterfaceName auto selected: " + uplink.name);
  }

  SharedNetworkResolution shared = ResolveSharedNetworks(detectedNetworks, settings_.sharedNetworks,
                                                         settings_.additionalSharedNetworks);
  settings_.sharedNetworks = shared.sharedNetworks;
  settings_.additionalSharedNetworks = shared.additionalSharedNetworks;
  if (shared.treatedAsAdditional) {
    LogInfo("Existing sharedNetworks were treated as additionalSharedNetworks: " +
            JoinNetworks(settings_.additionalSharedNetworks));
  }
  if (shared.changed) {
    LogInfo("sharedNetworks effective: " + JoinNetworks(settings_.sharedNetworks));
  }

  SaveOwnChanges();
  LogInfo("Edge serverUrl: " + settings_.serverUrl);
  if (!IsTlsScheme(ParseUrl(settings_.serverUrl).scheme)) {
    g_log.Write("WARN", "Hub link is not encrypted (http); use an https Hub URL.");
  }
  LogInfo("Edge deviceNumber before register: " + OrEmptyMarker(settings_.deviceNumber));
  LogInfo("Edge deviceSecret before register: " + MaskSecret(settings_.deviceSecret));
  LogInfo("Edge networkInterfaceName: " + settings_.networkInterfaceName);
  LogInfo("Edge sharedNetworks: " + JoinNetworks(settings_.sharedNetworks));
  if (settings_.sharedNetworks.empty()) {
    throw std::runtime_error("sharedNetworks cannot be empty.");
  }
  return interfaceNames;
}

void EdgeService::SaveOwnChanges() {
  SaveSettingsChanges(configPath_, stored_, settings_);
  stored_ = settings_;
}

void EdgeService::Register() {
  HttpClient client = HubClientFor(settings_);
  ApiResponse reply = client.Send("POST", kRegisterPath, BuildRegisterBody(settings_));
  ApplyRegisterReply(reply, settings_);
  SaveOwnChanges();
  LogInfo("Device registered: " + settings_.deviceNumber);
  LogInfo("Device secret: " + MaskSecret(settings_.deviceSecret));
  LogInfo("Edge deviceNumber: " + settings_.deviceNumber);
  LogInfo("Edge deviceSecret: " + MaskSecret(settings_.deviceSecret));
  LogInfo("Edge sharedNetworks registered: " + JoinNetworks(settings_.sharedNetworks));
}

void EdgeService::RelayUntilStopped() {
  // Settled by the registration: from here on the shared networks do not change.
  const IngressFilter filter(settings_.sharedNetworks);
  const RelayEndpoint endpoint{settings_.serverUrl, settings_.deviceNumber, settings_.deviceSecret,
                               HubTrustOf(settings_)};
  while (g_running.load()) {
    try {
      RelayOneConnection(tun_.device(), endpoint, filter, webSocketRelay_, udpRelay_);
    } catch (const ThreadStartError&) {
      throw;
    } catch (const std::exception& error) {
      g_log.Write("WARN", std::string("Relay loop failed: ") + error.what());
    } catch (...) {
      // Nothing may leave this loop while the heartbeat thread waits for the stop flag.
      g_log.Write("WARN", "Relay loop failed: unknown error");
    }
    if (g_running.load()) {
      // A plain sleep (resumed after signals): a stop during the pause waits for its end.
      std::this_thread::sleep_for(kRelayRetryPause);
    }
  }
}

void EdgeService::TearDown() {
  webSocketRelay_.Close();
  udpRelay_.Close();
  networkConfigurator_.Cleanup();
  tun_.Close();
}

}  // namespace larkspire
