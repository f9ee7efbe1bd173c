#include "devhub/options.h"

#include <algorithm>
#include <stdexcept>

#include "devhub/hub_tun.h"

namespace larkspire {

int ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) > 65535) {
    throw std::invalid_argument("Invalid port: " + text);
  }
  return std::stoi(text);
}

std::vector<OptionRow> DevHubOptionTable(DevHubOptions& options) {
  return {
      {"--listen", "ADDRESS", "IPv4 address to listen on (default 127.0.0.1)",
       [&options](const std::string& value) { options.listenAddress = value; }},
      {"--port", "PORT", "TCP port of the HTTP API (default 31080)",
       [&options](const std::string& value) { options.port = ParsePort(value); }},
      {"--data", "FILE",
       "JSON file keeping the devices across restarts "
       "(default ./larkspire-devhub.json)",
       [&options](const std::string& value) {
         if (value.empty()) {
           throw std::invalid_argument("The data file path must not be empty.");
         }
         options.dataFile = value;
       }},
      {"--no-udp", "", "do not answer UDP relay probes: edges relay over WebSocket only",
       [&options](const std::string&) { options.udp = false; }},
      {"--tun", "NAME", "name of the Hub's TUN interface (default lshub0)",
       [&options](const std::string& value) {
         if (value.empty() || value.size() > 15) {
           throw std::invalid_argument("A TUN name has 1 to 15 characters: " + value);
         }
         options.tunName = value;
       }},
      {"--no-tun", "",
       "run without a TUN interface (no root needed; relayed packets are "
       "dropped)",
       [&options](const std::string&) { options.tun = false; }},
      {"--tls-cert", "FILE", "serve https and wss with this PEM certificate chain (with --tls-key)",
       [&options](const std::string& value) { options.tlsCert = value; }},
      {"--tls-key", "FILE", "the PEM private key of --tls-cert",
       [&options](const std::string& value) { options.tlsKey = value; }},
  };
}

bool ParseOptions(const std::vector<OptionRow>& table, const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      return false;
    }
    // "--name=value" and "--name value" are both accepted.
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionRow* option = nullptr;
    for (const OptionRow& row : table) {
      if (row.name == name) {
        option = &row;
      }
    }
    if (option == nullptr) {
      throw std::invalid_argument("Unknown option: " + arg);
    }
    if (option->valueName.empty()) {
      if (equals != std::string::npos) {
        throw std::invalid_argument(name + " takes no value");
      }
      option->apply("");
    } else if (equals != std::string::npos) {
      option->apply(arg.substr(equals + 1));
    } else if (i + 1 < args.size()) {
      option->apply(args[++i]);
    } else {
      throw std::invalid_argument("Missing value for " + name);
    }
  }
  return true;
}

std::string Usage(const std::vector<OptionRow>& table) {
  std::string text =
      "Usage: larkspire-devhub [options]\n"
      "A development Hub for LarkSpire Edge: registers edges, takes their heartbeats and relays\n"
      "their packets through its own TUN interface (" +
      std::string(kHubOverlayAddress) + ").\n\n";
  auto line = [&text](std::string left, const std::string& help) {
    left.resize(std::max<size_t>(left.size() + 2, 24), ' ');
    text += left + help + "\n";
  };
  for (const OptionRow& row : table) {
    line("  " + row.name + (row.valueName.empty() ? "" : " " + row.valueName), row.help);
  }
  line("  -h, --help", "show this help");
  return text;
}

}  // namespace larkspire
