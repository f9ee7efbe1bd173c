#include "support/prometheus_text.h"

#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

namespace larkspire::testing {

std::map<std::string, double> ParsePrometheusText(const std::string& text) {
  static const std::regex kHelp(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
  static const std::regex kType(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
  static const std::regex kSample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*",?)*\})? (-?[0-9.e+]+))");
  std::map<std::string, double> samples;
  std::set<std::string> helped, typed;
  if (text.empty() || text.back() != '\n') {
    throw std::runtime_error("exposition must end with a line feed");
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    bool ok = false;
    if (std::regex_match(line, m, kHelp)) {
      ok = helped.insert(m[1]).second;
    } else if (std::regex_match(line, m, kType)) {
      ok = helped.contains(m[1]) && typed.insert(m[1]).second &&
           (m[2] == "gauge" || std::string(m[1]).ends_with("_total"));
    } else if (std::regex_match(line, m, kSample)) {
      ok = typed.contains(m[1]) && samples.emplace(m[1].str() + m[2].str(), std::stod(m[4])).second;
    }
    if (!ok) {
      throw std::runtime_error("malformed, repeated or out-of-order line: " + line);
    }
  }
  return samples;
}

}  // namespace larkspire::testing
