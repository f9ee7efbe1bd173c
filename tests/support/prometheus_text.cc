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
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*",?)*\})? (\S+))");
  std::map<std::string, double> samples;
  std::set<std::string> helped;
  std::map<std::string, std::string> types;
  if (text.empty() || text.back() != '\n') {
    throw std::runtime_error("exposition must end with a line feed");
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    auto fail = [&line](const std::string& why) { throw std::runtime_error(why + ": " + line); };
    if (std::regex_match(line, match, kHelp)) {
      if (!helped.insert(match[1]).second) {
        fail("second HELP");
      }
    } else if (std::regex_match(line, match, kType)) {
      if (!helped.contains(match[1]) || types.contains(match[1])) {
        fail("TYPE without HELP, or twice");
      }
      if (match[2] == "counter" && !std::string(match[1]).ends_with("_total")) {
        fail("counter not named *_total");
      }
      types[match[1]] = match[2];
    } else if (std::regex_match(line, match, kSample)) {
      if (!types.contains(match[1])) {
        fail("sample before its TYPE");
      }
      size_t used = 0;
      double value = 0;
      try {
        value = std::stod(match[4], &used);
      } catch (const std::exception&) {
        fail("value is not a number");
      }
      if (used != static_cast<size_t>(match[4].length())) {
        fail("value is not a number");
      }
      const std::string key = std::string(match[1]) + std::string(match[2]);
      if (!samples.emplace(key, value).second) {
        fail("repeated sample");
      }
    } else {
      fail("unparsable line");
    }
  }
  return samples;
}

}  // namespace larkspire::testing
