// The operator's read-only views of the running gateway: the health report for the page and
// the counters for a metrics scraper.

#include "util/metrics.h"
#include "web/web_server.h"

namespace larkspire {

void WebConfigServer::HandleHealth(int fd) {
  SendJson(fd, 200,
           "{\"success\":true,\"data\":" + RenderGatewayHealthJson(checkGatewayHealth()) + "}");
}

void WebConfigServer::HandleMetrics(int fd) {
  SendRaw(fd, 200, kPrometheusContentType, RenderPrometheusText(TakeMetricsSnapshot()), "");
}

}  // namespace larkspire
