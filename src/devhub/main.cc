// larkspire-devhub: a development Hub to run edges against.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "devhub/devhub_relay.h"
#include "devhub/device_api.h"
#include "devhub/device_store.h"
#include "devhub/options.h"
#include "devhub/server.h"
#include "devhub/update_api.h"
#include "util/file.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "util/signature.h"

namespace larkspire {
namespace {

void OnStopSignal(int) {
  g_running = false;
}

// The main loop polls the flag, so plain restarting handlers are enough here.
void InstallSignals() {
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGPIPE, SIG_IGN);
}

int Run(const DevHubOptions& options, const UpdateOffer& offer) {
  DeviceStore store(options.dataFile);
  DevHubRelay relay(options, store);
  DevHubServer server(options.listenAddress, options.port);
  if (options.tlsCert.empty() != options.tlsKey.empty()) {
    throw std::runtime_error("--tls-cert and --tls-key go together.");
  }
  if (!options.tlsCert.empty()) {
    server.EnableTls(options.tlsCert, options.tlsKey);
  }
  AddDeviceRoutes(server, store,
                  [&relay](const std::string& number) { return relay.ListingMembers(number); });
  relay.AddRoutes(server);
  AddUpdateRoutes(server, offer);
  server.Start();
  relay.Start(server);
  g_log.Write("INFO", "LarkSpire devhub listening on " + server.Address() + ":" +
                          std::to_string(server.Port()) +
                          (options.tlsCert.empty() ? " (http)" : " (https)") + ", devices in " +
                          options.dataFile);
  while (g_running) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  // The relay first, so every edge gets its close frame before the sockets go.
  relay.Stop();
  server.Stop();
  g_log.Write("INFO", "LarkSpire devhub stopped.");
  return 0;
}

}  // namespace
}  // namespace larkspire

int main(int argc, char** argv) {
  using namespace larkspire;
  DevHubOptions options;
  UpdateOffer offer;
  std::vector<OptionRow> table = DevHubOptionTable(options);
  AppendUpdateOptions(table, offer);
  try {
    if (!ParseOptions(table, std::vector<std::string>(argv + 1, argv + argc))) {
      std::cout << Usage(table);
      return 0;
    }
  } catch (const std::invalid_argument& error) {
    std::cerr << error.what() << "\n\n" << Usage(table);
    return 2;
  }
  if (!offer.printPublicKeyOf.empty()) {
    std::cout << Ed25519PublicKeyPem(ReadFile(offer.printPublicKeyOf));
    return 0;
  }
  InstallSignals();
  try {
    return Run(options, offer);
  } catch (const std::exception& error) {
    g_log.Write("ERROR", error.what());
    return 1;
  }
}
