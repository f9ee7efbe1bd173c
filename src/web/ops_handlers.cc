// The operator's read-only views of the running gateway: the health report for the page and
// the counters for a metrics scraper.

#include "util/metrics.h"
#include "web/web_server.h"

namespace larkspire {

WebReply WebConfigServer::HandleHealth(const WebCall&) {
  return JsonReply(
      200, "{\"success\":true,\"data\":" + RenderGatewayHealthJson(checkGatewayHealth()) + "}");
}

WebReply WebConfigServer::HandleMetrics(const WebCall&) {
  WebReply reply;
  reply.contentType = kPrometheusContentType;
  reply.body = RenderPrometheusText(TakeMetricsSnapshot());
  return reply;
}

}  // namespace larkspire
