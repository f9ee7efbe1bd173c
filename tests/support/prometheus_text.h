#pragma once

#include <map>
#include <string>

namespace larkspire::testing {

// Parses the Prometheus text exposition format strictly enough to catch what a scraper
// would reject: every sample belongs to a family announced by HELP and TYPE lines before
// it, names and labels are well formed, values are numbers, no sample is repeated, and
// counters are named *_total. Returns "name{labels}" -> value; throws std::runtime_error
// naming the offending line.
std::map<std::string, double> ParsePrometheusText(const std::string& text);

}  // namespace larkspire::testing
