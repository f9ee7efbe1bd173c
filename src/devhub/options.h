#pragma once

#include <functional>
#include <string>
#include <vector>

namespace larkspire {

// Everything the devhub's command line sets. Add a field here and a row to
// DevHubOptionTable for each new option.
struct DevHubOptions {
  std::string listenAddress = "127.0.0.1";
  int port = 31080;
  std::string dataFile = "larkspire-devhub.json";
  bool udp = true;  // the UDP relay on the same port number
  bool tun = true;  // the Hub's own TUN interface
  std::string tunName = "lshub0";
  // PEM certificate chain and key: the port then speaks https and wss instead of http and ws.
  std::string tlsCert;
  std::string tlsKey;
};

// One command-line option. A row without `valueName` is a flag and `apply` gets "".
// `apply` throws std::invalid_argument with a message for a value it refuses.
struct OptionRow {
  std::string name;       // "--port"
  std::string valueName;  // "PORT"
  std::string help;
  std::function<void(const std::string& value)> apply;
};

std::vector<OptionRow> DevHubOptionTable(DevHubOptions& options);

// Applies `args` (without the program name) to the table. False when help was asked for.
// Throws std::invalid_argument "Unknown option: X", "Missing value for X" or the message of
// a refused value.
bool ParseOptions(const std::vector<OptionRow>& table, const std::vector<std::string>& args);
std::string Usage(const std::vector<OptionRow>& table);

// A decimal port 0..65535 ("0" lets the kernel choose); throws std::invalid_argument.
int ParsePort(const std::string& text);

}  // namespace larkspire
