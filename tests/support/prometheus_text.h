#pragma once

#include <map>
#include <string>

namespace larkspire::testing {

// Parses the metrics text strictly enough to catch what a scraper would reject (HELP, then
// TYPE, then samples; well-formed names, labels and numbers; no repeats; counters named
// *_total). Returns "name{labels}" -> value; throws std::runtime_error naming the line.
std::map<std::string, double> ParsePrometheusText(const std::string& text);

}  // namespace larkspire::testing
