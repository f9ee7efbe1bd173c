#include "netcfg/health.h"
#include "util/json.h"
#include "util/text.h"

namespace larkspire {
namespace {

const char* Bool(bool value) {
  return value ? "true" : "false";
}

std::string CheckJson(const HealthCheck& check) {
  return "{\"kind\":" + JsonString(check.kind) + ",\"subject\":" + JsonString(check.subject) +
         ",\"value\":" + JsonString(check.value) + ",\"ok\":" + Bool(check.ok) +
         ",\"required\":" + Bool(check.required) + "}";
}

}  // namespace

std::string RenderGatewayHealthJson(const GatewayHealth& health) {
  std::vector<std::string> checks;
  for (const HealthCheck& check : health.checks) {
    checks.push_back(CheckJson(check));
  }
  return std::string("{\"healthy\":") + Bool(health.Healthy()) +
         ",\"applied\":" + Bool(health.applied) +
         ",\"checkedAt\":" + std::to_string(health.checkedAt) +
         ",\"tunName\":" + JsonString(health.target.tunName) +
         ",\"uplinks\":" + JsonArray(health.target.uplinks) +
         ",\"overlayCanReachEdge\":" + Bool(health.target.overlayCanReachEdge) + ",\"checks\":[" +
         JoinStrings(checks, ",") + "],\"relay\":" + RenderMetricsJson(health.relay) + "}";
}

}  // namespace larkspire
